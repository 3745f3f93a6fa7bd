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
  static void SetUpTestSuite() {
    dir = new TempDir;
    pair = makeSelfSignedCert(dir->path());
  }
  static void TearDownTestSuite() { delete dir; }

  static TempDir* dir;
  static CertPair pair;
  TempDir work;
};
TempDir* ReceiveToolTest::dir = nullptr;
CertPair ReceiveToolTest::pair;

TEST_F(ReceiveToolTest, PrintsEachReceivedMessageAsAJsonLineAndStopsOnSigterm) {
  const std::string out = work.file("out"), err = work.file("err");
  ChildProcess tool({binPath("norv-syslog-receive"), "--port", "0", "--threads", "2", "--cert",
                     pair.cert, "--key", pair.key},
                    out, err);
  std::smatch m;
  const std::regex listening("listening on port ([0-9]+)\n");
  std::string errText;
  ASSERT_TRUE(waitUntil([&] {
    errText = readFile(err);
    return std::regex_search(errText, m, listening);
  }, seconds(10))) << errText;
  const std::string port = m[1];

  const std::vector<std::string> messages = {R"({"fromhost":"alpha","msg":"one"})",
                                             "not json \"quoted\"", R"({"fromhost":"beta"})"};
  {
    std::vector<std::string> args{"send", "wss://127.0.0.1:" + port};
    args.insert(args.end(), messages.begin(), messages.end());
    ChildProcess peer(wsPeerArgv(args), "/dev/null");
    ASSERT_TRUE(waitUntil([&] {
      std::string t = readFile(out);
      return std::count(t.begin(), t.end(), '\n') >= 3;
    }, seconds(10))) << readFile(out);
  }  // the sender is gone before the stop

  std::istringstream lines(readFile(out));
  const std::vector<std::string> hosts = {"alpha", "daemonbadhost", "beta"};
  std::string line;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    ASSERT_TRUE(std::getline(lines, line));
    Json::Value v;
    ASSERT_TRUE(Json::Reader().parse(line, v)) << line;
    EXPECT_EQ(v["host"].asString(), hosts[i]);
    EXPECT_EQ(v["payload"].asString(), messages[i]);
  }
  EXPECT_FALSE(std::getline(lines, line)) << "extra output: " << line;

  tool.signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(tool.wait(seconds(10), &status));
  EXPECT_EQ(status, 0) << readFile(err);
}

TEST_F(ReceiveToolTest, BadCommandLinesExitWithTwo) {
  const std::string tool = binPath("norv-syslog-receive");
  const std::string certs = " --cert '" + pair.cert + "' --key '" + pair.key + "'";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "--cert and --key are required"},
      {" --cert '" + pair.cert + "'", "--cert and --key are required"},
      {certs + " --port abc", "--port"},
      {certs + " --port 70000", "--port"},
      {certs + " --threads 0", "--threads"},
      {certs + " --bogus", "--bogus"},
      {" --cert /nonexistent/c.pem --key '" + pair.key + "'", "/nonexistent/c.pem"},
      {" --cert '" + pair.cert + "' --key '" + pair.cert + "'", pair.cert},  // no key in it
  };
  for (const auto& c : cases) {
    ExecResult r = runShell("timeout 10 " + tool + c.first);
    EXPECT_EQ(r.status, 2) << c.first << "\n" << r.output;
    EXPECT_NE(r.output.find(c.second), std::string::npos) << c.first << "\n" << r.output;
  }
}

}  // namespace
