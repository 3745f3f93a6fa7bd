// Black-box tests of norv-syslog-send: the real executable, a real
// PostgreSQL and the real TLS receiver (norv-syslog-receive); each case runs
// the daemon with its own configuration, log file and database.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

#include "support/DaemonHarness.h"
#include "support/WsPeers.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// The datagram socket systemd gives a Type=notify service: children started
// while it lives are told of it (NOTIFY_SOCKET, with `environment`).
class NotifySocket {
 public:
  NotifySocket(const std::string& path, const std::vector<std::string>& environment = {})
      : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)), environment_(environment) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    unlink(path.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    environment_.push_back("NOTIFY_SOCKET=" + path);
    for (const std::string& e : environment_) putenv(const_cast<char*>(e.c_str()));
  }
  ~NotifySocket() {
    for (const std::string& e : environment_) unsetenv(e.substr(0, e.find('=')).c_str());
    close(fd_);
  }
  // The next datagram, "" when none came in `timeout`.
  std::string next(std::chrono::milliseconds timeout) {
    pollfd fd = {fd_, POLLIN, 0};
    char datagram[512];
    if (poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) return "";
    return std::string(datagram, std::max<ssize_t>(0, recv(fd_, datagram, sizeof datagram, 0)));
  }

 private:
  int fd_;
  std::vector<std::string> environment_;
};

class DaemonTest : public DaemonHarness {
 protected:
  const std::vector<std::string> burst = sequencePayloads(20000, "burst");
  // A new case within a case: fresh database, no children.
  void again() {
    TearDown();
    SetUp();
  }
};

