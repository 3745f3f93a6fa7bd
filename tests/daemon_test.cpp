// Black-box tests of norv-syslog-send: the real executable, a real
// PostgreSQL and the real TLS receiver (norv-syslog-receive); each case is a
// separate daemon run with its own configuration, log file and database.
#include <signal.h>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "support/DaemonHarness.h"
#include "support/WsPeers.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

class DaemonTest : public DaemonHarness {
 protected:
  const std::vector<std::string> burst = sequencePayloads(20000, "burst");
};

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

// Start-up failures: each ends with status 1 and says why, where it can.
TEST_F(DaemonTest, StartUpFailuresEndWithStatusOneAndTheirReason) {
  struct Case {
    const char* name;
    std::function<std::string()> config;  // the -f argument
    const char* lastLog;                             // prefix of the last log message, or ""
    const char* out;                                 // the whole standard output, or ""
  };
  const Case cases[] = {
      {"missing file", [this] { return dir_.file("absent.conf"); }, "", "error: can't open file\n"},
      {"unreachable database",
       [this] {
         pgPort_ = std::to_string(freePort());
         pgPwd_ = "secret pass";
         return writeConfig(receiverPort_);
       },
       "ERR#POSTGRESQL exception: ", ""},
      {"port that is not one",
       [this] {
         pgPort_ = pgTarget().port;
         std::string path = writeConfig(receiverPort_);
         runShell("sed -i 's/^port=.*/port=84x3/' '" + path + "'");
         return path;
       },
       "ERR#configuration: [RECEIVER] port must be a port number from 1 to 65535, not '84x3'", ""},
  };
  startReceiver();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startDaemon({"-f", c.config()});
    EXPECT_EQ(waitExit(), 1);
    if (*c.out) {
      EXPECT_EQ(out(), c.out);
    }
    if (*c.lastLog) {
      const std::vector<std::string> got = logMessages(log());
      ASSERT_FALSE(got.empty());
      EXPECT_EQ(got.back().rfind(c.lastLog, 0), 0u) << log();
      EXPECT_EQ(log().find("secret"), std::string::npos);
    } else {
      EXPECT_FALSE(fileExists(logPath_));
    }
    runShell("rm -f '" + logPath_ + "'");
  }
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
  EXPECT_EQ(received(), payloads);
  for (const auto& p : payloads)
    EXPECT_NE(log().find("#INFO#th_listener#Receive#syslog#" + p + "\n"), std::string::npos) << p;
  EXPECT_EQ(log().find("not for us"), std::string::npos);
  EXPECT_EQ(stopDaemon(), 0);
}

// Whatever the database's encoding, what goes out is UTF-8: converted by the
// server where it can, each stray byte replaced (with an ERR line) where it
// cannot (SQL_ASCII), and the relay goes on.
TEST_F(DaemonTest, PayloadsOfAnyDatabaseEncodingGoOutAsUtf8) {
  struct Case {
    const char* encoding;
    const char* sql;  // the payload as the notifying session writes it
    std::string expected;
    bool replaced;
  } const cases[] = {
      {"LATIN1", "'caf\xc3\xa9'", "caf\xc3\xa9", false},
      {"SQL_ASCII", "E'a\\xffb'", "a\xef\xbf\xbd" "b", true},
  };
  startReceiver();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoding);
    pgDb_ = createDatabase(std::string("ENCODING '") + c.encoding + "' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0");
    const size_t before = received().size();
    startRelay();
    PgConn conn = pgConnect(conninfo() + " client_encoding=UTF8");
    PgResult r(PQexec(conn.get(), (std::string("SELECT pg_notify('syslog', ") + c.sql + "), pg_notify('syslog', 'next')").c_str()));
    ASSERT_EQ(PQresultStatus(r.get()), PGRES_TUPLES_OK) << PQerrorMessage(conn.get());
    ASSERT_TRUE(waitReceived(before + 2)) << log();
    EXPECT_EQ(received().at(before), c.expected);
    EXPECT_EQ(logged("ERR#th_listener#payload is not valid UTF-8: 1 byte(s) sent as U+FFFD"), c.replaced) << log();
    EXPECT_EQ(stopDaemon(), 0);
  }
}

TEST_F(DaemonTest, NotificationsRaisedBeforeTheHandshakeAreDeliveredWhole) {
  startReceiver();
  // A proxy that holds the connection for a while: the daemon listens long
  // before its WebSocket connection opens.
  int proxyPort = freePort();
  ChildProcess proxy(wsPeerArgv({"delay", std::to_string(proxyPort), std::to_string(receiverPort_), "2"}),
                     dir_.file("proxy.out"));
  ASSERT_TRUE(waitUntil([&] { return readFile(dir_.file("proxy.out")) == "ready\n"; }, 10s));
  startDaemon({"-f", writeConfig(proxyPort)});
  ASSERT_TRUE(waitLog("LISTEN SUCCESS"));
  ASSERT_EQ(log().find("\nHEELO\n"), std::string::npos) << "the proxy should still hold the handshake";
  PgConn c = pgConnect(conninfo());
  std::vector<std::string> early = sequencePayloads(500, "early");
  notify(c.get(), early);
  ASSERT_TRUE(waitReceived(early.size())) << log();
  EXPECT_EQ(received(), early);
  EXPECT_EQ(stopDaemon(), 0);
}

// ------------------------------------------------------------------- faults

