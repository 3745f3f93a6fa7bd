#include "bench/BenchSupport.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bench {

using testsupport::readFile;

std::int64_t nowMicros() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// ---- /proc ----------------------------------------------------------------

// ---- arrivals -------------------------------------------------------------

namespace {

// The number after `key` (skipping up to four quote, backslash or colon
// characters); -1 when absent.
std::int64_t numberAfter(const char* text, std::size_t size, const char* key) {
  const char* end = text + size;
  std::size_t keyLen = std::strlen(key);
  const char* at = static_cast<const char*>(memmem(text, size, key, keyLen));
  if (!at) return -1;
  const char* p = at + keyLen;
  for (int skipped = 0; p < end && skipped < 4 && (*p < '0' || *p > '9'); ++p, ++skipped) {
  }
  if (p >= end || *p < '0' || *p > '9') return -1;
  std::int64_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
  return value;
}

}  // namespace

bool parseArrival(const char* text, std::size_t size, std::int64_t arrived, Arrival& out) {
  out.seq = numberAfter(text, size, "seq");
  out.sent = numberAfter(text, size, "sent");
  // A line that says when it arrived ("at=µs") overrides the read time.
  std::int64_t at = numberAfter(text, size, "at=");
  out.arrived = at >= 0 ? at : arrived;
  return out.seq >= 0 && out.sent >= 0;
}

Figures analyse(const std::vector<Arrival>& arrivals, long expected) {
  Figures f;
  f.measured = true;
  f.expected = expected;
  f.delivered = static_cast<long>(arrivals.size());
  std::vector<char> seen(static_cast<std::size_t>(expected), 0);
  long distinct = 0;
  std::int64_t previous = -1, firstSent = INT64_MAX, firstArrival = INT64_MAX,
               lastArrival = INT64_MIN;
  std::vector<std::int64_t> latencies;
  latencies.reserve(arrivals.size());
  for (const Arrival& a : arrivals) {
    if (a.seq < expected) {
      if (seen[static_cast<std::size_t>(a.seq)]++)
        ++f.duplicates;
      else
        ++distinct;
    }
    if (a.seq < previous) ++f.orderViolations;
    previous = a.seq;
    firstSent = std::min(firstSent, a.sent);
    firstArrival = std::min(firstArrival, a.arrived);
    lastArrival = std::max(lastArrival, a.arrived);
    latencies.push_back(a.arrived - a.sent);
  }
  f.lost = expected - distinct;
  if (!latencies.empty()) {
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) {
      std::size_t i = static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1));
      return static_cast<double>(latencies[i]) / 1000.0;
    };
    f.p50Ms = at(0.50);
    f.p99Ms = at(0.99);
    f.maxMs = static_cast<double>(latencies.back()) / 1000.0;
    f.firstArrival = firstArrival;
    f.lastArrival = lastArrival;
    double seconds = static_cast<double>(lastArrival - firstSent) / 1e6;
    f.rate = seconds > 0 ? static_cast<double>(f.delivered) / seconds : 0;
  }
  return f;
}

ArrivalReader::ArrivalReader(int fd, std::size_t expected) : fd_(fd) {
  arrivals_.reserve(expected + 1024);
  thread_ = std::thread([this] { run(); });
}

ArrivalReader::~ArrivalReader() {
  if (thread_.joinable()) thread_.join();
}

std::vector<Arrival>& ArrivalReader::join() {
  if (thread_.joinable()) thread_.join();
  return arrivals_;
}

void ArrivalReader::run() {
  std::vector<char> buffer(1 << 20);
  std::size_t held = 0;
  for (;;) {
    if (held == buffer.size()) buffer.resize(buffer.size() * 2);
    ssize_t n = read(fd_, buffer.data() + held, buffer.size() - held);
    if (n <= 0) return;
    std::int64_t now = nowMicros();
    held += static_cast<std::size_t>(n);
    std::size_t start = 0;
    for (;;) {
      char* nl = static_cast<char*>(std::memchr(buffer.data() + start, '\n', held - start));
      if (!nl) break;
      std::size_t end = static_cast<std::size_t>(nl - buffer.data());
      Arrival a;
      if (parseArrival(buffer.data() + start, end - start, now, a)) arrivals_.push_back(a);
      start = end + 1;
    }
    std::memmove(buffer.data(), buffer.data() + start, held - start);
    held -= start;
    count_.store(static_cast<long>(arrivals_.size()));
  }
}