TEST_F(DaemonTest, NormalRunLogsEveryStepAndStopsOnSigterm) {
  startReceiver();
  writeFile(logPath_, "a line from an earlier run\n");  // the log is emptied at each start
  startDaemon(
      {"-f", dir_.file("absent.conf"), "-f", writeConfig(receiverPort_)});  // the second -f wins
  ASSERT_TRUE(waitLog("LISTEN SUCCESS") && waitLog("\nHEELO\n")) << out() << log();
  EXPECT_EQ(stopDaemon(), 0);
  EXPECT_TRUE(finished()) << out();
  const std::vector<std::string> expected = {"INFO#Receiver start....",
                                             "INFO#Receiver configuration open succesful",
                                             "INFO#NORV Database connection ....",
                                             "INFO#Connection database sucessful. Encoding: UTF8",
                                             "INFO#Connection SyslogClient....",
                                             "INFO#INSTANCE Listener",
                                             "INFO#LISTEN",
                                             "INFO#EXEC REQUEST LISTEN syslog",
                                             "INFO#LISTEN SUCCESS",
                                             "INFO#stop Receiver... SIGTERM",
                                             "INFO#stop Receiver... SIGTERM"};
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

// Start-up failures end with status 1 and say why: on standard output before
// the log is open, as the log's last line after.
TEST_F(DaemonTest, StartUpFailuresEndWithStatusOneAndTheirReason) {
  startReceiver();
  const std::string conf = writeConfig(receiverPort_);
  const std::pair<std::string, std::string> cases[] = {
      {"", "error: can't open file " + dir_.file("case.conf") + ": No such file or directory\n"},
      {"s/^PGSQL_port=.*/PGSQL_port=" + std::to_string(freePort()) +
           "/; s/^PGSQL_pwd=.*/PGSQL_pwd=secret pass/",
       "ERR#POSTGRESQL exception: "},
      {"s/^port=.*/port=84x3/",
       "ERR#configuration: [RECEIVER] port must be a port number from 1 to 65535, not '84x3'"},
      {"s/^\\[RECEIVER\\]/&\\nresume=maybe/",
       "ERR#configuration: [RECEIVER] resume must be on or off"},
      {"s/^source=.*/source=queue/", "ERR#configuration: [DB] source must be notify or outbox"},
      // A role that may not create the outbox's table is told what to apply.
      {"s/^source=.*/source=outbox/; s/^PGSQL_username=.*/PGSQL_username=norv_weak/",
       "/norv/norv-outbox.sql as a role that may create them"},
  };
  adminQuery("DO $$BEGIN CREATE ROLE norv_weak LOGIN; EXCEPTION WHEN duplicate_object THEN END$$");
  for (const auto& [edit, reason] : cases) {
    SCOPED_TRACE(reason);
    const std::string path = dir_.file("case.conf");
    unlink(path.c_str());
    unlink(logPath_.c_str());
    if (!edit.empty()) runShell("sed '" + edit + "' '" + conf + "' > '" + path + "'");
    startDaemon({"-f", path});
    EXPECT_EQ(waitExit(), 1);
    if (edit.empty()) {
      EXPECT_EQ(out(), reason);
      EXPECT_FALSE(fileExists(logPath_));
    } else {
      EXPECT_NE(logMessages(log()).back().find(reason), std::string::npos) << log();
      EXPECT_EQ(log().find("secret"), std::string::npos);
    }
  }
}

// Raised with pg_notify, then into the outbox (source=outbox, norv_notify).
// The log quotes each payload on its own line, control characters escaped:
// a payload cannot write a line of its own.
TEST_F(DaemonTest, ForwardsPayloadsByteForByteInOrder) {
  startReceiver();
  const std::vector<std::string> payloads = {
      "{\"fromhost\":\"web01\",\"msg\":\"first\"}", "second, plain", "",
      "line\nMon Dec  7 03:11:13 2026#ERR#forged: lost\x1b[2J\t\xc2\x9b"
      "1m\xc3\xa9#",
      "{\"msg\":\"\xc3\xa9t\xc3\xa9\"}"};
  const std::string forged =
      "line\\nMon Dec  7 03:11:13 2026#ERR#forged: lost\\x1b[2J\\t\\u009b"
      "1m\xc3\xa9#";
  for (const std::string& raise : {kNotifyRaise, kOutboxRaise}) {
    SCOPED_TRACE(raise);
    source_ = raise == kNotifyRaise ? "notify" : "outbox";
    const size_t before = received().size();
    startRelay();
    PgConn c = pgConnect(conninfo());
    notify(c.get(), {"not for us"}, "pg_notify('other_channel', $1)");
    notify(c.get(), {payloads[0], payloads[1], payloads[2]}, raise);
    notify(c.get(), {payloads[3], payloads[4]}, raise);
    ASSERT_TRUE(waitReceived(before + payloads.size())) << log();
    const std::vector<std::string> got = received();
    EXPECT_EQ(std::vector<std::string>(got.begin() + before, got.end()), payloads);
    for (const auto& p : payloads)
      EXPECT_NE(
          log().find("#INFO#th_listener#Receive#syslog#" + (p == payloads[3] ? forged : p) + "\n"),
          std::string::npos)
          << p;
    EXPECT_EQ(log().find("not for us"), std::string::npos);
    EXPECT_FALSE(logged("ERR#forged"));
    EXPECT_EQ(stopDaemon(), 0);
  }
}

// Outbox mode: an id is taken at insert, the row seen at commit. A row that
// commits after one with a higher id was delivered is delivered too, even
// when its transaction began after the other's.
TEST_F(DaemonTest, OutboxModeDeliversARowThatCommitsLate) {
  startReceiver();
  source_ = "outbox";
  startRelay();
  PgConn early = pgConnect(conninfo()), late = pgConnect(conninfo());
  PgResult r(PQexec(early.get(), "BEGIN; SELECT pg_current_xact_id()"));
  r.reset(PQexec(late.get(), "BEGIN; SELECT norv_notify('late')"));
  r.reset(PQexec(early.get(), "SELECT norv_notify('early'); COMMIT"));
  ASSERT_TRUE(waitReceived(1)) << log();
  std::this_thread::sleep_for(100ms);  // the daemon looks into the gap at once
  r.reset(PQexec(late.get(), "COMMIT"));
  ASSERT_TRUE(waitReceived(2)) << log();
  EXPECT_EQ(received(), (std::vector<std::string>{"early", "late"}));
  EXPECT_EQ(stopDaemon(), 0);
}

// Outbox mode: whichever process dies during a burst raised with
// norv_notify, every row arrives at least once and the table ends empty: the
// daemon killed, or the receiver killed with rows waiting in its queue for a
// slow consumer (the daemon ends, and is started again as by its
// supervisor), or PostgreSQL restarted under the daemon (it connects again).
TEST_F(DaemonTest, OutboxModeLosesNothingWhicheverProcessDies) {
  for (const std::string fault : {"daemon killed", "receiver killed", "PostgreSQL restarted"}) {
    SCOPED_TRACE(fault);
    again();
    ASSERT_TRUE(fault != "PostgreSQL restarted" || startPrivateCluster());
    source_ = "outbox";
    startReceiver({}, fault == "receiver killed");
    if (fault == "receiver killed") unblockReceiver(4096, 10ms);
    startRelay();
    startBurst(burst, true);
    if (fault == "PostgreSQL restarted") {
      ASSERT_EQ(privateCluster("restart"), 0);
    } else {
      // The receiver: once all is sent, most of it still in its queue.
      ASSERT_TRUE(fault != "receiver killed" ||
                  waitUntil([&] { return taken().size() == burst.size(); }, 30s));
      (fault == "daemon killed" ? daemon_ : receiver_)->signal(SIGKILL);
      EXPECT_EQ(waitExit(), fault == "daemon killed" ? 128 + SIGKILL : 1);
      if (fault == "receiver killed") startReceiver();
      startRelay();
    }
    burst_.join();
    auto missing = [&] {
      const std::vector<std::string> got = received();
      const std::set<std::string> seen(got.begin(), got.end());
      return std::count_if(burst.begin(), burst.end(), [&](auto& p) { return !seen.count(p); });
    };
    EXPECT_TRUE(waitUntil([&] { return missing() == 0; }, 60s)) << missing() << " missing";
    PgConn c = pgConnect(conninfo());
    EXPECT_TRUE(waitUntil(
        [&] { return takeValue(PQexec(c.get(), "SELECT count(*) FROM norv_outbox")) == "0"; },
        10s));
    EXPECT_TRUE(daemon_->running()) << log();
    EXPECT_EQ(stopDaemon(), 0);
  }
}

// Whatever the database's encoding, what goes out is UTF-8: converted by the
// server where it can, each stray byte replaced (with an ERR line) where it
// cannot (SQL_ASCII), and the relay goes on.
TEST_F(DaemonTest, PayloadsOfAnyDatabaseEncodingGoOutAsUtf8) {
  const std::tuple<const char*, const char*, std::string, bool> cases[] = {
      {"LATIN1", "'caf\xc3\xa9'", "caf\xc3\xa9", false},
      {"SQL_ASCII", "E'a\\xffb'",
       "a\xef\xbf\xbd"
       "b",
       true}};
  startReceiver();
  for (const auto& [encoding, sql, expected, replaced] : cases) {
    SCOPED_TRACE(encoding);
    pgDb_ = createDatabase(std::string("ENCODING '") + encoding +
                           "' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0");
    const size_t before = received().size();
    startRelay();
    PgConn conn = pgConnect(conninfo() + " client_encoding=UTF8");
    PgResult r(PQexec(conn.get(), (std::string("SELECT pg_notify('syslog', ") + sql +
                                   "), pg_notify('syslog', 'next')")
                                      .c_str()));
    ASSERT_TRUE(waitReceived(before + 2)) << log();
    EXPECT_EQ(received().at(before), expected);
    EXPECT_EQ(logged("ERR#th_listener#payload is not valid UTF-8: 1 byte(s) sent as U+FFFD"),
              replaced);
    EXPECT_EQ(stopDaemon(), 0);
  }
}

TEST_F(DaemonTest, NotificationsRaisedBeforeTheHandshakeAreDeliveredWhole) {
  startReceiver();
  // A proxy that holds the connection for a while: the daemon listens long
  // before its WebSocket connection opens.
  const int proxyPort = startProxy(receiverPort_, 2);
  ASSERT_NE(proxyPort, 0);
  startDaemon({"-f", writeConfig(proxyPort)});
  ASSERT_TRUE(waitLog("LISTEN SUCCESS"));
  ASSERT_EQ(log().find("\nHEELO\n"), std::string::npos)
      << "the proxy should still hold the handshake";
  PgConn c = pgConnect(conninfo());
  const std::vector<std::string> early = sequencePayloads(500, "early");
  notify(c.get(), early);
  ASSERT_TRUE(waitReceived(early.size())) << log();
  EXPECT_EQ(received(), early);
  EXPECT_EQ(stopDaemon(), 0);
}

// The receiver reads nothing: its output is blocked, its queue fills and it
// stops reading. The daemon stops taking notifications once its window is
// full (the rest wait in PostgreSQL), and then either a stop signal, which
// lets what was taken reach the receiver once it reads again, or the stall
// time-out ends it. One that reads slowly but steadily is no stall.
TEST_F(DaemonTest, AReceiverThatStopsReadingHoldsTheDaemonBack) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP, 0, -1}) {
    SCOPED_TRACE(sig);
    again();
    startReceiver({"--queue-limit", "65536"}, true);
    if (sig < 0) unblockReceiver(4096, 10ms);  // one that reads slowly but steadily
    startRelay(sig > 0 ? "" : sig ? "stall_timeout=1\n" : "stall_timeout=2\n");
    startBurst(burst);
    if (sig < 0) {  // acknowledged all the time: never stalled
      EXPECT_TRUE(waitReceived(burst.size(), 30s));
      EXPECT_FALSE(logged("ERR#receiver stalled")) << log();
      EXPECT_EQ(stopDaemon(), 0);
      continue;
    }
    size_t held = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
          const size_t now = taken().size();
          std::this_thread::sleep_for(100ms);
          return (held = taken().size()) == now;
        },
        20s));
    EXPECT_LT(held, burst.size() * 3 / 4)
        << "the daemon took notifications the receiver did not read";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peakRssKb(daemon_->pid()), 30000);
    EXPECT_LT(peakRssKb(receiver_->pid()), 30000);
