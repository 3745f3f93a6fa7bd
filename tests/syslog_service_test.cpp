// serviceSyslog::execute against real plugins that read the message on their
// standard input: echoing, large messages, plugins that never read, the
// published result seen from another thread, and the lines on stdout.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <set>
#include <string>
#include <thread>

#include "services/serviceSyslog.h"
#include "support/TestSupport.h"

namespace {

bool noChildLeft() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

bool sigpipeBlocked() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, SIGPIPE) == 1;
}

bool sigpipePending() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

class SyslogRun : public ::testing::Test {
 protected:
  void usePlugin(const std::string& body, const std::string& parameter = "") {
    s.path = dir.file("plugin" + std::to_string(++count) + ".sh");
    testsupport::writeFile(s.path, "#!/bin/sh\n" + body + "\n", 0755);
    s.parameter = parameter;
  }
  // Runs the service with stdout captured; returns what it printed.
  std::string run(const std::string& message, int* code = nullptr, std::string* failure = nullptr) {
    testing::internal::CaptureStdout();
    try {
      int c = s.execute(message);
      if (code) *code = c;
    } catch (const serviceException& e) {
      if (failure) *failure = e.what();
      else ADD_FAILURE() << "unexpected failure: " << e.what();
    }
    return testing::internal::GetCapturedStdout();
  }
  std::string where() { return "\npath:" + s.path + " " + s.parameter; }

  void TearDown() override { EXPECT_TRUE(noChildLeft()); }

  testsupport::TempDir dir;
  serviceSyslog s;
  int count = 0;
};

TEST_F(SyslogRun, EchoPluginGetsTheMessageAndALine) {
  usePlugin("/bin/cat");
  int code = -1;
  EXPECT_EQ(run("host=db1 disk full", &code), "LOCK\nUNLOCK\n");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(s.GetReturnCode(), 0);
  EXPECT_EQ(s.output, "host=db1 disk full\n");
}

TEST_F(SyslogRun, MebibyteEchoedBackCompletes) {
  usePlugin("/bin/cat");
  std::string message(1 << 20, 'm');
  message[12345] = 'X';
  int code = -1;
  run(message, &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(s.output, message + "\n");
}

TEST_F(SyslogRun, PluginThatNeverReadsDoesNotHurtTheCaller) {
  usePlugin("echo ignored; exit 4");
  EXPECT_FALSE(sigpipeBlocked());
  for (size_t size : {size_t(10), size_t(1) << 20}) {
    int code = -1;
    run(std::string(size, 'z'), &code);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(s.output, "ignored\n");
  }
  struct sigaction current;
  sigaction(SIGPIPE, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_DFL);
  EXPECT_FALSE(sigpipeBlocked());
  EXPECT_FALSE(sigpipePending());
}

TEST_F(SyslogRun, ParameterIsSplitAfreshOnEveryCall) {
  usePlugin("printf '[%s]' \"$@\"", "a 'b c'");
  run("m");
  EXPECT_EQ(s.output, "[a][b c]");
  s.parameter = "d";
  run("m");
  EXPECT_EQ(s.output, "[d]");
}

TEST_F(SyslogRun, ExitCodesMapAsForPlugins) {
  usePlugin("/bin/cat >/dev/null; echo \"code $1\"; exit $1", "7");
  int code = -1;
  run("m", &code);
  EXPECT_EQ(code, 3);
  EXPECT_EQ(s.output, "Error execute: Bad return code" + where() + " code 7\n");

  s.parameter = "255";
  run("m", &code);
  EXPECT_EQ(code, 3);
  EXPECT_EQ(s.output, "UNKNOWN: NorvDaemon could not connect to host");
}

TEST_F(SyslogRun, InvalidUtf8IsRepaired) {
  usePlugin("printf 'a\\377b\\303\\251'");
  run("m");
  EXPECT_EQ(s.output, "a b\xc3\xa9");
}

TEST_F(SyslogRun, MissingPluginReturnsTwo) {
  s.path = dir.file("absent");
  int code = -1;
  run("m", &code);
  EXPECT_EQ(code, 2);
  EXPECT_EQ(s.output, "DAEMON: plugin is not executable No such file or directory\n");
}

TEST_F(SyslogRun, FailuresAnnounceTheUnlockAndFreeTheMutex) {
  usePlugin("/bin/cat >/dev/null");
  std::string failure;
  EXPECT_EQ(run("m", nullptr, &failure), "LOCK\nException service unlock\n");
  EXPECT_EQ(failure, "DAEMON: the plugin does not return anything on the stdout");
  EXPECT_EQ(s.GetReturnCode(), 3);  // would block forever if still locked

  usePlugin("echo before; kill -KILL $$");
  failure.clear();
  run("m", nullptr, &failure);
  EXPECT_EQ(failure, "Error: norv can't execute" + where() + "before\n");
  EXPECT_EQ(s.output, "Error: norv can't execute " + s.path);
  EXPECT_EQ(s.GetReturnCode(), 3);
}

TEST_F(SyslogRun, ReturnCodeReadDuringARunIsOldOrNew) {
  // The plugin closes its output, then ends a moment later: the run holds the
  // mutex while it waits for it.
  usePlugin("/bin/cat >/dev/null; echo done; exec >&-; /bin/sleep 0.2; exit 1");
  s.SetReturnCode(4);
  std::atomic<bool> finished{false};
  std::set<int> seen;
  testing::internal::CaptureStdout();
  std::thread runner([&] {
    s.execute("m");
    finished = true;
  });
  while (!finished) seen.insert(s.GetReturnCode());
  runner.join();
  testing::internal::GetCapturedStdout();
  for (int code : seen) EXPECT_TRUE(code == 4 || code == 1) << code;
  EXPECT_EQ(s.GetReturnCode(), 1);
}

TEST_F(SyslogRun, CopyHasItsOwnMutex) {
  usePlugin("/bin/cat");
  s.name = "orig";
  pthread_mutex_lock(&s.mutex);
  serviceSyslog copy(s);
  EXPECT_EQ(copy.name, "orig");
  EXPECT_EQ(copy.GetReturnCode(), 0);  // fresh, unlocked mutex
  pthread_mutex_unlock(&s.mutex);
}

}  // namespace
