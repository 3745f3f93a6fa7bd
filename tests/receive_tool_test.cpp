// norv-syslog-receive end to end against an independent peer (python
// websockets): JSON lines out, whole and once, in order per connection; the
// limits on messages, connections and descriptors; SIGTERM ends it with 0,
// bad command lines with 2.
#include <signal.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "support/TestSupport.h"
#include "support/WsPeers.h"

using namespace testsupport;
using std::chrono::seconds;

namespace {

class ReceiveToolTest : public ::testing::Test {
 protected:
  // Starts the receiver with `options` and returns its port (0 on failure).
  int start(std::vector<std::string> options, const std::string& prefix = "") {
    std::vector<std::string> argv{NORV_RECEIVE_PROGRAM, "--port", "0", "--cert", pair.cert,
                                  "--key", pair.key};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!prefix.empty()) argv.insert(argv.begin(), {"prlimit", prefix, "--"});
    receiver = std::make_unique<ChildProcess>(argv, out, err);
    std::smatch port;
    std::string text;
    waitUntil([&] {
      text = readFile(err);
      return std::regex_search(text, port, std::regex("listening on port ([0-9]+)\n"));
    }, seconds(10));
    EXPECT_FALSE(port.empty()) << text;
    return port.empty() ? 0 : std::stoi(port[1]);
  }
  // The received lines, each parsed; a line that is not a whole JSON object fails the case.
  std::vector<std::pair<std::string, std::string>> lines() {
    std::vector<std::pair<std::string, std::string>> got;
    std::istringstream in(readFile(out));
    for (std::string line; std::getline(in, line);) {
      Json::Value v;
      EXPECT_TRUE(Json::Reader().parse(line, v) && v.isObject()) << "torn line: " << line;
      got.emplace_back(v["host"].asString(), v["payload"].asString());
    }
    return got;
  }
  int stop() {
    receiver->signal(SIGTERM);
    int status = -1;
    EXPECT_TRUE(receiver->wait(seconds(15), &status));
    return status;
  }

  TempDir work;
  const CertPair& pair = suiteCert();
  const std::string out = work.file("out"), err = work.file("err");
  std::unique_ptr<ChildProcess> receiver;
};

TEST_F(ReceiveToolTest, PrintsEachReceivedMessageAsAJsonLineAndStopsOnSigterm) {
  const int port = start({"--threads", "2"});
  const std::pair<std::string, std::string> sent[] = {
      {R"({"fromhost":"alpha","msg":"one"})", "alpha"},
      {"not json \"quoted\" \xc3\xa9\x01", "daemonbadhost"},
      {R"({"fromhost":"beta"})", "beta"}};
  std::vector<std::string> args{"send", wssUri(port)};
  for (const auto& s : sent) args.push_back(s.first);
  {
    ChildProcess peer(wsPeerArgv(args), "/dev/null");
    ASSERT_TRUE(waitUntil([&] { return lines().size() >= 3; }, seconds(10))) << readFile(out);
  }  // the sender is gone before the stop
  std::vector<std::pair<std::string, std::string>> expected;
  for (const auto& [payload, host] : sent) expected.emplace_back(host, payload);
  EXPECT_EQ(lines(), expected);
  EXPECT_EQ(stop(), 0) << readFile(err);
}

// One message too large is refused with 1009 and the connection goes; past
// the connection limit a new one is closed at once; the rest are served.
TEST_F(ReceiveToolTest, OversizedMessagesAndSurplusConnectionsAreRefusedTheRestServed) {
  const int port = start({"--max-message", "1000", "--max-connections", "2"});
  const std::string peerOut = work.file("peer");
  ChildProcess peer(wsPeerArgv({"limits", wssUri(port)}), peerOut);
  ASSERT_TRUE(waitUntil([&] { return lines().size() >= 1; }, seconds(10))) << readFile(err);
  EXPECT_EQ(readFile(peerOut), "open\nopen\nrefused\nclosed 1009\nsent\n");
  EXPECT_EQ(lines(), (std::vector<std::pair<std::string, std::string>>{{"l1", R"({"fromhost":"l1"})"}}));
}

// With every descriptor in use, a failed accept is retried after a pause
// and reported a few times, not spun on; once descriptors free up, it serves.
TEST_F(ReceiveToolTest, RunningOutOfDescriptorsIsRetriedCalmly) {
  const int port = start({}, "--nofile=64");
  ChildProcess idle(wsPeerArgv({"idle", "127.0.0.1", std::to_string(port), "100", "3"}), work.file("idle"));
  ASSERT_TRUE(waitUntil([&] { return readFile(work.file("idle")) == "closed\n"; }, seconds(15)));
  const std::string log = readFile(err);
  const std::regex accept("accept");
  const auto failures = std::distance(std::sregex_iterator(log.begin(), log.end(), accept), std::sregex_iterator());
  EXPECT_GT(failures, 2) << "no accept failure seen";
  EXPECT_LT(failures, 40) << log.substr(0, 3000);
  ChildProcess peer(wsPeerArgv({"send", wssUri(port), R"({"fromhost":"after"})"}), "/dev/null");
  EXPECT_TRUE(waitUntil([&] { return lines().size() == 1; }, seconds(10))) << readFile(err).substr(0, 3000);
}

// Connections that stay keep every message, once, whole and in order, while
// others are cut at random points (which makes the library write error
// lines); no descriptor is left behind once all are gone.
TEST_F(ReceiveToolTest, EveryMessageOfAConnectionThatStaysIsPrintedOnceWholeAndInOrder) {
  const int keep = 100, drop = 40, count = 50;
  const int port = start({"--threads", "2"});
  std::vector<int> next(keep, 0), nextCut(drop, 0);
  {
    ChildProcess peer(wsPeerArgv({"storm", wssUri(port), std::to_string(keep), std::to_string(drop),
                                  std::to_string(count)}), work.file("storm"));
    ASSERT_TRUE(waitUntil([&] { return readFile(work.file("storm")) == "sent\n"; }, seconds(30)));
    ASSERT_TRUE(waitUntil([&] { return lines().size() >= size_t(keep * count); }, seconds(20)));
  }
  for (const auto& [host, payload] : lines()) {
    const bool stays = host[0] == 'c';
    const int k = std::stoi(host.substr(1));
    ASSERT_TRUE((stays || host[0] == 'd') && k < (stays ? keep : drop)) << host;
    const int i = stays ? next[k]++ : nextCut[k]++;
    ASSERT_EQ(payload, "{\"fromhost\":\"" + host + "\",\"seq\":" + std::to_string(i) +
                           (stays ? "" : ",\"pad\":\"" + std::string((37 * k + 101 * i) % 20000, 'x') + "\"") + "}");
  }
  EXPECT_EQ(next, std::vector<int>(keep, count));
  EXPECT_EQ(stop(), 0);
}

TEST_F(ReceiveToolTest, BadCommandLinesExitWithTwo) {
  const std::pair<std::string, std::string> cases[] = {
      {" --cert '" + pair.cert + "'", "--cert and --key are required"},
      {" --cert /nonexistent/c.pem --key '" + pair.key + "'", "/nonexistent/c.pem"},
      {" --cert '" + pair.cert + "' --key '" + pair.key + "' --queue-limit 0", "--queue-limit wants a number"},
  };
  for (const auto& [options, message] : cases) {
    const ExecResult r = runShell(std::string("timeout 10 ") + NORV_RECEIVE_PROGRAM + options);
    EXPECT_EQ(r.status, 2) << options << "\n" << r.output;
    EXPECT_NE(r.output.find(message), std::string::npos) << options << "\n" << r.output;
  }
}

}  // namespace
