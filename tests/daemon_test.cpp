// Black-box tests of norv-syslog-send: the real executable, a real
// PostgreSQL and the real TLS receiver (norv-syslog-receive); each case is a
// separate daemon run with its own configuration and log file.
#include <signal.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "support/DaemonHarness.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

class DaemonTest : public DaemonHarness {};

// ---------------------------------------------------------------- lifecycle

TEST_F(DaemonTest, NormalRunLogsEveryStepAndStopsOnSigterm) {
  startReceiver();
  writeFile(logPath_, "a line from an earlier run\n");  // the log is emptied at each start
  startDaemon({"-f", dir_.file("absent.conf"), "-f", writeConfig(receiverPort_)});  // the second -f wins
  ASSERT_TRUE(waitLog("LISTEN SUCCESS") && waitLog("\nHEELO\n")) << out() << log();
  EXPECT_EQ(stopDaemon(), 0);
  EXPECT_TRUE(finished()) << out();
  std::vector<std::string> expected = {
      "INFO#Receiver start....",
      "INFO#Receiver configuration open succesful",
      "INFO#NORV Database connection ....",
      "INFO#Connection database sucessful. Encoding: UTF8",
      "INFO#Connection SyslogClient....",
      "INFO#INSTANCE Listener",
      "INFO#LISTEN",
      "INFO#EXEC REQUEST LISTEN syslog",
      "INFO#LISTEN SUCCESS",
      "INFO#stop Receiver... SIGTERM",
      "INFO#stop Receiver... SIGTERM",
  };
  // main's last start-up line may land anywhere among the listener's lines;
  // the order within each thread is fixed.
  std::vector<std::string> got = logMessages(log());
  auto late = std::find(got.begin(), got.end(), "INFO#INSTANCE Listener - Success");
  ASSERT_NE(late, got.end()) << log();
  EXPECT_GT(late - got.begin(), 5);
  got.erase(late);
  EXPECT_EQ(got, expected) << log();
  EXPECT_EQ(log().find("earlier run"), std::string::npos);
  EXPECT_NE(log().find("\nINIT SSL\nEND SSL\n"), std::string::npos) << log();
}

TEST_F(DaemonTest, MissingConfigurationFileFailsWithoutLog) {
  startDaemon({"-f", dir_.file("absent.conf")});
  EXPECT_EQ(waitExit(), 1);
  EXPECT_EQ(out(), "error: can't open file\n");
  EXPECT_FALSE(fileExists(logPath_));
}

TEST_F(DaemonTest, UnreachableDatabaseFailsWithItsMessage) {
  startReceiver();
  pgPort_ = std::to_string(freePort());
  pgPwd_ = "secret pass";
  startDaemon({"-f", writeConfig(receiverPort_)});
  EXPECT_EQ(waitExit(), 1);
  std::vector<std::string> got = logMessages(log());
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back().rfind("ERR#POSTGRESQL exception: ", 0), 0u) << log();
  EXPECT_EQ(log().find("secret"), std::string::npos);
}

// --------------------------------------------------------------- forwarding

TEST_F(DaemonTest, ForwardsPayloadsByteForByteInOrder) {
  startReceiver();
  startRelay();
  PgConn c = pgConnect(conninfo());
  const std::vector<std::string> payloads = {
      "{\"fromhost\":\"web01\",\"msg\":\"first\"}", "second, plain", "",
      "with # hash\nand\nnew lines", "{\"fromhost\":\"db02\",\"msg\":\"\xc3\xa9t\xc3\xa9\"}"};
  notify(c.get(), {"not for us"}, "other_channel");
  notify(c.get(), {payloads[0], payloads[1], payloads[2]});
  notify(c.get(), {payloads[3], payloads[4]});
  ASSERT_TRUE(waitReceived(payloads.size())) << log();
  std::vector<std::string> hosts;
  EXPECT_EQ(received(&hosts), payloads);
  EXPECT_EQ(hosts[0], "web01");
  EXPECT_EQ(hosts[1], "daemonbadhost");
  for (const auto& p : payloads)
    EXPECT_NE(log().find("#INFO#th_listener#Receive#syslog#" + p + "\n"), std::string::npos) << p;
  EXPECT_EQ(log().find("not for us"), std::string::npos);
  EXPECT_EQ(stopDaemon(), 0);
}

