// The listener thread: subscribes the daemon's connection to channel
// "syslog" and hands every notification payload, unchanged and in order, to
// the sender client; in outbox mode it LISTENs on channel norv_outbox
// instead and hands on the rows of norv_outbox (daemon/Outbox.h). It is the
// only user of dblistener's connection while it runs, which is why it may
// use the raw handle without the object's mutex.
//
// It blocks in one place, a poll() on the wake-up pipe (written by the stop
// handler and by the sender when its state or its acknowledged count changes)
// and, while it may take notifications, the database socket.
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>

#include "base/Utf8.h"
#include "daemon/LogBatch.h"
#include "daemon/NorvSyslogSend.h"
#include "daemon/Outbox.h"
#include "daemon/Systemd.h"
#include "database/PgHandles.h"
#include "database/pgSafeThread.h"
#include "websocket/SyslogClient.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kListen = "LISTEN syslog";
// The longest wait between two reads when nothing arrives.
constexpr milliseconds kPause{500};
// The longest a log line waits in the log's buffer.
constexpr milliseconds kLogDelay{5};
// Unacknowledged bytes the sender may hold before the listener stops taking
// notifications; the rest wait in PostgreSQL's queue until it drains. Each
// queued message costs the sender about three times its size (frame, queue
// entry, and its copy in the access log's dump of each write), so this bound
// is what keeps the daemon's memory flat under a burst or a slow receiver.
constexpr std::size_t kMaxUnackedBytes = 256u << 10;
// In outbox mode, rows (messages) sent and not acknowledged, whatever their
// size: each is remembered until its delete, and empty rows count no bytes.
constexpr std::size_t kMaxUnackedRows = 4096;
// How long a failed send waits for the sender's close handler, which ends the
// process with its timing report once the library's TLS shutdown is over
// (bounded by the library's 5 s timer).
constexpr milliseconds kSenderCloseWait{7000};

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// The share of PostgreSQL's notification queue in use, asked on a
// connection of its own: the listener's connection would have to read every
// notification waiting for it first.
std::string queueUsage() {
  std::string error;
  norv::PgConn probe = connectDatabase(connectLine, error);
  if (!probe) return "unknown (" + firstLine(error) + ")";
  norv::PgResult r(PQexec(probe.get(), "SELECT pg_notification_queue_usage()"));
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1)
    return "unknown (" + firstLine(PQerrorMessage(probe.get())) + ")";
  return PQgetvalue(r.get(), 0, 0);
}

// A condition that may last (a receiver that acknowledges nothing while data
// waits, or one that cannot be reached): reported at ERR every kReport with
// PostgreSQL's queue usage, and fatal (false) once it has lasted `limit`
// seconds, when that is not 0.
class Spell {
 public:
  explicit Spell(const char* what) : what_(what) {}

  void over(Clock::time_point now) {
    since_ = now;
    nextReport_ = now + kReport;
  }

  bool check(Clock::time_point now, int limit, const char* limitKey, const std::string& details) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - since_).count();
    const std::string lasted = std::string(what_) + " for " + std::to_string(seconds) + " s";
    systemd::status(lasted + ": " + details);
    if (limit > 0 && seconds >= limit) {
      write_log("ERR", lasted + " with " + details + ": giving up (" + limitKey + " " +
                           std::to_string(limit) + " s)");
      return false;
    }
    if (now >= nextReport_) {
      write_log("ERR",
                lasted + ": " + details + ", PostgreSQL notification queue usage " + queueUsage());
      nextReport_ = now + kReport;
    }
    return true;
  }

  // How long the listener may wait before the next check is due.
  milliseconds untilDue(Clock::time_point now, int limit) const {
    Clock::time_point due = nextReport_;
    if (limit > 0) due = std::min(due, since_ + std::chrono::seconds(limit));
    return std::chrono::duration_cast<milliseconds>(due - now) + milliseconds(1);
  }

 private:
  static constexpr std::chrono::seconds kReport{30};
  const char* what_;
  Clock::time_point since_ = Clock::now();
  Clock::time_point nextReport_ = since_ + kReport;
};

std::string unacknowledged() {
  return std::to_string(endpoint->getUnacknowledgedMessages()) + " message(s) (" +
         std::to_string(endpoint->getBufferedAmount()) + " bytes) unacknowledged";
}

