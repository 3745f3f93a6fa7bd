// norv-syslog-receive end to end against an independent peer (python
// websockets): JSON lines out, whole and once, in order per connection; the
// limits on messages, connections and descriptors; SIGTERM ends it with 0,
// bad command lines with 2.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/WsPeers.h"

using namespace testsupport;
using namespace std::chrono_literals;
using Lines = std::vector<std::pair<std::string, std::string>>;

namespace {

class ReceiveToolTest : public ::testing::Test {
 protected:
  // Starts the receiver with `options` (under prlimit `limit` if given); its port, 0 on failure.
  int start(std::vector<std::string> options, const std::string& limit = "") {
    std::vector<std::string> argv = receiverArgv(NORV_RECEIVE_PROGRAM, 0, pair, options);
    if (!limit.empty()) argv.insert(argv.begin(), {"prlimit", limit, "--"});
    const int port = startListening(receiver, argv, out, err);
    EXPECT_NE(port, 0) << readFile(err);
    return port;
  }
  // The lines received as (host, payload); a line that is not a whole JSON
  // object fails the case.
  Lines lines() {
    Lines got;
    std::istringstream in(readFile(out));
    for (std::string line; std::getline(in, line);) {
      Json::Value v;
      EXPECT_TRUE(Json::Reader().parse(line, v) && v.isObject()) << "torn line: " << line;
      got.emplace_back(v["host"].asString(), v["payload"].asString());
    }
    return got;
  }
  // Runs the peer with `args` until its output is `expected` (true) or 30 s have passed.
  bool peerSays(const std::vector<std::string>& args, const std::string& expected) {
    peer = std::make_unique<ChildProcess>(wsPeerArgv(args), work.file("peer"));
    return waitUntil([&] { return readFile(work.file("peer")) == expected; }, 30s);
  }

