// SyslogClient against real receivers: a python server that talks back, and
// openssl s_server limited to one TLS version.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/TestSupport.h"
#include "support/WsPeers.h"
#include "websocket/SyslogClient.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const CertPair& pair = suiteCert();

TEST(SyslogClientTest, AnyFrameFromTheReceiverClosesWith1001PlopAndEndsTheProcess) {
  TempDir work;
  const std::string received = work.file("receiver.out"), printed = work.file("client.out");
  ChildProcess receiver(wsPeerArgv({"serve", "0", pair.cert, pair.key}), received);
  const int port = portSaid(received, "ready ");
  ASSERT_NE(port, 0);
  ChildProcess child([&]() -> int {  // as a client whose connection closes ends its process
    std::ofstream log(printed);      // std::cout on a file, as in the daemon
    std::cout.rdbuf(log.rdbuf());
    static pthread_mutex_t logMutex = PTHREAD_MUTEX_INITIALIZER;
    SyslogClient* c = new SyslogClient(wssUri(port));  // never deleted: on_close ends the process
    c->setOutputMutex(&logMutex);
    std::thread([] {  // another writer on the same stream and mutex, as the daemon's log is
      for (int i = 0;; ++i) {
        pthread_mutex_lock(&logMutex);
        std::cout << "chatter " << i << "\n" << std::flush;
        pthread_mutex_unlock(&logMutex);
        std::this_thread::sleep_for(200us);
      }
    })
        .detach();
    c->connect();
    for (;;) pause();  // until the close ends the process (or the test kills it)
  });
  int status = -1;
  EXPECT_TRUE(child.wait(10s, &status) && status == 1) << status;
  ASSERT_TRUE(receiver.wait(10s, &status));
  EXPECT_EQ(readFile(received), "ready " + std::to_string(port) + "\nclose 1001 plop\n");

  // Whole lines only: chatter, the three events, the five timings last, and
  // the library's access log (entries start with '[', frame dumps follow).
  const std::regex chatter("chatter [0-9]+"), end("\nClose: -?[0-9]+\n$");
  const std::regex event(
      "INIT SSL|END SSL|HEELO|Close code: 1001 reason: plop .*|"
      "(Socket Init|TLS Init|Open|Message|Close): -?[0-9]+");
  const std::string text = readFile(printed);
  std::istringstream in(text);
  std::string events;
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("chatter", 0) == 0)
      EXPECT_TRUE(std::regex_match(l, chatter)) << "torn line: " << l;
    else if (std::regex_match(l, event))
      events += l.substr(0, l.find(':')) + ",";
    else
      EXPECT_TRUE(l.empty() || l[0] == '[') << "unexpected line: " << l;
  }
  EXPECT_EQ(events, "INIT SSL,END SSL,HEELO,Close code,Socket Init,TLS Init,Open,Message,Close,");
  EXPECT_TRUE(std::regex_search(text, end)) << "the timing report is not the last output";
}

// openssl s_server offering exactly one protocol version, 1.3 or 1.1: the
// client fails in the handshake, which a client offering that version passes,
// reports the failure once and never sends.
TEST(SyslogClientTest, Tls13OrTls11OnlyReceiverIsUnreachable) {
  TempDir work;
  for (const std::string version : {"-tls1_3", "-tls1_1"}) {
    SCOPED_TRACE(version);
    const std::string in = work.file("in" + version), out = work.file("out" + version);
    // s_server quits at the end of its input: a pipe this test keeps open.
    ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
    const int keepOpen = open(in.c_str(), O_RDWR);
    ChildProcess server({"openssl", "s_server", "-accept", "0", "-cert", pair.cert, "-key",
                         pair.key, version, "-cipher", "DEFAULT:@SECLEVEL=0"},
                        out, "/dev/null", in);
    // s_server reports the cipher of every handshake it completed.
    auto handshake = [&] { return readFile(out).find("CIPHER is") != std::string::npos; };
    const int port = portSaid(out, "ACCEPT \\[::\\]:");
    ASSERT_NE(port, 0) << readFile(out);
    pthread_mutex_t outputMutex = PTHREAD_MUTEX_INITIALIZER;
    std::stringbuf output;  // the client's lines, whole, under outputMutex
    std::streambuf* cout = std::cout.rdbuf(&output);
    SyslogClient c(wssUri(port));
    c.setOutputMutex(&outputMutex);
    c.connect();
    EXPECT_THROW(c.send("too early"), websocketpp::exception);
    EXPECT_EQ(c.waitWhile(SyslogClient::State::Connecting, 10s), SyslogClient::State::Failed);
    EXPECT_THROW(c.send("after the failure"), websocketpp::exception);
    EXPECT_FALSE(handshake()) << readFile(out);
    // A client offering that version gets through (and gives a retry that
    // must not come time to show).
    const ExecResult control =
        runShell("echo | timeout 10 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                 " " + version + " -cipher DEFAULT:@SECLEVEL=0");
    EXPECT_TRUE(handshake()) << control.output;
    pthread_mutex_lock(&outputMutex);
    const std::string text = output.str();
    std::cout.rdbuf(cout);
    pthread_mutex_unlock(&outputMutex);
    EXPECT_NE(text.find("Fail handler\nstate: 3\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Fail handler"), text.rfind("Fail handler")) << text;
    close(keepOpen);
  }
}

}  // namespace