// A receiver that acknowledges nothing while data waits: stall_timeout.
class StallWatch {
 public:
  bool check(Clock::time_point now) {
    const std::uint64_t acked = endpoint->getAcknowledgedMessages();
    if (endpoint->getUnacknowledgedMessages() == 0 || acked != lastAcked_) {
      lastAcked_ = acked;
      spell_.over(now);
      return true;
    }
    return spell_.check(now, daemonConfig.stallTimeoutSeconds, "stall_timeout", unacknowledged());
  }
  milliseconds untilDue(Clock::time_point now) const {
    return spell_.untilDue(now, daemonConfig.stallTimeoutSeconds);
  }

 private:
  std::uint64_t lastAcked_ = 0;
  Spell spell_{"receiver stalled"};
};

// The pause before the next attempt to open a lost connection again: 0.5 s,
// doubling at each attempt up to 30 s, with some jitter, so that many
// daemons do not come back at the same moment.
class Backoff {
 public:
  // Lost now: the first attempt after the first pause.
  void lost(Clock::time_point now) {
    pause_ = kFirstPause;
    attempts_ = 0;
    next_ = now + jittered();
  }
  bool due(Clock::time_point now) const { return now >= next_; }
  // An attempt to reach `target` starts now: said in the log and to
  // systemd. The next one, should it fail, comes after twice the pause.
  void attempt(Clock::time_point now, const std::string& target) {
    pause_ = std::min(pause_ * 2, kLongestPause);
    next_ = now + jittered();
    const std::string attempt =
        "connecting again to " + target + " (attempt " + std::to_string(++attempts_);
    write_log("INFO", attempt + ", the next one in about " + std::to_string(pause_.count()) +
                          " ms if it fails)");
    systemd::status(attempt + ")", true);
  }
  int attempts() const { return attempts_; }
  milliseconds untilDue(Clock::time_point now) const {
    return std::chrono::duration_cast<milliseconds>(next_ - now) + milliseconds(1);
  }

 private:
  static constexpr milliseconds kFirstPause{500};
  static constexpr milliseconds kLongestPause{30000};

  Clock::duration jittered() {
    std::uniform_real_distribution<double> factor(0.75, 1.25);
    return std::chrono::duration_cast<Clock::duration>(pause_ * factor(random_));
  }

  int attempts_ = 0;
  milliseconds pause_ = kFirstPause;
  Clock::time_point next_;
  std::minstd_rand random_{static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr))};
};

// Resume mode: a lost or failed connection is opened again (Backoff) while
// the notifications wait in PostgreSQL; resume_timeout bounds the wait.
class Reconnect {
 public:
  // The connection is not open; false when it is time to give up.
  bool down(Clock::time_point now, SyslogClient::State state) {
    if (!lost_) {
      if (state == SyslogClient::State::Connecting) return true;  // the first attempt
      lost_ = true;
      spell_.over(now);
      write_log("ERR", "receiver connection lost (" + endpoint->getLastClose() + "), " +
                           unacknowledged() + ": connecting again, they will be sent again first");
      backoff_.lost(now);
    }
    if (!spell_.check(now, daemonConfig.resumeTimeoutSeconds, "resume_timeout", unacknowledged()))
      return false;
    if (state != SyslogClient::State::Connecting && backoff_.due(now)) {
      backoff_.attempt(now, receiverUri);
      endpoint->connect();
    }
    return true;
  }

  void open() {
    if (!lost_) return;
    write_log("INFO", "receiver connection open again after " +
                          std::to_string(backoff_.attempts()) + " attempt(s); " + unacknowledged() +
                          " sent again");
    lost_ = false;
  }

  // While an attempt is under way the next one is not due, however late:
  // the sender's change of state wakes the listener.
  milliseconds untilDue(Clock::time_point now, SyslogClient::State state) const {
    const milliseconds spell = spell_.untilDue(now, daemonConfig.resumeTimeoutSeconds);
    if (state == SyslogClient::State::Connecting) return spell;
    return std::min(spell, backoff_.untilDue(now));
  }

 private:
  bool lost_ = false;
  Backoff backoff_;
  Spell spell_{"receiver unreachable"};
};