  // How many times `text` stands in the receiver's standard error.
  long logged(const std::string& text) {
    const std::string log = readFile(err);
    long n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

  TempDir work;
  const CertPair& pair = suiteCert();
  const std::string out = work.file("out"), err = work.file("err");
  std::unique_ptr<ChildProcess> receiver, peer;
};

TEST_F(ReceiveToolTest, PrintsEachReceivedMessageAsAJsonLineAndStopsOnSigterm) {
  const Lines sent = {{"alpha", R"({"fromhost":"alpha","msg":"one"})"},
                      {"daemonbadhost", "not json \"quoted\" \xc3\xa9\x01"},
                      {"beta", R"({"fromhost":"beta"})"}};
  std::vector<std::string> args{"send", wssUri(start({"--threads", "2"}))};
  for (const auto& s : sent) args.push_back(s.second);
  ASSERT_TRUE(peerSays(args, "sent\n"));
  ASSERT_TRUE(waitUntil([&] { return lines().size() >= 3; }, 10s)) << readFile(out);
  peer.reset();  // gone before the stop
  EXPECT_EQ(lines(), sent);
  EXPECT_EQ(receiver->stop(SIGTERM, 15s), 0) << readFile(err);
}

// One message too large is refused with 1009 and the connection goes; past
// the connection limit a new one is closed at once; the rest are served. A
// flood of surplus connections is reported, not logged a line each.
TEST_F(ReceiveToolTest, OversizedMessagesAndSurplusConnectionsAreRefusedTheRestServed) {
  const int port = start({"--max-message", "1000", "--max-connections", "2"});
  EXPECT_TRUE(peerSays({"limits", wssUri(port)}, "open\nopen\nrefused\nclosed 1009\nsent\n"));
  ASSERT_TRUE(waitUntil([&] { return lines().size() >= 1; }, 10s)) << readFile(err);
  EXPECT_EQ(lines(), (Lines{{"l1", R"({"fromhost":"l1"})"}}));
  ASSERT_TRUE(peerSays({"idle", "127.0.0.1", std::to_string(port), "60", "1"}, "closed\n"));
  EXPECT_LT(logged("] connection refused: "), 5) << readFile(err).substr(0, 3000);
}

// With every descriptor in use, a failed accept is reported and retried after
// a pause, not spun on; once descriptors free up, it serves.
TEST_F(ReceiveToolTest, RunningOutOfDescriptorsIsRetriedCalmly) {
  const int port = start({}, "--nofile=64");
  ASSERT_TRUE(peerSays({"idle", "127.0.0.1", std::to_string(port), "100", "3"}, "closed\n"));
  const std::string log = readFile(err);
  EXPECT_GT(logged("] accept failed: "), 0) << "not reported";
  EXPECT_LT(logged("accept"), 40) << "spun on: "
                                  << log.substr(0, 3000);  // the library logs each attempt
  ASSERT_TRUE(peerSays({"send", wssUri(port), R"({"fromhost":"after"})"}, "sent\n"));
  EXPECT_TRUE(waitUntil([&] { return lines().size() == 1; }, 10s)) << log.substr(0, 3000);
}

// Connections that stay keep every message, once, whole and in order, while
// others are cut at random points, on four loop threads.
TEST_F(ReceiveToolTest, EveryMessageOfAConnectionThatStaysIsPrintedOnceWholeAndInOrder) {
  const int keep = 100, drop = 40, count = 50;
  const int port = start({"--threads", "4"});
  ASSERT_TRUE(peerSays(
      {"storm", wssUri(port), std::to_string(keep), std::to_string(drop), std::to_string(count)},
      "sent\n"));
  ASSERT_TRUE(waitUntil([&] { return lines().size() >= size_t(keep * count); }, 20s));
  peer.reset();
  std::vector<int> next(keep, 0), nextCut(drop, 0);
  for (const auto& [host, payload] : lines()) {
    const bool stays = host[0] == 'c';
    const int k = std::stoi(host.substr(1));
    ASSERT_TRUE((stays || host[0] == 'd') && k < (stays ? keep : drop)) << host;
    const int i = stays ? next[k]++ : nextCut[k]++;
    const std::string pad =
        stays ? "" : ",\"pad\":\"" + std::string((37 * k + 101 * i) % 20000, 'x') + "\"";
    ASSERT_EQ(payload, "{\"fromhost\":\"" + host + "\",\"seq\":" + std::to_string(i) + pad + "}");
  }
  EXPECT_EQ(next, std::vector<int>(keep, count));
  EXPECT_EQ(receiver->stop(SIGTERM, 15s), 0);
}

// Hostile peers: pings without end and never a pong read, TCP connections
// that never start TLS (opened again as soon as they are dropped) beyond the
// connection limit, open connections that say nothing (cut off). None of
// them grows the receiver's memory or keeps a sender out.
TEST_F(ReceiveToolTest, HostilePeersNeitherExhaustNorLockOutTheReceiver) {
  const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
      {{"--threads", "2"}, {"pingflood", "URI", "4"}},
      {{"--max-connections", "20"}, {"squat", "127.0.0.1", "PORT", "40", "4"}},
      {{"--idle-timeout", "1"}, {"hold", "URI", "2"}},
  };
  const std::string says[] = {"flooding\n", "squatting\nsquatted",
                              "open 2\nclosed 1001 'idle for 1 s'\n"};
  for (int i = 0; i < 3; ++i) {
    auto [options, args] = cases[i];
    SCOPED_TRACE(args[0]);
    const int port = start(options);
    for (std::string& a : args)
      a = a == "URI" ? wssUri(port) : a == "PORT" ? std::to_string(port) : a;
    ChildProcess hostile(wsPeerArgv(args), work.file("hostile"));
    ASSERT_TRUE(waitUntil([&] { return !readFile(work.file("hostile")).empty(); }, 10s));
    ASSERT_TRUE(peerSays({"send", wssUri(port), R"({"fromhost":"real"})"}, "sent\n"));
    EXPECT_TRUE(waitUntil([&] { return lines().size() == 1; }, 10s)) << readFile(err);
    EXPECT_TRUE(hostile.wait(20s, nullptr));
    EXPECT_EQ(readFile(work.file("hostile")).rfind(says[i], 0), 0u)
        << readFile(work.file("hostile"));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peakRssKb(receiver->pid()), 40000);
#endif
    peer.reset();
    EXPECT_EQ(receiver->stop(SIGTERM, 15s), 0);
  }
}

TEST_F(ReceiveToolTest, BadCommandLinesExitWithTwo) {
  const std::pair<std::string, std::string> cases[] = {
      {" --cert " + pair.cert, "--cert and --key are required"},
      {" --cert /nonexistent/c.pem --key " + pair.key, "/nonexistent/c.pem"},
      {" --cert " + pair.cert + " --key " + pair.key + " --queue-limit 0",
       "--queue-limit must be a number from 1 to"},
  };
  for (const auto& [options, message] : cases) {
    const ExecResult r = runShell(std::string("timeout 10 ") + NORV_RECEIVE_PROGRAM + options);
    EXPECT_EQ(r.status, 2) << options << "\n" << r.output;
    EXPECT_NE(r.output.find(message), std::string::npos) << options << "\n" << r.output;
  }
}

}  // namespace
