// SyslogClient against real receivers: a python server that talks back and
// openssl s_server limited to one TLS version (the daemon tests run it
// against the project's server).
// A client whose open connection closes ends its process, so that case runs
// the client in a forked child.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "support/WsPeers.h"
#include "websocket/SyslogClient.h"

using namespace testsupport;
using std::chrono::seconds;

namespace {

class SyslogClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pair = suiteCert(); }

  static inline TempDir dir;
  static inline CertPair pair;
  TempDir work;
};

TEST_F(SyslogClientTest, AnyFrameFromTheReceiverClosesWith1001PlopAndEndsTheProcess) {
  const int port = freePort();
  ChildProcess receiver(wsPeerArgv({"serve", std::to_string(port), pair.cert, pair.key}),
                        work.file("receiver.out"));
  ASSERT_TRUE(waitUntil([&] { return readFile(work.file("receiver.out")) == "ready\n"; }, seconds(10)));
  ChildProcess child([&] {
    std::ofstream log(work.file("client.out"));  // std::cout on a file, as in the daemon
    std::cout.rdbuf(log.rdbuf());
    static pthread_mutex_t logMutex = PTHREAD_MUTEX_INITIALIZER;
    SyslogClient* c = new SyslogClient(wssUri(port));  // never deleted: the process ends in on_close
    c->setOutputMutex(&logMutex);
    std::thread([] {  // another writer on the same stream and mutex, as the daemon's log is
      for (int i = 0;; ++i) {
        pthread_mutex_lock(&logMutex);
        std::cout << "chatter " << i << "\n" << std::flush;
        pthread_mutex_unlock(&logMutex);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }).detach();
    c->connect();
    std::this_thread::sleep_for(seconds(10));
    return 3;
  });
  int status = -1;
  EXPECT_TRUE(child.wait(seconds(10), &status) && status == 1) << status;
  ASSERT_TRUE(receiver.wait(seconds(10), &status));
  EXPECT_EQ(readFile(work.file("receiver.out")), "ready\nclose 1001 plop\n");

  // Whole lines only: chatter, the three events, the five timings last, and
  // the library's access log (entries start with '[', frame dumps follow).
  const std::regex timing("(Socket Init|TLS Init|Open|Message|Close): -?[0-9]+");
  std::istringstream in(readFile(work.file("client.out")));
  std::vector<std::string> events;
  std::string last;
  for (std::string l; std::getline(in, l); last = l) {
    if (l.compare(0, 7, "chatter") == 0)
      EXPECT_TRUE(std::regex_match(l, std::regex("chatter [0-9]+"))) << "torn line: " << l;
    else if (std::regex_match(l, timing) || l == "INIT SSL" || l == "END SSL" || l == "HEELO")
      events.push_back(l.substr(0, l.find(':')));
    else if (l.rfind("Close code: 1001 reason: plop ", 0) == 0)
      events.push_back("Close code");
    else
      EXPECT_TRUE(l.empty() || l[0] == '[') << "unexpected line: " << l;
  }
  EXPECT_EQ(events, (std::vector<std::string>{"INIT SSL", "END SSL", "HEELO", "Close code", "Socket Init",
                                              "TLS Init", "Open", "Message", "Close"}));
  EXPECT_EQ(last.substr(0, 7), "Close: ") << "the timing report is not the last output";
}

// openssl s_server offering exactly one protocol version, 1.3 or 1.1: the
// client fails in the handshake, which a client offering that version passes,
// reports the failure once and never sends.
TEST_F(SyslogClientTest, Tls13OrTls11OnlyReceiverIsUnreachable) {
  const std::vector<std::string> versions[] = {{"-tls1_3"},
                                               {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}};
  for (const auto& flags : versions) {
    SCOPED_TRACE(flags[0]);
    const int port = freePort();
    const std::string in = work.file("in" + flags[0]), out = work.file("out" + flags[0]);
    std::vector<std::string> argv{"openssl", "s_server", "-accept", std::to_string(port),
                                  "-cert", pair.cert, "-key", pair.key};
    argv.insert(argv.end(), flags.begin(), flags.end());
    // s_server quits at the end of its input: a pipe this test keeps open.
    ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
    std::unique_ptr<int, void (*)(int*)> keepOpen(new int(open(in.c_str(), O_RDWR)),
                                                  [](int* fd) { close(*fd), delete fd; });
    ChildProcess server(argv, out, work.file("err" + flags[0]), in);
    ASSERT_TRUE(waitUntil([&] { return readFile(out).find("ACCEPT") != std::string::npos; }, seconds(10)));
    // s_server reports the cipher of every handshake it completed.
    auto handshake = [&] { return readFile(out).find("CIPHER is") != std::string::npos; };
    // The client writes whole lines to std::cout, here a buffer, under outputMutex.
    pthread_mutex_t outputMutex = PTHREAD_MUTEX_INITIALIZER;
    std::stringbuf output;
    std::unique_ptr<std::streambuf, void (*)(std::streambuf*)> restore(std::cout.rdbuf(&output),
                                                                      [](std::streambuf* b) { std::cout.rdbuf(b); });
    SyslogClient c(wssUri(port));
    c.setOutputMutex(&outputMutex);
    c.connect();
    try {
      c.send("too early");
      ADD_FAILURE() << "send before open did not throw";
    } catch (const websocketpp::exception& e) {
      EXPECT_STREQ(e.what(), "Bad Connection");
    }
    ASSERT_TRUE(waitUntil([&] { return c.getState() == SyslogClient::State::Failed; }, seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // room for a retry that must not come
    pthread_mutex_lock(&outputMutex);
    const std::string text = output.str();
    pthread_mutex_unlock(&outputMutex);
    EXPECT_NE(text.find("INIT SSL\nEND SSL\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Fail handler\nstate: 3\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Fail handler"), text.rfind("Fail handler")) << text;
    EXPECT_THROW(c.send("after the failure"), websocketpp::exception);
    EXPECT_FALSE(handshake()) << readFile(out);
    const ExecResult control = runShell("echo | timeout 10 openssl s_client -connect 127.0.0.1:" +
                                        std::to_string(port) + " " + flags[0] +
                                        " -cipher 'DEFAULT:@SECLEVEL=0' 2>&1");
    EXPECT_TRUE(handshake()) << control.output;
  }
}

}  // namespace
