// Outbox: the daemon's side of [DB] source=outbox. Producers add rows to the
// table norv_outbox with norv_notify(payload) (packaging/norv-outbox.sql,
// compiled in as kOutboxSql); every committing transaction also wakes the
// daemon with one empty notification on channel norv_outbox. The rows are
// read in batches, in id order, handed to the sender one message each, and
// deleted by their exact ids once the receiver has acknowledged them: a row
// is lost by no single failure, and sent twice only when the daemon died
// between the acknowledgement and the delete.
//
// Late rows. An id is taken at insert and the row seen at commit, so a row
// may become visible below ids already read: a cursor that only moves on
// would skip it. Every id skipped between the rows read is kept as a gap (a
// range), looked into again (a range query costs only the rows it finds)
// whenever a producer commits, and dropped once no transaction that could
// still fill it runs. That horizon is the transaction id the reading
// statement itself took after its snapshot (pg_current_xact_id() in it): a
// row in a gap was inserted, and its transaction took its id (norv_notify
// does that first), before a row above it committed, so before that
// snapshot; once pg_snapshot_xmin() has reached the horizon, every such
// transaction has ended, and a last look into the gap finds what committed.
// (The xmax of the reading snapshot would not do: it is one past the newest
// transaction that ended, and a transaction still running may have it.)
// This needs ids handed out in the order norv_notify asks for them (the
// identity's CACHE 1); a long transaction elsewhere only keeps gaps open
// longer.
//
// Threads: main makes it and calls ensureSchema() before the listener starts
// and finish() after the listener ended; in between the listener thread is
// its only user, and the only user of the connection.
#ifndef NORV_DAEMON_OUTBOX_H
#define NORV_DAEMON_OUTBOX_H

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "database/PgHandles.h"
#include "database/pgSafeThread.h"

// The text of packaging/norv-outbox.sql, and where the package installs it.
extern const char* const kOutboxSql;
extern const char* const kOutboxSqlPath;

// The database session broke during a statement of the outbox: it can be
// opened again and the relay go on from the table.
class DatabaseLost : public PostgresqlException {
 public:
  using PostgresqlException::PostgresqlException;
};

class Outbox {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr const char* kListen = "LISTEN norv_outbox";

  explicit Outbox(PGconn* conn) : conn_(conn) {}
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // Creates the table and the function when either is missing; false, with
  // what failed and the file to apply by hand, when they cannot be made.
  bool ensureSchema(std::string& problem);
  // On a new session (the first one, or one opened again): LISTEN, the
  // prepared statements, and everything looked at again at once (the wake-
  // ups of the time without a session are gone). Throws as the statements do.
  void open();
  // A producer committed.
  void woken();
  // Notes what the receiver acknowledged (the count of messages), then,
  // when no row read waits to be sent: checks the gaps once a second, and
  // reads what there is to read, deleting the acknowledged rows in the same
  // statement, or deletes them alone. Throws DatabaseLost when the session
  // breaks, PostgresqlException on any other failure.
  void fetch(Clock::time_point now, std::uint64_t acknowledged);

  // The rows read and not yet sent go to `send` while `room()` says so.
  // `send` returns the number of the message the row went out as; 0 when it
  // did not go out (it stays in the table for the next run), -1 when the
  // receiver connection is lost (then forward returns -1 too). Returns how
  // many rows went out.
  long forward(const std::function<bool()>& room,
               const std::function<long long(std::string_view)>& send);
  // How long the listener may wait before fetch() has a gap check due.
  std::chrono::milliseconds untilDue(Clock::time_point now) const;
  // At the stop: deletes what was acknowledged, and says what stays.
  void finish(std::uint64_t acknowledged);

 private:
  struct Gap {
    long long lo, hi;
    std::uint64_t horizon;  // see above
    bool closing;           // horizon reached: dropped by the next full look
  };
  struct Sent {
    long long id;
    std::uint64_t message;
  };

  // `result` when it succeeded; otherwise it throws, DatabaseLost when the
  // session broke.
  norv::PgResult checked(PGresult* result, const std::string& what);
  norv::PgResult run(const char* statement, std::initializer_list<const char*> values);
  // Moves the rows the receiver acknowledged (`acknowledged` messages in
  // all) from inFlight_ to acknowledged_.
  void noteAcknowledged(std::uint64_t acknowledged);
  // The ids acknowledged and not yet deleted, as an array literal.
  const std::string& acknowledgedIds();
  void deleted();  // the statement that took acknowledgedIds() succeeded
  void readForward();
  void readGaps();
  void checkHorizon(Clock::time_point now);

  PGconn* conn_;
  long long cursor_ = 0;   // the highest id read forward
  std::vector<Gap> gaps_;  // in id order, none above cursor_
  std::deque<Sent> inFlight_;
  std::vector<long long> acknowledged_;  // to delete
  std::string idsText_;
  norv::PgResult batch_;  // rows read, sent from row next_ on
  int next_ = 0;
  bool forwardDue_ = true;  // rows may wait above the cursor
  bool gapsDue_ = false;    // rows may wait in the gaps
  Clock::time_point nextCheck_;
};

#endif
