// serviceSyslog::execute against real plugins that get the message on their
// standard input.
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

class SyslogRun : public ::testing::Test {
 protected:
  void usePlugin(const std::string& body, const std::string& parameter = "") {
    s.path = dir.file("plugin" + std::to_string(++count));
    testsupport::writeFile(s.path, "#!/bin/sh\n" + body + "\n", 0755);
    s.parameter = parameter;
  }
  // Runs the service with stdout captured; returns what the call printed.
  std::string run(const std::string& message, std::string* failure = nullptr) {
    testing::internal::CaptureStdout();
    try {
      code = s.execute(message);
    } catch (const serviceException& e) {
      if (failure) *failure = e.what();
      else ADD_FAILURE() << e.what();
    }
    return testing::internal::GetCapturedStdout();
  }
  void TearDown() override { EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD); }

  testsupport::TempDir dir;
  serviceSyslog s;
  int count = 0;
  int code = -1;
};

TEST_F(SyslogRun, EchoedMessagesOfAnySizeComeBack) {
  usePlugin("/bin/cat");
  EXPECT_EQ(run("host=db1 disk full"), "LOCK\nUNLOCK\n");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(s.output, "host=db1 disk full\n");
  std::string large(512 << 10, 'm');  // far beyond a pipe's capacity
  large[12345] = 'X';
  run(large);
  EXPECT_EQ(s.output, large + "\n");
}

TEST_F(SyslogRun, PluginThatNeverReadsDoesNotHurtTheCaller) {
  usePlugin("echo ignored; exit 4");
  for (size_t size : {size_t(10), size_t(1) << 20}) {
    run(std::string(size, 'z'));
    EXPECT_EQ(code, 4);
    EXPECT_EQ(s.output, "ignored\n");
  }
  // SIGPIPE: disposition untouched, neither left blocked nor pending.
  struct sigaction action;
  sigaction(SIGPIPE, nullptr, &action);
  EXPECT_EQ(action.sa_handler, SIG_DFL);
  sigset_t blocked, pending;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&blocked, SIGPIPE) || sigismember(&pending, SIGPIPE));
}

// usePlugin sets the parameter text alone: execute splits it itself.
TEST_F(SyslogRun, ArgumentsSplitFromTheTextAndResultsMapped) {
  usePlugin("/bin/cat >/dev/null; printf '%s \\377' \"$@\"; exit $1", "7 'b c'");
  run("m");
  EXPECT_EQ(code, 3);
  EXPECT_EQ(s.output, "Error execute: Bad return code\npath:" + s.path + " " + s.parameter + " 7 \xff" "b c \xff");
}

TEST_F(SyslogRun, FailuresAnnounceTheUnlockAndFreeTheMutex) {
  std::string failure;
  usePlugin("/bin/cat >/dev/null");
  EXPECT_EQ(run("m", &failure), "LOCK\nException service unlock\n");
  EXPECT_EQ(failure, "DAEMON: the plugin does not return anything on the stdout");
  EXPECT_EQ(s.GetReturnCode(), 3);  // would block for ever if still locked
}

TEST_F(SyslogRun, ReturnCodeReadDuringARunIsOldOrNew) {
  // The plugin closes its output and ends a moment later: the run holds the
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
  for (int seenCode : seen) EXPECT_TRUE(seenCode == 4 || seenCode == 1) << seenCode;
  EXPECT_EQ(s.GetReturnCode(), 1);
}

}  // namespace
