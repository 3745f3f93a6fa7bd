// DaemonConfig: everything norv-syslog-send reads from its configuration
// file, as one table of keys describes them (kDaemonKeys, mirrored by
// packaging/quillon.conf), each with its section, type, default and check.
// Values are converted as soon as the file is read; what was wrong with the
// file is kept for the log, which is not open yet, and reported before
// anything connects.
#ifndef NORV_DAEMON_DAEMONCONFIG_H
#define NORV_DAEMON_DAEMONCONFIG_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct DaemonConfig {
  // Texts are taken as written; an absent key is an empty text.
  std::string logFile;
  std::string dbHost, dbPort, dbName, dbUser, dbPassword;
  std::string receiverIp;
  std::string caFile, certFile, keyFile;

  // The numbers and switches, converted (their defaults are in the table).
  int connectTimeoutSeconds = 0;
  bool outbox = false;  // [DB] source=outbox; notify (LISTEN syslog) otherwise
  int receiverPort = 0;
  int stallTimeoutSeconds = 0;
  bool resume = false;
  int resumeTimeoutSeconds = 0;

  // What reading the file found, for the log: keys that a known section sets
  // but the daemon does not know (INFO), and bad values (ERR).
  std::vector<std::string> unknownKeys, badValues;

  // The receiver's URI, "wss://" ip ":" port.
  std::string receiverUri() const;
  // Writes unknownKeys, then badValues through `log` (level, message); false
  // when a value was bad, so that the daemon must not start.
  bool report(const std::function<void(const char*, const std::string&)>& log) const;
};

// Reads and converts every key of the table from the file at `path`; throws
// FileException when the file cannot be read.
DaemonConfig readDaemonConfig(const std::string& path);

// Section and name of every key of the table, in the order the example
// configuration shows them.
std::vector<std::pair<std::string, std::string>> daemonConfigKeys();

#endif
