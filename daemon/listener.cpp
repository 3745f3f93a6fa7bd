// The listener thread: subscribes the daemon's connection to channel
// "syslog" and hands every notification payload, unchanged and in order, to
// the sender client. It is the only user of dblistener's connection while it
// runs, which is why it may use the raw handle without the object's mutex.
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <memory>

#include "daemon/LogBatch.h"
#include "daemon/NorvSyslogSend.h"
#include "database/pgSafeThread.h"
#include "websocket/SyslogClient.h"

namespace {

const char* const kListen = "LISTEN syslog";
// The longest wait between two reads when nothing arrives.
constexpr int kPauseMs = 500;
// Unsent bytes the sender may hold before the listener stops taking
// notifications; the rest wait in PostgreSQL's queue until it drains. Each
// queued message costs the sender about three times its size (frame, queue
// entry, and its copy in the access log's dump of each write), so this bound
// is what keeps the daemon's memory flat under a burst or a slow receiver.
constexpr std::size_t kMaxUnsentBytes = 256u << 10;
constexpr int kBackPressurePollMs = 2;
constexpr int kSenderOpenPollMs = 10;
// How long a failed send waits for the sender's close handler, which ends the
// process with its timing report once the library's TLS shutdown is over
// (bounded by the library's 5 s timer).
constexpr int kSenderCloseWaitMs = 7000;

struct NotifyFree {
  void operator()(PGnotify* n) const { PQfreemem(n); }
};
using NotifyPtr = std::unique_ptr<PGnotify, NotifyFree>;

// Waits until sock (if >= 0) is readable, a stop is requested, or timeoutMs
// has passed. A signal that cuts the wait short just ends it.
void waitFor(int sock, int timeoutMs) {
  pollfd fds[2] = {{stopWakeFd(), POLLIN, 0}, {sock, POLLIN, 0}};
  nfds_t count = sock >= 0 ? 2 : 1;
  if (poll(fds, count, timeoutMs) > 0 && (fds[0].revents & POLLIN)) {
    char sink[64];
    while (read(fds[0].fd, sink, sizeof sink) > 0) {
    }
  }
}

// Notifications raised before the sender's connection opened stay queued in
// PostgreSQL and in the socket until it opens. False when it never will.
bool waitForSender() {
  while (!die_norv) {
    switch (endpoint->getState()) {
      case SyslogClient::State::Open:
        return true;
      case SyslogClient::State::Connecting:
        waitFor(-1, kSenderOpenPollMs);
        break;
      default:
        write_log("ERR", "receiver unreachable: " + receiverUri);
        return false;
    }
  }
  return true;
}

// A send fails once the connection is ending. The process then ends through
// the sender's close handler; returning at once would let main end it first,
// without the timing report. A stop request ends the wait.
void awaitSenderClose() {
  for (int waited = 0; waited < kSenderCloseWaitMs && !die_norv; waited += kSenderOpenPollMs) {
    SyslogClient::State state = endpoint->getState();
    if (state != SyslogClient::State::Open && state != SyslogClient::State::Closed) return;
    waitFor(-1, kSenderOpenPollMs);
  }
}

// Forwards every notification libpq holds. Returns how many it forwarded, or
// -1 when the sender refused one.
long forwardPending(PGconn* conn) {
  long count = 0;
  while (NotifyPtr n{PQnotifies(conn)}) {
    std::string payload(n->extra);
    write_log("INFO", std::string("th_listener#Receive#") + n->relname + "#" + payload);
    try {
      endpoint->send(std::move(payload));
    } catch (const std::exception& e) {
      write_log("ERR", std::string("send failed: ") + e.what());
      awaitSenderClose();
      return -1;
    }
    ++count;
  }
  return count;
}

// The polling loop; false when it ended on an error.
bool relay(PGconn* conn) {
  while (!die_norv) {
    if (endpoint->getBufferedAmount() > kMaxUnsentBytes) {
      waitFor(-1, kBackPressurePollMs);
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
    // Something arrived: read again at once, more may be behind it.
    if (forwarded == 0) waitFor(PQsocket(conn), kPauseMs);
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
    if (!waitForSender() || !relay(dblistener->conn)) listener_failed = true;
  } catch (const PostgresqlException& e) {
    write_log("ERR", e.what());
    listener_failed = true;
  }
  return nullptr;
}