#endif
    if (!sig) {  // the stall time-out ends it
      EXPECT_EQ(waitExit(), 1);
      EXPECT_NE(log().find("giving up (stall_timeout 2 s)"), std::string::npos) << log();
      continue;
    }
    daemon_->signal(sig);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(daemon_->running())
        << "the daemon did not wait for the receiver to read what it took";
    unblockReceiver();
    EXPECT_EQ(waitExit(), 0);
    EXPECT_TRUE(finished()) << out();
    EXPECT_TRUE(waitReceived(held, 10s));
    EXPECT_EQ(expectWholeLines(burst), received().size());
  }
}

// However it goes, the daemon ends with status 1 and whole lines: its
// database killed (nothing taken is lost, it was all handed on), its receiver
// closing (1000) or killed (1006), reported beside the timings.
TEST_F(DaemonTest, LosingTheDatabaseOrTheReceiverEndsWithStatusOneAndWholeLines) {
  const std::regex report(
      "\nClose code: (\\d+) reason: .*\nSocket Init: -?\\d+\nTLS Init: -?\\d+\nOpen: -?\\d+\n"
      "Message: -?\\d+\nClose: -?\\d+\n");
  for (int sig : {0, SIGTERM, SIGKILL}) {
    SCOPED_TRACE(sig);
    again();
    ASSERT_TRUE(sig || startPrivateCluster());
    startReceiver();
    startRelay();
    if (sig != SIGTERM) startBurst(burst);
    if (sig)
      receiver_->signal(sig);
    else
      privateCluster("kill");
    EXPECT_EQ(waitExit(), 1);
    if (burst_.joinable()) burst_.join();
    const size_t taken = expectWholeLines(burst);
    std::smatch m;
    const std::string text = log();
    if (!sig) {
      EXPECT_TRUE(logged("ERR#consume input failed:  ")) << text;
      EXPECT_TRUE(finished()) << out();
      EXPECT_TRUE(waitReceived(taken, 5s));
      EXPECT_EQ(received().size(), taken);
    } else {
      ASSERT_TRUE(std::regex_search(text, m, report))
          << text.substr(text.size() - std::min<size_t>(text.size(), 3000));
      EXPECT_EQ(m[1], sig == SIGTERM ? "1000" : "1006");
    }
  }
}