// A send fails once the connection is ending. The process then ends through
// the sender's close handler; returning at once would let main end it first,
// without the timing report. A stop request ends the wait.
void awaitSenderClose() {
  const Clock::time_point deadline = Clock::now() + kSenderCloseWait;
  while (!die_norv && Clock::now() < deadline) {
    SyslogClient::State state = endpoint->getState();
    if (state != SyslogClient::State::Open && state != SyslogClient::State::Closed) return;
    waitFor(-1, std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
  }
}

// A send that fails because the connection is closing or gone ends the
// relay; any other failure costs that one message, with its ERR line.
bool connectionLost(const websocketpp::exception& e) {
  return e.code() == websocketpp::error::invalid_state ||
         e.code() == websocketpp::error::bad_connection;
}

// While notifications keep coming, the sender's I/O thread holds its writes
// and the log its lines: what a busy spell hands over goes out in a few
// large writes instead of one or two per cycle of a few notifications. Both
// are let go before any wait, and every kBusyMessages.
class BusySpell {
 public:
  ~BusySpell() { end(); }
  void taken() {
    if (count_++ == 0) {
      endpoint->holdWrites();
      log_.emplace();
    }
  }
  // Ends the spell if it is over, or long enough.
  void cycleDone(bool idle) {
    if (idle || count_ >= kBusyMessages) end();
  }
  void end() {
    if (count_ == 0) return;
    count_ = 0;
    endpoint->releaseWrites();
    log_.reset();
  }

 private:
  static constexpr long kBusyMessages = 256;
  long count_ = 0;
  std::optional<LogBatch> log_;
};

// Hands one payload to the sender as a notification of `channel`, with its
// log line. Returns 1 once sent, 0 when this one send failed (its ERR line
// says why), -1 when the connection to the receiver is lost.
int forwardOne(const char* channel, std::string_view payload, BusySpell& busy) {
  busy.taken();
  logLine("INFO", {"th_listener#Receive#", channel, "#", payload});
  try {
    try {
      endpoint->send(payload.data(), payload.size());  // which checks that it is UTF-8
    } catch (const websocketpp::exception& e) {
      if (e.code() != websocketpp::processor::error::invalid_payload) throw;
      // A text frame must be UTF-8. The connection asks for UTF8 unless the
      // database is SQL_ASCII, which converts nothing and may hold any byte.
      std::string repaired(payload);
      const std::size_t replaced = norv::repairUtf8(repaired);
      write_log("ERR", "th_listener#payload is not valid UTF-8: " + std::to_string(replaced) +
                           " byte(s) sent as U+FFFD");
      endpoint->send(repaired.data(), repaired.size());
    }
  } catch (const websocketpp::exception& e) {
    write_log("ERR", std::string("send failed: ") + e.what());
    if (!connectionLost(e)) return 0;
    busy.end();
    awaitSenderClose();
    return -1;
  }
  return 1;
}

// Forwards every notification libpq holds. Returns how many it forwarded, or
// -1 when the connection to the receiver is lost.
long forwardPending(PGconn* conn, BusySpell& busy) {
  long count = 0;
  while (norv::PgNotify n{PQnotifies(conn)}) {
    if (forwardOne(n->relname, n->extra, busy) < 0) return -1;
    ++count;
  }
  return count;
}

// The sender may take more: what it holds unacknowledged is within bounds.
bool senderHasRoom() {
  return endpoint->getBufferedAmount() <= kMaxUnackedBytes &&
         (!outbox || endpoint->getUnacknowledgedMessages() < kMaxUnackedRows);
}

// Outbox mode: a notification only says that a producer committed; the rows
// are read from the table and forwarded while the sender has room. Returns
// how many went out, or -1 when the connection to the receiver is lost.
long forwardRows(PGconn* conn, BusySpell& busy, Clock::time_point now) {
  bool woken = false;
  while (norv::PgNotify n{PQnotifies(conn)}) woken = true;
  if (woken) outbox->woken();
  outbox->fetch(now, endpoint->getAcknowledgedMessages());
  return outbox->forward(senderHasRoom, [&busy](std::string_view payload) -> long long {
    const int sent = forwardOne("syslog", payload, busy);
    // This thread alone sends: the count is this row's message number.
    return sent <= 0 ? sent : static_cast<long long>(endpoint->getSentMessages());
  });
}

// Reads what the server sent. A broken session ends the relay (false): what
// is raised while nobody listens is gone. In outbox mode it throws
// DatabaseLost instead: the table keeps it.
bool readInput(PGconn* conn) {
  if (PQconsumeInput(conn) && PQstatus(conn) == CONNECTION_OK) return true;
  const std::string why = std::string("consume input failed:  ") + PQerrorMessage(conn);
  if (outbox) throw DatabaseLost(why);
  write_log("ERR", why);
  if (daemonConfig.resume)
    write_log("ERR",
              "the database session is lost: what is raised until the daemon listens again "
              "cannot be recovered");
  return false;
}

// Outbox mode: the session broke (`why`). It is opened again (Backoff) for
// as long as it takes, while the producers' rows wait in the table; the
// cursor, the gaps, the rows in flight and the deletes due are kept. False
// when a stop request came first.
bool reconnectDatabase(PGconn* conn, const std::string& why) {
  write_log("ERR", why);
  write_log("ERR",
            "the database session is lost: connecting again; what is raised meanwhile waits in "
            "norv_outbox");
  Backoff backoff;
  backoff.lost(Clock::now());
  while (!die_norv) {
    systemd::watchdog();
    const Clock::time_point now = Clock::now();
    if (!backoff.due(now)) {
      waitFor(-1, std::min(kPause, backoff.untilDue(now)));
      continue;
    }
    backoff.attempt(now, "the database");
    try {
      std::string error;
      if (reopenDatabase(conn, error)) {
        askForUtf8(conn);
        outbox->open();
        write_log("INFO", "database session open again after " +
                              std::to_string(backoff.attempts()) + " attempt(s)");
        return true;
      }
      if (!die_norv) write_log("ERR", "connecting failed: " + error);
    } catch (const DatabaseLost& e) {
      write_log("ERR", e.what());
    }
  }
  return false;
}

// The relay loop; false when it ended on an error.
bool relay(PGconn* conn) {
  BusySpell busy;  // ended before every wait below
  StallWatch stall;
  Reconnect reconnect;
  long total = 0;
  systemd::status("connecting to " + receiverUri, true);
  // Listening is what a restart would lose: in resume mode the daemon is of
  // use from here on, whether or not the receiver can be reached yet. (Its
  // status then says that the receiver is unreachable and what waits.)
  if (daemonConfig.resume) systemd::ready();
  while (!die_norv) {
    systemd::watchdog();
    const Clock::time_point now = Clock::now();
    const SyslogClient::State state = endpoint->getState();
    if (state != SyslogClient::State::Open) {
      // Notifications raised meanwhile wait in PostgreSQL's queue.
      if (daemonConfig.resume) {
        busy.end();
        if (!reconnect.down(now, state)) return false;
        waitFor(-1, std::min(kPause, reconnect.untilDue(now, state)));
        continue;
      }
      busy.end();
      if (state == SyslogClient::State::Connecting) {
        waitFor(-1, kPause);
        continue;
      }
      if (state == SyslogClient::State::Closed) {
        awaitSenderClose();  // the sender's close handler ends the process
        return false;
      }
      write_log("ERR", "receiver unreachable: " + receiverUri);
      return false;
    }
    reconnect.open();
    systemd::ready();  // listening, and the receiver connection is open (if not yet said)
    if (systemd::statusDue())
      systemd::status("relaying: " + std::to_string(total) + " notification(s) forwarded, " +
                      std::to_string(endpoint->getBufferedAmount()) + " bytes unacknowledged");
    if (!stall.check(now)) return false;
    if (!senderHasRoom()) {
      busy.end();
      // Rows of no bytes bring no acknowledgement request of their own.
      if (outbox) endpoint->requestAck();
      waitFor(-1, std::min(kPause, stall.untilDue(now)));
      continue;
    }
    long forwarded;
    try {
      if (!readInput(conn)) return false;
      forwarded = outbox ? forwardRows(conn, busy, now) : forwardPending(conn, busy);
    } catch (const DatabaseLost& e) {
      busy.end();
      if (!reconnectDatabase(conn, e.what())) break;
      continue;
    }
    busy.cycleDone(forwarded == 0);
    if (forwarded < 0) return false;
    total += forwarded;
    if (forwarded > 0) continue;  // more may be behind it: read again at once
    // Idle: let the receiver acknowledge the tail, so that a stall shows.
    endpoint->requestAck();
    milliseconds wait = std::min(kPause, stall.untilDue(now));
    if (outbox) wait = std::min(wait, outbox->untilDue(now));
    waitFor(PQsocket(conn), wait);
  }
  return true;
}

}  // namespace

