// DaemonConfig: everything norv-syslog-send reads from its configuration
// file, read in one pass from one table of keys (kDaemonKeys, mirrored by
// packaging/quillon.conf). An absent key is an empty text, used as it is;
// the few numbers and switches are checked by readNumbers once the log is
// open, before anything connects.
#ifndef NORV_DAEMON_DAEMONCONFIG_H
#define NORV_DAEMON_DAEMONCONFIG_H

#include <string>

class iniConfig;

struct DaemonConfig {
  std::string logFile;
  std::string dbHost, dbPort, dbName, dbUser, dbPassword, sourceText;
  std::string receiverIp, receiverPort;
  std::string caFile, certFile, keyFile;
  std::string stallTimeoutText;
  std::string resumeText, resumeTimeoutText;

  // Checked and converted by readNumbers().
  int stallTimeoutSeconds = 0;
  bool outbox = false;  // [DB] source=outbox; notify (LISTEN syslog) otherwise
  bool resume = false;
  int resumeTimeoutSeconds = 0;

  // The receiver's URI, "wss://" ip ":" port.
  std::string receiverUri() const;
  // Converts the number and switch keys; false with a message naming the
  // key and the value when one is not what it must be (the port included).
  bool readNumbers(std::string& problem);
};

// Reads every key of the table; throws FileException when the file cannot be
// opened.
DaemonConfig readDaemonConfig(iniConfig& file);

#endif