TEST_F(DaemonTest, NotificationsRaisedBeforeTheHandshakeAreDeliveredWhole) {
  startReceiver();
  // A proxy that holds the connection for a while: the daemon listens long
  // before its WebSocket connection opens.
  int proxyPort = freePort();
  ChildProcess proxy({"/usr/bin/python3", sourcePath("tests/support/delay_proxy.py"), std::to_string(proxyPort),
                      std::to_string(receiverPort_), "2"},
                     dir_.file("proxy.out"));
  ASSERT_TRUE(waitUntil([&] { return readFile(dir_.file("proxy.out")) == "ready\n"; }, 10s));
  startDaemon({"-f", writeConfig(proxyPort)});
  ASSERT_TRUE(waitLog("LISTEN SUCCESS"));
  ASSERT_EQ(log().find("\nHEELO\n"), std::string::npos) << "the proxy should still hold the handshake";
  PgConn c = pgConnect(conninfo());
  std::vector<std::string> burst = sequencePayloads(500, "early");
  notify(c.get(), burst);
  ASSERT_TRUE(waitReceived(burst.size())) << log();
  EXPECT_EQ(received(), burst);
  EXPECT_EQ(stopDaemon(), 0);
}

// ------------------------------------------------------------------- faults

TEST_F(DaemonTest, LostDatabaseEndsTheDaemonWithStatusOne) {
  startReceiver();
  TempDir pg;
  ASSERT_TRUE(startPrivateCluster(pg));
  startRelay();
  runShell(sourcePath("scripts/pg-cluster.sh") + " stop " + pg.path());
  EXPECT_EQ(waitExit(), 1);
  EXPECT_TRUE(logged("ERR#consume input failed:  ")) << log();
  EXPECT_TRUE(finished()) << out();
}

TEST_F(DaemonTest, ReceiverClosingEndsTheDaemonWithTimings) {
  startReceiver();
  startRelay();
  receiver_->signal(SIGTERM);  // the receiver closes its connections
  EXPECT_EQ(waitExit(), 1);
  EXPECT_TRUE(loggedTimings()) << log();
}

TEST_F(DaemonTest, UnreachableReceiverIsReportedAndEndsTheDaemon) {
  startDaemon({"-f", writeConfig(freePort())});
  EXPECT_EQ(waitExit(), 1);
  EXPECT_NE(log().find("\nFail handler\nstate: "), std::string::npos) << log();
  EXPECT_TRUE(logged("ERR#receiver unreachable: wss://localhost:")) << log();
}

TEST_F(DaemonTest, SigtermDuringABurstDeliversEverythingTaken) {
  startReceiver();
  startRelay();
  std::vector<std::string> burst = sequencePayloads(20000, "burst");
  startBurst(burst);
  EXPECT_EQ(stopDaemon(), 0);
  joinBurst();
  // Every notification the daemon took from the database (its Receive line)
  // reached the receiver, whole and in order; no log line is torn.
  std::vector<std::string> taken;
  for (const auto& l : logMessages(log()))
    if (l.rfind("INFO#th_listener#Receive#syslog#", 0) == 0) taken.push_back(l.substr(32));
  ASSERT_GT(taken.size(), 0u);
  ASSERT_TRUE(waitReceived(taken.size(), 5s));
  EXPECT_EQ(taken, std::vector<std::string>(burst.begin(), burst.begin() + std::min(taken.size(), burst.size())));
  EXPECT_EQ(received(), taken);
}

}  // namespace
