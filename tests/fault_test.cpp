// Faults of the receiving server: start/stop churn, and a connection that
// opens while the server stops.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "support/WsPeers.h"
#include "websocket/SyslogServer.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

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
  static void SetUpTestSuite() { useServerCert(cert = suiteCert()); }

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

}  // namespace
