// service::execute and service::executeAlertingSoftware against real child
// processes: small shell scripts written into a temporary folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

#include "services/service.h"
#include "support/TestSupport.h"

namespace {

// True when the calling process has no child left, reaped or not.
bool noChildLeft() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

class PluginRun : public ::testing::Test {
 protected:
  // A service whose plugin is a /bin/sh script with the given body.
  service withPlugin(const std::string& body, const std::string& parameter = "") {
    std::string file = dir.file("plugin" + std::to_string(++count) + ".sh");
    testsupport::writeFile(file, "#!/bin/sh\n" + body + "\n", 0755);
    service s;
    s.name = "check_" + std::to_string(count);
    s.path = file;
    s.Setparameter(parameter);
    return s;
  }
  // The text of the serviceException raised by s.execute().
  std::string failureOf(service& s) {
    try {
      s.execute();
    } catch (const serviceException& e) {
      return e.what();
    }
    ADD_FAILURE() << "execute did not throw";
    return "";
  }
  std::string where(const service& s) { return s.name + "\npath:" + s.path + " " + s.parameter; }

  void TearDown() override { EXPECT_TRUE(noChildLeft()); }

  testsupport::TempDir dir;
  int count = 0;
};

TEST_F(PluginRun, ResultCodesZeroToFiveStand) {
  service s = withPlugin("echo \"code $1\"; exit $1");
  for (int code = 0; code <= 5; ++code) {
    s.Setparameter(std::to_string(code));
    EXPECT_EQ(s.execute(), code);
    EXPECT_EQ(s.return_code, code);
    EXPECT_EQ(s.output, "code " + std::to_string(code) + "\n");
  }
}

TEST_F(PluginRun, OtherExitCodesBecomeThree) {
  service s = withPlugin("echo \"code $1\"; exit $1", "6");
  EXPECT_EQ(s.execute(), 3);
  EXPECT_EQ(s.return_code, 3);
  EXPECT_EQ(s.output, "Error execute: Bad return code\n" + where(s) + " code 6\n");

  s.Setparameter("255");
  EXPECT_EQ(s.execute(), 3);
  EXPECT_EQ(s.output, "UNKNOWN: NorvDaemon could not connect to host");
}

TEST_F(PluginRun, ArgumentsArriveSplitAndWhole) {
  service s = withPlugin("printf '[%s]' \"$@\"", "-w 80 \"disk full\" a\\b");
  EXPECT_EQ(s.execute(), 0);
  EXPECT_EQ(s.output, "[-w][80][disk full][a\\b]");
}

TEST_F(PluginRun, NoTextIsAFailure) {
  for (const char* body : {"exit 0", "printf \"''\"; exit 1"}) {
    service s = withPlugin(body);
    EXPECT_EQ(failureOf(s), "DAEMON: the plugin does not return anything on the stdout");
    EXPECT_EQ(s.return_code, 3);
  }
}

TEST_F(PluginRun, MissingProgramReportsThroughItsOutput) {
  service s;
  s.name = "ghost";
  s.path = dir.file("does-not-exist");
  EXPECT_EQ(s.execute(), 2);
  EXPECT_EQ(s.return_code, 2);
  EXPECT_EQ(s.output, "DAEMON: plugin is not executable No such file or directory\n");
}

TEST_F(PluginRun, KilledPluginRaisesWithItsText) {
  service s = withPlugin("echo partial; kill -KILL $$", "x");
  EXPECT_EQ(failureOf(s), "Error: norv can't execute " + where(s) + "partial\n");
  EXPECT_EQ(s.return_code, 3);
  EXPECT_EQ(s.output, "Error: norv can't execute " + s.path);
}

TEST_F(PluginRun, StoppedPluginIsKilledAndReaped) {
  std::string pidFile = dir.file("pid");
  service s = withPlugin("echo $$ > " + pidFile + "; echo stopping; exec >&-; kill -STOP $$");
  EXPECT_EQ(failureOf(s), "Error: norv can't execute " + where(s) + "stopping\n");
  EXPECT_EQ(s.return_code, 3);
  pid_t pid = std::stoi(testsupport::readFile(pidFile));
  EXPECT_EQ(kill(pid, 0), -1);  // gone, not left stopped nor as a zombie
  EXPECT_EQ(errno, ESRCH);
}

TEST_F(PluginRun, LongOutputArrivesWhole) {
  service s = withPlugin("i=0; while [ $i -lt 500 ]; do printf '%09d\\n' $i; i=$((i+1)); done");
  std::string expected;
  char line[16];
  for (int i = 0; i < 500; ++i) {
    snprintf(line, sizeof line, "%09d\n", i);
    expected += line;
  }
  EXPECT_EQ(s.execute(), 0);
  EXPECT_EQ(s.output, expected);
}

TEST_F(PluginRun, InvalidUtf8BecomesSpaces) {
  // é (valid, two bytes), a stray 0xFF, then € (valid, three bytes).
  service s = withPlugin("printf 'caf\\303\\251\\377\\342\\202\\254'");
  EXPECT_EQ(s.execute(), 0);
  EXPECT_EQ(s.output, "caf\xc3\xa9 \xe2\x82\xac");
}

TEST_F(PluginRun, TextStopsAtNulInItsChunk) {
  service s = withPlugin("printf 'ab\\000cd'");
  EXPECT_EQ(s.execute(), 0);
  EXPECT_EQ(s.output, "ab");
}

TEST_F(PluginRun, OutputIsClearedAtStart) {
  service s = withPlugin("exit 0");
  s.output = "stale";
  failureOf(s);
  EXPECT_EQ(s.output, "");
}

TEST_F(PluginRun, PluginEnvironmentIsEmpty) {
  setenv("NORV_PLUGIN_MARK", "present", 1);
  service s = withPlugin("echo \"${NORV_PLUGIN_MARK:-absent} ${HOME:-nohome}\"");
  EXPECT_EQ(s.execute(), 0);
  EXPECT_EQ(s.output, "absent nohome\n");
  unsetenv("NORV_PLUGIN_MARK");
}

class AlertingRun : public PluginRun {
 protected:
  // An alerting program that writes its environment mark and its
  // arguments, one per line, into `record`.
  service withAlerting(const std::string& parameters) {
    service s;
    s.alerting_software = dir.file("alert.sh");
    testsupport::writeFile(s.alerting_software,
                           "#!/bin/sh\n{ echo \"${NORV_ALERT_MARK:-absent}\"; echo $#;"
                           " for a; do printf '%s\\n' \"$a\"; done; } > " +
                               record + "\n",
                           0755);
    s.SetAlertingParameter(parameters);
    return s;
  }
  std::string record = dir.file("record");
};

TEST_F(AlertingRun, ErrorPlaceholderReplacesTheWholeArgument) {
  setenv("NORV_ALERT_MARK", "inherited", 1);
  service s = withAlerting("-to ops pre$ERRORpost -n 'two words'");
  int pid = s.executeAlertingSoftware("disk is full");
  unsetenv("NORV_ALERT_MARK");
  EXPECT_GT(pid, 0);
  EXPECT_EQ(testsupport::readFile(record),
            "inherited\n5\n-to\nops\ndisk is full\n-n\ntwo words\n");
}

TEST_F(AlertingRun, NoParametersGiveTheProgramAlone) {
  service s = withAlerting("");
  EXPECT_GT(s.executeAlertingSoftware("message"), 0);
  EXPECT_EQ(testsupport::readFile(record), "absent\n0\n");
}

TEST_F(AlertingRun, MissingProgramStillReturnsThePid) {
  service s;
  s.alerting_software = dir.file("no-alert");
  EXPECT_GT(s.executeAlertingSoftware("message"), 0);
}

}  // namespace
