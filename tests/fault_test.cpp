// Faults: the daemon losing its database or its receiver in the middle of a
// burst, a log it lacks or cannot write, and the receiving server under start/stop
// churn and under many connections of which some are cut off.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "support/DaemonHarness.h"
#include "support/WsPeers.h"
#include "websocket/SyslogServer.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// ------------------------------------------------------------------ daemon

class DaemonFaultTest : public DaemonHarness {
 protected:
  const std::vector<std::string> burst = sequencePayloads(20000, "burst");

  // Every line of the log is whole: a time stamp (the daemon's or the
  // WebSocket library's) only ever starts a line, a line that starts with the
  // daemon's is a log line, and the burst's payloads show up only in Receive
  // lines, which carry the burst from its start, in order. What the receiver
  // got is the start of the burst too. Returns how many notifications the
  // daemon took.
  size_t expectWholeLines() {
    static const std::regex stamp(
        R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}#|\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[)");
    static const std::regex receive(R"(^[^#]*#INFO#th_listener#Receive#syslog#(.*)$)");
    std::vector<std::string> got = received();
    EXPECT_LE(got.size(), burst.size());
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + std::min(got.size(), burst.size()), burst.begin()))
        << "the receiver got something else than the start of the burst";
    std::istringstream in(log());
    size_t taken = 0;
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
      auto stamps = std::sregex_iterator(line.begin(), line.end(), stamp);
      if (stamps != std::sregex_iterator()) {
        EXPECT_EQ(stamps->position(), 0) << line;
        EXPECT_EQ(std::distance(stamps, std::sregex_iterator()), 1) << line;
        EXPECT_TRUE(line[0] == '[' || std::regex_match(line, kLogLine)) << line;
      }
      if (line.find("\"fromhost\":\"burst\"") == std::string::npos) continue;
      if (!std::regex_match(line, m, receive) || taken >= burst.size() || m[1] != burst[taken]) {
        ADD_FAILURE() << "not Receive line " << taken << ": " << line;
        break;
      }
      ++taken;
    }
    return taken;
  }

  // The daemon runs on without its log: it relays, and SIGTERM still ends it
  // with status 0 and "Fin programme".
  void expectRelayWithoutLog() {
    startReceiver();
    startDaemon({"-f", writeConfig(receiverPort_)});
    PgConn c = pgConnect(conninfo());
    ASSERT_TRUE(waitUntil([&] { return tryNotify(c.get(), {"probe"}) && !received().empty(); }, 20s)) << out();
    const std::vector<std::string> part(burst.begin(), burst.begin() + 3000);
    notify(c.get(), part);
    ASSERT_TRUE(waitUntil([&] { return received().back() == part.back(); }, 20s));
    std::vector<std::string> got = received();
    ASSERT_GE(got.size(), part.size());
    EXPECT_EQ(std::vector<std::string>(got.end() - part.size(), got.end()), part);
    EXPECT_EQ(stopDaemon(), 0);
    EXPECT_TRUE(finished()) << out();
  }
};

TEST_F(DaemonFaultTest, DatabaseKilledDuringABurstEndsWithStatusOneAndWholeLines) {
  TempDir pg;
  ASSERT_TRUE(startPrivateCluster(pg));
  startReceiver();
  startRelay();
  startBurst(burst);
  runShell(sourcePath("scripts/pg-cluster.sh") + " kill " + pg.path());
  EXPECT_EQ(waitExit(), 1);
  joinBurst();
  EXPECT_TRUE(logged("ERR#consume input failed:  ")) << log();
  // Nothing taken is lost: it was all handed on before the exit.
  size_t taken = expectWholeLines();
  EXPECT_GT(taken, 0u);
  EXPECT_TRUE(waitReceived(taken, 5s));
  EXPECT_EQ(received().size(), taken);
}

TEST_F(DaemonFaultTest, ReceiverKilledDuringABurstEndsWithTimingsAndWholeLines) {
  startReceiver();
  startRelay();
  startBurst(burst);
  receiver_->signal(SIGKILL);
  EXPECT_EQ(waitExit(), 1);
  EXPECT_TRUE(loggedTimings()) << log().substr(log().size() > 2000 ? log().size() - 2000 : 0);
  EXPECT_GT(expectWholeLines(), 0u);
}

TEST_F(DaemonFaultTest, MissingLogKeyLeavesTheRelayRunning) {
  logPath_.clear();
  expectRelayWithoutLog();
  EXPECT_EQ(out().rfind("ERROR can't open file \n", 0), 0u) << out();
}

TEST_F(DaemonFaultTest, LogInAMissingFolderLeavesTheRelayRunning) {
  logPath_ = dir_.file("absent/norv.log");
  expectRelayWithoutLog();
  EXPECT_EQ(out().rfind("ERROR can't open file " + logPath_ + "\n", 0), 0u) << out();
}

TEST_F(DaemonFaultTest, LogOnAFullFileSystemLeavesTheRelayRunning) {
  // A 64 KiB tmpfs, filled by the burst's log lines; where mounting is not
  // permitted, /dev/full, which refuses every write with ENOSPC.
  TempDir small;
  const bool mounted = runShell("mount -t tmpfs -o size=64k tmpfs '" + small.path() + "'").status == 0;
  logPath_ = mounted ? small.file("norv.log") : "/dev/full";
  std::shared_ptr<void> unmount(nullptr, [&](void*) {  // once the daemon is gone, however the case ends
    daemon_.reset();
    if (mounted) runShell("umount '" + small.path() + "'");
  });
  expectRelayWithoutLog();
  if (mounted) {
    EXPECT_EQ(logMessages(log()).at(0), "INFO#Receiver start....");  // what fitted, from the start
  }
}

