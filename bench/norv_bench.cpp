// norv-bench: the relay's end-to-end benchmark. On the private PostgreSQL
// named by the environment (PGHOST, PGPORT, PGUSER, PGDATABASE) it runs the
// real daemon (norv-syslog-send) between PostgreSQL and the real receiver
// (norv-syslog-receive), a bare libpq client as the limit, the receiving
// server alone, plugin execution and a slow receiver, and prints a table. In
// the burst, a bare relay (norv-bench-bare-relay: the daemon's job on libpq,
// Boost.Beast and OpenSSL alone) runs through the same receiver as a second
// limit. In outbox mode ([DB] source=outbox) the daemon relays a burst and a
// steady load raised with norv_notify, and drains a backlog of rows inserted
// while it did not run; those figures are set beside LISTEN mode's.
// Every wait is bounded; every process it starts is stopped before it exits.
//
//   norv-bench [--bin DIR] [--burst N] [--steady-rate N] [--steady-seconds S]
//              [--soak N] [--slow-count N] [--slow-seconds S] [--backlog N]
//              [--server-seconds S] [--only PHASE,...]
//   PHASE: plugin, server, burst, steady, soak, slow, outbox, backlog
//   norv-bench listen --count N     (the bare client; used by the above)
#include <getopt.h>
#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "bench/BenchSupport.h"
#include "bench/ServerLoad.h"
#include "config/convertTo.h"
#include "services/service.h"

using namespace bench;
using std::chrono::milliseconds;
using std::chrono::seconds;
using testsupport::ChildProcess;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::waitUntil;

