// The fixture of the black-box daemon tests: norv-syslog-send run on a
// configuration written for the case, between a database of the case's own
// (notifications are per database, so concurrent cases never cross) and a
// real receiver (norv-syslog-receive) as a child process; readers of the
// daemon's log and standard output and of what the receiver printed. Child
// processes are killed and reaped when the case ends.
#ifndef NORV_TESTS_SUPPORT_DAEMONHARNESS_H
#define NORV_TESTS_SUPPORT_DAEMONHARNESS_H

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/PgTestSupport.h"
#include "support/TestSupport.h"

namespace testsupport {

// How a payload ($1) is raised: on channel syslog, or into the outbox.
inline const std::string kNotifyRaise = "pg_notify('syslog', $1)", kOutboxRaise = "norv_notify($1)";
// Raises one notification per payload, all in one transaction; false when
// the database refuses or is gone.
bool tryNotify(PGconn* c, const std::vector<std::string>& payloads,
               const std::string& raise = kNotifyRaise);
void notify(PGconn* c, const std::vector<std::string>& payloads,
            const std::string& raise = kNotifyRaise);
// {"fromhost":"<tag>","seq":<i>} for i in [0, n).
std::vector<std::string> sequencePayloads(int n, const std::string& tag);
// The messages of the log's time-stamped lines, in order, as "LEVEL#message".
std::vector<std::string> logMessages(const std::string& text);

class DaemonHarness : public ::testing::Test {
 protected:
  using Ms = std::chrono::milliseconds;

  void SetUp() override;
  void TearDown() override;

  // A receiver on receiverPort_ (any free one when 0, then kept), printing to the next
  // received<N>.jsonl. With blockedOutput its output is a pipe nobody reads
  // until unblockReceiver(): it soon stops reading from its connections.
  void startReceiver(std::vector<std::string> options = {}, bool blockedOutput = false);
  // Copies the blocked output to the file, `chunk` bytes at a time with a
  // `pause` after each (a slow consumer).
  void unblockReceiver(size_t chunk = 65536, Ms pause = Ms(0));
  // A private cluster for the daemon (not for the process environment),
  // stopped and removed by TearDown; false when it did not start.
  bool startPrivateCluster();
  // Runs scripts/pg-cluster.sh `verb` (restart, kill, ...) on that cluster;
  // its exit status.
  int privateCluster(const std::string& verb);
  // A TCP proxy to 127.0.0.1:upstream that holds each connection `seconds`
  // before it connects on (for long: a peer that accepts and never answers);
  // its port, 0 when it did not start.
  int startProxy(int upstream, int seconds);
  // A configuration from the pg*_ fields and source_; no LOG section when logPath_ is
  // empty; `receiverExtra` lines go into [RECEIVER].
  std::string writeConfig(int receiverPort, const std::string& receiverExtra = "");
  void startDaemon(std::vector<std::string> args);
  // The daemon on a fresh configuration, waited for until it relays.
  void startRelay(const std::string& receiverExtra = "");
  // Raises `payloads` from a thread of its own, in transactions of 1000,
  // until the first failure; returns once the daemon took some. Into the
  // outbox, a failed transaction is raised again (for up to 30 s).
  void startBurst(const std::vector<std::string>& payloads, bool outbox = false);
  int waitExit(Ms timeout = std::chrono::seconds(15));
  int stopDaemon(int sig = SIGTERM);
  std::string createDatabase(const std::string& options);

  std::string log() const { return readFile(logPath_); }
  std::string out() const { return readFile(dir_.file("daemon.out")); }
  bool finished() const;  // standard output ends with "Fin programme"
  bool waitLog(const std::string& needle, Ms t = std::chrono::seconds(15));
  bool logged(const std::string& prefix) const;  // a message "LEVEL#..." starts so
  std::string conninfo() const;
  // The payloads of the daemon's Receive lines, in order: what it took.
  std::vector<std::string> taken() const;
  // The payloads the receivers printed, file after file.
  std::vector<std::string> received() const;
  bool waitReceived(size_t n, Ms t = std::chrono::seconds(20));
  // Every log line is whole, and what the daemon took and the receivers got
  // are the start of `burst`, in order. Returns how many it took.
  size_t expectWholeLines(const std::vector<std::string>& burst);

  TempDir dir_;
  CertPair cert_ = suiteCert();
  std::string pgHost_, pgPort_, pgDb_, pgPwd_, source_ = "notify";
  std::string dbExtra_;  // more lines for [DB]
  std::vector<std::string> ownDbs_;
  std::string logPath_ = dir_.file("norv.log");
  int receiverPort_ = 0;
  int receivers_ = 0;
  std::unique_ptr<ChildProcess> receiver_, daemon_, proxy_;
  std::unique_ptr<TempDir> cluster_;
  std::thread burst_, unblocked_;
  int blockedFd_ = -1;  // read end of a blocked receiver's output
  std::atomic<bool> copying_{false};
};

}  // namespace testsupport

#endif
