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
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// A child process running `body` with std::cout on an ofstream's buffer (as
// in the daemon) and descriptors 1 and 2 on files. The body gets the first
// line the parent writes into the pipe (the receiver's URI). A body that
// returns ends the child with status 3.
class ForkedClient {
 public:
  ForkedClient(const std::string& outPath, std::function<void(const std::string&)> body) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[1]);
      int fd = open((outPath + ".fd").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
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
    if (toChild_ >= 0) close(toChild_);
    kill();
  }
  void kill() {
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  void start(const std::string& uri) {
    std::string line = uri + "\n";
    ASSERT_EQ(write(toChild_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  // Exit status, or -1 if the child is still running after `timeout`.
  int wait(milliseconds timeout) {
    int st = 0;
    bool done = waitUntil([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, timeout);
    if (!done) return -1;
    reaped_ = true;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  bool reaped_ = false;
};

// Connects, waits for the open connection (else exits 4), and sends.
void connectAndSend(SyslogClient& client, const std::vector<std::string>& messages) {
  client.connect();
  if (!waitUntil([&] { return client.getState() == SyslogClient::State::Open; }, seconds(10)))
    _exit(4);
  for (const auto& m : messages) client.send(m);
}

// Captures std::cout in this process while a client prints to it; the client
// and this capture share the mutex, so reads see whole lines.
class CoutCapture {
 public:
  explicit CoutCapture(pthread_mutex_t* m) : mutex_(m) {
    pthread_mutex_lock(mutex_);
    old_ = std::cout.rdbuf(&buf_);
    pthread_mutex_unlock(mutex_);
  }
  ~CoutCapture() {
    pthread_mutex_lock(mutex_);
    std::cout.rdbuf(old_);
    pthread_mutex_unlock(mutex_);
  }
  std::string text() {
    pthread_mutex_lock(mutex_);
    std::string t = buf_.str();
    pthread_mutex_unlock(mutex_);
    return t;
  }

 private:
  pthread_mutex_t* mutex_;
  std::stringbuf buf_;
  std::streambuf* old_;
};

class SyslogClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    pair = makeSelfSignedCert(dir->path());
    useServerCert(pair);
  }
  static void TearDownTestSuite() { delete dir; }

  static TempDir* dir;
  static CertPair pair;
  TempDir work;
  pthread_mutex_t outputMutex = PTHREAD_MUTEX_INITIALIZER;
};
TempDir* SyslogClientTest::dir = nullptr;
CertPair SyslogClientTest::pair;

TEST_F(SyslogClientTest, DeliversEveryMessageInOrderToTheServer) {
  const std::vector<std::string> messages = {R"({"fromhost":"db1","n":1})", "",
                                             R"({"fromhost":"db1","n":2})", "last one"};
  ForkedClient child(work.file("client.out"), [&](const std::string& uri) {
    SyslogClient* client = new SyslogClient(uri);  // never deleted: the process is killed
    connectAndSend(*client, messages);
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
  int port = freePort();
  ChildProcess receiver(wsPeerArgv({"serve", std::to_string(port), pair.cert, pair.key}),
                        work.file("receiver.out"));
  ASSERT_TRUE(waitUntil([&] { return readFile(work.file("receiver.out")) == "ready\n"; },
                        seconds(10)));
  const std::string out = work.file("client.out");
  ForkedClient child(out, [](const std::string& uri) {
    static pthread_mutex_t logMutex = PTHREAD_MUTEX_INITIALIZER;
    SyslogClient* client = new SyslogClient(uri);  // never deleted: the process ends in on_close
    client->setOutputMutex(&logMutex);
    // Another writer on the same stream and mutex, as the daemon's log is.
    std::thread([] {
      for (int i = 0;; ++i) {
        pthread_mutex_lock(&logMutex);
        std::cout << "chatter " << i << "\n";
        std::cout.flush();
        pthread_mutex_unlock(&logMutex);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }).detach();
    client->connect();
    std::this_thread::sleep_for(seconds(10));
  });
  child.start(wssUri(port));
  EXPECT_EQ(child.wait(seconds(10)), 1);
  int status = -1;
  ASSERT_TRUE(receiver.wait(seconds(10), &status));
  EXPECT_EQ(readFile(work.file("receiver.out")), "ready\nclose 1001 plop\n");

  std::vector<std::string> got = lines(readFile(out));
  const std::regex chatter("chatter [0-9]+");
  const std::regex timing("(Socket Init|TLS Init|Open|Message|Close): -?[0-9]+");
  std::vector<std::string> events, timings;
  for (const auto& l : got) {
    if (l.find("chatter") != std::string::npos) {
      EXPECT_TRUE(std::regex_match(l, chatter)) << "torn line: " << l;
    } else if (std::regex_match(l, timing)) {
      timings.push_back(l.substr(0, l.find(':')));
    } else if (l == "INIT SSL" || l == "END SSL" || l == "HEELO") {
      events.push_back(l);
    } else {
      // The library's access log: entries start with '[', frame dumps
      // continue on lines of their own.
      EXPECT_TRUE(l.empty() || l[0] == '[') << "unexpected line: " << l;
    }
  }
  EXPECT_EQ(events, (std::vector<std::string>{"INIT SSL", "END SSL", "HEELO"}));
  EXPECT_EQ(timings, (std::vector<std::string>{"Socket Init", "TLS Init", "Open", "Message", "Close"}));
  ASSERT_GE(got.size(), 5u);
  EXPECT_EQ(got.back().substr(0, 7), "Close: ") << "the timing report is not the last output";
}

TEST_F(SyslogClientTest, SendBeforeOpenThrowsAndAFailedAttemptIsReportedOnce) {
  CoutCapture capture(&outputMutex);
  SyslogClient client(wssUri(freePort()));  // nothing listens there
  client.setOutputMutex(&outputMutex);
  client.connect();
  try {
    client.send("too early");
    FAIL() << "send before open did not throw";
  } catch (const websocketpp::exception& e) {
    EXPECT_STREQ(e.what(), "Bad Connection");
  }
  ASSERT_TRUE(waitUntil([&] { return client.getState() == SyslogClient::State::Failed; },
                        seconds(10)));
  std::this_thread::sleep_for(milliseconds(300));  // room for a retry that must not come
  std::string text = capture.text();
  EXPECT_EQ(text.find("Fail handler\n"), text.rfind("Fail handler\n")) << text;
  EXPECT_NE(text.find("Fail handler\nstate: "), std::string::npos) << text;
  EXPECT_THROW(client.send("after the failure"), websocketpp::exception);
  EXPECT_EQ(client.getBufferedAmount(), 0u);
}

TEST_F(SyslogClientTest, UnparsableUriIsReportedWithoutAThread) {
  CoutCapture capture(&outputMutex);
  SyslogClient client("127.0.0.1:8443");
  client.setOutputMutex(&outputMutex);
  client.connect();
  EXPECT_EQ(capture.text(), "could not create connection because: invalid uri\n");
  EXPECT_EQ(client.getState(), SyslogClient::State::Idle);
  EXPECT_THROW(client.send("x"), websocketpp::exception);
}

// openssl s_server offering exactly one protocol version. The client must
// fail in the TLS handshake against 1.3 and 1.1, and get past it with 1.2
// (where the failure comes later: s_server speaks no WebSocket).
struct OnlyVersion {
  const char* name;
  std::vector<std::string> serverFlags;
  bool reachable;
};

class SyslogClientTlsVersionTest : public SyslogClientTest,
                                   public ::testing::WithParamInterface<OnlyVersion> {};

TEST_P(SyslogClientTlsVersionTest, OnlyTls12Passes) {
  const OnlyVersion& v = GetParam();
  int port = freePort();
  std::vector<std::string> argv{"openssl", "s_server", "-accept", std::to_string(port),
                                "-cert", pair.cert, "-key", pair.key};
  argv.insert(argv.end(), v.serverFlags.begin(), v.serverFlags.end());
  // s_server quits at the end of its standard input: give it a pipe that
  // this test keeps open.
  const std::string input = work.file("s_server.in");
  ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
  struct Fd {
    int fd;
    ~Fd() { if (fd >= 0) close(fd); }
  } keepOpen{open(input.c_str(), O_RDWR)};
  ASSERT_GE(keepOpen.fd, 0);
  ChildProcess server(argv, work.file("s_server.out"), work.file("s_server.err"), input);
  ASSERT_TRUE(waitUntil([&] { return readFile(work.file("s_server.out")).find("ACCEPT") !=
                                     std::string::npos; },
                        seconds(10)));
  // The receiver itself works with a client that offers its version.
  std::string probe = "echo | timeout 10 openssl s_client -connect 127.0.0.1:" +
                      std::to_string(port) + " " + v.serverFlags[0] +
                      " -cipher 'DEFAULT:@SECLEVEL=0' 2>&1";
  ExecResult control = runShell(probe);
  ASSERT_NE(control.output.find("Cipher is "), std::string::npos) << control.output;
  ASSERT_EQ(control.output.find("Cipher is (NONE)"), std::string::npos) << control.output;
  const std::string serverOut = work.file("s_server.out");
  const std::size_t probed = lines(readFile(serverOut)).size();

  CoutCapture capture(&outputMutex);
  SyslogClient client(wssUri(port));
  client.setOutputMutex(&outputMutex);
  client.connect();
  // s_server reports the cipher of every handshake that it completed.
  auto handshakes = [&] {
    std::vector<std::string> all = lines(readFile(serverOut));
    int n = 0;
    for (std::size_t i = probed; i < all.size(); ++i) n += all[i].find("CIPHER is") == 0;
    return n;
  };
  if (v.reachable) {
    EXPECT_TRUE(waitUntil([&] { return handshakes() == 1; }, seconds(5))) << readFile(serverOut);
    server.signal(SIGKILL);  // it speaks no WebSocket: end the attempt now
  } else {
    ASSERT_TRUE(waitUntil([&] { return client.getState() == SyslogClient::State::Failed; },
                          seconds(10)));
    std::string text = capture.text();
    EXPECT_NE(text.find("INIT SSL\nEND SSL\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Fail handler\nstate: 3\n"), std::string::npos) << text;
    EXPECT_EQ(handshakes(), 0) << readFile(serverOut);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, SyslogClientTlsVersionTest,
    ::testing::Values(OnlyVersion{"tls13", {"-tls1_3"}, false},
                      OnlyVersion{"tls11", {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}, false},
                      OnlyVersion{"tls12", {"-tls1_2"}, true}),
    [](const ::testing::TestParamInfo<OnlyVersion>& info) { return std::string(info.param.name); });

}  // namespace