// The receiver reads nothing: its output is blocked, its queue fills and it
// stops reading. The daemon stops taking notifications once its window is
// full (the rest wait in PostgreSQL), and then either a stop signal, which
// lets what was taken reach the receiver once it reads again, or the stall
// time-out ends it.
TEST_F(DaemonTest, AReceiverThatStopsReadingHoldsTheDaemonBack) {
  struct Case {
    int signal;  // 0: none, the stall time-out ends it
    int status;
  } const cases[] = {{SIGTERM, 0}, {SIGINT, 0}, {SIGHUP, 0}, {0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signal);
    TearDown();
    SetUp();
    startReceiver({"--queue-limit", "65536"}, true);
    startRelay(c.signal ? "" : "stall_timeout=2\n");
    startBurst(burst);
    size_t held = 0;
    ASSERT_TRUE(waitUntil([&] {
      const size_t now = taken().size();
      std::this_thread::sleep_for(500ms);
      return (held = taken().size()) == now;
    }, 20s));
    EXPECT_LT(held, burst.size() * 3 / 4) << "the daemon took notifications the receiver did not read";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peakRssKb(daemon_->pid()), 30000);
    EXPECT_LT(peakRssKb(receiver_->pid()), 30000);
#endif
    if (c.signal) {
      daemon_->signal(c.signal);
      std::this_thread::sleep_for(300ms);
      EXPECT_TRUE(daemon_->running()) << "the daemon did not wait for the receiver to read what it took";
      unblockReceiver();
    }
    EXPECT_EQ(waitExit(), c.status);
    if (c.signal) {
      EXPECT_TRUE(finished()) << out();
      EXPECT_TRUE(waitReceived(held, 10s));
      EXPECT_EQ(expectWholeLines(burst), received().size());
    } else {
      EXPECT_TRUE(logged("ERR#receiver stalled for ")) << log();
      EXPECT_NE(log().find("giving up (stall_timeout 2 s)"), std::string::npos);
    }
  }
}

TEST_F(DaemonTest, DatabaseKilledDuringABurstEndsWithStatusOneAndWholeLines) {
  TempDir pg;
  ASSERT_TRUE(startPrivateCluster(pg));
  startReceiver();
  startRelay();
  startBurst(burst);
  runShell(sourcePath("scripts/pg-cluster.sh") + " kill " + pg.path());
  EXPECT_EQ(waitExit(), 1);
  joinBurst();
  EXPECT_TRUE(logged("ERR#consume input failed:  ")) << log();
  EXPECT_TRUE(finished()) << out();
  // Nothing taken is lost: it was all handed on before the exit.
  const size_t taken = expectWholeLines(burst);
  EXPECT_TRUE(waitReceived(taken, 5s));
  EXPECT_EQ(received().size(), taken);
}

// However the receiver goes, the close is reported with its code beside the
// timings, the lines stay whole, and the daemon ends with status 1.
TEST_F(DaemonTest, ReceiverGoneEndsTheDaemonWithTheCloseReport) {
  for (int sig : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(sig);
    TearDown();
    SetUp();
    startReceiver();
    startRelay();
    if (sig == SIGKILL) startBurst(burst);
    receiver_->signal(sig);
    EXPECT_EQ(waitExit(), 1);
    EXPECT_TRUE(loggedTimings()) << log().substr(log().size() > 3000 ? log().size() - 3000 : 0);
    EXPECT_NE(log().find(sig == SIGTERM ? "\nClose code: 1000 reason: " : "\nClose code: 1006 reason: "),
              std::string::npos);
    expectWholeLines(burst);
  }
}

TEST_F(DaemonTest, UnreachableReceiverIsReportedAndEndsTheDaemon) {
  startDaemon({"-f", writeConfig(freePort())});
  EXPECT_EQ(waitExit(), 1);
  EXPECT_NE(log().find("\nFail handler\nstate: "), std::string::npos) << log();
  EXPECT_TRUE(logged("ERR#receiver unreachable: wss://localhost:")) << log();
}

// Without a usable log file the daemon runs on, its lines on standard
// output, and SIGTERM still ends it with status 0 and "Fin programme".
TEST_F(DaemonTest, WithoutAUsableLogTheLinesGoToStandardOutput) {
  TempDir small;
  const bool mounted = runShell("mount -t tmpfs -o size=64k tmpfs '" + small.path() + "'").status == 0;
  std::shared_ptr<void> unmount(nullptr, [&](void*) {  // once the daemon is gone, however the case ends
    daemon_.reset();
    if (mounted) runShell("umount '" + small.path() + "'");
  });
  struct Case {
    std::string log;  // empty: no LOG section
    bool linesOnStdout;
  } const cases[] = {{"", true},
                     {dir_.file("absent/norv.log"), true},
                     {mounted ? small.file("norv.log") : "/dev/full", false}};  // fills up
  startReceiver();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    logPath_ = c.log;
    startDaemon({"-f", writeConfig(receiverPort_)});
    PgConn conn = pgConnect(conninfo());
    const size_t before = received().size();
    ASSERT_TRUE(waitUntil([&] { return tryNotify(conn.get(), {"probe"}) && received().size() > before; }, 20s)) << out();
    const std::vector<std::string> part(burst.begin(), burst.begin() + 3000);
    notify(conn.get(), part);
    ASSERT_TRUE(waitUntil([&] { return received().back() == part.back(); }, 20s));
    std::vector<std::string> got = received();
    EXPECT_EQ(std::vector<std::string>(got.end() - part.size(), got.end()), part);
    EXPECT_EQ(stopDaemon(), 0);
    EXPECT_TRUE(finished()) << out();
    if (c.linesOnStdout) {
      EXPECT_EQ(out().rfind("ERROR can't open file " + c.log + "\n", 0), 0u) << out().substr(0, 500);
      EXPECT_NE(out().find("#INFO#th_listener#Receive#syslog#" + part.back() + "\n"), std::string::npos);
    } else if (mounted) {
      EXPECT_EQ(logMessages(log()).at(0), "INFO#Receiver start....");  // what fitted, from the start
    }
  }
}

}  // namespace
