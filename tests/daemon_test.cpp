// Black-box tests of norv-syslog-send: the real executable, a real
// PostgreSQL and the real TLS receiver (norv-syslog-receive); each case is a
// separate daemon run with its own configuration and log file.
#include <signal.h>

#include <algorithm>
#include <regex>

#include <gtest/gtest.h>

#include "support/DaemonHarness.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

class DaemonTest : public DaemonHarness {};

// ---------------------------------------------------------------- lifecycle

TEST_F(DaemonTest, NormalRunLogsEveryStepAndStopsOnSigterm) {
  startReceiver();
  writeFile(logPath(), "a line from an earlier run\n");
  startRelay();
  int status = stopDaemon();
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(endsWith(out(), "Fin programme\n")) << out();
  std::string text = log();
  EXPECT_EQ(text.find("earlier run"), std::string::npos) << "the log is emptied at each start";
  const std::vector<std::string> expected = {
      "INFO#Receiver start....",
      "INFO#Receiver configuration open succesful",
      "INFO#NORV Database connection ....",
      "INFO#Connection database sucessful. Encoding: UTF8",
      "INFO#Connection SyslogClient....",
      "INFO#INSTANCE Listener",
      "INFO#INSTANCE Listener - Success",
      "INFO#LISTEN",
      "INFO#EXEC REQUEST LISTEN syslog",
      "INFO#LISTEN SUCCESS",
      "INFO#stop Receiver... SIGTERM",
      "INFO#stop Receiver... SIGTERM",
  };
  // The listener's lines may interleave with main's last start-up line; the
  // order within each thread is fixed.
  std::vector<std::string> got = logMessages(text);
  ASSERT_EQ(got.size(), expected.size()) << text;
  EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 6),
            std::vector<std::string>(expected.begin(), expected.begin() + 6));
  EXPECT_EQ(std::vector<std::string>(got.end() - 2, got.end()),
            std::vector<std::string>(expected.end() - 2, expected.end()));
  auto pos = [&](const std::string& s) { return std::find(got.begin(), got.end(), s) - got.begin(); };
  EXPECT_LT(pos("INFO#INSTANCE Listener"), pos("INFO#LISTEN"));
  EXPECT_LT(pos("INFO#LISTEN"), pos("INFO#EXEC REQUEST LISTEN syslog"));
  EXPECT_LT(pos("INFO#EXEC REQUEST LISTEN syslog"), pos("INFO#LISTEN SUCCESS"));
  EXPECT_NE(text.find("\nINIT SSL\nEND SSL\n"), std::string::npos) << text;
}

TEST_F(DaemonTest, MissingConfigurationFileFailsWithoutLog) {
  startDaemon({"-f", dir_.file("absent.conf")});
  EXPECT_EQ(waitExit(), 1);
  EXPECT_EQ(out(), "error: can't open file\n");
  EXPECT_FALSE(fileExists(logPath()));
}

TEST_F(DaemonTest, SecondConfigurationOptionWins) {
  startReceiver();
  std::string good = writeConfig(receiverPort_);
  startDaemon({"-f", dir_.file("absent.conf"), "-f", good});
  ASSERT_TRUE(waitLog("LISTEN SUCCESS")) << out();
  EXPECT_EQ(stopDaemon(), 0);
}

TEST_F(DaemonTest, MissingLogKeyRunsWithoutLog) {
  startReceiver();
  std::string path = dir_.file("nolog.conf");
  writeFile(path, "[DB]\nPGSQL_host=" + pgHost_ + "\nPGSQL_port=" + pgPort_ +
                      "\nPGSQL_db=" + pgDb_ + "\nPGSQL_username=postgres\n[RECEIVER]\nip=localhost\nport=" +
                      std::to_string(receiverPort_) + "\n");
  startDaemon({"-f", path});
  PgConn c = pgConnect(conninfo());
  // The daemon runs on: its notifications still reach the receiver.
  ASSERT_TRUE(waitUntil([&] {
    notify(c.get(), {"probe"});
    return !received().empty();
  }, 20s));
  EXPECT_EQ(stopDaemon(), 0);
  EXPECT_EQ(out().rfind("ERROR can't open file \n", 0), 0u) << out();
  EXPECT_TRUE(endsWith(out(), "Fin programme\n")) << out();
}

