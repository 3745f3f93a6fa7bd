// Helpers shared by the test programs: temporary folders, files, child
// processes, free ports, self-signed certificates and the parameters of the
// private PostgreSQL cluster that the test command starts for the run.
#ifndef NORV_TESTS_SUPPORT_TESTSUPPORT_H
#define NORV_TESTS_SUPPORT_TESTSUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// libpq connection string for the run's private cluster, built from PGHOST,
// PGPORT, PGUSER and PGDATABASE. Fails the calling test when they are unset.
std::string pgConnString();
std::string envOr(const char* name, const std::string& fallback);

// A folder under /tmp that is removed, with everything in it, on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, int mode = 0644);
bool fileExists(const std::string& path);

// A PEM certificate and key made with the openssl command line.
struct CertPair {
  std::string cert, key;
};
CertPair makeSelfSignedCert(const std::string& dir, const std::string& cn = "localhost");
// One self-signed pair for localhost and 127.0.0.1, made at the first call of
// the test program and removed when it ends.
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

// A child process started with execvp, its standard output and error going to
// files (empty: inherited). The destructor kills (SIGKILL) and reaps it if it
// is still running, so no test leaves a process behind.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath = "",
               const std::string& stderrPath = "", const std::string& stdinPath = "");
  ~ChildProcess();
  // Runs body in a forked copy of this process (fork before the test starts
  // threads); the child exits with what body returns.
  explicit ChildProcess(const std::function<int()>& body);
  ChildProcess(const ChildProcess&) = delete;
  bool running();
  pid_t pid() const { return pid_; }
  void signal(int sig);
  // Waits for the exit; false on time-out. status as in ExecResult.
  bool wait(std::chrono::milliseconds timeout, int* status);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
};

// The peak resident size of a live process in KiB (VmHWM), -1 if unknown.
long peakRssKb(pid_t pid);

// Polls cond every 10 ms until it holds or the time is up.
bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

// Path of a program built by this build (build folder root).
std::string binPath(const std::string& name);
std::string sourcePath(const std::string& relative);

}  // namespace testsupport

#endif
