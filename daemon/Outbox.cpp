#include "daemon/Outbox.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "daemon/NorvSyslogSend.h"

namespace {

// Rows a statement reads at most: the memory a batch takes while it is sent.
constexpr int kBatch = 1000;
constexpr std::chrono::seconds kGapCheck{1};

// Each statement that reads also deletes ($1) the rows acknowledged since
// the last one: one round trip for both. The rows deleted are all below the
// cursor and out of every gap, so the reading part (which sees the snapshot
// from before the delete) never meets them.
const std::string kDeleteAcknowledged =
    "WITH acked AS (DELETE FROM norv_outbox WHERE id = ANY($1::bigint[])) ";
const std::string kLimit = " LIMIT " + std::to_string(kBatch);

struct Statement {
  const char* name;
  std::string sql;
};

const Statement kStatements[] = {
    // The next rows above the cursor ($2). The third column is the horizon of
    // the gaps this batch reveals: null until a row's id is not the cursor
    // plus its rank (an id was skipped), then the statement's own
    // transaction id, taken now, after its snapshot.
    {"norv_forward",
     kDeleteAcknowledged +
         "SELECT id, payload, CASE WHEN id - $2::bigint <> row_number() OVER (ORDER BY id) "
         "THEN pg_current_xact_id() END FROM (SELECT id, payload FROM norv_outbox WHERE id > "
         "$2::bigint ORDER BY id" +
         kLimit + ") AS batch ORDER BY id"},
    // The first rows found in the gaps [$2[i], $3[i]]: at most a batch from
    // each (an index range scan that stops there), then the lowest of them.
    {"norv_gaps",
     kDeleteAcknowledged +
         "SELECT r.id, r.payload FROM unnest($2::bigint[], $3::bigint[]) AS g(lo, hi), "
         "LATERAL (SELECT id, payload FROM norv_outbox WHERE id BETWEEN g.lo AND g.hi ORDER BY "
         "id" +
         kLimit + ") AS r ORDER BY r.id" + kLimit},
    {"norv_delete", "DELETE FROM norv_outbox WHERE id = ANY($1::bigint[])"},
    {"norv_horizon", "SELECT pg_snapshot_xmin(pg_current_snapshot())"},
};

long long idAt(const PGresult* r, int row) {
  return std::strtoll(PQgetvalue(r, row, 0), nullptr, 10);
}

std::string firstLine(const char* text) {
  const std::string s = text;
  return s.substr(0, s.find('\n'));
}

// `values` as an array literal, "{1,2,3}", into `out`.
void arrayLiteral(std::string& out, const std::vector<long long>& values) {
  out = "{";
  char digits[24];
  for (long long v : values) {
    if (out.size() > 1) out += ',';
    out.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
  }
  out += '}';
}

}  // namespace

bool Outbox::ensureSchema(std::string& problem) {
  norv::PgResult r(PQexec(conn_,
                          "SELECT to_regclass('norv_outbox') IS NOT NULL AND "
                          "to_regprocedure('norv_notify(text)') IS NOT NULL"));
  if (PQresultStatus(r.get()) == PGRES_TUPLES_OK && PQgetvalue(r.get(), 0, 0)[0] == 't')
    return true;
  // One transaction: both, or neither. A table that exists is kept as it is;
  // the function is (re)defined.
  r.reset(PQexec(conn_,
                 ("SET LOCAL client_min_messages = warning;\n" + std::string(kOutboxSql)).c_str()));
  if (PQresultStatus(r.get()) == PGRES_COMMAND_OK) {
    write_log("INFO", "outbox: norv_outbox and norv_notify(text) created");
    return true;
  }
  problem = "outbox: cannot create norv_outbox and norv_notify(text) (" +
            firstLine(PQerrorMessage(conn_)) + "): apply " + kOutboxSqlPath +
            " as a role that may create them";
  return false;
}

norv::PgResult Outbox::checked(PGresult* result, const std::string& what) {
  norv::PgResult r(result);
  const ExecStatusType status = PQresultStatus(r.get());
  if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) return r;
  const std::string text = "outbox: " + what + " failed: " + firstLine(PQerrorMessage(conn_));
  if (PQstatus(conn_) != CONNECTION_OK) throw DatabaseLost(text);
  throw PostgresqlException(text);
}

norv::PgResult Outbox::run(const char* statement, std::initializer_list<const char*> values) {
  return checked(PQexecPrepared(conn_, statement, static_cast<int>(values.size()), values.begin(),
                                nullptr, nullptr, 0),
                 statement);
}

void Outbox::open() {
  checked(PQexec(conn_, kListen), kListen);
  for (const Statement& s : kStatements)
    checked(PQprepare(conn_, s.name, s.sql.c_str(), 0, nullptr), std::string("prepare ") + s.name);
  forwardDue_ = true;
  gapsDue_ = !gaps_.empty();
  nextCheck_ = Clock::time_point();
}

void Outbox::woken() {
  forwardDue_ = true;
  gapsDue_ = !gaps_.empty();
}

