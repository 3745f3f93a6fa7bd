// SyslogServer: the host a message names (no network needed), and against
// an independent peer (python websockets) the stop sequence, listening
// edges, start/stop churn and a connection that opens during a stop. The
// limits and the output under load: receive_tool_test.
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "support/WsPeers.h"
#include "websocket/SyslogServer.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

class SyslogServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { useServerCert(suiteCert()); }
  TempDir work;
  ExecuteQueue<notification> queue;
};

TEST(Notification, NamesTheHostOfTheMessageAndCarriesItWhole) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"level":"err","fromhost":"web-01","msg":"disk full"})", "web-01"},
      {R"({"msg":"no host here"})", "daemonbadhost"},
      {"plain text, not JSON", "daemonbadhost"},
      {R"({"fromhost":null})", ""},
      {R"({"fromhost":12})", "12"},
      {R"({"fromhost":"a",)", "a"},  // breaks off after a complete member
      {R"({"fromhost":"a","fromhost":"b"})", "b"},
      {R"({"x":{"fromhost":"inner"}})", "daemonbadhost"},
      {R"({/* c */"fromhost"://c
"h\u00e9"})", "h\xc3\xa9"},
      // jsoncpp throws on these; they must still be queued.
      {"[1,2]", "daemonbadhost"},
      {R"("just a string")", "daemonbadhost"},
      {R"({"fromhost":["x"]})", "daemonbadhost"},
      {std::string(5000, '['), "daemonbadhost"},  // deeper than the reader's limit
      {std::string("{\"fromhost\":\"a\0b\"}", 18), std::string("a\0b", 3)},
  };
  for (const auto& [payload, host] : cases) {
    const notification n = SyslogServer::makeNotification(payload);
    EXPECT_EQ(n.host, host) << payload.substr(0, 60);
    EXPECT_EQ(n.payload, payload);
  }
}

TEST_F(SyslogServerTest, StopClosesEveryOpenConnectionThenRunReturnsAndASecondStopThrows) {
  const std::string out = work.file("peer.out");
  SyslogServer server(0, 2, &queue);
  ServerThread running(server);
  ChildProcess peer(wsPeerArgv({"hold", wssUri(running.port()), "2"}), out);
  ASSERT_TRUE(waitUntil([&] { return readFile(out) == "open 2\n"; }, 10s));
  server.stop();
  ASSERT_TRUE(running.waitReturned(10s));
  EXPECT_FALSE(running.error());
  int status = -1;
  ASSERT_TRUE(peer.wait(10s, &status) && status == 0) << status;
  EXPECT_EQ(readFile(out), "open 2\nclosed 1000 ''\nclosed 1000 ''\n");

  // A lock left held by the first failure would make the third call hang.
  for (int i = 0; i < 2; ++i) {
    auto again = std::async(std::launch::async, [&server] { server.stop(); });
    ASSERT_EQ(again.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(again.get(), websocketpp::exception);
  }
}

TEST_F(SyslogServerTest, ListeningEdges) {
  {  // above 16 bits only the low bits count
    const int low = freePort();
    SyslogServer server(65536 + low, 1, &queue);
    ServerThread running(server);
    ASSERT_EQ(running.port(), low);
    ChildProcess peer(wsPeerArgv({"send", wssUri(low), R"({"fromhost":"h"})"}), "/dev/null");
    notification n;
    ASSERT_TRUE(queue.popFor(n, 10s));

    SyslogServer taken(low, 1, &queue);
    taken.setFunctionSSLContext(serverTlsContext);
    try {
      taken.run();
      FAIL() << "run() listened on a taken port";
    } catch (const SyslogException& e) {
      EXPECT_STREQ(e.what(), "bad listen");
    }
  }
  SyslogServer noThreads(0, 0, &queue);
  ServerThread running(noThreads);
  ASSERT_TRUE(running.waitReturned(5s));  // run returns once listening
  EXPECT_FALSE(running.error());
  EXPECT_NE(running.port(), 0);
  EXPECT_NO_THROW(noThreads.stop());  // still listening

  SyslogServer withoutQueue;  // messages are dropped
  ServerThread serving(withoutQueue);
  ChildProcess peer(wsPeerArgv({"send", wssUri(serving.port()), R"({"fromhost":"h"})"}), work.file("out"));
  ASSERT_TRUE(waitUntil([&] { return readFile(work.file("out")) == "sent\n"; }, 10s));
}

long countOf(const char* folder) {
  return std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator());
}

long rssKb() {
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;)
    if (long kb; key == "VmRSS:" && status >> kb) return kb;
  return -1;
}

TEST_F(SyslogServerTest, StartStopCyclesLeaveNoDescriptorThreadOrMemoryBehind) {
  // Every 40th cycle a client sends a message and is killed before the stop
  // (a clean close would wait for the library's 5 s TLS shutdown timer).
  auto cycle = [this](int i) {
    useServerCert(suiteCert());  // a fresh TLS context, released with the server
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
  const long fds = countOf("/proc/self/fd"), threads = countOf("/proc/self/task"), rss = rssKb();
  for (int i = 0; i < 200 && !HasFatalFailure(); ++i) cycle(i);
  EXPECT_EQ(countOf("/proc/self/fd"), fds);
  EXPECT_EQ(countOf("/proc/self/task"), threads);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The sanitizers hold freed memory back on purpose; only a plain build
  // shows what the server itself keeps.
  EXPECT_LT(rssKb() - rss, 4096) << "KiB of growth over 200 cycles";
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
  ChildProcess peer(wsPeerArgv({"hold", wssUri(running.port()), "1"}), work.file("late.out"));
  // A server-side close may end with the library's 5 s TLS shutdown timer.
  EXPECT_TRUE(running.waitReturned(10s)) << "run() still serves a connection that opened after stop()";
  int status = -1;
  EXPECT_TRUE(peer.wait(5s, &status));
  EXPECT_EQ(readFile(work.file("late.out")), "open 1\nclosed 1000 ''\n");
}

}  // namespace
