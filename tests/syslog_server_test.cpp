// SyslogServer against an independent peer (python websockets): hosts taken
// from the messages, order under load, the stop sequence, listening edges.
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "support/TestSupport.h"
#include "support/WsPeers.h"
#include "websocket/SyslogServer.h"

using namespace testsupport;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

std::mutex traceMutex;
std::vector<std::string> traces;

void recordTrace(std::string line) {
  std::lock_guard<std::mutex> lock(traceMutex);
  traces.push_back(line);
}

int traceCount(const std::string& line) {
  std::lock_guard<std::mutex> lock(traceMutex);
  int n = 0;
  for (const auto& t : traces) n += (t == line);
  return n;
}

class SyslogServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    useServerCert(makeSelfSignedCert(dir->path()));
  }
  static void TearDownTestSuite() { delete dir; }
  void SetUp() override {
    std::lock_guard<std::mutex> lock(traceMutex);
    traces.clear();
  }

  // Takes up to n notifications off the queue, waiting at most `timeout`.
  std::vector<notification> take(std::size_t n, milliseconds timeout = seconds(10)) {
    std::vector<notification> out;
    auto end = std::chrono::steady_clock::now() + timeout;
    notification item;
    while (out.size() < n && std::chrono::steady_clock::now() < end)
      if (queue.popFor(item, milliseconds(50))) out.push_back(item);
    return out;
  }

  static TempDir* dir;
  ExecuteQueue<notification> queue;
};
TempDir* SyslogServerTest::dir = nullptr;

TEST_F(SyslogServerTest, QueuesEveryMessageWithTheHostItNames) {
  struct Case {
    std::string payload;
    std::string host;
  };
  const std::vector<Case> cases = {
      {R"({"level":"err","fromhost":"web-01","msg":"disk full"})", "web-01"},
      {R"({"msg":"no host here"})", "daemonbadhost"},
      {"plain text, not JSON", "daemonbadhost"},
      {"", "daemonbadhost"},
      {R"({"fromhost":null})", ""},
      {R"({"fromhost":12})", "12"},
      {R"({"fromhost":true})", "true"},
      {R"({"fromhost":"a",)", "a"},  // breaks off after a complete member
      // jsoncpp throws on these; they must still be queued.
      {"[1,2]", "daemonbadhost"},
      {R"("just a string")", "daemonbadhost"},
      {"42", "daemonbadhost"},
      {R"({"fromhost":["x"]})", "daemonbadhost"},
      {R"({"fromhost":{"a":1}})", "daemonbadhost"},
      {std::string(5000, '['), "daemonbadhost"},  // deeper than the reader's limit
      {"{\"fromhost\":\"h\u00e9te\",\"t\":\"line1\\nline2\"}", "h\u00e9te"},
  };
  SyslogServer server(0, 1, &queue);
  server.setDebugFunction(recordTrace);
  ServerThread running(server);
  ASSERT_NE(running.port(), 0);

  std::vector<std::string> args{"send", wssUri(running.port())};
  for (const auto& c : cases) args.push_back(c.payload);
  ChildProcess peer(wsPeerArgv(args), "/dev/null");

  std::vector<notification> got = take(cases.size());
  EXPECT_TRUE(peer.running()) << "the server dropped the connection";
  ASSERT_EQ(got.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(got[i].host, cases[i].host) << "payload: " << cases[i].payload.substr(0, 60);
    EXPECT_EQ(got[i].payload, cases[i].payload);
  }
  EXPECT_EQ(traceCount("THREAD vantry#on_message:" + cases[0].payload), 1);
  EXPECT_EQ(traceCount("th_listener#PUSH NOTIF#"), static_cast<int>(cases.size()));
}

