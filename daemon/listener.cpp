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

#include "base/Utf8.h"
#include "daemon/LogBatch.h"
#include "daemon/NorvSyslogSend.h"
#include "database/PgHandles.h"
#include "database/pgSafeThread.h"
#include "websocket/SyslogClient.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kListen = "LISTEN syslog";
// The longest wait between two reads when nothing arrives.
constexpr milliseconds kPause{500};
// Unacknowledged bytes the sender may hold before the listener stops taking
// notifications; the rest wait in PostgreSQL's queue until it drains. Each
// queued message costs the sender about three times its size (frame, queue
// entry, and its copy in the access log's dump of each write), so this bound
// is what keeps the daemon's memory flat under a burst or a slow receiver.
constexpr std::size_t kMaxUnackedBytes = 256u << 10;
// How often a stalled receiver is reported.
constexpr std::chrono::seconds kStallReport{30};
// How long a failed send waits for the sender's close handler, which ends the
// process with its timing report once the library's TLS shutdown is over
// (bounded by the library's 5 s timer).
constexpr milliseconds kSenderCloseWait{7000};

// Waits until the wake-up pipe has a byte, `sock` (if >= 0) is readable, or
// the time is up; then empties the pipe. A signal that cuts the wait short
// just ends it.
void waitFor(int sock, milliseconds timeout) {
  pollfd fds[2] = {{wakeReadFd(), POLLIN, 0}, {sock, POLLIN, 0}};
  const int timeoutMs = static_cast<int>(std::max<milliseconds::rep>(0, timeout.count()));
  if (poll(fds, sock >= 0 ? 2 : 1, timeoutMs) > 0 && (fds[0].revents & POLLIN)) {
    char sink[256];
    while (read(fds[0].fd, sink, sizeof sink) > 0) {
    }
  }
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

// Watches for a receiver that stops acknowledging while data waits: an ERR
// line every kStallReport, and the end (false) after stall_timeout seconds
// when that is set.
class StallWatch {
 public:
  // Returns false when the stall has lasted longer than allowed.
  bool check(Clock::time_point now) {
    const std::size_t unacked = endpoint->getBufferedAmount();
    const std::uint64_t acked = endpoint->getAcknowledgedBytes();
    if (unacked == 0 || acked != lastAcked_) {
      lastAcked_ = acked;
      since_ = now;
      nextReport_ = now + kStallReport;
      return true;
    }
    const long seconds = static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(now - since_).count());
    const int limit = daemonConfig.stallTimeoutSeconds;
    if (limit > 0 && seconds >= limit) {
      write_log("ERR", "receiver stalled for " + std::to_string(seconds) + " s with " +
                           std::to_string(unacked) +
                           " bytes unacknowledged: giving up (stall_timeout " +
                           std::to_string(limit) + " s)");
      return false;
    }
    if (now >= nextReport_) {
      write_log("ERR", "receiver stalled for " + std::to_string(seconds) + " s: " +
                           std::to_string(unacked) +
                           " bytes unacknowledged, PostgreSQL notification queue usage " +
                           queueUsage());
      nextReport_ = now + kStallReport;
    }
    return true;
  }

  // How long the listener may wait before the next check is due.
  milliseconds untilDue(Clock::time_point now) const {
    Clock::time_point due = nextReport_;
    if (daemonConfig.stallTimeoutSeconds > 0)
      due = std::min(due, since_ + std::chrono::seconds(daemonConfig.stallTimeoutSeconds));
    return std::chrono::duration_cast<milliseconds>(due - now) + milliseconds(1);
  }

 private:
  std::uint64_t lastAcked_ = 0;
  Clock::time_point since_ = Clock::now();
  Clock::time_point nextReport_ = Clock::now() + kStallReport;
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

// Forwards every notification libpq holds. Returns how many it forwarded, or
// -1 when the connection to the receiver is lost.
long forwardPending(PGconn* conn) {
  long count = 0;
  while (norv::PgNotify n{PQnotifies(conn)}) {
    std::string payload(n->extra);
    write_log("INFO", std::string("th_listener#Receive#") + n->relname + "#" + payload);
    // A text frame must be UTF-8. The connection asks for UTF8 unless the
    // database is SQL_ASCII, which converts nothing and may hold any byte.
    if (const std::size_t replaced = norv::repairUtf8(payload)) {
      write_log("ERR", "th_listener#payload is not valid UTF-8: " + std::to_string(replaced) +
                           " byte(s) sent as U+FFFD");
    }
    try {
      endpoint->send(std::move(payload));
    } catch (const websocketpp::exception& e) {
      write_log("ERR", std::string("send failed: ") + e.what());
      if (connectionLost(e)) {
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
  StallWatch stall;
  while (!die_norv) {
    switch (endpoint->getState()) {
      case SyslogClient::State::Connecting:
        // Notifications raised meanwhile wait in PostgreSQL's queue.
        waitFor(-1, kPause);
        continue;
      case SyslogClient::State::Open:
        break;
      case SyslogClient::State::Closed:
        awaitSenderClose();  // the sender's close handler ends the process
        return false;
      default:
        write_log("ERR", "receiver unreachable: " + receiverUri);
        return false;
    }
    const Clock::time_point now = Clock::now();
    if (!stall.check(now)) return false;
    if (endpoint->getBufferedAmount() > kMaxUnackedBytes) {
      waitFor(-1, std::min(kPause, stall.untilDue(now)));
      continue;
    }
    if (!PQconsumeInput(conn) || PQstatus(conn) != CONNECTION_OK) {
      write_log("ERR", std::string("consume input failed:  ") + PQerrorMessage(conn));
      return false;
    }
    long forwarded;
    {
      LogBatch batch;  // this cycle's lines reach the log file together, before any wait
      forwarded = forwardPending(conn);
    }
    if (forwarded < 0) return false;
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
