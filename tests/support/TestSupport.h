// The kit of the tests and the benchmark (no GoogleTest): files, children, ports, PostgreSQL.
#ifndef NORV_TESTS_SUPPORT_TESTSUPPORT_H
#define NORV_TESTS_SUPPORT_TESTSUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// PGHOST and PGPORT when both are set, else the cluster of CTest's fixture.
struct PgTarget {
  std::string host, port, user, database;
};
const PgTarget& pgTarget();
std::string pgConnString();

// A folder under /tmp, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, int mode = 0644);
bool fileExists(const std::string& path);

// A PEM pair for localhost and 127.0.0.1, made once per program.
struct CertPair {
  std::string cert, key;
};
const CertPair& suiteCert();

// A TCP port on 127.0.0.1 that nothing listened on a moment ago. Only for a port that must stay
// unused: a server started on it later may find it taken; start it on port 0 instead.
int freePort();

// Output and error together; status: the exit code, or 128 + the signal.
struct ExecResult {
  int status = -1;
  std::string output;
};
ExecResult runShell(const std::string& command);

// A child run by execvp, streams from/to the files named (empty: inherited; kPipe: a pipe, see
// stdoutFd()); killed and reaped on destruction, killed when this program ends.
class ChildProcess {
 public:
  static constexpr const char* kPipe = "|";
  ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath = "",
               const std::string& stderrPath = "", const std::string& stdinPath = "");
  // Runs body in a forked copy of this process, which exits with its result.
  explicit ChildProcess(const std::function<int()>& body);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  int stdoutFd() const { return stdoutFd_; }
  bool running();
  void signal(int sig);
  // False on time-out; status as in ExecResult.
  bool wait(std::chrono::milliseconds timeout, int* status);
  // sig, then SIGKILL after `timeout`; the exit status, -1 when killed.
  int stop(int sig, std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1, stdoutFd_ = -1;
};

// CPU seconds (user + system) and resident sizes of a live process; -1 where unknown.
struct ProcFigures {
  double cpuSeconds = -1;
  long peakRssKb = -1;  // VmHWM
  long rssKb = -1;      // VmRSS
};
ProcFigures readProc(pid_t pid);
inline long peakRssKb(pid_t pid) { return readProc(pid).peakRssKb; }

// Polls cond every 10 ms until it holds (true) or the time is up.
bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

// Waits (10 s at most) until the file at `path` holds `what` followed by a number and returns
// that number (0 on time-out): the port a child started on port 0 says it listens on.
int portSaid(const std::string& path, const std::string& what);

// The command line of the receiver `program` on `port` (0: any free one), with `cert`, then
// `options`.
std::vector<std::string> receiverArgv(const std::string& program, int port, const CertPair& cert,
                                      const std::vector<std::string>& options = {});
// Starts `argv` (a receiver's command line), its standard output and error to the files named
// (or a pipe, kPipe, for the output), into `child`, and waits for it to listen: the port it
// listens on, 0 when it did not.
int startListening(std::unique_ptr<ChildProcess>& child, const std::vector<std::string>& argv,
                   const std::string& stdoutPath, const std::string& stderrPath);

std::string sourcePath(const std::string& relative);

// Prints why and ends the program at once (status 1): a hung call's lock would stop destructors.
[[noreturn]] void abandon(const std::string& why);

// f() run on a thread of its own: what it returns (or throws), or, when it has not returned
// after `timeout`, the end of the program (abandon) naming `what`.
template <class F>
auto finishesWithin(std::chrono::milliseconds timeout, const std::string& what, F f) {
  auto result = std::async(std::launch::async, std::move(f));
  if (result.wait_for(timeout) != std::future_status::ready) abandon(what + " hangs");
  return result.get();
}

}  // namespace testsupport

#endif