// Silent peers: a port that accepts TCP and never answers. For the database,
// the start ends after [DB] connect_timeout (status 1), or at once on a stop
// signal (status 0). For the receiver (resume mode): the daemon neither spins
// nor keeps a stop waiting, and under systemd it is ready all the same, its
// status saying that the receiver is unreachable.
TEST_F(DaemonTest, SilentPeersNeitherHangNorSpinTheDaemon) {
  for (const std::string silentOne : {"database", "database, stop", "receiver"}) {
    SCOPED_TRACE(silentOne);
    again();
    const int silent = startProxy(1, 3600);
    ASSERT_NE(silent, 0);
    NotifySocket systemd(dir_.file("notify"));
    const bool database = silentOne != "receiver";
    if (database) pgPort_ = std::to_string(silent), dbExtra_ = "connect_timeout=2\n";
    unlink(logPath_.c_str());
    startDaemon({"-f", writeConfig(database ? 1 : silent, "resume=on\n")});
    if (silentOne == "database") {
      EXPECT_EQ(waitExit(), 1);
      EXPECT_TRUE(logged("ERR#POSTGRESQL exception: no answer after 2 s ([DB] connect_timeout)"))
          << log();
      continue;
    }
    if (database) {
      ASSERT_TRUE(waitLog("NORV Database connection ...."));
    } else {  // until the first TLS handshake timed out and the next attempt began
      ASSERT_TRUE(waitLog("(attempt 1,", 20s)) << log();
      EXPECT_LT(readProc(daemon_->pid()).cpuSeconds, 0.5) << "it spins";
      std::string said, datagram;
      while (!(datagram = systemd.next(100ms)).empty()) said += datagram + "\n";
      EXPECT_NE(said.find("READY=1"), std::string::npos) << said;
      EXPECT_NE(said.find("STATUS=receiver unreachable"), std::string::npos) << said;
    }
    daemon_->signal(SIGTERM);
    int status = -1;
    EXPECT_TRUE(daemon_->wait(3s, &status)) << "a stop kept waiting";
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(finished());
  }
}

