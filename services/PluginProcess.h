// PluginProcess: one child program started by fork and execve, as the
// service runs need it (plugins and the alerting program). The child leads a
// process group of its own, so that everything it starts can be ended with
// it. The object owns the child, its pidfd and every pipe descriptor it
// created: the destructor closes the descriptors and, if the child has not
// been reaped (a failure path, or a child reported stopped or continued),
// kills its group with SIGKILL and reaps it, so no zombie outlives the
// object. Used by one thread at a time; it takes no lock. Internal to the
// services library.
#ifndef NORV_SERVICES_PLUGINPROCESS_H
#define NORV_SERVICES_PLUGINPROCESS_H

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace norv {

class PluginProcess {
 public:
  // What the child gets besides its arguments.
  struct Setup {
    bool captureOutput;       // standard output into a pipe read by collect()
    bool feedInput;           // standard input from a pipe written by collect()
    bool inheritEnvironment;  // the caller's environment, else an empty one
    const char* execFailure;  // written before the error text on standard
                              // output when execve fails (then exit 2)
  };

  // Bounds on one run; 0 (as in Limits{}) leaves that bound off.
  struct Limits {
    std::chrono::milliseconds timeout;  // from construction to the end of wait()
    std::size_t outputCap;              // bytes of output collect() keeps
  };

  // How the run ended: on its own, or ended by us when a limit was reached.
  enum class Ending { normal, timedOut, cut };

  // The step that failed and its errno; callers turn it into their message.
  enum class Step { openPipe, fork, read, wait };
  class Failure : public std::exception {
   public:
    Failure(Step s, int e) : step(s), error(e) {}
    const char* what() const noexcept override { return "child process failure"; }
    // "Error open pipe", "Error create fork", "Error read buffer:" or
    // "Error execute": how the run's messages name this step.
    const char* stepPrefix() const noexcept;
    Step step;
    int error;
  };

  // Creates the pipes and forks; argv[0] is `program`, then `args`. The time
  // limit starts now. Throws Failure(openPipe) or Failure(fork); nothing is
  // left open then.
  PluginProcess(const std::string& program, const std::vector<std::string>& args,
                const Setup& setup, const Limits& limits = Limits{});
  ~PluginProcess();
  PluginProcess(const PluginProcess&) = delete;
  PluginProcess& operator=(const PluginProcess&) = delete;

  // Writes `input` to the child's standard input (when fed) while reading its
  // standard output (when captured) up to end of file. Each chunk read is kept
  // up to its first NUL byte. Write failures are ignored (a child that does
  // not read its input is no error) and never raise SIGPIPE in the caller.
  // When the time limit passes, or the kept text would exceed the output cap
  // (it then keeps the cap's worth), it ends the child's group (see ending())
  // and returns what it kept. Once the child has exited (seen through the
  // pidfd; without one it reads to end of file), the time limit no longer
  // counts: it reads for a short grace only, then, if processes the child
  // left behind still hold a pipe, ends the group all the same and reaps the
  // child, whose own status wait() then returns, ending() staying normal.
  // Throws Failure(read) if reading or polling fails.
  std::string collect(std::string input = std::string());

  // waitpid with WUNTRACED | WCONTINUED (EINTR is retried); returns the raw
  // status. When the time limit passes first, the child's group is ended and
  // the status of the ended child is returned; so is the status collect()
  // got if it reaped the child already. Throws Failure(wait).
  int wait();

  // Ending::normal unless collect() or wait() ended the child's group on a
  // limit: then SIGTERM went to the group, SIGKILL a moment later, and the
  // child is reaped.
  Ending ending() const { return ending_; }
  const Limits& limits() const { return limits_; }
  pid_t pid() const { return pid_; }

 private:
  using Clock = std::chrono::steady_clock;

  void writeSome(std::string& input, size_t& written);
  bool waitOnce(int options);
  void endGroup(Ending why);
  void signalGroup(int sig);
  void killAndReap();

  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;    // the last status waitpid reported
  int outRead_ = -1;  // parent's end of the child's standard output
  int inWrite_ = -1;  // parent's end of the child's standard input
  int pidFd_ = -1;    // readable once the child exits: wakes a timed wait,
                      // tells collect() to stop waiting; -1: none
  Limits limits_;
  std::optional<Clock::time_point> deadline_;
  Ending ending_ = Ending::normal;
};

}  // namespace norv

#endif
