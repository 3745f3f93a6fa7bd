// SyslogServer against an independent peer (python websockets): the stop
// sequence, listening edges, start/stop churn and a connection that opens
// during a stop. The host a message names: the seeds of notification_fuzz;
// the limits and the output under load: receive_tool_test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/TestSupport.h"
#include "support/WsPeers.h"
#include "websocket/SyslogServer.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

class SyslogServerTest : public ::testing::Test {
 protected:
  // Declared after the server, a peer goes first: a server waits for its connections.
  ChildProcess peer(const std::vector<std::string>& args) {
    return ChildProcess(wsPeerArgv(args), out);
  }
  bool peerSaid(const std::string& text) {
    return waitUntil([&] { return readFile(out) == text; }, 10s);
  }
  TempDir work;
  const std::string out = work.file("peer.out");
  ExecuteQueue<notification> queue;
  notification n;
};

TEST_F(SyslogServerTest, StopClosesEveryOpenConnectionThenRunReturnsAndASecondStopThrows) {
  SyslogServer server(0, 2, &queue);
  ServerThread running(server);
  ChildProcess client = peer({"hold", wssUri(running.port()), "2"});
  ASSERT_TRUE(peerSaid("open 2\n"));
  server.stop();
  ASSERT_TRUE(running.waitReturned(10s));
  EXPECT_FALSE(running.error());
  int status = -1;
  ASSERT_TRUE(client.wait(10s, &status) && status == 0) << status;
  EXPECT_EQ(readFile(out), "open 2\nclosed 1000 ''\nclosed 1000 ''\n");
  // A lock left held by the first failure would make the third call hang.
  for (int i = 0; i < 2; ++i) {
    EXPECT_THROW(finishesWithin(5s, "a second stop()", [&server] { server.stop(); }),
                 websocketpp::exception);
  }
}

TEST_F(SyslogServerTest, ListeningEdges) {
  for (int attempt = 0; attempt < 3; ++attempt) {  // above 16 bits only the low bits count
    const int low = freePort();
    SyslogServer server(65536 + low, 1, &queue);
    ServerThread running(server);
    if (running.port() == 0 && attempt < 2) continue;  // taken meanwhile: another one
    ASSERT_EQ(running.port(), low);
    ChildProcess client = peer({"send", wssUri(low), R"({"fromhost":"h"})"});
    ASSERT_TRUE(queue.popFor(n, 10s));
    EXPECT_EQ(n.host + n.payload, R"(h{"fromhost":"h"})");
    SyslogServer taken(low, 1, &queue);
    taken.setFunctionSSLContext(serverTlsContext);
    try {
      taken.run();
      FAIL() << "run() listened on a taken port";
    } catch (const SyslogException& e) {
      EXPECT_STREQ(e.what(), "bad listen");
    }
    break;
  }
  SyslogServer noThreads(0, 0, &queue);
  ServerThread running(noThreads);
  ASSERT_TRUE(running.waitReturned(5s));  // run returns once listening
  EXPECT_FALSE(running.error());
  EXPECT_NE(running.port(), 0);
  EXPECT_NO_THROW(noThreads.stop());  // still listening

  SyslogServer withoutQueue;  // messages are dropped
  ServerThread serving(withoutQueue);
  ChildProcess client = peer({"send", wssUri(serving.port()), R"({"fromhost":"h"})"});
  EXPECT_TRUE(peerSaid("sent\n"));
}

long countOf(const char* folder) {
  return std::distance(std::filesystem::directory_iterator(folder), {});
}

TEST_F(SyslogServerTest, StartStopCyclesLeaveNoDescriptorThreadOrMemoryBehind) {
  // Every 40th cycle a client sends a message and is killed before the stop
  // (a clean close would wait for the library's 5 s TLS shutdown timer).
  auto cycle = [this](int i) {
    SyslogServer server(0, 1 + i % 2, &queue);
    ServerThread running(server);
    ASSERT_NE(running.port(), 0);
    if (i % 40 == 0) {
      ChildProcess client = peer({"send", wssUri(running.port()), "{}"});
      ASSERT_TRUE(queue.popFor(n, 10s));
    }
    server.stop();
    ASSERT_TRUE(running.waitReturned(5s)) << "cycle " << i;
  };
  for (int i = 0; i < 5; ++i) cycle(i);  // what the first cycles allocate stays
  const long fds = countOf("/proc/self/fd"), threads = countOf("/proc/self/task");
  [[maybe_unused]] const long peak = peakRssKb(getpid());  // checked in a plain build
  for (int i = 0; i < 200 && !HasFatalFailure(); ++i) cycle(i);
  EXPECT_EQ(countOf("/proc/self/fd"), fds);
  EXPECT_EQ(countOf("/proc/self/task"), threads);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The sanitizers hold freed memory back on purpose.
  EXPECT_LT(peakRssKb(getpid()) - peak, 4096) << "KiB of growth over 200 cycles";
#endif
}

SyslogServer* serverToStop = nullptr;

// Validation runs on a loop thread in the middle of the opening handshake:
// stopping the server there makes this connection open after the stop.
bool stopDuringHandshake(SyslogServer::server_type&, std::weak_ptr<void>) {
  serverToStop->stop();
  return true;
}

TEST_F(SyslogServerTest, AConnectionThatOpensDuringTheStopIsClosedToo) {
  SyslogServer server(0, 1, &queue);
  serverToStop = &server;
  server.setValidateFunction(stopDuringHandshake);
  ServerThread running(server);
  ChildProcess client = peer({"hold", wssUri(running.port()), "1"});
  // A server-side close may end with the library's 5 s TLS shutdown timer.
  EXPECT_TRUE(running.waitReturned(10s)) << "run() still serves a connection opened after stop()";
  int status = -1;
  EXPECT_TRUE(client.wait(10s, &status));
  EXPECT_EQ(readFile(out), "open 1\nclosed 1000 ''\n");
}

}  // namespace
