// Both plugin runners, service::execute and serviceSyslog::execute (message on
// standard input), and the alerting program, against real shell scripts.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <future>
#include <set>
#include <string>
#include <tuple>

#include "services/serviceSyslog.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Gone, or a zombie that is not ours to reap.
bool ended(const std::string& pid) {
  const std::string stat = readFile("/proc/" + pid + "/stat");
  return stat.empty() || stat.find(") Z ") != std::string::npos;
}

class PluginRun : public ::testing::Test {
 protected:
  // A record whose plugin is a /bin/sh script with the given body.
  serviceSyslog withPlugin(const std::string& body, const std::string& parameter = "") {
    serviceSyslog s;
    s.name = "check" + std::to_string(++count);
    s.path = dir.file(s.name);
    writeFile(s.path, "#!/bin/sh\n" + body + "\n", 0755);
    s.Setparameter(parameter);
    return s;
  }
  // Runs s by serviceSyslog::execute(message) (output kept in `printed`) or
  // service::execute(); the exception's text or "". A hung run ends it all.
  std::string failureOf(serviceSyslog& s, const std::string& message = "m", bool syslog = true) {
    testing::internal::CaptureStdout();
    const std::string failure = finishesWithin(10s, "the plugin run", [&]() -> std::string {
      try {
        code = syslog ? s.execute(message) : s.service::execute();
      } catch (const serviceException& e) {
        return e.what();
      }
      return "";
    });
    printed = testing::internal::GetCapturedStdout();
    return failure;
  }
  // {path} is the plugin's path; {name} the check's name, which only
  // service::execute names, together with the separator before it.
  static std::string expand(std::string text, const service& s, bool syslog) {
    for (size_t at; (at = text.find("{name}")) != std::string::npos;)
      text.replace(syslog ? at - 1 : at, syslog ? 7 : 6, syslog ? "" : s.name);
    for (size_t at; (at = text.find("{path}")) != std::string::npos;) text.replace(at, 6, s.path);
    return text;
  }

  // No child of ours outlives a call, zombie or stopped; the limits go back.
  void TearDown() override {
    EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
    service::setPluginTimeout(60s);
    service::setPluginOutputLimit(1 << 20);
  }

  TempDir dir;
  int count = 0, code = -1;
  std::string printed;
};

// Each case through both runners (the syslog one with a message the plugin
// may not read); a stopped plugin left unkilled fails TearDown.
TEST_F(PluginRun, ExitsMapToCodesTextsAndFailuresInBothRunners) {
  const std::string exits = "echo code $1; exit $1", cant = "Error: norv can't execute ";
  const std::string noText = "DAEMON: the plugin does not return anything on the stdout";
  const std::string killed = cant + "{name}\npath:{path} ";
  struct Case {
    std::string body, param;
    int code;
    std::string output, failure;
  } const cases[] = {
      {exits, "0", 0, "code 0\n", ""},
      {exits, "5", 5, "code 5\n", ""},
      {"printf '\\377%s' $1; exit $1", "6", 3,
       "Error execute: Bad return code\n{name}\npath:{path} 6  6", ""},
      {exits, "255", 3, "UNKNOWN: NorvDaemon could not connect to host", ""},
      {"", "", 2, "DAEMON: plugin is not executable No such file or directory\n", ""},  // absent
      {"exit 0", "", 3, "", noText},
      {"printf \"''\"; exit 1", "", 3, "''", noText},
      {"echo partial; kill -KILL $$", "x", 3, cant + "{path}", killed + "xpartial\n"},
      {"echo halt; exec >&-; kill -STOP $$", "", 3, cant + "{path}", killed + "halt\n"},
  };
  for (const Case& c : cases) {
    for (bool syslog : {false, true}) {
      SCOPED_TRACE(c.body + (syslog ? " (syslog)" : ""));
      serviceSyslog s = withPlugin(c.body, c.param);
      if (c.body.empty()) s.path += ".absent";
      EXPECT_EQ(failureOf(s, "m", syslog), expand(c.failure, s, syslog));
      EXPECT_TRUE(s.return_code == c.code && (!c.failure.empty() || code == c.code)) << code;
      EXPECT_EQ(s.output, expand(c.output, s, syslog));
      const char* unlock = c.failure.empty() ? "UNLOCK\n" : "Exception service unlock\n";
      EXPECT_EQ(printed, syslog ? std::string("LOCK\n") + unlock : "");
      EXPECT_EQ(pthread_mutex_trylock(&s.mutex), 0) << "the run left its mutex locked";
      pthread_mutex_unlock(&s.mutex);
    }
  }
}