// ---- Producer ---------------------------------------------------------------

namespace {

// About 200 bytes: the pad makes up the rest.
const std::string kPayload =
    "'{\"fromhost\":\"bench\",\"seq\":' || i || ',\"sent\":' || "
    "(extract(epoch from clock_timestamp()) * 1000000)::bigint || ',\"pad\":\"' || "
    "repeat('x', 140) || '\"}'";
const std::string kSeries = " FROM generate_series($1::bigint, $2::bigint) AS i";
const std::string kNotifySql = "SELECT count(pg_notify('syslog', " + kPayload + "))" + kSeries;
const std::string kOutboxSql = "SELECT count(norv_notify(" + kPayload + ") IS NULL)" + kSeries;
const std::string kFillSql = "INSERT INTO norv_outbox (payload) SELECT " + kPayload + kSeries;

}  // namespace

Producer::Producer(bool outbox) : conn_(PQconnectdb("")), outbox_(outbox) {
  if (PQstatus(conn_) != CONNECTION_OK) {
    std::string error = PQerrorMessage(conn_);
    PQfinish(conn_);
    throw std::runtime_error("producer cannot connect: " + error);
  }
}

Producer::~Producer() { PQfinish(conn_); }

void Producer::run(const std::string& sql, long first, long count) {
  std::string a = std::to_string(first), b = std::to_string(first + count - 1);
  const char* params[2] = {a.c_str(), b.c_str()};
  PGresult* r = PQexecParams(conn_, sql.c_str(), 2, nullptr, params, nullptr, nullptr, 0);
  const ExecStatusType status = PQresultStatus(r);
  bool ok = status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK;
  std::string error = ok ? "" : PQresultErrorMessage(r);
  PQclear(r);
  if (!ok) throw std::runtime_error("NOTIFY failed: " + error);
}

void Producer::raise(long first, long count) {
  run(outbox_ ? kOutboxSql : kNotifySql, first, count);
}

void Producer::fillOutbox(long first, long count) { run(kFillSql, first, count); }

void Producer::exec(const std::string& sql) {
  PGresult* r = PQexec(conn_, sql.c_str());
  bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  std::string error = ok ? "" : PQresultErrorMessage(r);
  PQclear(r);
  if (!ok) throw std::runtime_error("statement failed: " + error);
}

void Producer::burst(long first, long count, long perTransaction,
                     const std::function<void(long)>& gate) {
  for (long done = 0; done < count; done += perTransaction) {
    if (gate) gate(first + done);
    raise(first + done, std::min(perTransaction, count - done));
  }
}

void Producer::steady(long count, double perSecond) {
  auto start = std::chrono::steady_clock::now();
  long done = 0;
  while (done < count) {
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long due = std::min(count, static_cast<long>(elapsed * perSecond) + 1);
    if (due > done) {
      raise(done, due - done);
      done = due;
    }
    usleep(2000);
  }
}

double Producer::queueUsage() {
  PGresult* r = PQexec(conn_, "SELECT pg_notification_queue_usage()");
  double usage = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atof(PQgetvalue(r, 0, 0)) : -1;
  PQclear(r);
  return usage;
}

// ---- files ----------------------------------------------------------------

StderrTo::StderrTo(const std::string& path) {
  std::fflush(stderr);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  saved_ = dup(2);
  dup2(fd, 2);
  close(fd);
}

StderrTo::~StderrTo() {
  if (saved_ < 0) return;
  std::fflush(stderr);
  dup2(saved_, 2);
  close(saved_);
}

}  // namespace bench
