// The test kit, shared by the tests and the benchmark: temporary folders,
// files, child processes, free ports, certificates made once per program,
// and the PostgreSQL target (the private cluster that CTest's fixture starts,
// or the one the environment names). Nothing here depends on GoogleTest.
#ifndef NORV_TESTS_SUPPORT_TESTSUPPORT_H
#define NORV_TESTS_SUPPORT_TESTSUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Where the tests' PostgreSQL is: the environment's PGHOST and PGPORT when
// both are set, otherwise the cluster of the test fixture (its env file).
struct PgTarget {
  std::string host, port, user, database;
};
const PgTarget& pgTarget();
// The libpq connection string of pgTarget().
std::string pgConnString();

// A folder under /tmp that is removed, with everything in it, on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, int mode = 0644);
bool fileExists(const std::string& path);

// A PEM certificate and key for localhost and 127.0.0.1.
struct CertPair {
  std::string cert, key;
};
CertPair makeSelfSignedCert(const std::string& dir);
// One pair made at the first call of the program, removed when it ends.
const CertPair& suiteCert();

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
int freePort();

// Runs a shell command line; standard output and error are captured together.
// status is the exit code, or 128 + the signal number.
struct ExecResult {
  int status = -1;
  std::string output;
};
ExecResult runShell(const std::string& command);

// A child process started with execvp. Its standard input, output and error
// come from / go to the files named (empty: inherited); kPipe as the output
// makes a pipe read through stdoutFd(). The destructor kills (SIGKILL) and
// reaps it if it is still running, so nothing is left behind.
class ChildProcess {
 public:
  static constexpr const char* kPipe = "|";
  ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath = "",
               const std::string& stderrPath = "", const std::string& stdinPath = "");
  // Runs body in a forked copy of this process (fork before the caller starts
  // threads); the child exits with what body returns.
  explicit ChildProcess(const std::function<int()>& body);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  int stdoutFd() const { return stdoutFd_; }
  bool running();
  void signal(int sig);
  // Waits for the exit; false on time-out. status as in ExecResult.
  bool wait(std::chrono::milliseconds timeout, int* status);
  // sig, then SIGKILL if it has not ended within `timeout`; the exit status,
  // or -1 when it had to be killed.
  int stop(int sig, std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  int stdoutFd_ = -1;
};

// The peak resident size of a live process in KiB (VmHWM), -1 if unknown.
long peakRssKb(pid_t pid);

// Polls cond every 10 ms until it holds or the time is up.
bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

std::string sourcePath(const std::string& relative);

}  // namespace testsupport

#endif