void* thread_listener_database(void*) {
  try {
    const char* listen = outbox ? Outbox::kListen : kListen;
    write_log("INFO", "LISTEN");
    write_log("INFO", std::string("EXEC REQUEST ") + listen);
    if (outbox)
      outbox->open();
    else
      PQclear(dblistener->executeRequest(kListen));
    write_log("INFO", "LISTEN SUCCESS");
    if (!relay(dblistener->conn)) listener_failed = true;
  } catch (const PostgresqlException& e) {
    write_log("ERR", e.what());
    listener_failed = true;
  }
  return nullptr;
}

bool waitFor(int sock, milliseconds timeout, short events) {
  const bool linesWaiting = logPending();
  if (linesWaiting) timeout = std::min(timeout, kLogDelay);
  timeout = std::min(timeout, systemd::watchdogDue());
  pollfd fds[2] = {{wakeReadFd(), POLLIN, 0}, {sock, events, 0}};
  const int timeoutMs = static_cast<int>(std::max<milliseconds::rep>(0, timeout.count()));
  const bool ready = poll(fds, sock >= 0 ? 2 : 1, timeoutMs) > 0;
  if (ready && (fds[0].revents & POLLIN)) {
    char sink[256];
    while (read(fds[0].fd, sink, sizeof sink) > 0) {
    }
  }
  if (linesWaiting) flushLog();
  return ready && sock >= 0 && fds[1].revents != 0;
}

