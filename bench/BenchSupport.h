// Pieces the benchmark's phases share (child processes, folders and waits
// come from the test kit, support/TestSupport.h): figures read from /proc, the producer that raises
// notifications, and the figures computed from what arrived (each arrival carries the sequence
// number and send time that PostgreSQL put into the payload).
// Nothing here takes a lock except ArrivalReader, whose vector is written by
// its own thread only and read by others once it has been joined.
#ifndef NORV_BENCH_BENCHSUPPORT_H
#define NORV_BENCH_BENCHSUPPORT_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

struct pg_conn;

namespace bench {

// Wall-clock microseconds: the same clock as PostgreSQL's clock_timestamp().
std::int64_t nowMicros();

using testsupport::ProcFigures;
using testsupport::readProc;

// One notification seen at the receiving end.
struct Arrival {
  std::int64_t seq;
  std::int64_t sent;     // µs, from the payload
  std::int64_t arrived;  // µs, when it was read
};

// Finds the numbers following "seq" and "sent" in text (a payload, or a
// receiver line where the payload's quotes are escaped).
bool parseArrival(const char* text, std::size_t size, std::int64_t arrived, Arrival& out);

// The figures of one delivery phase; `measured` false when it could not run.
struct Figures {
  bool measured = false;
  std::string note;  // why it was not measured, or what went wrong
  long expected = 0;
  long delivered = 0;
  long lost = 0;
  long duplicates = 0;
  long orderViolations = 0;
  double rate = 0;  // notifications a second, first send to last arrival
  std::int64_t firstArrival = 0, lastArrival = 0;  // µs
  double p50Ms = 0, p99Ms = 0, maxMs = 0;
  double cpuSeconds = -1;
  long peakRssKb = -1;
  double receiverCpuSeconds = -1;  // the receiving program, where there is one
  long logBytes = -1;              // the size of the sender's log at the end, where it keeps one
};
// Sequence numbers run from 0 to expected - 1.
Figures analyse(const std::vector<Arrival>& arrivals, long expected);

// Reads lines from a descriptor on a thread of its own, stamping each read
// with the time and keeping the arrivals parsed from them. The descriptor
// belongs to the caller; join() returns once it reached end of file.
class ArrivalReader {
 public:
  explicit ArrivalReader(int fd, std::size_t expected);
  ~ArrivalReader();
  long count() const { return count_.load(); }
  std::vector<Arrival>& join();

 private:
  void run();
  int fd_;
  std::vector<Arrival> arrivals_;
  std::atomic<long> count_{0};
  std::thread thread_;
};

// A libpq connection (parameters from the environment) that raises the
// benchmark's notifications on channel "syslog", or into the outbox with
// norv_notify: payloads of about 200 bytes,
// {"fromhost":"bench","seq":N,"sent":µs,"pad":"..."}, the send time taken by
// clock_timestamp() as each one is raised.
class Producer {
 public:
  explicit Producer(bool outbox = false);
  ~Producer();
  Producer(const Producer&) = delete;
  Producer& operator=(const Producer&) = delete;

  // Raises seq first .. first + count - 1 in one transaction.
  void raise(long first, long count);
  // Runs `sql` (statements without parameters); throws on an error.
  void exec(const std::string& sql);
  // Inserts seq first .. first + count - 1 into norv_outbox in one plain
  // INSERT, with no notification: a backlog for a daemon started later.
  void fillOutbox(long first, long count);
  // Raises count notifications as fast as possible in transactions of
  // perTransaction; before each one, gate(next seq) may wait (back-off).
  void burst(long first, long count, long perTransaction,
             const std::function<void(long)>& gate = nullptr);
  // Raises count notifications at `perSecond`, a few at a time.
  void steady(long count, double perSecond);
  // The fraction of PostgreSQL's notification queue in use (0 to 1), or -1.
  double queueUsage();

 private:
  void run(const std::string& sql, long first, long count);
  pg_conn* conn_;
  bool outbox_;
};

// Sends what this process writes to standard error into `path` while it
// lives (a library's chatter during a phase), then restores it.
class StderrTo {
 public:
  explicit StderrTo(const std::string& path);
  ~StderrTo();
  StderrTo(const StderrTo&) = delete;
  StderrTo& operator=(const StderrTo&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace bench

#endif
