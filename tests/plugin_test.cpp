// Both plugin runners, service::execute and serviceSyslog::execute (message
// on the plugin's standard input), and the alerting program, against real
// child processes: small shell scripts written into a temporary folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <type_traits>

#include "services/serviceSyslog.h"
#include "support/TestSupport.h"

using testsupport::readFile;

namespace {

class PluginRun : public ::testing::Test {
 protected:
  // A record whose plugin is a /bin/sh script with the given body.
  template <class Record = service>
  Record withPlugin(const std::string& body, const std::string& parameter = "") {
    Record s;
    s.name = "check" + std::to_string(++count);
    s.path = dir.file(s.name);
    testsupport::writeFile(s.path, "#!/bin/sh\n" + body + "\n", 0755);
    s.Setparameter(parameter);
    return s;
  }
  // Runs s (with `message` for a syslog run); the exception's text, or "".
  template <class Record>
  std::string failureOf(Record& s, const std::string& message = "") {
    try {
      if constexpr (std::is_same_v<Record, serviceSyslog>) code = s.execute(message);
      else code = s.execute();
    } catch (const serviceException& e) {
      return e.what();
    }
    return "";
  }
  // The same, returning what the run printed on standard output.
  std::string printedBy(serviceSyslog& s, const std::string& message, std::string* failure = nullptr) {
    testing::internal::CaptureStdout();
    std::string text = failureOf(s, message);
    if (failure) *failure = text;
    return testing::internal::GetCapturedStdout();
  }
  std::string where(const service& s) { return s.name + "\npath:" + s.path + " " + s.parameter; }

  // No child of ours outlives a call, zombie or stopped.
  void TearDown() override { EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD); }

  testsupport::TempDir dir;
  int count = 0;
  int code = -1;
};

TEST_F(PluginRun, ExitCodesMapToReturnCodes) {
  service s = withPlugin("echo \"code $1\"; exit $1");
  for (int code = 0; code <= 5; ++code) {
    s.Setparameter(std::to_string(code));
    EXPECT_EQ(s.execute(), code);
    EXPECT_EQ(s.return_code, code);
    EXPECT_EQ(s.output, "code " + std::to_string(code) + "\n");
  }
  s.Setparameter("6");
  EXPECT_EQ(s.execute(), 3);
  EXPECT_EQ(s.output, "Error execute: Bad return code\n" + where(s) + " code 6\n");
  s.Setparameter("255");
  EXPECT_EQ(s.execute(), 3);
  EXPECT_EQ(s.output, "UNKNOWN: NorvDaemon could not connect to host");

  service missing;
  missing.path = dir.file("does-not-exist");
  EXPECT_EQ(missing.execute(), 2);
  EXPECT_EQ(missing.output, "DAEMON: plugin is not executable No such file or directory\n");
}

TEST_F(PluginRun, NoTextIsAFailureOfBothRunners) {
  for (const char* body : {"exit 0", "printf \"''\"; exit 1"}) {
    service s = withPlugin(body);
    EXPECT_EQ(failureOf(s), "DAEMON: the plugin does not return anything on the stdout");
    EXPECT_EQ(s.return_code, 3);
  }
  // The syslog run announces the unlock and frees its mutex.
  serviceSyslog s = withPlugin<serviceSyslog>("/bin/cat >/dev/null");
  std::string failure;
  EXPECT_EQ(printedBy(s, "m", &failure), "LOCK\nException service unlock\n");
  EXPECT_EQ(failure, "DAEMON: the plugin does not return anything on the stdout");
  EXPECT_EQ(s.GetReturnCode(), 3);  // would block for ever if still locked
}

TEST_F(PluginRun, KilledOrStoppedPluginRaisesAndIsReaped) {
  service killed = withPlugin("echo partial; kill -KILL $$", "x");
  EXPECT_EQ(failureOf(killed), "Error: norv can't execute " + where(killed) + "partial\n");
  EXPECT_EQ(killed.return_code, 3);
  EXPECT_EQ(killed.output, "Error: norv can't execute " + killed.path);

  // Stopped after closing its output: the wait reports it stopped.
  const std::string pidFile = dir.file("pid");
  service stopped = withPlugin("echo $$ > " + pidFile + "; echo halt; exec >&-; kill -STOP $$");
  EXPECT_EQ(failureOf(stopped), "Error: norv can't execute " + where(stopped) + "halt\n");
  EXPECT_TRUE(kill(std::stoi(readFile(pidFile)), 0) == -1 && errno == ESRCH);
}

TEST_F(PluginRun, TextArrivesWholeWithArgumentsAndRepairedUtf8) {
  // Arguments echoed, 5000 more bytes, é, a stray 0xFF, €.
  service s = withPlugin(
      "printf '[%s]' \"$@\"; i=0; while [ $i -lt 500 ]; do printf '%09d\\n' $i; i=$((i+1)); done;"
      " printf 'caf\\303\\251\\377\\342\\202\\254'",
      "-w \"disk full\" a\\b");
  std::string expected = "[-w][disk full][a\\b]";
  char line[16];
  for (int i = 0; i < 500; ++i) expected.append(line, snprintf(line, sizeof line, "%09d\n", i));
  EXPECT_EQ(s.execute(), 0);
  EXPECT_EQ(s.output, expected + "caf\xc3\xa9 \xe2\x82\xac");
}