namespace {

// Drives a non-blocking connect (or reset) of `conn` to its end: `step`
// (PQconnectPoll or PQresetPoll) is called each time the socket is ready as
// libpq asked, never before (while a TCP connect is under way an early call
// would take it for done), with the wake-up pipe watched beside it, so that
// a stop request ends the attempt at once. libpq leaves connect_timeout to
// the caller of a non-blocking connect: it is applied here.
bool finishConnect(PGconn* conn, PostgresPollingStatusType (*step)(PGconn*), std::string& error) {
  const std::chrono::seconds limit(daemonConfig.connectTimeoutSeconds);
  const Clock::time_point deadline = Clock::now() + limit;
  for (PostgresPollingStatusType s = PGRES_POLLING_WRITING;;) {
    if (s == PGRES_POLLING_OK) return true;
    if (s == PGRES_POLLING_FAILED) {
      error = PQerrorMessage(conn);
      return false;
    }
    const Clock::time_point now = Clock::now();
    if (die_norv || now >= deadline) {
      error = die_norv ? "a stop was asked for"
                       : "no answer after " + std::to_string(limit.count()) +
                             " s ([DB] connect_timeout)";
      return false;
    }
    systemd::watchdog();
    if (waitFor(PQsocket(conn), std::min(kPause, std::chrono::ceil<milliseconds>(deadline - now)),
                s == PGRES_POLLING_READING ? POLLIN : POLLOUT))
      s = step(conn);
  }
}

}  // namespace

norv::PgConn connectDatabase(const std::string& conninfo, std::string& error) {
  norv::PgConn conn(PQconnectStart(conninfo.c_str()));
  if (!conn) {
    error = "out of memory";
    return conn;
  }
  if (PQstatus(conn.get()) == CONNECTION_BAD || !finishConnect(conn.get(), PQconnectPoll, error)) {
    if (error.empty()) error = PQerrorMessage(conn.get());
    conn.reset();
  }
  return conn;
}

bool reopenDatabase(PGconn* conn, std::string& error) {
  if (!PQresetStart(conn)) {
    error = PQerrorMessage(conn);
    return false;
  }
  return finishConnect(conn, PQresetPoll, error);
}