TEST_F(DaemonTest, UnreachableReceiverIsReportedAndEndsTheDaemon) {
  startDaemon({"-f", writeConfig(freePort())});
  EXPECT_EQ(waitExit(), 1);
  EXPECT_NE(log().find("\nFail handler\nstate: "), std::string::npos) << log();
  EXPECT_TRUE(logged("ERR#receiver unreachable: wss://localhost:")) << log();
}

// Resume mode: the receiver stops reading (so that a window of messages is
// taken and not acknowledged) and is killed. Started again on its port, it
// gets everything, at least once and in order apart from the tail sent
// again, and the daemon never ends; kept away, resume_timeout ends the
// daemon with status 1; SIGTERM while reconnecting ends it with status 0,
// saying what was not delivered. A receiver killed while messages wait in
// its queue for a slow standard output has not acknowledged them either.
TEST_F(DaemonTest, ResumeModeLosesNothingWhenTheReceiverRestarts) {
  const std::string endings[] = {"restart", "resume_timeout", "SIGTERM", "slow output"};
  for (const std::string& ending : endings) {
    SCOPED_TRACE(ending);
    again();
    const bool slow = ending == "slow output";
    startReceiver({}, slow);
    if (slow) unblockReceiver(4096, 10ms);  // 400 KB/s: far slower than the burst
    startRelay(ending == "resume_timeout" ? "resume=on\nresume_timeout=2\n" : "resume=on\n");
    if (!slow) receiver_->signal(SIGSTOP);
    startBurst(burst);
    if (slow) {  // all sent, and time to acknowledge the tail: most still queued
      ASSERT_TRUE(waitUntil([&] { return taken().size() == burst.size(); }, 20s));
      std::this_thread::sleep_for(100ms);
    }
    receiver_->signal(SIGKILL);
    ASSERT_TRUE(waitLog("#ERR#receiver connection lost (")) << log();
    std::smatch m;
    const std::string text = log();
    ASSERT_TRUE(
        std::regex_search(text, m, std::regex("connection lost \\(.*\\), ([0-9]+) message")));
    EXPECT_TRUE(slow || std::stoi(m[1]) > 0)
        << "nothing left unacknowledged, nothing to send again";
    if (ending == "restart" || slow) {
      ASSERT_TRUE(waitLog("(attempt 2,")) << "no attempt to connect again";
      startReceiver();
      if (burst_.joinable()) burst_.join();
      EXPECT_TRUE(waitUntil(  // the last one is sent last
          [&] {
            const std::vector<std::string> got = received();
            return !got.empty() && got.back() == burst.back();
          },
          30s));
      // Each notification at least once; the first arrivals in order.
      std::vector<std::string> firsts;
      std::set<std::string> seen;
      for (const std::string& p : received())
        if (seen.insert(p).second) firsts.push_back(p);
      EXPECT_EQ(firsts.size(), burst.size()) << "messages missing";
      EXPECT_TRUE(firsts == burst);
      EXPECT_TRUE(daemon_->running());
      if (!slow) {  // a second outage starts again from the shortest pause
        receiver_->signal(SIGKILL);
        const std::regex first("attempt 1, the next one in about ([0-9]+) ms");
        std::vector<std::string> pauses;
        waitUntil(
            [&] {
              const std::string text = log();
              pauses.assign(std::sregex_token_iterator(text.begin(), text.end(), first, 1), {});
              return pauses.size() == 2;
            },
            10s);
        EXPECT_EQ(pauses, (std::vector<std::string>{"1000", "1000"}));
      }
      EXPECT_EQ(stopDaemon(), 0);
    } else {
      if (ending == "SIGTERM") daemon_->signal(SIGTERM);
      EXPECT_EQ(waitExit(), ending == "SIGTERM" ? 0 : 1);
      EXPECT_TRUE(logged("ERR#not delivered: ")) << log();
      EXPECT_EQ(log().find("giving up (resume_timeout 2 s)") != std::string::npos,
                ending != "SIGTERM");
    }
  }
}

