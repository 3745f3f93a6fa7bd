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

using testsupport::readFile;

namespace {

class PluginRun : public ::testing::Test {
 protected:
  // A service whose plugin is a /bin/sh script with the given body.
  service withPlugin(const std::string& body, const std::string& parameter = "") {
    service s;
    s.name = "check" + std::to_string(++count);
    s.path = dir.file(s.name);
    testsupport::writeFile(s.path, "#!/bin/sh\n" + body + "\n", 0755);
    s.Setparameter(parameter);
    return s;
  }
  std::string failureOf(service& s) {
    try {
      s.execute();
    } catch (const serviceException& e) {
      return e.what();
    }
    return "no failure";
  }
  std::string where(const service& s) { return s.name + "\npath:" + s.path + " " + s.parameter; }

  // No child of ours outlives a call, zombie or stopped.
  void TearDown() override { EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD); }

  testsupport::TempDir dir;
  int count = 0;
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

TEST_F(PluginRun, NoTextIsAFailure) {
  for (const char* body : {"exit 0", "printf \"''\"; exit 1"}) {
    service s = withPlugin(body);
    EXPECT_EQ(failureOf(s), "DAEMON: the plugin does not return anything on the stdout");
    EXPECT_EQ(s.return_code, 3);
  }
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

}  // namespace
