#include "services/PluginProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Between the SIGTERM to an ended child's group and the SIGKILL.
constexpr milliseconds kKillGrace(500);
// How long collect() still reads after the child's exit: enough for the pipe
// to drain and for a short-lived helper to finish, short enough that a
// background process left holding the output does not hold up the run.
constexpr milliseconds kLeftoverGrace(150);
// A time limit further than this counts as this, keeping the deadline
// within the clock's range.
constexpr std::chrono::hours kLongestLimit(24 * 365 * 10);

// Closes a descriptor we own and marks it gone.
void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// A close-on-exec pipe whose two ends are both above the standard
// descriptors, so that the child's dup2 onto 0 or 1 never lands on a pipe end
// it still needs (possible when the caller runs with 0, 1 or 2 closed).
bool makePipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (fds[i] > 2) continue;
    int moved = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
    if (moved < 0) {
      int e = errno;
      ::close(fds[0]);
      ::close(fds[1]);
      fds[0] = fds[1] = -1;
      errno = e;
      return false;
    }
    ::close(fds[i]);
    fds[i] = moved;
  }
  return true;
}

// Child side, between fork and exec: only async-signal-safe calls, nothing
// allocated. strerrordesc_np reads a static table, unlike strerror.
void writeText(int fd, const char* text) {
  size_t left = ::strlen(text);
  while (left > 0) {
    ssize_t w = ::write(fd, text, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += w;
    left -= static_cast<size_t>(w);
  }
}

const char* errorText(int error) {
  const char* text = ::strerrordesc_np(error);
  return text ? text : "Unknown error";
}

[[noreturn]] void redirectFailed(int error) {
  writeText(2, "EXEC fils: ");
  writeText(2, "erreur de redirection de flux (dup2): ");
  writeText(2, errorText(error));
  writeText(2, "\n");
  ::_exit(2);
}

[[noreturn]] void runChild(const char* path, char* const* argv, char* const* envp, int inRead,
                           int outWrite, const char* execFailure) {
  // A group of its own, so that what the plugin starts is ended with it. The
  // parent makes the same call; whichever runs first wins, so a failure here
  // changes nothing.
  ::setpgid(0, 0);
  // The pipe ends are all close-on-exec and above 2: dup2 gives the child
  // plain (inheritable) copies on 0 and 1, the originals vanish at execve.
  if (inRead >= 0 && ::dup2(inRead, 0) < 0) redirectFailed(errno);
  if (outWrite >= 0 && ::dup2(outWrite, 1) < 0) redirectFailed(errno);
  ::execve(path, argv, envp);
  int error = errno;
  writeText(1, execFailure);
  writeText(1, errorText(error));
  writeText(1, "\n");
  ::_exit(2);
}

// Blocks SIGPIPE in the calling thread for its lifetime, so that writing to a
// child that no longer reads yields EPIPE instead of a signal. A SIGPIPE that
// our own writes made pending is consumed before the old mask comes back; the
// process-wide disposition is never touched.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipeSet_);
    sigaddset(&pipeSet_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeSet_, &old_);
  }
  ~SigpipeBlock() {
    if (brokenPipe && !pendingBefore_ && sigismember(&old_, SIGPIPE) != 1) {
      sigset_t pending;
      sigemptyset(&pending);
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec zero = {0, 0};
        while (sigtimedwait(&pipeSet_, nullptr, &zero) < 0 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  bool brokenPipe = false;

 private:
  sigset_t pipeSet_;
  sigset_t old_;
  bool pendingBefore_ = false;
};

enum class Chunk { kept, end, overCap, failed };

// Reads one chunk and appends the part of it that is kept (up to its first
// NUL byte) to text, never taking text beyond `cap` bytes (0: no cap).
// overCap: some of the kept part had to be left out. failed: errno tells
// why (EINTR counts as a chunk of nothing).
Chunk readChunk(int fd, std::string& text, size_t cap) {
  char buffer[1024];
  ssize_t k = ::read(fd, buffer, sizeof buffer);
  if (k < 0) return errno == EINTR ? Chunk::kept : Chunk::failed;
  if (k == 0) return Chunk::end;
  const void* nul = ::memchr(buffer, '\0', static_cast<size_t>(k));
  size_t keep =
      nul ? static_cast<size_t>(static_cast<const char*>(nul) - buffer) : static_cast<size_t>(k);
  if (cap > 0 && keep > cap - text.size()) {
    text.append(buffer, cap - text.size());
    return Chunk::overCap;
  }
  text.append(buffer, keep);
  return Chunk::kept;
}

// poll's time-out for a wait of `left`, rounded up to whole milliseconds.
int pollTimeout(Clock::duration left) {
  auto ms = std::chrono::ceil<milliseconds>(left).count();
  return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
}

// Checks `changed` until it holds (true) or `limit` passes (false). In
// between it sleeps on the pidfd, which wakes at the child's exit, for at most
// 100 ms, as a stop does not wake it; without a pidfd, 10 ms at a time.
template <typename Changed>
bool waitFor(int pidFd, Clock::time_point limit, Changed changed) {
  for (;;) {
    if (changed()) return true;
    Clock::duration left = limit - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    pollfd exit = {pidFd, POLLIN, 0};
    left = std::min<Clock::duration>(left, milliseconds(pidFd >= 0 ? 100 : 10));
    ::poll(&exit, pidFd >= 0 ? 1 : 0, pollTimeout(left));  // EINTR: checked again
  }
}

}  // namespace

namespace norv {

const char* PluginProcess::Failure::stepPrefix() const noexcept {
  switch (step) {
    case Step::openPipe:
      return "Error open pipe";
    case Step::fork:
      return "Error create fork";
    case Step::read:
      return "Error read buffer:";
    case Step::wait:
      break;
  }
  return "Error execute";
}

PluginProcess::PluginProcess(const std::string& program, const std::vector<std::string>& args,
                             const Setup& setup, const Limits& limits)
    : limits_(limits) {
  if (limits.timeout.count() > 0) {
    deadline_ = Clock::now() + std::min<Clock::duration>(limits.timeout, kLongestLimit);
  }
  int out[2] = {-1, -1};
  int in[2] = {-1, -1};
  auto closeAll = [&] {
    for (int* fd : {&out[0], &out[1], &in[0], &in[1]}) closeFd(*fd);
  };
  if ((setup.captureOutput && !makePipe(out)) || (setup.feedInput && !makePipe(in))) {
    int error = errno;
    closeAll();
    throw Failure(Step::openPipe, error);
  }

  // Everything the child needs is built here, before the fork. execve does
  // not write through its argument pointers, and the strings outlive it.
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  char* emptyEnvironment[] = {nullptr};
  char* const* envp = setup.inheritEnvironment ? environ : emptyEnvironment;
  const char* execFailure = setup.execFailure ? setup.execFailure : "";

  pid_t child = ::fork();
  if (child < 0) {
    int error = errno;
    closeAll();
    throw Failure(Step::fork, error);
  }
  if (child == 0) runChild(program.c_str(), argv.data(), envp, in[0], out[1], execFailure);

  pid_ = child;
  // Also made by the child itself, so that the group exists before either
  // goes on. EACCES (the child has already run execve, after its own call)
  // and ESRCH are expected and harmless; signalGroup copes with the rest.
  ::setpgid(child, child);
  // A limited run waits with a deadline, and collect() watches for the exit.
  // If pidfds are missing, the timed waits poll instead and collect() reads
  // to the end of the output.
  if (deadline_ || setup.captureOutput) {
    pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  }
  closeFd(out[1]);
  closeFd(in[0]);
  outRead_ = out[0];
  inWrite_ = in[1];
}

PluginProcess::~PluginProcess() {
  closeFd(inWrite_);
  closeFd(outRead_);
  if (pid_ > 0 && !reaped_) killAndReap();
  closeFd(pidFd_);
}

// The child leads the group while it is unreaped, so the group's id cannot
// belong to anyone else. Should the group be missing (setpgid failed in both
// processes), the child alone gets the signal.
void PluginProcess::signalGroup(int sig) {
  if (::kill(-pid_, sig) != 0 && errno == ESRCH) ::kill(pid_, sig);
}

void PluginProcess::killAndReap() {
  signalGroup(SIGKILL);
  while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

void PluginProcess::endGroup(Ending why) {
  ending_ = why;
  signalGroup(SIGTERM);
  signalGroup(SIGCONT);  // a stopped member gets to act on its SIGTERM
  // Waits for the leader's exit without reaping it (WNOWAIT): the SIGKILL
  // below then reaches whatever is left of its group, ours for sure.
  waitFor(pidFd_, Clock::now() + kKillGrace, [this] {
    siginfo_t info = {};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
      return info.si_pid == pid_;
    }
    if (errno == ECHILD) reaped_ = true;  // reaped elsewhere: signal it no more
    return errno != EINTR;
  });
  if (!reaped_) killAndReap();
}

void PluginProcess::writeSome(std::string& input, size_t& written) {
  ssize_t w = ::write(inWrite_, input.data() + written, input.size() - written);
  if (w < 0) {
    if (errno == EINTR || errno == EAGAIN) return;
    // EPIPE (the child closed its input) or anything else: the rest of the
    // input is dropped, as the caller asked for write failures to be ignored.
    closeFd(inWrite_);
    return;
  }
  written += static_cast<size_t>(w);
  if (written == input.size()) closeFd(inWrite_);
}

std::string PluginProcess::collect(std::string input) {
  std::string text;
  if (inWrite_ >= 0 && input.empty()) closeFd(inWrite_);

  // Input and output at once: a child that echoes more than a pipe holds
  // must be read while it is being written to, or both sides block.
  std::optional<SigpipeBlock> sigpipe;
  if (inWrite_ >= 0) {
    sigpipe.emplace();
    int flags = ::fcntl(inWrite_, F_GETFL);
    if (flags >= 0) ::fcntl(inWrite_, F_SETFL, flags | O_NONBLOCK);
  }
  size_t written = 0;
  // Set once the pidfd reports the child's exit: from then on only what it
  // left running can keep the pipes open, and the deadline no longer counts.
  std::optional<Clock::time_point> leftoverEnd;
  while ((inWrite_ >= 0 || outRead_ >= 0) && ending_ == Ending::normal) {
    const std::optional<Clock::time_point>& end = leftoverEnd ? leftoverEnd : deadline_;
    int timeout = -1;
    if (end) {
      Clock::duration left = *end - Clock::now();
      if (left <= Clock::duration::zero()) {
        // Past the grace the child's own exit is the verdict; the group is
        // ended all the same, so that nothing it left outlives the run.
        endGroup(leftoverEnd ? Ending::normal : Ending::timedOut);
        break;
      }
      timeout = pollTimeout(left);
    }
    pollfd fds[3];
    nfds_t count = 0;
    if (inWrite_ >= 0) fds[count++] = {inWrite_, POLLOUT, 0};
    if (outRead_ >= 0) fds[count++] = {outRead_, POLLIN, 0};
    if (pidFd_ >= 0 && !leftoverEnd) fds[count++] = {pidFd_, POLLIN, 0};
    if (::poll(fds, count, timeout) < 0) {
      if (errno == EINTR) continue;
      throw Failure(Step::read, errno);
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == pidFd_) {
        leftoverEnd = Clock::now() + kLeftoverGrace;
        continue;
      }
      if (fds[i].fd == inWrite_) {
        writeSome(input, written);
        if (inWrite_ < 0 && written < input.size()) sigpipe->brokenPipe = true;
        continue;
      }
      Chunk chunk = readChunk(outRead_, text, limits_.outputCap);
      if (chunk == Chunk::failed) throw Failure(Step::read, errno);
      if (chunk == Chunk::end) closeFd(outRead_);
      if (chunk == Chunk::overCap) endGroup(Ending::cut);
    }
  }
  // Left open only when the group was ended: nobody is there any more.
  closeFd(inWrite_);
  closeFd(outRead_);
  return text;
}

// One waitpid with `options`; true when it reported a change, kept in
// status_. EINTR reports none.
bool PluginProcess::waitOnce(int options) {
  pid_t r = ::waitpid(pid_, &status_, options);
  if (r == pid_) {
    // A stopped or continued child is still there: the destructor ends it.
    if (WIFEXITED(status_) || WIFSIGNALED(status_)) reaped_ = true;
    return true;
  }
  if (r == 0 || (r < 0 && errno == EINTR)) return false;
  int error = r < 0 ? errno : ECHILD;
  // ECHILD: someone else reaped it; never signal a pid that may be reused.
  if (error == ECHILD) reaped_ = true;
  throw Failure(Step::wait, error);
}

int PluginProcess::wait() {
  if (reaped_) return status_;  // ended and reaped by collect()
  const int options = WUNTRACED | WCONTINUED;
  if (!deadline_) {
    while (!waitOnce(options)) {
    }
  } else if (!waitFor(pidFd_, *deadline_, [this] { return waitOnce(options | WNOHANG); })) {
    endGroup(Ending::timedOut);
  }
  return status_;
}

}  // namespace norv
