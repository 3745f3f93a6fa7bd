// The listener thread: subscribes the daemon's connection to channel
// "syslog" and hands every notification payload, unchanged and in order, to
// the sender client. It is the only user of dblistener's connection while it
// runs, which is why it may use the raw handle without the object's mutex.
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
// How long a failed send waits for the sender's close handler, which ends the
// process with its timing report once the library's TLS shutdown is over
// (bounded by the library's 5 s timer).
constexpr milliseconds kSenderCloseWait{7000};

// Waits until the wake-up pipe has a byte, `sock` (if >= 0) is readable, or
// the time is up; then empties the pipe. A signal that cuts the wait short
// just ends it. Log lines that wait in the buffer are written first, or
// within a few milliseconds.
void waitFor(int sock, milliseconds timeout) {
  const bool linesWaiting = logPending();
  if (linesWaiting) timeout = std::min(timeout, kLogDelay);
  timeout = std::min(timeout, systemd::watchdogDue());
  pollfd fds[2] = {{wakeReadFd(), POLLIN, 0}, {sock, POLLIN, 0}};
  const int timeoutMs = static_cast<int>(std::max<milliseconds::rep>(0, timeout.count()));
  if (poll(fds, sock >= 0 ? 2 : 1, timeoutMs) > 0 && (fds[0].revents & POLLIN)) {
    char sink[256];
    while (read(fds[0].fd, sink, sizeof sink) > 0) {
    }
  }
  if (linesWaiting) flushLog();
}

// The share of PostgreSQL's notification queue in use, asked on a
// connection of its own: the listener's connection would have to read every
// notification waiting for it first.
std::string queueUsage() {
  try {
    pgSafeThread probe(connectLine);
    PGresult* r = probe.executeRequest("SELECT pg_notification_queue_usage()");
    std::string usage = PQntuples(r) == 1 ? PQgetvalue(r, 0, 0) : "?";
    PQclear(r);
    return usage;
  } catch (const PostgresqlException& e) {
    std::string text = e.what();
    return "unknown (" + text.substr(0, text.find('\n')) + ")";
  }
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

// Resume mode: a lost or failed connection is opened again, after a pause
// that doubles from 0.5 s to 30 s (with some jitter, so that many daemons do
// not come back at the same moment), while the notifications wait in
// PostgreSQL; resume_timeout bounds the wait.
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
      next_ = now + jittered();
    }
    if (!spell_.check(now, daemonConfig.resumeTimeoutSeconds, "resume_timeout", unacknowledged()))
      return false;
    if (state != SyslogClient::State::Connecting && now >= next_) {
      pause_ = std::min(pause_ * 2, kLongestPause);
      next_ = now + jittered();
      write_log("INFO", "connecting again to " + receiverUri + " (attempt " +
                            std::to_string(++attempts_) + ", the next one in about " +
                            std::to_string(pause_.count()) + " ms if it fails)");
      systemd::status(
          "connecting again to " + receiverUri + " (attempt " + std::to_string(attempts_) + ")",
          true);
      endpoint->connect();
    }
    return true;
  }

  void open() {
    if (!lost_) return;
    write_log("INFO", "receiver connection open again after " + std::to_string(attempts_) +
                          " attempt(s); " + unacknowledged() + " sent again");
    lost_ = false;
    attempts_ = 0;
    pause_ = kFirstPause;
  }

  milliseconds untilDue(Clock::time_point now) const {
    return std::min(spell_.untilDue(now, daemonConfig.resumeTimeoutSeconds),
                    std::chrono::duration_cast<milliseconds>(next_ - now) + milliseconds(1));
  }

 private:
  static constexpr milliseconds kFirstPause{500};
  static constexpr milliseconds kLongestPause{30000};

  Clock::duration jittered() {
    std::uniform_real_distribution<double> factor(0.75, 1.25);
    return std::chrono::duration_cast<Clock::duration>(pause_ * factor(random_));
  }

  bool lost_ = false;
  int attempts_ = 0;
  milliseconds pause_ = kFirstPause;
  Clock::time_point next_;
  Spell spell_{"receiver unreachable"};
  std::minstd_rand random_{static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr))};
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