TEST_F(PluginRun, PluginsGetAnEmptyEnvironmentTheAlertingProgramOurs) {
  setenv("NORV_MARK", "inherited", 1);
  service s = withPlugin("echo \"${NORV_MARK:-absent} ${HOME:-nohome}\"");
  EXPECT_EQ(s.execute(), 0);
  EXPECT_EQ(s.output, "absent nohome\n");

  const std::string record = dir.file("record");
  s.alerting_software = dir.file("alert");
  testsupport::writeFile(s.alerting_software,
                         "#!/bin/sh\n{ echo \"${NORV_MARK:-absent}\"; echo $#;"
                         " for a; do printf '%s\\n' \"$a\"; done; } > " + record + "\n", 0755);
  EXPECT_GT(s.executeAlertingSoftware("no parameters"), 0);
  EXPECT_EQ(readFile(record), "inherited\n0\n");
  unsetenv("NORV_MARK");
  s.SetAlertingParameter("-to ops pre$ERRORpost -n 'two words'");
  EXPECT_GT(s.executeAlertingSoftware("disk is full"), 0);
  EXPECT_EQ(readFile(record), "absent\n5\n-to\nops\ndisk is full\n-n\ntwo words\n");
}

// Messages far beyond a pipe's capacity come back whole from a plugin that
// echoes them; one that never reads its input does not hurt the caller.
TEST_F(PluginRun, SyslogRunsFeedTheMessageWhileReadingTheOutput) {
  std::string large(512 << 10, 'm');
  large[12345] = 'X';
  serviceSyslog echo = withPlugin<serviceSyslog>("/bin/cat");
  EXPECT_EQ(printedBy(echo, "host=db1 disk full"), "LOCK\nUNLOCK\n");
  EXPECT_EQ(echo.output, "host=db1 disk full\n");
  printedBy(echo, large);
  EXPECT_TRUE(echo.output == large + "\n");

  serviceSyslog deaf = withPlugin<serviceSyslog>("echo ignored; exit 4");
  for (const std::string& message : {std::string("short"), large}) {
    printedBy(deaf, message);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(deaf.output, "ignored\n");
  }
  // SIGPIPE: disposition untouched, neither left blocked nor pending.
  struct sigaction action;
  sigaction(SIGPIPE, nullptr, &action);
  EXPECT_EQ(action.sa_handler, SIG_DFL);
  sigset_t blocked, pending;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&blocked, SIGPIPE) || sigismember(&pending, SIGPIPE));

  // Arguments split afresh from the text on every run, results mapped.
  serviceSyslog mapped = withPlugin<serviceSyslog>("/bin/cat >/dev/null; printf '%s \\377' \"$@\"; exit $1");
  mapped.parameter = "7 'b c'";
  printedBy(mapped, "m");
  EXPECT_EQ(code, 3);
  EXPECT_EQ(mapped.output, "Error execute: Bad return code\npath:" + mapped.path + " " + mapped.parameter +
                               " 7 \xff" "b c \xff");
}

TEST_F(PluginRun, ReturnCodeReadDuringASyslogRunIsOldOrNew) {
  // The plugin closes its output and ends a moment later: the run holds the
  // mutex while it waits for it.
  serviceSyslog s = withPlugin<serviceSyslog>("/bin/cat >/dev/null; echo done; exec >&-; /bin/sleep 0.2; exit 1");
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

// A plugin that floods; one that ignores SIGTERM and never exits while a
// grandchild, deaf to SIGTERM too, holds its output; one that never exits
// after closing it. Each ends itself after 5 s, so a run the limits fail to
// end fails the case instead of hanging it.
TEST_F(PluginRun, LimitsEndTheWholeGroupInBothRunners) {
  const auto timeout = service::pluginTimeout();
  const size_t cap = service::pluginOutputLimit();
  service::setPluginTimeout(std::chrono::milliseconds(300));
  service::setPluginOutputLimit(64 * 1024);
  const std::string grandchild = dir.file("grandchild");
  const std::string timedOut = "UNKNOWN: plugin timed out after 0.3 s";
  std::string flood;
  while (flood.size() < 64 * 1024) flood += "y\n";
  const std::pair<std::string, std::string> cases[] = {
      {"exec /usr/bin/timeout 5 /usr/bin/yes", flood + "\nUNKNOWN: plugin output cut at 65536 bytes"},
      {"trap '' TERM; /bin/sleep 5 & echo $! > " + grandchild + "; wait", timedOut},
      {"echo partial; exec >&-; /bin/sleep 5", timedOut}};
  // Gone, or a zombie that is not ours to reap.
  auto ended = [](const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text{std::istreambuf_iterator<char>(stat), {}};
    return text.empty() || text.find(") Z ") != std::string::npos;
  };
  for (const auto& [body, expected] : cases) {
    for (bool syslog : {false, true}) {
      serviceSyslog s = withPlugin<serviceSyslog>(body);
      const std::string printed = syslog ? printedBy(s, "m") : (failureOf<service>(s), std::string());
      EXPECT_EQ(printed, syslog ? "LOCK\nUNLOCK\n" : "");
      EXPECT_EQ(code, 3);
      EXPECT_EQ(s.return_code, 3);
      // Not EXPECT_EQ: gtest's line diff of two floods would take minutes.
      EXPECT_TRUE(s.output == expected) << body << " ends with: "
                                        << s.output.substr(s.output.size() - std::min<size_t>(s.output.size(), 100));
      if (!testsupport::fileExists(grandchild)) continue;
      std::string pid = readFile(grandchild);
      pid.pop_back();
      EXPECT_TRUE(testsupport::waitUntil([&] { return ended(pid); }, std::chrono::seconds(1)));
      std::remove(grandchild.c_str());
    }
  }
  service::setPluginTimeout(timeout);
  service::setPluginOutputLimit(cap);
}

}  // namespace
