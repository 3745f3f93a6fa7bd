// norv-syslog-receive end to end: an independent sender, JSON lines out in
// order, SIGTERM ends it with 0; bad command lines end it with 2.
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
  TempDir work;
  CertPair pair = makeSelfSignedCert(work.path());
  const std::string tool = binPath("norv-syslog-receive");
};

TEST_F(ReceiveToolTest, PrintsEachReceivedMessageAsAJsonLineAndStopsOnSigterm) {
  const std::string out = work.file("out"), err = work.file("err");
  ChildProcess receiver({tool, "--port", "0", "--threads", "2", "--cert", pair.cert, "--key", pair.key},
                        out, err);
  std::smatch port;
  std::string errText;
  ASSERT_TRUE(waitUntil([&] {
    errText = readFile(err);
    return std::regex_search(errText, port, std::regex("listening on port ([0-9]+)\n"));
  }, seconds(10))) << errText;

  const std::pair<std::string, std::string> sent[] = {
      {R"({"fromhost":"alpha","msg":"one"})", "alpha"},
      {"not json \"quoted\"", "daemonbadhost"},
      {R"({"fromhost":"beta"})", "beta"}};
  std::vector<std::string> args{"send", wssUri(std::stoi(port[1]))};
  for (const auto& s : sent) args.push_back(s.first);
  {
    ChildProcess peer(wsPeerArgv(args), "/dev/null");
    ASSERT_TRUE(waitUntil([&] {
      const std::string text = readFile(out);
      return std::count(text.begin(), text.end(), '\n') >= 3;
    }, seconds(10))) << readFile(out);
  }  // the sender is gone before the stop
  std::istringstream lines(readFile(out));
  std::string line;
  for (const auto& [payload, host] : sent) {
    Json::Value v;
    ASSERT_TRUE(std::getline(lines, line) && Json::Reader().parse(line, v)) << line;
    EXPECT_EQ(v["host"].asString(), host);
    EXPECT_EQ(v["payload"].asString(), payload);
  }
  EXPECT_FALSE(std::getline(lines, line)) << "extra output: " << line;

  receiver.signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(receiver.wait(seconds(10), &status));
  EXPECT_EQ(status, 0) << readFile(err);
}

TEST_F(ReceiveToolTest, BadCommandLinesExitWithTwo) {
  const std::pair<std::string, std::string> cases[] = {
      {" --cert '" + pair.cert + "'", "--cert and --key are required"},
      {" --cert /nonexistent/c.pem --key '" + pair.key + "'", "/nonexistent/c.pem"},
  };
  for (const auto& [options, message] : cases) {
    const ExecResult r = runShell("timeout 10 " + tool + options);
    EXPECT_EQ(r.status, 2) << options << "\n" << r.output;
    EXPECT_NE(r.output.find(message), std::string::npos) << options << "\n" << r.output;
  }
}

}  // namespace
