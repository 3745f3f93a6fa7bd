// The fixture of the black-box daemon tests: a TLS receiver
// (norv-syslog-receive) as a child process, norv-syslog-send run on a
// configuration written for the case, and readers of its log, its standard
// output and what the receiver got. Each case owns a temporary folder
// (configuration, log and outputs) and a database of its own on the run's
// cluster: notifications are per database, so cases running at the same time
// never see each other's bursts. The child processes are killed and reaped
// when the case ends. Also the plain-libpq notification helpers.
#ifndef NORV_TESTS_SUPPORT_DAEMONHARNESS_H
#define NORV_TESTS_SUPPORT_DAEMONHARNESS_H

#include <libpq-fe.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/PgTestSupport.h"
#include "support/TestSupport.h"

namespace testsupport {

// Raises one notification per payload on `channel`, all in one transaction;
// false (without failing the test) when the database refuses or is gone.
bool tryNotify(PGconn* c, const std::vector<std::string>& payloads, const std::string& channel = "syslog");
// The same, failing the calling test on an error.
void notify(PGconn* c, const std::vector<std::string>& payloads, const std::string& channel = "syslog");

// {"fromhost":"<tag>","seq":<i>} for i in [0, n).
std::vector<std::string> sequencePayloads(int n, const std::string& tag);

// A whole log line: "<asctime>#<level>#<message>".
extern const std::regex kLogLine;
// The messages of the log's time-stamped lines, in order, as "LEVEL#message".
std::vector<std::string> logMessages(const std::string& text);

class DaemonHarness : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The receiver, with more options. With blockedOutput its standard output
  // is a pipe nobody reads until unblockReceiver(): it soon stops reading
  // from its connections.
  void startReceiver(std::vector<std::string> options = {}, bool blockedOutput = false);
  void unblockReceiver();
  // Starts a private cluster in `dir` and points the daemon's configuration
  // (not the process environment) at it. False when it did not start.
  bool startPrivateCluster(const TempDir& dir);
  // A configuration from the pg*_ fields; no LOG section when logPath_ is
  // empty; `receiverExtra` lines go into [RECEIVER].
  std::string writeConfig(int receiverPort, const std::string& receiverExtra = "");
  void startDaemon(std::vector<std::string> args);
  // Starts the daemon on a fresh configuration and waits until it relays.
  void startRelay(const std::string& receiverExtra = "");
  // Raises `payloads` on channel "syslog" from a thread (and connection) of
  // its own, in transactions of 1000, stopping at the first failure; returns
  // once the daemon has taken some. joinBurst() (or TearDown) waits.
  void startBurst(const std::vector<std::string>& payloads);
  void joinBurst();
  int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(15));
  int stopDaemon(int sig = SIGTERM);

  std::string log() const { return readFile(logPath_); }
  std::string out() const { return readFile(dir_.file("daemon.out")); }
  bool finished() const;  // standard output ends with "Fin programme"
  bool waitLog(const std::string& needle, std::chrono::milliseconds t = std::chrono::seconds(15));
  // Some log message ("LEVEL#text") starts with `prefix`.
  bool logged(const std::string& prefix) const;
  // The log holds the close report and the client's five timing lines.
  bool loggedTimings() const;
  // The connection string of the database the daemon is configured for.
  std::string conninfo() const;
  // Creates (and drops at tear-down) a database of this case; returns its name.
  std::string createDatabase(const std::string& options);

  // The payloads of the daemon's Receive lines, in order: what it took.
  std::vector<std::string> taken() const;
  // Every line of the log is whole, and what the daemon took and what the
  // receiver got are each the start of `burst`. Returns how many it took.
  size_t expectWholeLines(const std::vector<std::string>& burst);
  // The payloads the receiver wrote so far (a line still being written is
  // left out).
  std::vector<std::string> received();
  bool waitReceived(size_t n, std::chrono::milliseconds t = std::chrono::seconds(20));

  TempDir dir_;
  CertPair cert_ = suiteCert();
  std::string pgHost_, pgPort_, pgDb_, pgPwd_;
  std::vector<std::string> ownDbs_;  // databases this case made on the run's cluster
  std::string logPath_ = dir_.file("norv.log");
  int receiverPort_ = 0;
  std::unique_ptr<ChildProcess> receiver_;
  std::unique_ptr<ChildProcess> daemon_;
  std::thread burst_;
  int blockedFd_ = -1;      // read end of a blocked receiver's output
  std::thread unblocked_;   // copies it into received.jsonl once unblocked
  std::atomic<bool> copying_{false};
};

}  // namespace testsupport

#endif