namespace {

struct Options {
  std::string bin;           // folder holding norv-syslog-send and norv-syslog-receive
  std::string self;          // this program, for the bare client
  std::string plugin;        // the trivial plugin
  std::string bareRelay;     // norv-bench-bare-relay
  std::string slowReceiver;  // the slow receiver script
  std::string outboxSql;     // packaging/norv-outbox.sql
  std::string cert, key;     // the receivers' self-signed pair
  long burst = 100000;
  double steadyRate = 2000;
  double steadySeconds = 30;
  long soak = 1000000;
  long slowCount = 40000;
  double slowSeconds = 10;
  long backlog = 1000000;
  double serverSeconds = 2;
  std::set<std::string> only;
  bool wants(const std::string& phase) const { return only.empty() || only.count(phase); }
};

std::string dirOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

void progress(const std::string& text) { std::cerr << "norv-bench: " << text << std::endl; }

// ---- the bare client ----------------------------------------------------------

// LISTENs, says "ready" on standard error, then waits on its socket and only
// records what arrives, until `count` arrived or nothing came for 10 s. Then
// its own CPU and peak RSS on standard error, and the arrivals on standard
// output, one "seq=N sent=µs at=µs" line each.
int bareListen(long count) {
  PGconn* conn = PQconnectdb("");
  if (PQstatus(conn) != CONNECTION_OK) {
    std::cerr << "bare client cannot connect: " << PQerrorMessage(conn);
    PQfinish(conn);
    return 1;
  }
  PQclear(PQexec(conn, "LISTEN syslog"));
  std::cerr << "ready" << std::endl;
  std::vector<Arrival> arrivals;
  arrivals.reserve(static_cast<std::size_t>(count));
  auto lastArrival = std::chrono::steady_clock::now();
  const auto idleLimit = seconds(10);
  while (static_cast<long>(arrivals.size()) < count &&
         std::chrono::steady_clock::now() - lastArrival < idleLimit) {
    pollfd fd = {PQsocket(conn), POLLIN, 0};
    poll(&fd, 1, 500);
    if (!PQconsumeInput(conn)) break;
    std::int64_t now = nowMicros();
    while (PGnotify* n = PQnotifies(conn)) {
      Arrival a;
      if (parseArrival(n->extra, std::strlen(n->extra), now, a)) arrivals.push_back(a);
      PQfreemem(n);
      lastArrival = std::chrono::steady_clock::now();
    }
  }
  ProcFigures self = readProc(getpid());
  std::cerr << "cpu=" << self.cpuSeconds << " hwm=" << self.peakRssKb << std::endl;
  PQfinish(conn);
  for (const Arrival& a : arrivals)
    std::printf("seq=%lld sent=%lld at=%lld\n", static_cast<long long>(a.seq),
                static_cast<long long>(a.sent), static_cast<long long>(a.arrived));
  return 0;
}

Figures runBare(const Options& o, const TempDir& work) {
  Figures f;
  std::string err = work.file("bare.err");
  ChildProcess child({o.self, "listen", "--count", std::to_string(o.burst)}, ChildProcess::kPipe,
                     err);
  ArrivalReader reader(child.stdoutFd(), static_cast<std::size_t>(o.burst));
  if (!waitUntil([&] { return readFile(err).find("ready") != std::string::npos; }, seconds(10))) {
    f.note = "bare client did not start: " + readFile(err);
    child.stop(SIGKILL, milliseconds(1000));
    reader.join();
    return f;
  }
  try {
    Producer producer;
    producer.burst(0, o.burst, 1000);
  } catch (const std::exception& e) {
    f.note = e.what();
  }
  int status = 0;
  if (!child.wait(seconds(120), &status)) child.stop(SIGKILL, milliseconds(1000));
  Figures measured = analyse(reader.join(), o.burst);
  measured.note = f.note;
  std::string text = readFile(err);
  std::size_t at = text.find("cpu=");
  if (at != std::string::npos) {
    std::sscanf(text.c_str() + at, "cpu=%lf hwm=%ld", &measured.cpuSeconds, &measured.peakRssKb);
  }
  return measured;
}

// ---- the relay: receiver + daemon or bare relay ------------------------------

// What relays between PostgreSQL and the receiver in runRelay: the daemon
// in LISTEN mode, in outbox mode (fed by norv_notify), or the bare relay.
enum class Sender { kDaemon, kOutbox, kBareRelay };

const char* nameOf(Sender who) {
  return who == Sender::kDaemon   ? "daemon"
         : who == Sender::kOutbox ? "outbox daemon"
                                  : "bare relay";
}

long fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string writeConfig(const TempDir& work, int port, bool outbox) {
  std::string path = work.file("quillon.conf");
  auto env = [](const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return std::string(v ? v : fallback);
  };
  std::ofstream conf(path);
  conf << "[LOG]\nlog_file=" << work.file("norv.log") << "\n"
       << "[DB]\nPGSQL_host=" << env("PGHOST", "127.0.0.1")
       << "\nPGSQL_port=" << env("PGPORT", "5432") << "\nPGSQL_db=" << env("PGDATABASE", "postgres")
       << "\nPGSQL_username=" << env("PGUSER", "postgres") << "\nPGSQL_pwd=\n"
       << "source=" << (outbox ? "outbox" : "notify") << "\n"
       << "[RECEIVER]\nip=127.0.0.1\nport=" << port << "\n";
  return path;
}

// Starts the daemon against a receiver on `port` and waits until it relays.
std::unique_ptr<ChildProcess> startDaemon(const Options& o, const TempDir& work, int port,
                                          std::string& note, bool outbox = false) {
  std::string conf = writeConfig(work, port, outbox);
  auto daemon = std::make_unique<ChildProcess>(
      std::vector<std::string>{o.bin + "/norv-syslog-send", "-f", conf}, work.file("daemon.out"),
      work.file("daemon.err"));
  std::string log = work.file("norv.log");
  bool ready = waitUntil(
      [&] {
        std::string text = readFile(log);
        return text.find("LISTEN SUCCESS") != std::string::npos &&
               text.find("HEELO") != std::string::npos;
      },
      seconds(15));
  if (!ready) {
    note = "daemon did not start relaying within 15 s: " + readFile(work.file("daemon.out"));
    daemon->stop(SIGKILL, milliseconds(1000));
    return nullptr;
  }
  return daemon;
}

// Starts the bare relay against a receiver on `port` and waits until it
// relays; it ends by itself once it relayed `count`.
std::unique_ptr<ChildProcess> startBareRelay(const Options& o, const TempDir& work, int port,
                                             long count, std::string& note) {
  auto relay = std::make_unique<ChildProcess>(
      std::vector<std::string>{o.bareRelay, "wss://127.0.0.1:" + std::to_string(port),
                               work.file("norv.log"), "--count", std::to_string(count)},
      work.file("daemon.out"), work.file("daemon.err"));
  bool ready = waitUntil(
      [&] {
        return readFile(work.file("daemon.err")).find("ready") != std::string::npos ||
               !relay->running();
      },
      seconds(15));
  if (!ready || !relay->running()) {
    note = "bare relay did not start relaying within 15 s: " + readFile(work.file("daemon.err"));
    relay->stop(SIGKILL, milliseconds(1000));
    return nullptr;
  }
  return relay;
}

// Runs `produce` (on a thread of its own) through the daemon, or the bare
// relay, into norv-syslog-receive and returns the figures; watch(count, pid)
// is called every 10 ms with the arrivals so far.
Figures runRelay(const Options& o, const std::string& tag, long expected,
                 const std::function<void(Producer&, const ArrivalReader&)>& produce,
                 const std::function<void(long, pid_t)>& watch = nullptr,
                 Sender who = Sender::kDaemon) {
  TempDir work;
  Figures f;
  std::unique_ptr<ChildProcess> listening;
  const int port = testsupport::startListening(
      listening, testsupport::receiverArgv(o.bin + "/norv-syslog-receive", 0, {o.cert, o.key}),
      ChildProcess::kPipe, work.file("receiver.err"));
  ChildProcess& receiver = *listening;
  ArrivalReader reader(receiver.stdoutFd(), static_cast<std::size_t>(expected));
  if (port == 0) {
    f.note = tag + ": receiver did not listen: " + readFile(work.file("receiver.err"));
    receiver.stop(SIGKILL, milliseconds(1000));
    reader.join();
    return f;
  }
  std::unique_ptr<ChildProcess> daemon =
      who == Sender::kBareRelay ? startBareRelay(o, work, port, expected, f.note)
                                : startDaemon(o, work, port, f.note, who == Sender::kOutbox);
  if (!daemon) {
    receiver.stop(SIGTERM, seconds(5));
    reader.join();
    return f;
  }
  progress(tag + ": " + nameOf(who) + " relaying, raising " + std::to_string(expected) +
           " notifications");
  std::atomic<bool> produced{false};
  std::mutex noteMutex;
  std::string produceError;
  std::thread producer([&] {
    try {
      Producer p(who == Sender::kOutbox);
      produce(p, reader);
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> lock(noteMutex);
      produceError = e.what();
    }
    produced = true;
  });
  long last = -1;
  auto lastChange = std::chrono::steady_clock::now();
  while (reader.count() < expected) {
    long now = reader.count();
    if (watch) watch(now, daemon->pid());
    if (now != last) {
      last = now;
      lastChange = std::chrono::steady_clock::now();
    } else if (produced.load() && std::chrono::steady_clock::now() - lastChange > seconds(10)) {
      break;  // nothing more for 10 s after the last one was raised
    }
    // The bare relay ends by itself once it relayed them all, before the
    // receiver wrote them out: only a failure ends the wait early.
    int exitStatus = 0;
    if (daemon->wait(milliseconds(0), &exitStatus) &&
        (who != Sender::kBareRelay || exitStatus != 0))
      break;
    usleep(10000);
  }
  producer.join();
  if (watch) watch(reader.count(), daemon->pid());
  ProcFigures proc = readProc(daemon->pid());
  double receiverCpu = readProc(receiver.pid()).cpuSeconds;
  int status = daemon->stop(SIGTERM, seconds(5));
  receiver.stop(SIGTERM, seconds(5));
  f = analyse(reader.join(), expected);
  f.cpuSeconds = proc.cpuSeconds;
  f.peakRssKb = proc.peakRssKb;
  f.receiverCpuSeconds = receiverCpu;
  f.logBytes = fileSize(work.file("norv.log"));
  if (who == Sender::kBareRelay) {
    // It has usually ended by now: its own figures, printed as it ended.
    std::string text = readFile(work.file("daemon.err"));
    std::size_t at = text.find("cpu=");
    if (at != std::string::npos)
      std::sscanf(text.c_str() + at, "cpu=%lf hwm=%ld", &f.cpuSeconds, &f.peakRssKb);
  }
  if (!produceError.empty()) f.note = "producer: " + produceError;
  if (status != 0)
    f.note += (f.note.empty() ? "" : "; ") + std::string(nameOf(who)) + " exit status " +
              std::to_string(status);
  return f;
}

// ---- the slow receiver --------------------------------------------------------

struct SlowFigures {
  bool measured = false;
  std::string note;
  long expected = 0, delivered = 0, duplicates = 0, orderViolations = 0;
  long peakRssKb = -1;
  double seconds = 0;
  double maxQueueUsage = -1;  // of PostgreSQL's notification queue
};

SlowFigures runSlow(const Options& o) {
  TempDir work;
  SlowFigures s;
  s.expected = o.slowCount;
  std::string err = work.file("slow.err"), out = work.file("slow.out");
  ChildProcess receiver(
      {"/usr/bin/python3", o.slowReceiver, "--cert", o.cert, "--key", o.key, "--expect",
       std::to_string(o.slowCount), "--slow-seconds", std::to_string(o.slowSeconds)},
      out, err);
  const int port = testsupport::portSaid(err, "listening on port ");
  if (port == 0) {
    s.note = "slow receiver did not listen: " + readFile(err);
    return s;
  }
  std::unique_ptr<ChildProcess> daemon = startDaemon(o, work, port, s.note);
  if (!daemon) return s;
  progress("slow receiver: raising " + std::to_string(o.slowCount) + " notifications");
  auto start = std::chrono::steady_clock::now();
  std::unique_ptr<Producer> p;
  try {
    p = std::make_unique<Producer>();
    p->burst(0, o.slowCount, 1000);
  } catch (const std::exception& e) {
    s.note = std::string("producer: ") + e.what();
  }
  int status = 0;
  double bound = o.slowSeconds + 60;
  int tick = 0;
  while (!receiver.wait(milliseconds(0), &status) &&
         std::chrono::steady_clock::now() - start < std::chrono::duration<double>(bound)) {
    s.peakRssKb = std::max(s.peakRssKb, readProc(daemon->pid()).peakRssKb);
    if (p && ++tick % 10 == 0) s.maxQueueUsage = std::max(s.maxQueueUsage, p->queueUsage());
    usleep(20000);
  }
  s.peakRssKb = std::max(s.peakRssKb, readProc(daemon->pid()).peakRssKb);
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  daemon->stop(SIGTERM, seconds(5));
  receiver.stop(SIGTERM, seconds(5));
  std::string summary = readFile(out);
  if (std::sscanf(summary.c_str(), "received %ld duplicates %ld order %ld", &s.delivered,
                  &s.duplicates, &s.orderViolations) == 3)
    s.measured = true;
  else
    s.note += " slow receiver summary missing: " + readFile(err);
  return s;
}

// ---- plugin execution -----------------------------------------------------------

// Runs per second: service::execute on the plugin, and the bare loop (pipe,
// fork, exec, read to end of file, wait) on the same program. The two take
// turns in slices of a quarter second, so that a change in the machine's load
// falls on both alike.
std::pair<double, double> measurePlugin(const std::string& plugin, double secondsEach) {
  struct Tally {
    long runs = 0;
    double seconds = 0;
    bool failed = false;
  };
  auto slice = [](Tally& t, double length, const std::function<bool()>& once) {
    auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (elapsed < length && !t.failed) {
      if (once())
        ++t.runs;
      else
        t.failed = true;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    t.seconds += elapsed;
  };
  service s;
  s.name = "bench";
  s.path = plugin;
  s.Setparameter("");
  auto viaService = [&] {
    try {
      return s.execute() == 0;
    } catch (const std::exception&) {
      return false;
    }
  };
  auto bare = [&] {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_t pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      close(fds[1]);
      char* argv[] = {const_cast<char*>(plugin.c_str()), nullptr};
      char* envp[] = {nullptr};
      execve(argv[0], argv, envp);
      _exit(127);
    }
    close(fds[1]);
    char buffer[4096];
    while (read(fds[0], buffer, sizeof buffer) > 0) {
    }
    close(fds[0]);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  };
  Tally a, b;
  const double sliceSeconds = 0.25;
  for (double done = 0; done < secondsEach; done += sliceSeconds) {
    slice(a, sliceSeconds, viaService);
    slice(b, sliceSeconds, bare);
  }
  auto rate = [](const Tally& t) { return t.failed || t.seconds <= 0 ? -1.0 : t.runs / t.seconds; };
  return {rate(a), rate(b)};
}

// ---- the table ----------------------------------------------------------------

std::string num(double v, int decimals = 0) {
  if (v < 0) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string ratio(double a, double b) { return (a < 0 || b <= 0) ? "-" : num(a / b, 2); }

void row(const std::string& name, const std::string& a, const std::string& b = "",
         const std::string& c = "", const std::string& d = "") {
  std::printf("  %-28s %14s %14s %12s  %s\n", name.c_str(), a.c_str(), b.c_str(), c.c_str(),
              d.c_str());
}

const char* verdict(bool met) { return met ? "target met" : "TARGET MISSED"; }

// A run the daemon's figures are set beside, as a limit.
struct Limit {
  std::string name;       // its column
  std::string ratioName;  // the ratio's column
  const Figures* figures;
  std::string footnote;
};

double cpuPerNotificationUs(const Figures& f) {
  return f.cpuSeconds >= 0 && f.delivered > 0 ? f.cpuSeconds * 1e6 / f.delivered : -1;
}

double logBytesPerNotification(const Figures& f) {
  return f.logBytes >= 0 && f.delivered > 0 ? static_cast<double>(f.logBytes) / f.delivered : -1;
}

// The figures of `d` (headed `name`), each beside those of the limits.
void printDelivery(const std::string& title, const Figures& d,
                   const std::vector<Limit>& limits = {}, const std::string& name = "daemon") {
  std::printf("\n%s\n", title.c_str());
  if (!d.measured)
    std::printf("  %s not measured: %s\n", name.c_str(), d.note.c_str());
  else if (!d.note.empty())
    std::printf("  note: %s\n", d.note.c_str());
  std::vector<const Limit*> shown;
  for (const Limit& l : limits) {
    if (l.figures->measured)
      shown.push_back(&l);
    else
      std::printf("  %s not measured: %s\n", l.name.c_str(), l.figures->note.c_str());
  }
  auto columns = [](const std::string& name, const std::vector<std::string>& values) {
    std::printf("  %-28s", name.c_str());
    for (const std::string& v : values) std::printf(" %14s", v.c_str());
    std::printf("\n");
  };
  if (!shown.empty()) {
    std::vector<std::string> head{name};
    for (const Limit* l : shown) head.insert(head.end(), {l->name, l->ratioName});
    columns("figure", head);
  }
  if (!d.measured && shown.empty()) return;
  struct Line {
    const char* name;
    double (*get)(const Figures&);
    int decimals;
    bool showRatio;
  };
  using F = const Figures&;
  static const Line lines[] = {
      {"expected", [](F f) { return static_cast<double>(f.expected); }, 0, false},
      {"delivered", [](F f) { return static_cast<double>(f.delivered); }, 0, true},
      {"lost", [](F f) { return static_cast<double>(f.lost); }, 0, false},
      {"duplicates", [](F f) { return static_cast<double>(f.duplicates); }, 0, false},
      {"order violations", [](F f) { return static_cast<double>(f.orderViolations); }, 0, false},
      {"rate (notifications/s)", [](F f) { return f.rate; }, 0, true},
      {"latency p50 (ms)", [](F f) { return f.p50Ms; }, 2, true},
      {"latency p99 (ms)", [](F f) { return f.p99Ms; }, 2, true},
      {"latency max (ms)", [](F f) { return f.maxMs; }, 2, true},
      {"CPU (s)", [](F f) { return f.cpuSeconds; }, 2, true},
      {"CPU per notification (us)", cpuPerNotificationUs, 2, true},
      {"peak RSS (MB)", [](F f) { return f.peakRssKb / 1024.0; }, 1, true},
      {"receiver CPU (s)", [](F f) { return f.receiverCpuSeconds; }, 2, true},
      {"log bytes per notification", logBytesPerNotification, 0, true},
  };
  // Each figure of the daemon, then each limit's with the ratio daemon/limit.
  for (const Line& line : lines) {
    std::vector<std::string> values{d.measured ? num(line.get(d), line.decimals) : "n/a"};
    for (const Limit* l : shown) {
      double b = line.get(*l->figures);
      bool showRatio = d.measured && line.showRatio;
      values.insert(values.end(), {num(b, line.decimals), showRatio ? ratio(line.get(d), b) : ""});
    }
    columns(line.name, values);
  }
  for (const Limit* l : shown) {
    if (!l->footnote.empty()) std::printf("  %s\n", l->footnote.c_str());
    if (!l->figures->note.empty())
      std::printf("  %s note: %s\n", l->name.c_str(), l->figures->note.c_str());
  }
}

// An empty outbox made from packaging/norv-outbox.sql, as an administrator
// would apply it.
void freshOutbox(const Options& o) {
  try {
    Producer(true).exec(
        "SET client_min_messages = warning; DROP TABLE IF EXISTS norv_outbox; "
        "DROP FUNCTION IF EXISTS norv_notify(text);\n" +
        readFile(o.outboxSql));
  } catch (const std::exception& e) {
    progress(std::string("cannot make the outbox: ") + e.what());
  }
}

bool delivered(const Figures& f) {
  return f.measured && f.lost == 0 && f.duplicates == 0 && f.orderViolations == 0;
}

[[noreturn]] void usage(const char* problem) {
  std::fprintf(
      stderr,
      "norv-bench: %s\nusage: norv-bench [--bin DIR] [--burst N] [--steady-rate N] "
      "[--steady-seconds S] [--soak N] [--slow-count N] [--slow-seconds S] [--backlog N] "
      "[--server-seconds S] [--only plugin,server,burst,steady,soak,slow,outbox,backlog]\n",
      problem);
  std::exit(2);
}

// The value of --option, from low to high; usage() for anything else.
template <class Number>
Number positive(const char* option, const char* text, Number low, Number high) {
  Number value = 0;
  if (!numberInRange(text, low, high, value))
    usage(numberRefusal(std::string("--") + option, text, low, high).c_str());
  return value;
}

// Counts of messages; rates (a second) and seconds.
long messageCount(const char* option, const char* text) {
  return static_cast<long>(positive<long long>(option, text, 1, 100000000));
}
double rateOrSeconds(const char* option, const char* text) {
  return positive(option, text, 0.1, 86400.0);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc >= 2 && std::strcmp(argv[1], "listen") == 0) {
    long count = argc >= 4 ? std::atol(argv[3]) : 100000;
    return bareListen(count);
  }
  Options o;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) usage("cannot find its own path");
  self[n] = '\0';
  o.self = self;
  o.bin = dirOf(dirOf(o.self));
  o.plugin = dirOf(o.self) + "/norv-bench-plugin";
  o.bareRelay = dirOf(o.self) + "/norv-bench-bare-relay";
  o.slowReceiver = NORV_BENCH_SOURCE_DIR "/slow_receiver.py";
  o.outboxSql = NORV_BENCH_SOURCE_DIR "/../packaging/norv-outbox.sql";
  const option options[] = {{"bin", required_argument, nullptr, 'b'},
                            {"burst", required_argument, nullptr, 'n'},
                            {"steady-rate", required_argument, nullptr, 'r'},
                            {"steady-seconds", required_argument, nullptr, 's'},
                            {"soak", required_argument, nullptr, 'k'},
                            {"slow-count", required_argument, nullptr, 'c'},
                            {"slow-seconds", required_argument, nullptr, 'w'},
                            {"server-seconds", required_argument, nullptr, 'v'},
                            {"backlog", required_argument, nullptr, 'g'},
                            {"only", required_argument, nullptr, 'o'},
                            {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int opt;
  while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1) {
    switch (opt) {
      case 'b':
        o.bin = optarg;
        break;
      case 'n':
        o.burst = messageCount("burst", optarg);
        break;
      case 'r':
        o.steadyRate = rateOrSeconds("steady-rate", optarg);
        break;
      case 's':
        o.steadySeconds = rateOrSeconds("steady-seconds", optarg);
        break;
      case 'k':
        o.soak = messageCount("soak", optarg);
        break;
      case 'c':
        o.slowCount = messageCount("slow-count", optarg);
        break;
      case 'w':
        o.slowSeconds = rateOrSeconds("slow-seconds", optarg);
        break;
      case 'v':
        o.serverSeconds = rateOrSeconds("server-seconds", optarg);
        break;
      case 'g':
        o.backlog = messageCount("backlog", optarg);
        break;
      case 'o': {
        std::istringstream list(optarg);
        std::string phase;
        while (std::getline(list, phase, ',')) o.only.insert(phase);
        break;
      }
      default:
        usage("unknown option");
    }
  }
  if (!std::getenv("PGHOST") || !std::getenv("PGPORT"))
    usage("PGHOST and PGPORT must name the PostgreSQL to use");

  TempDir work;
  o.cert = work.file("cert.pem");
  o.key = work.file("key.pem");
  const std::string& cert = o.cert;
  const std::string& key = o.key;
  std::string makeCert =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -keyout '" + key +
      "' -out '" + cert + "' >/dev/null 2>&1";
  if (std::system(makeCert.c_str()) != 0) usage("openssl could not make a certificate");

  std::pair<double, double> plugin{-1, -1};
  if (o.wants("plugin")) {
    progress("plugin execution");
    plugin = measurePlugin(o.plugin, 1.0);
  }
  std::vector<std::pair<std::string, ServerLoadResult>> server;
  if (o.wants("server")) {
    for (int threads : {1, 2}) {
      for (int clients : {1, 4}) {
        progress("receiving server: " + std::to_string(clients) + " client(s), threadCount " +
                 std::to_string(threads));
        std::string name = std::to_string(clients) + " client" + (clients > 1 ? "s" : "") +
                           ", threadCount " + std::to_string(threads);
        // The server's library reports closings on standard error: kept out of the table.
        StderrTo quiet(work.file("server-library.log"));
        server.emplace_back(name, measureServer(cert, key, clients, threads, o.serverSeconds));
      }
    }
  }
  Figures bare, bareRelay, burst, steady, soak;
  long soak10k = -1, soakEnd = -1;
  if (o.wants("burst")) {
    // The bare client runs before the daemon and after the bare relay; the
    // faster of its two runs is the limit, so a passing load on the machine
    // does not flatter the daemon's ratio. The bare relay runs right after
    // the daemon, through a fresh receiver, with the same producer.
    progress("bare libpq client: burst of " + std::to_string(o.burst));
    bare = runBare(o, work);
    auto produceBurst = [&](Producer& p, const ArrivalReader&) { p.burst(0, o.burst, 1000); };
    progress("daemon: burst of " + std::to_string(o.burst));
    burst = runRelay(o, "burst", o.burst, produceBurst);
    progress("bare relay: burst of " + std::to_string(o.burst));
    bareRelay = runRelay(o, "burst", o.burst, produceBurst, nullptr, Sender::kBareRelay);
    progress("bare libpq client again");
    Figures again = runBare(o, work);
    if (again.measured && (!bare.measured || again.rate > bare.rate)) bare = again;
  }
  if (o.wants("steady")) {
    long count = static_cast<long>(o.steadyRate * o.steadySeconds);
    progress("daemon: steady " + num(o.steadyRate) + "/s for " + num(o.steadySeconds) + " s");
    steady = runRelay(o, "steady", count,
                      [&](Producer& p, const ArrivalReader&) { p.steady(count, o.steadyRate); });
  }
  if (o.wants("soak")) {
    progress("daemon: soak of " + std::to_string(o.soak));
    soak = runRelay(
        o, "soak", o.soak,
        [&](Producer& p, const ArrivalReader& r) {
          // Bursts of 10 000; the next waits (at most 10 s) until at most
          // 20 000 are still on their way.
          p.burst(0, o.soak, 1000, [&](long next) {
            if (next % 10000 != 0) return;
            waitUntil([&] { return r.count() >= next - 20000; }, seconds(10));
          });
        },
        [&](long count, pid_t pid) {
          if (soak10k < 0 && count >= 10000) soak10k = readProc(pid).peakRssKb;
          if (count >= o.soak && soakEnd < 0) soakEnd = readProc(pid).peakRssKb;
        });
  }
  SlowFigures slow;
  if (o.wants("slow")) slow = runSlow(o);
  Figures outboxBurst, outboxSteady, backlog;
  long backlogRssKb = -1;
  if (o.wants("outbox")) {
    progress("outbox daemon: burst of " + std::to_string(o.burst) + " raised with norv_notify");
    freshOutbox(o);
    outboxBurst = runRelay(
        o, "outbox burst", o.burst,
        [&](Producer& p, const ArrivalReader&) { p.burst(0, o.burst, 1000); }, nullptr,
        Sender::kOutbox);
    long count = static_cast<long>(o.steadyRate * o.steadySeconds);
    progress("outbox daemon: steady " + num(o.steadyRate) + "/s for " + num(o.steadySeconds) +
             " s");
    freshOutbox(o);
    outboxSteady = runRelay(
        o, "outbox steady", count,
        [&](Producer& p, const ArrivalReader&) { p.steady(count, o.steadyRate); }, nullptr,
        Sender::kOutbox);
  }
  if (o.wants("backlog")) {
    progress("outbox: a backlog of " + std::to_string(o.backlog) + " rows, no daemon running");
    freshOutbox(o);
    try {
      Producer(true).fillOutbox(0, o.backlog);
    } catch (const std::exception& e) {
      backlog.note = e.what();
    }
    progress("outbox daemon: draining the backlog");
    if (backlog.note.empty())
      backlog = runRelay(
          o, "backlog", o.backlog, [](Producer&, const ArrivalReader&) {},
          [&](long, pid_t pid) { backlogRssKb = std::max(backlogRssKb, readProc(pid).peakRssKb); },
          Sender::kOutbox);
    // Raised before the daemon started: the rate runs from the first arrival,
    // and the time since each was raised says nothing.
    if (backlog.lastArrival > backlog.firstArrival)
      backlog.rate = static_cast<double>(backlog.delivered) * 1e6 /
                     static_cast<double>(backlog.lastArrival - backlog.firstArrival);
    backlog.p50Ms = backlog.p99Ms = backlog.maxMs = -1;
  }

  // ---- the table ----
  std::printf("\n==== norv relay benchmark ====\n");
  if (o.wants("burst")) {
    printDelivery(
        "Burst of " + std::to_string(o.burst) + " (transactions of 1 000)", burst,
        {{"bare relay", "daemon/relay", &bareRelay, ""},
         {"bare libpq*", "daemon/libpq", &bare,
          "* the faster of two runs, one before the daemon's and one after the bare relay's"}});
    if (bareRelay.measured && !delivered(bareRelay))
      std::printf("  the bare relay did not deliver all in order: its figures are no limit\n");
    if (burst.measured && bareRelay.measured) {
      bool met = delivered(burst) && burst.rate * 2 >= bareRelay.rate;
      std::printf("  target: all delivered in order, rate >= 1/2 of bare relay: %s\n",
                  verdict(met));
    }
    if (burst.measured && bare.measured) {
      bool met = delivered(burst) && burst.rate * 4 >= bare.rate;
      std::printf("  target: all delivered in order, rate >= 1/4 of bare libpq: %s\n",
                  verdict(met));
    }
  }
  if (o.wants("steady")) {
    printDelivery("Steady " + num(o.steadyRate) + "/s for " + num(o.steadySeconds) + " s", steady);
    if (steady.measured)
      std::printf("  target: nothing lost, p99 <= 5 ms: %s\n",
                  verdict(delivered(steady) && steady.p99Ms <= 5.0));
  }
  if (o.wants("soak")) {
    printDelivery("Soak of " + std::to_string(o.soak) + " in bursts of 10 000", soak);
    if (soak.measured) {
      if (soakEnd < 0) soakEnd = soak.peakRssKb;
      row("peak RSS after 10 000 (MB)", num(soak10k / 1024.0, 1));
      row("peak RSS at the end (MB)", num(soakEnd / 1024.0, 1));
      bool met = soak10k > 0 && soakEnd <= soak10k * 1.10 && soakEnd < 20 * 1024;
      std::printf("  target: end within 10%% of after 10 000, and < 20 MB: %s\n", verdict(met));
    }
  }
  if (o.wants("server")) {
    std::printf("\nReceiving server alone (messages/s into the queue, %s s each)\n",
                num(o.serverSeconds, 1).c_str());
    bool met = false;
    for (auto& [name, r] : server) {
      if (r.measured)
        row(name, num(r.perSecond));
      else
        row(name, "n/a", "", "", "not measured: " + r.note);
      if (r.measured && name.rfind("4 clients", 0) == 0 && r.perSecond >= 100000) met = true;
    }
    std::printf("  target: >= 100 000/s from 4 clients: %s\n", verdict(met));
  }
  if (o.wants("plugin")) {
    std::printf("\nPlugin execution (runs/s of a one-line C plugin, 1 s each)\n");
    row("service::execute", num(plugin.first));
    row("bare fork+exec+read+wait", num(plugin.second));
    row("ratio", ratio(plugin.first, plugin.second));
    if (plugin.first < 0 || plugin.second < 0)
      std::printf("  not measured: a run failed\n");
    else
      std::printf("  target: >= 80%% of bare: %s\n", verdict(plugin.first >= 0.8 * plugin.second));
  }
  if (o.wants("slow")) {
    std::printf("\nSlow receiver (1 000 messages/s for %s s, then full speed)\n",
                num(o.slowSeconds).c_str());
    if (!slow.note.empty()) std::printf("  note: %s\n", slow.note.c_str());
    if (slow.measured) {
      row("expected", num(slow.expected));
      row("delivered", num(slow.delivered));
      row("lost", num(slow.expected - (slow.delivered - slow.duplicates)));
      row("duplicates", num(slow.duplicates));
      row("order violations", num(slow.orderViolations));
      row("daemon peak RSS (MB)", num(slow.peakRssKb / 1024.0, 1));
      // What the daemon did not take yet waits in PostgreSQL's queue.
      row("max PG queue usage (%)", num(slow.maxQueueUsage * 100.0, 4));
      row("seconds", num(slow.seconds, 1));
      bool met = slow.delivered == slow.expected && slow.duplicates == 0 &&
                 slow.orderViolations == 0 && slow.peakRssKb < 20 * 1024;
      std::printf("  target: nothing lost, RSS bounded (< 20 MB): %s\n", verdict(met));
    } else {
      std::printf("  not measured\n");
    }
  }
  // Outbox mode beside LISTEN mode's burst: its rate is the goal's measure.
  const std::vector<Limit> listenBurst = {{"LISTEN burst", "outbox/LISTEN", &burst, ""}};
  auto outboxTarget = [&](const Figures& f) {
    if (!f.measured || !burst.measured) return;
    bool met = delivered(f) && f.rate * 2 >= burst.rate && f.peakRssKb <= 20 * 1024;
    std::printf("  target: all delivered in order, rate >= 1/2 of LISTEN burst, RSS <= 20 MB: %s\n",
                verdict(met));
  };
  if (o.wants("outbox")) {
    printDelivery(
        "Outbox burst of " + std::to_string(o.burst) + " (norv_notify, transactions of 1 000)",
        outboxBurst, listenBurst, "outbox");
    outboxTarget(outboxBurst);
    printDelivery("Outbox steady " + num(o.steadyRate) + "/s for " + num(o.steadySeconds) + " s",
                  outboxSteady, {{"LISTEN", "outbox/LISTEN", &steady, ""}}, "outbox");
    if (outboxSteady.measured)
      std::printf("  target: nothing lost, p99 <= 5 ms: %s\n",
                  verdict(delivered(outboxSteady) && outboxSteady.p99Ms <= 5.0));
  }
  if (o.wants("backlog")) {
    if (backlogRssKb > backlog.peakRssKb) backlog.peakRssKb = backlogRssKb;
    printDelivery("Outbox backlog of " + std::to_string(o.backlog) +
                      " rows drained (rate from the first arrival)",
                  backlog, listenBurst, "outbox");
    outboxTarget(backlog);
  }
  return 0;
}