TEST_F(SyslogServerTest, ManyClientsAtOnceKeepEachConnectionsOrder) {
  const int conns = 4, count = 400;
  SyslogServer server(0, 3, &queue);
  ServerThread running(server);
  ChildProcess peer(wsPeerArgv({"flood", wssUri(running.port()), std::to_string(conns),
                                std::to_string(count)}),
                    "/dev/null");
  std::vector<notification> got = take(conns * count, seconds(20));
  ASSERT_EQ(got.size(), static_cast<std::size_t>(conns * count));

  std::vector<int> next(conns, 0);
  for (const auto& n : got) {
    ASSERT_EQ(n.host.substr(0, 1), "c") << n.host;
    int k = std::stoi(n.host.substr(1));
    ASSERT_TRUE(k >= 0 && k < conns) << n.host;
    ASSERT_EQ(n.payload,
              "{\"fromhost\":\"c" + std::to_string(k) + "\",\"seq\":" + std::to_string(next[k]) + "}");
    ++next[k];
  }
  EXPECT_TRUE(queue.empty());
}

TEST_F(SyslogServerTest, StopClosesEveryOpenConnectionThenRunReturns) {
  TempDir out;
  SyslogServer server(0, 2, &queue);
  server.setDebugFunction(recordTrace);
  ServerThread running(server);
  ChildProcess peer(wsPeerArgv({"hold", wssUri(running.port()), "2"}), out.file("peer.out"));
  ASSERT_TRUE(waitUntil([] { return traceCount("SyslogServer#on_open end") == 2; }, seconds(10)));

  server.stop();
  ASSERT_TRUE(running.waitReturned(seconds(10)));
  EXPECT_FALSE(running.error());
  int status = -1;
  ASSERT_TRUE(peer.wait(seconds(10), &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readFile(out.file("peer.out")), "open 2\nclosed 1000 ''\nclosed 1000 ''\n");
  EXPECT_EQ(traceCount("SyslogServer#on_close end"), 2);
}

TEST_F(SyslogServerTest, SecondStopThrowsAndLeavesTheLockFree) {
  SyslogServer server(0, 1, &queue);
  ServerThread running(server);
  server.stop();
  ASSERT_TRUE(running.waitReturned(seconds(10)));
  EXPECT_THROW(server.stop(), websocketpp::exception);
  // A lock left held would make this call hang instead of throwing again.
  auto again = std::async(std::launch::async, [&server] {
    try {
      server.stop();
    } catch (const websocketpp::exception&) {
      return true;
    }
    return false;
  });
  ASSERT_EQ(again.wait_for(seconds(5)), std::future_status::ready);
  EXPECT_TRUE(again.get());
}

TEST_F(SyslogServerTest, PortAboveSixteenBitsListensOnItsLowBits) {
  int low = freePort();
  SyslogServer server(65536 + low, 1, &queue);
  ServerThread running(server);
  ASSERT_EQ(running.port(), low);
  ChildProcess peer(wsPeerArgv({"send", wssUri(low), R"({"fromhost":"h"})"}), "/dev/null");
  ASSERT_EQ(take(1).size(), 1u);
}

TEST_F(SyslogServerTest, TakenPortGivesBadListen) {
  SyslogServer first(0, 1, &queue);
  ServerThread running(first);
  SyslogServer second(running.port(), 1, &queue);
  second.setDebugFunction(recordTrace);
  second.setFunctionSSLContext(serverTlsContext);
  try {
    second.run();
    FAIL() << "run() listened on a taken port";
  } catch (const SyslogException& e) {
    EXPECT_STREQ(e.what(), "bad listen");
  }
  EXPECT_EQ(traceCount("THREAD Syslog#error listen"), 1);
}

TEST_F(SyslogServerTest, NoThreadsMeansRunReturnsOnceListening) {
  SyslogServer server(0, 0, &queue);
  ServerThread running(server);
  ASSERT_TRUE(running.waitReturned(seconds(5)));
  EXPECT_FALSE(running.error());
  EXPECT_NE(running.port(), 0);
  EXPECT_NO_THROW(server.stop());  // still listening
}

TEST_F(SyslogServerTest, WithoutAQueueMessagesAreDropped) {
  TempDir out;
  SyslogServer server;
  ServerThread running(server);
  {
    ChildProcess peer(wsPeerArgv({"send", wssUri(running.port()), R"({"fromhost":"h"})"}),
                      out.file("peer.out"));
    ASSERT_TRUE(waitUntil([&] { return readFile(out.file("peer.out")) == "sent\n"; }, seconds(10)));
  }
  server.stop();
  EXPECT_TRUE(running.waitReturned(seconds(10)));
}

}  // namespace