TEST_F(DaemonTest, UnreachableDatabaseFailsWithItsMessage) {
  startReceiver();
  int closedPort = freePort();
  std::string path = dir_.file("baddb.conf");
  writeFile(path, "[LOG]\nlog_file=" + logPath() + "\n[DB]\nPGSQL_host=127.0.0.1\nPGSQL_port=" +
                      std::to_string(closedPort) + "\nPGSQL_db=postgres\nPGSQL_username=postgres\n"
                      "PGSQL_pwd=secret pass\n[RECEIVER]\nip=localhost\nport=" + std::to_string(receiverPort_) + "\n");
  startDaemon({"-f", path});
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
  std::vector<Received> got = received();
  ASSERT_EQ(got.size(), payloads.size());
  for (size_t i = 0; i < payloads.size(); ++i) EXPECT_EQ(got[i].payload, payloads[i]) << i;
  EXPECT_EQ(got[0].host, "web01");
  EXPECT_EQ(got[1].host, "daemonbadhost");
  std::string text = log();
  for (const auto& p : payloads)
    EXPECT_NE(text.find("#INFO#th_listener#Receive#syslog#" + p + "\n"), std::string::npos) << p;
  EXPECT_EQ(text.find("not for us"), std::string::npos);
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
  std::vector<Received> got = received();
  ASSERT_EQ(got.size(), burst.size());
  for (size_t i = 0; i < burst.size(); ++i) ASSERT_EQ(got[i].payload, burst[i]);
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
  std::vector<std::string> got = logMessages(log());
  bool found = false;
  for (const auto& l : got) found |= l.rfind("ERR#consume input failed:  ", 0) == 0;
  EXPECT_TRUE(found) << log();
  EXPECT_TRUE(endsWith(out(), "Fin programme\n")) << out();
}

TEST_F(DaemonTest, ReceiverClosingEndsTheDaemonWithTimings) {
  startReceiver();
  startRelay();
  receiver_->signal(SIGTERM);  // the receiver closes its connections
  EXPECT_EQ(waitExit(), 1);
  std::string text = log();
  EXPECT_TRUE(std::regex_search(text, std::regex("Socket Init: -?\\d+\nTLS Init: -?\\d+\nOpen: -?\\d+\n"
                                                 "Message: -?\\d+\nClose: -?\\d+\n")))
      << text;
}

TEST_F(DaemonTest, UnreachableReceiverIsReportedAndEndsTheDaemon) {
  startDaemon({"-f", writeConfig(freePort())});
  EXPECT_EQ(waitExit(), 1);
  std::string text = log();
  EXPECT_NE(text.find("\nFail handler\nstate: "), std::string::npos) << text;
  bool found = false;
  for (const auto& l : logMessages(text)) found |= l.rfind("ERR#receiver unreachable: wss://localhost:", 0) == 0;
  EXPECT_TRUE(found) << text;
}

TEST_F(DaemonTest, SigtermDuringABurstDeliversEverythingTaken) {
  startReceiver();
  startRelay();
  std::vector<std::string> burst = sequencePayloads(20000, "burst");
  BurstProducer producer(burst, conninfo());
  waitReceived(2000);
  int status = stopDaemon();
  producer.join();
  EXPECT_EQ(status, 0);
  // Every notification the daemon took from the database (its Receive line)
  // reached the receiver, whole and in order; no log line is torn.
  std::vector<std::string> taken;
  for (const auto& l : logMessages(log()))
    if (l.rfind("INFO#th_listener#Receive#syslog#", 0) == 0) taken.push_back(l.substr(32));
  ASSERT_TRUE(waitReceived(taken.size(), 5s));
  std::vector<Received> got = received();
  ASSERT_EQ(got.size(), taken.size());
  ASSERT_GT(taken.size(), 0u);
  for (size_t i = 0; i < taken.size(); ++i) {
    ASSERT_EQ(taken[i], burst[i]) << "log line " << i;
    ASSERT_EQ(got[i].payload, burst[i]) << "received " << i;
  }
}

}  // namespace
