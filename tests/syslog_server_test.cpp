// SyslogServer against an independent peer (python websockets): hosts taken
// from the messages, the stop sequence, listening edges (order under load:
// fault_test).
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "support/WsPeers.h"
#include "websocket/SyslogServer.h"

using namespace testsupport;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

class SyslogServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { useServerCert(suiteCert()); }
  // Up to n notifications off the queue, waiting at most timeout.
  std::vector<notification> take(std::size_t n, milliseconds timeout = seconds(10)) {
    std::vector<notification> out;
    const auto end = std::chrono::steady_clock::now() + timeout;
    notification item;
    while (out.size() < n && std::chrono::steady_clock::now() < end)
      if (queue.popFor(item, milliseconds(50))) out.push_back(item);
    return out;
  }
  static inline TempDir dir;
  TempDir work;
  ExecuteQueue<notification> queue;
};

TEST_F(SyslogServerTest, QueuesEveryMessageWithTheHostItNames) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"level":"err","fromhost":"web-01","msg":"disk full"})", "web-01"},
      {R"({"msg":"no host here"})", "daemonbadhost"},
      {"plain text, not JSON", "daemonbadhost"},
      {R"({"fromhost":null})", ""},
      {R"({"fromhost":12})", "12"},
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
  ServerThread running(server);
  std::vector<std::string> args{"send", wssUri(running.port())};
  for (const auto& c : cases) args.push_back(c.first);
  ChildProcess peer(wsPeerArgv(args), "/dev/null");

  const std::vector<notification> got = take(std::size(cases));
  EXPECT_TRUE(peer.running()) << "the server dropped the connection";
  ASSERT_EQ(got.size(), std::size(cases));
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].host, cases[i].second) << "payload: " << cases[i].first.substr(0, 60);
    EXPECT_EQ(got[i].payload, cases[i].first);
  }
}

TEST_F(SyslogServerTest, StopClosesEveryOpenConnectionThenRunReturnsAndASecondStopThrows) {
  const std::string out = work.file("peer.out");
  SyslogServer server(0, 2, &queue);
  ServerThread running(server);
  ChildProcess peer(wsPeerArgv({"hold", wssUri(running.port()), "2"}), out);
  ASSERT_TRUE(waitUntil([&] { return readFile(out) == "open 2\n"; }, seconds(10)));
  server.stop();
  ASSERT_TRUE(running.waitReturned(seconds(10)));
  EXPECT_FALSE(running.error());
  int status = -1;
  ASSERT_TRUE(peer.wait(seconds(10), &status) && status == 0) << status;
  EXPECT_EQ(readFile(out), "open 2\nclosed 1000 ''\nclosed 1000 ''\n");

  // A lock left held by the first failure would make the third call hang.
  for (int i = 0; i < 2; ++i) {
    auto again = std::async(std::launch::async, [&server] { server.stop(); });
    ASSERT_EQ(again.wait_for(seconds(5)), std::future_status::ready);
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
    ASSERT_EQ(take(1).size(), 1u);

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
  ASSERT_TRUE(running.waitReturned(seconds(5)));  // run returns once listening
  EXPECT_FALSE(running.error());
  EXPECT_NE(running.port(), 0);
  EXPECT_NO_THROW(noThreads.stop());  // still listening
}

TEST_F(SyslogServerTest, WithoutAQueueMessagesAreDropped) {
  const std::string out = work.file("peer.out");
  SyslogServer server;
  ServerThread running(server);
  {
    ChildProcess peer(wsPeerArgv({"send", wssUri(running.port()), R"({"fromhost":"h"})"}), out);
    ASSERT_TRUE(waitUntil([&] { return readFile(out) == "sent\n"; }, seconds(10)));
  }
  server.stop();
  EXPECT_TRUE(running.waitReturned(seconds(10)));
}

}  // namespace