const std::string& Outbox::acknowledgedIds() {
  arrayLiteral(idsText_, acknowledged_);
  return idsText_;
}

void Outbox::deleted() { acknowledged_.clear(); }

void Outbox::noteAcknowledged(std::uint64_t acknowledged) {
  for (; !inFlight_.empty() && inFlight_.front().message <= acknowledged; inFlight_.pop_front())
    acknowledged_.push_back(inFlight_.front().id);
}

void Outbox::fetch(Clock::time_point now, std::uint64_t acknowledged) {
  noteAcknowledged(acknowledged);
  if (batch_) return;
  if (!gaps_.empty() && now >= nextCheck_) checkHorizon(now);
  if (gapsDue_ && !gaps_.empty()) readGaps();
  if (!batch_ && forwardDue_) readForward();
  if (!acknowledged_.empty()) {
    run("norv_delete", {acknowledgedIds().c_str()});
    deleted();
  }
}

void Outbox::checkHorizon(Clock::time_point now) {
  const norv::PgResult r = run("norv_horizon", {});
  const std::uint64_t xmin = std::strtoull(PQgetvalue(r.get(), 0, 0), nullptr, 10);
  for (Gap& g : gaps_) {
    if (g.horizon > xmin) continue;
    g.closing = true;
    gapsDue_ = true;
  }
  nextCheck_ = now + kGapCheck;
}

void Outbox::readForward() {
  const std::string cursor = std::to_string(cursor_);
  norv::PgResult r = run("norv_forward", {acknowledgedIds().c_str(), cursor.c_str()});
  deleted();
  const int rows = PQntuples(r.get());
  for (int i = 0; i < rows; ++i) {
    const long long id = idAt(r.get(), i);
    if (id > cursor_ + 1)
      gaps_.push_back(
          {cursor_ + 1, id - 1, std::strtoull(PQgetvalue(r.get(), i, 2), nullptr, 10), false});
    cursor_ = id;
  }
  forwardDue_ = rows == kBatch;
  if (rows > 0) batch_ = std::move(r), next_ = 0;
}

void Outbox::readGaps() {
  std::vector<long long> bounds[2];
  for (const Gap& g : gaps_) bounds[0].push_back(g.lo), bounds[1].push_back(g.hi);
  std::string lows, highs;
  arrayLiteral(lows, bounds[0]);
  arrayLiteral(highs, bounds[1]);
  norv::PgResult r = run("norv_gaps", {acknowledgedIds().c_str(), lows.c_str(), highs.c_str()});
  deleted();
  // Each gap is split around the rows found in it. A batch that came back
  // full stopped at its last row: only the pieces below it were seen whole.
  const int rows = PQntuples(r.get());
  const bool cut = rows == kBatch;
  const long long last = rows > 0 ? idAt(r.get(), rows - 1) : 0;
  std::vector<Gap> kept;
  int i = 0;
  for (const Gap& g : gaps_) {
    long long lo = g.lo;
    auto keep = [&](long long hi) {
      if (lo > hi || (g.closing && (!cut || hi < last))) return;  // empty, or closed
      kept.push_back({lo, hi, g.horizon, g.closing});
    };
    for (long long id; i < rows && (id = idAt(r.get(), i)) <= g.hi; ++i) {
      keep(id - 1);
      lo = id + 1;
    }
    keep(g.hi);
  }
  gaps_.swap(kept);
  gapsDue_ = cut;
  if (rows > 0) batch_ = std::move(r), next_ = 0;
}

long Outbox::forward(const std::function<bool()>& room,
                     const std::function<long long(std::string_view)>& send) {
  long count = 0;
  const int rows = batch_ ? PQntuples(batch_.get()) : 0;
  for (; next_ < rows && room(); ++next_) {
    const long long message = send(
        std::string_view(PQgetvalue(batch_.get(), next_, 1), PQgetlength(batch_.get(), next_, 1)));
    if (message < 0) return -1;
    if (message == 0) continue;
    inFlight_.push_back({idAt(batch_.get(), next_), static_cast<std::uint64_t>(message)});
    ++count;
  }
  if (next_ >= rows) batch_.reset();
  return count;
}

std::chrono::milliseconds Outbox::untilDue(Clock::time_point now) const {
  if (gaps_.empty()) return std::chrono::hours(1);
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(nextCheck_ - now)) +
         std::chrono::milliseconds(1);
}

void Outbox::finish(std::uint64_t acknowledged) {
  noteAcknowledged(acknowledged);
  try {
    if (!acknowledged_.empty()) run("norv_delete", {acknowledgedIds().c_str()});
  } catch (const PostgresqlException& e) {
    write_log("ERR", std::string(e.what()) + ": " + std::to_string(acknowledged_.size()) +
                         " acknowledged row(s) will be sent again at the next start");
  }
  if (!inFlight_.empty())
    write_log("INFO",
              "outbox: " + std::to_string(inFlight_.size()) +
                  " row(s) sent and not acknowledged stay in norv_outbox for the next start");
}