// ------------------------------------------------------------------ server

struct Usage {
  long fds = 0, threads = 0, rssKb = 0;
};

Usage usage() {
  namespace fs = std::filesystem;
  Usage u{std::distance(fs::directory_iterator("/proc/self/fd"), {}),
          std::distance(fs::directory_iterator("/proc/self/task"), {})};
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;)
    if (key == "VmRSS:") status >> u.rssKb;
  return u;
}

class ServerFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { useServerCert(cert = makeSelfSignedCert(dir.path())); }

  static inline TempDir dir;
  static inline CertPair cert;
  ExecuteQueue<notification> queue;
};

TEST_F(ServerFaultTest, StartStopCyclesLeaveNoDescriptorThreadOrMemoryBehind) {
  // Every 40th cycle a client sends a message and is killed before the stop
  // (a clean close would wait for the library's 5 s TLS shutdown timer).
  auto cycle = [this](int i) {
    useServerCert(cert);  // a fresh TLS context, released with the server
    SyslogServer server(0, 1 + i % 2, &queue);
    ServerThread running(server);
    ASSERT_NE(running.port(), 0);
    if (i % 40 == 0) {
      ChildProcess peer(wsPeerArgv({"send", wssUri(running.port()), "{}"}), "/dev/null");
      notification n;
      ASSERT_TRUE(queue.popFor(n, 10s));
    }
    server.stop();
    ASSERT_TRUE(running.waitReturned(5s)) << "cycle " << i;
  };
  for (int i = 0; i < 5; ++i) cycle(i);  // what the first cycles allocate stays
  Usage before = usage();
  for (int i = 0; i < 200 && !HasFatalFailure(); ++i) cycle(i);
  Usage after = usage();
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.threads, before.threads);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The sanitizers hold freed memory back on purpose; only a plain build
  // shows what the server itself keeps.
  EXPECT_LT(after.rssKb - before.rssKb, 4096) << "KiB of growth over 200 cycles";
#endif
}

SyslogServer* serverToStop = nullptr;

// Validation runs on a loop thread in the middle of the opening handshake:
// stopping the server there makes this connection open after the stop.
bool stopDuringHandshake(SyslogServer::server_type&, std::weak_ptr<void>) {
  serverToStop->stop();
  return true;
}

TEST_F(ServerFaultTest, AConnectionThatOpensDuringTheStopIsClosedToo) {
  SyslogServer server(0, 1, &queue);
  serverToStop = &server;
  server.setValidateFunction(stopDuringHandshake);
  ServerThread running(server);
  ChildProcess peer(wsPeerArgv({"hold", wssUri(running.port()), "1"}), dir.file("late.out"));
  // A server-side close may end with the library's 5 s TLS shutdown timer.
  EXPECT_TRUE(running.waitReturned(10s)) << "run() still serves a connection that opened after stop()";
  int status = -1;
  EXPECT_TRUE(peer.wait(5s, &status));
  EXPECT_EQ(readFile(dir.file("late.out")), "open 1\nclosed 1000 ''\n");
}

TEST_F(ServerFaultTest, ConnectionsThatStayOpenKeepEveryMessageWholeWhileOthersAreCut) {
  const int keep = 200, drop = 50, count = 50;
  SyslogServer server(0, 4, &queue);
  ServerThread running(server);
  Usage before = usage();
  std::vector<int> next(keep, 0), nextCut(drop, 0);
  int kept = 0;
  // Each message is the next one of its connection, whole; those of the
  // connections that are cut carry a pad.
  auto check = [&](const notification& n) {
    const int k = std::stoi(n.host.substr(1));
    const bool stays = n.host[0] == 'c';
    ASSERT_TRUE((stays || n.host[0] == 'd') && k < (stays ? keep : drop)) << n.host;
    const int i = stays ? next[k]++ : nextCut[k]++;
    ASSERT_EQ(n.payload, "{\"fromhost\":\"" + n.host + "\",\"seq\":" + std::to_string(i) +
                             (stays ? "" : ",\"pad\":\"" + std::string((37 * k + 101 * i) % 20000, 'x') + "\"") + "}");
    kept += stays;
  };
  {
    ChildProcess peer(wsPeerArgv({"storm", wssUri(running.port()), std::to_string(keep), std::to_string(drop),
                                  std::to_string(count)}),
                      dir.file("storm.out"));
    auto end = std::chrono::steady_clock::now() + 20s;
    notification n;
    while (kept < keep * count && std::chrono::steady_clock::now() < end && !HasFatalFailure())
      if (queue.popFor(n, 50ms)) check(n);
    ASSERT_EQ(kept, keep * count);
    EXPECT_TRUE(peer.running()) << "the peer ended: " << readFile(dir.file("storm.out"));
  }  // the peer is killed: every connection drops at once
  EXPECT_TRUE(waitUntil([&] { return usage().fds <= before.fds; }, 10s))
      << usage().fds << " descriptors, " << before.fds << " before";
  notification n;
  while (queue.tryPop(n) && !HasFatalFailure()) check(n);
  server.stop();
  EXPECT_TRUE(running.waitReturned(10s));
}

}  // namespace
