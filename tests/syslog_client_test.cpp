// SyslogClient against real receivers: the project's server, a python
// server that talks back, and openssl s_server limited to one TLS version.
// A client whose open connection closes ends its process, so those cases
// run the client in a forked child (forked before the test starts threads).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "support/WsPeers.h"
#include "websocket/SyslogClient.h"
#include "websocket/SyslogServer.h"

using namespace testsupport;
using std::chrono::seconds;

namespace {

// A child running body(uri) with std::cout on an ofstream at outPath (as in
// the daemon); uri is the line that start() sends it. A body that returns
// ends the child with status 3.
class ForkedClient {
 public:
  ForkedClient(const std::string& outPath, std::function<void(const std::string&)> body) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    if ((pid_ = fork()) == 0) {
      std::string uri;
      char c;
      pollfd p{fds[0], POLLIN, 0};
      while (poll(&p, 1, 10000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') uri += c;
      std::ofstream log(outPath);
      std::cout.rdbuf(log.rdbuf());
      body(uri);
      _exit(3);
    }
    close(fds[0]);
    toChild_ = fds[1];
  }
  ~ForkedClient() {
    close(toChild_);
    kill();
  }
  void kill() {
    if (status_ >= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    status_ = 128 + SIGKILL;
  }
  void start(const std::string& uri) { ASSERT_GT(write(toChild_, (uri + "\n").data(), uri.size() + 1), 0); }
  // Exit status, or -1 while the child still runs after timeout.
  int wait(std::chrono::milliseconds timeout) {
    int st = 0;
    if (waitUntil([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, timeout))
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int status_ = -1;
};

class SyslogClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    pair = makeSelfSignedCert(dir->path());
    useServerCert(pair);
  }
  static void TearDownTestSuite() { delete dir; }
  // A client printing to this process's std::cout, which goes to a fresh
  // buffer (no other client is left to write to it).
  SyslogClient& client(const std::string& uri) {
    local.reset();
    output.str("");
    if (!saved) saved = std::cout.rdbuf(&output);
    local.reset(new SyslogClient(uri));
    local->setOutputMutex(&outputMutex);
    return *local;
  }
  // The client writes whole lines under outputMutex.
  std::string captured() {
    pthread_mutex_lock(&outputMutex);
    std::string text = output.str();
    pthread_mutex_unlock(&outputMutex);
    return text;
  }
  void TearDown() override {
    local.reset();
    if (saved) std::cout.rdbuf(saved);
  }

  static TempDir* dir;
  static CertPair pair;
  TempDir work;
  pthread_mutex_t outputMutex = PTHREAD_MUTEX_INITIALIZER;
  std::stringbuf output;
  std::streambuf* saved = nullptr;
  std::unique_ptr<SyslogClient> local;
};
TempDir* SyslogClientTest::dir = nullptr;
CertPair SyslogClientTest::pair;

TEST_F(SyslogClientTest, DeliversEveryMessageInOrderToTheServer) {
  const std::vector<std::string> messages = {R"({"fromhost":"db1","n":1})", "", "last one"};
  ForkedClient child(work.file("client.out"), [&](const std::string& uri) {
    SyslogClient* c = new SyslogClient(uri);  // never deleted: the process is killed
    c->connect();
    if (!waitUntil([&] { return c->getState() == SyslogClient::State::Open; }, seconds(10))) _exit(4);
    for (const auto& m : messages) c->send(m);
    std::this_thread::sleep_for(seconds(10));
  });
  ExecuteQueue<notification> queue;
  SyslogServer server(0, 1, &queue);
  ServerThread running(server);
  child.start(wssUri(running.port()));
  notification n;
  for (const auto& m : messages) {
    ASSERT_TRUE(queue.popFor(n, seconds(10))) << "missing: " << m;
    EXPECT_EQ(n.payload, m);
  }
  child.kill();  // before the server stops: no close handshake to wait for
}

TEST_F(SyslogClientTest, AnyFrameFromTheReceiverClosesWith1001PlopAndEndsTheProcess) {
  const int port = freePort();
  ChildProcess receiver(wsPeerArgv({"serve", std::to_string(port), pair.cert, pair.key}),
                        work.file("receiver.out"));
  ASSERT_TRUE(waitUntil([&] { return readFile(work.file("receiver.out")) == "ready\n"; }, seconds(10)));
  ForkedClient child(work.file("client.out"), [](const std::string& uri) {
    static pthread_mutex_t logMutex = PTHREAD_MUTEX_INITIALIZER;
    SyslogClient* c = new SyslogClient(uri);  // never deleted: the process ends in on_close
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
  });
  child.start(wssUri(port));
  EXPECT_EQ(child.wait(seconds(10)), 1);
  int status = -1;
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
    else
      EXPECT_TRUE(l.empty() || l[0] == '[') << "unexpected line: " << l;
  }
  EXPECT_EQ(events, (std::vector<std::string>{"INIT SSL", "END SSL", "HEELO", "Socket Init",
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
    SyslogClient& c = client(wssUri(port));
    c.connect();
    try {
      c.send("too early");
      ADD_FAILURE() << "send before open did not throw";
    } catch (const websocketpp::exception& e) {
      EXPECT_STREQ(e.what(), "Bad Connection");
    }
    ASSERT_TRUE(waitUntil([&] { return c.getState() == SyslogClient::State::Failed; }, seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // room for a retry that must not come
    const std::string text = captured();
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