// The plugin's environment is empty, the alerting program's ours.
TEST_F(PluginRun, TextArrivesWholeWithArgumentsRepairedUtf8AndTheRightEnvironment) {
  setenv("NORV_MARK", "inherited", 1);
  // The environment, the arguments, 5000 more bytes, é, a stray 0xFF, €.
  serviceSyslog s = withPlugin(
      "echo \"${NORV_MARK:-absent} ${HOME:-nohome}\"; printf '[%s]' \"$@\"; i=0; while [ $i -lt "
      "500 ]; do printf '%09d\\n' $i; i=$((i+1)); done; printf 'caf\\303\\251\\377\\342\\202\\254'",
      "-w \"disk full\" a\\b");
  std::string expected = "absent nohome\n[-w][disk full][a\\b]";
  char line[16];
  for (int i = 0; i < 500; ++i) expected.append(line, snprintf(line, sizeof line, "%09d\n", i));
  EXPECT_EQ(failureOf(s, "", false) + s.output, expected + "caf\xc3\xa9 \xe2\x82\xac");
  EXPECT_EQ(code, 0);
  const std::string record = dir.file("record");
  s.alerting_software = dir.file("alert");
  writeFile(s.alerting_software,
            "#!/bin/sh\nprintf '%s\\n' \"${NORV_MARK:-absent}\" $# \"$@\" >" + record, 0755);
  EXPECT_GT(s.executeAlertingSoftware("no parameters"), 0);
  EXPECT_EQ(readFile(record), "inherited\n0\n");
  unsetenv("NORV_MARK");
  s.SetAlertingParameter("-to ops pre$ERRORpost -n 'two words'");
  EXPECT_GT(s.executeAlertingSoftware("disk is full"), 0);
  EXPECT_EQ(readFile(record), "absent\n5\n-to\nops\ndisk is full\n-n\ntwo words\n");
}

// A message far beyond a pipe's capacity comes back whole; a plugin that never reads is no harm.
TEST_F(PluginRun, SyslogRunsFeedTheMessageWhileReadingTheOutput) {
  std::string large(512 << 10, 'm');
  large[12345] = 'X';
  serviceSyslog echo = withPlugin("/bin/cat"), deaf = withPlugin("echo ignored; exit 4");
  failureOf(echo, large);
  EXPECT_TRUE(echo.output == large + "\n");
  failureOf(deaf, large);
  EXPECT_TRUE(code == 4 && deaf.output == "ignored\n") << code;
  // SIGPIPE: disposition untouched, neither left blocked nor pending.
  struct sigaction action;
  sigset_t blocked, pending;
  EXPECT_FALSE(sigaction(SIGPIPE, nullptr, &action) || action.sa_handler != SIG_DFL ||
               pthread_sigmask(SIG_BLOCK, nullptr, &blocked) || sigismember(&blocked, SIGPIPE) ||
               sigpending(&pending) || sigismember(&pending, SIGPIPE));
  // Arguments split afresh from the text on every run, results mapped.
  serviceSyslog mapped = withPlugin("/bin/cat >/dev/null; printf '%s ' \"$@\"; exit $1");
  mapped.parameter = "7 'b c'";
  failureOf(mapped);
  EXPECT_EQ(mapped.output,
            "Error execute: Bad return code\npath:" + mapped.path + " 7 'b c' 7 b c ");
}

// The value read while a run publishes is the old or the new one; the
// thread sanitizer stage catches a result published outside the mutex.
TEST_F(PluginRun, ReturnCodeReadDuringASyslogRunIsOldOrNew) {
  serviceSyslog s = withPlugin("/bin/cat >/dev/null; echo done; exec >&-; /bin/sleep 0.2; exit 1");
  s.SetReturnCode(4);
  std::set<int> seen;
  auto run = std::async(std::launch::async, [&] { return failureOf(s); });
  EXPECT_EQ(finishesWithin(10s, "GetReturnCode()",
                           [&] {
                             while (run.wait_for(0s) != std::future_status::ready)
                               seen.insert(s.GetReturnCode());
                             return s.GetReturnCode();
                           }),
            1);
  for (int value : seen) EXPECT_TRUE(value == 4 || value == 1) << value;
}

// A plugin that floods; one that ignores SIGTERM and never exits while a grandchild, deaf to
// SIGTERM too, holds its output; one that never exits after closing it; one that exits, its own
// verdict kept, while a background child holds its output (each ends after 5 s).
TEST_F(PluginRun, LimitsEndTheWholeGroupInBothRunners) {
  service::setPluginTimeout(300ms);
  service::setPluginOutputLimit(64 * 1024);
  const std::string grandchild = dir.file("grandchild"),
                    timedOut = "UNKNOWN: plugin timed out after 0.3 s";
  std::string flood;
  while (flood.size() < 64 * 1024) flood += "y\n";
  const std::tuple<std::string, int, std::string> cases[] = {
      {"exec /usr/bin/timeout 5 /usr/bin/yes", 3,
       flood + "\nUNKNOWN: plugin output cut at 65536 bytes"},
      {"trap '' TERM; /bin/sleep 5 & printf $! > " + grandchild + "; wait", 3, timedOut},
      {"echo partial; exec >&-; /bin/sleep 5", 3, timedOut},
      {"/bin/sleep 5 & printf $! > " + grandchild + "; echo OK; exit 4", 4, "OK\n"}};
  for (const auto& [body, status, expected] : cases) {
    for (bool syslog : {false, true}) {
      serviceSyslog s = withPlugin(body);
      failureOf(s, "m", syslog);
      EXPECT_EQ(printed, syslog ? "LOCK\nUNLOCK\n" : "");
      EXPECT_TRUE(code == status && s.return_code == status) << code;
      // Not EXPECT_EQ: gtest's line diff of two floods would take minutes.
      EXPECT_TRUE(s.output == expected) << body << ": " << s.output.size() << " bytes";
      if (!fileExists(grandchild)) continue;
      EXPECT_TRUE(waitUntil([&] { return ended(readFile(grandchild)); }, 1s));
      std::remove(grandchild.c_str());
    }
  }
}

}  // namespace