// Forwards every notification libpq holds. Returns how many it forwarded, or
// -1 when the connection to the receiver is lost.
long forwardPending(PGconn* conn, BusySpell& busy) {
  long count = 0;
  while (norv::PgNotify n{PQnotifies(conn)}) {
    busy.taken();
    std::string_view payload(n->extra);
    logLine("INFO", {"th_listener#Receive#", n->relname, "#", payload});
    // A text frame must be UTF-8. The connection asks for UTF8 unless the
    // database is SQL_ASCII, which converts nothing and may hold any byte.
    std::string repaired;
    if (!norv::isValidUtf8(payload.data(), payload.size())) {
      repaired = payload;
      const std::size_t replaced = norv::repairUtf8(repaired);
      write_log("ERR", "th_listener#payload is not valid UTF-8: " + std::to_string(replaced) +
                           " byte(s) sent as U+FFFD");
      payload = repaired;
    }
    try {
      endpoint->send(payload.data(), payload.size());
    } catch (const websocketpp::exception& e) {
      write_log("ERR", std::string("send failed: ") + e.what());
      if (connectionLost(e)) {
        busy.end();
        awaitSenderClose();
        return -1;
      }
    }
    ++count;
  }
  return count;
}

// The relay loop; false when it ended on an error.
bool relay(PGconn* conn) {
  BusySpell busy;  // ended before every wait below
  StallWatch stall;
  Reconnect reconnect;
  long total = 0;
  systemd::status("connecting to " + receiverUri, true);
  while (!die_norv) {
    systemd::watchdog();
    const Clock::time_point now = Clock::now();
    const SyslogClient::State state = endpoint->getState();
    if (state != SyslogClient::State::Open) {
      // Notifications raised meanwhile wait in PostgreSQL's queue.
      if (daemonConfig.resume) {
        busy.end();
        if (!reconnect.down(now, state)) return false;
        waitFor(-1, std::min(kPause, reconnect.untilDue(now)));
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
    systemd::ready();  // listening, and the receiver connection is open
    if (systemd::statusDue())
      systemd::status("relaying: " + std::to_string(total) + " notification(s) forwarded, " +
                      std::to_string(endpoint->getBufferedAmount()) + " bytes unacknowledged");
    if (!stall.check(now)) return false;
    if (endpoint->getBufferedAmount() > kMaxUnackedBytes) {
      busy.end();
      waitFor(-1, std::min(kPause, stall.untilDue(now)));
      continue;
    }
    if (!PQconsumeInput(conn) || PQstatus(conn) != CONNECTION_OK) {
      write_log("ERR", std::string("consume input failed:  ") + PQerrorMessage(conn));
      if (daemonConfig.resume)
        write_log("ERR",
                  "the database session is lost: what is raised until the daemon listens again "
                  "cannot be recovered");
      return false;
    }
    const long forwarded = forwardPending(conn, busy);
    busy.cycleDone(forwarded == 0);
    if (forwarded < 0) return false;
    total += forwarded;
    if (forwarded > 0) continue;  // more may be behind it: read again at once
    // Idle: let the receiver acknowledge the tail, so that a stall shows.
    endpoint->requestAck();
    waitFor(PQsocket(conn), std::min(kPause, stall.untilDue(now)));
  }
  return true;
}

}  // namespace

void* thread_listener_database(void*) {
  try {
    write_log("INFO", "LISTEN");
    write_log("INFO", std::string("EXEC REQUEST ") + kListen);
    PGresult* result = dblistener->executeRequest(kListen);
    write_log("INFO", "LISTEN SUCCESS");
    PQclear(result);
    if (!relay(dblistener->conn)) listener_failed = true;
  } catch (const PostgresqlException& e) {
    write_log("ERR", e.what());
    listener_failed = true;
  }
  return nullptr;
}