// Under a Type=notify unit: READY=1 only once the receiver connection is
// open, WATCHDOG=1 again and again while it relays. Its log rotated by
// copying and truncating: the file then holds only the new lines, with no
// hole of zero bytes where the old ones were.
TEST_F(DaemonTest, UnderSystemdItSaysReadyPingsTheWatchdogAndItsLogRotates) {
  NotifySocket systemd(dir_.file("notify"), {"WATCHDOG_USEC=200000"});
  startReceiver();
  startDaemon({"-f", writeConfig(receiverPort_)});
  std::string logWhenReady;
  int watchdogs = 0;
  const auto end = std::chrono::steady_clock::now() + 3s;
  while (std::chrono::steady_clock::now() < end && watchdogs < 5) {
    const std::string text = systemd.next(100ms);
    if (text == "READY=1" && logWhenReady.empty()) logWhenReady = log();
    watchdogs += text == "WATCHDOG=1" && !logWhenReady.empty();
  }
  EXPECT_NE(logWhenReady.find("\nHEELO\n"), std::string::npos)
      << "READY=1 before the connection opened";
  EXPECT_EQ(watchdogs, 5);

  PgConn c = pgConnect(conninfo());
  notify(c.get(), {"before rotation"});
  ASSERT_TRUE(waitLog("syslog#before rotation\n"));
  writeFile(dir_.file("rotate.conf"), logPath_ + " {\n  copytruncate\n  rotate 1\n}\n");
  const ExecResult rotated = runShell("/usr/sbin/logrotate -f -s '" + dir_.file("state") + "' '" +
                                      dir_.file("rotate.conf") + "'");
  ASSERT_EQ(rotated.status, 0) << rotated.output;
  notify(c.get(), {"after rotation"});
  ASSERT_TRUE(waitLog("syslog#after rotation\n"));
  EXPECT_EQ(stopDaemon(), 0);
  // Read once the daemon is gone: what is checked is the file as the daemon
  // left it, not a read made while it appends.
  const std::string text = log();
  EXPECT_EQ(text.find('\0'), std::string::npos) << "a hole at the start of the rotated log";
  EXPECT_EQ(text.find("before rotation"), std::string::npos);
  EXPECT_NE(text.find("syslog#after rotation\n"), std::string::npos);
  EXPECT_NE(readFile(logPath_ + ".1").find("syslog#before rotation\n"), std::string::npos);
}

// Without a usable log file the daemon runs on, its lines on standard
// output, and SIGTERM still ends it with status 0 and "Fin programme".
TEST_F(DaemonTest, WithoutAUsableLogTheLinesGoToStandardOutput) {
  TempDir small;
  const bool mounted =
      runShell("mount -t tmpfs -o size=64k tmpfs '" + small.path() + "'").status == 0;
  std::shared_ptr<void> unmount(nullptr,
                                [&](void*) {  // once the daemon is gone, however the case ends
                                  daemon_.reset();
                                  if (mounted) runShell("umount '" + small.path() + "'");
                                });
  // No LOG section, a missing folder, a file system that fills up.
  const std::string logs[] = {"", dir_.file("absent/norv.log"),
                              mounted ? small.file("norv.log") : "/dev/full"};
  startReceiver();
  PgConn conn = pgConnect(conninfo());
  const std::vector<std::string> part(burst.begin(), burst.begin() + 2000);
  for (const std::string& path : logs) {
    SCOPED_TRACE(path);
    logPath_ = path;
    startDaemon({"-f", writeConfig(receiverPort_)});
    const size_t before = received().size();
    ASSERT_TRUE(waitUntil(
        [&] { return tryNotify(conn.get(), {"probe"}) && received().size() > before; }, 20s))
        << out();
    notify(conn.get(), part);
    ASSERT_TRUE(waitUntil([&] { return received().back() == part.back(); }, 20s));
    EXPECT_EQ(stopDaemon(), 0);
    EXPECT_TRUE(finished()) << out();
    if (path != logs[2]) {
      EXPECT_EQ(out().rfind("ERROR can't open file " + path + "\n", 0), 0u) << out().substr(0, 500);
      EXPECT_NE(out().find("#INFO#th_listener#Receive#syslog#" + part.back() + "\n"),
                std::string::npos);
    } else if (mounted) {
      EXPECT_EQ(logMessages(log()).at(0),
                "INFO#Receiver start....");  // what fitted, from the start
    }
  }
}

}  // namespace
