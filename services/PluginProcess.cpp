#include "services/PluginProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace {

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

// Reads one chunk into text, kept up to its first NUL byte. False at end of
// file; -1 with errno on failure (EINTR reported as a chunk of nothing).
int readChunk(int fd, std::string& text) {
  char buffer[1024];
  ssize_t k = ::read(fd, buffer, sizeof buffer);
  if (k < 0) return errno == EINTR ? 1 : -1;
  if (k == 0) return 0;
  const void* nul = ::memchr(buffer, '\0', static_cast<size_t>(k));
  size_t keep = nul ? static_cast<size_t>(static_cast<const char*>(nul) - buffer)
                    : static_cast<size_t>(k);
  text.append(buffer, keep);
  return 1;
}

}  // namespace

const char* PluginProcess::Failure::stepPrefix() const noexcept {
  switch (step) {
    case Step::openPipe: return "Error open pipe";
    case Step::fork: return "Error create fork";
    case Step::read: return "Error read buffer:";
    case Step::wait: break;
  }
  return "Error execute";
}

PluginProcess::PluginProcess(const std::string& program, const std::vector<std::string>& args,
                             const Setup& setup) {
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
  closeFd(out[1]);
  closeFd(in[0]);
  outRead_ = out[0];
  inWrite_ = in[1];
}

PluginProcess::~PluginProcess() {
  closeFd(inWrite_);
  closeFd(outRead_);
  if (pid_ > 0 && !reaped_) killAndReap();
}

void PluginProcess::killAndReap() {
  ::kill(pid_, SIGKILL);
  int status;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
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

  if (inWrite_ < 0) {
    while (outRead_ >= 0) {
      int r = readChunk(outRead_, text);
      if (r < 0) throw Failure(Step::read, errno);
      if (r == 0) closeFd(outRead_);
    }
    return text;
  }

  // Input and output at once: a child that echoes more than a pipe holds
  // must be read while it is being written to, or both sides block.
  SigpipeBlock sigpipe;
  int flags = ::fcntl(inWrite_, F_GETFL);
  if (flags >= 0) ::fcntl(inWrite_, F_SETFL, flags | O_NONBLOCK);
  size_t written = 0;
  while (inWrite_ >= 0 || outRead_ >= 0) {
    pollfd fds[2];
    nfds_t count = 0;
    if (inWrite_ >= 0) fds[count++] = {inWrite_, POLLOUT, 0};
    if (outRead_ >= 0) fds[count++] = {outRead_, POLLIN, 0};
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      throw Failure(Step::read, errno);
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == inWrite_) {
        writeSome(input, written);
        if (inWrite_ < 0 && written < input.size()) sigpipe.brokenPipe = true;
      } else {
        int r = readChunk(outRead_, text);
        if (r < 0) throw Failure(Step::read, errno);
        if (r == 0) closeFd(outRead_);
      }
    }
  }
  return text;
}

int PluginProcess::wait() {
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid_, &status, WUNTRACED | WCONTINUED);
    if (r == pid_) break;
    if (r < 0 && errno == EINTR) continue;
    int error = r < 0 ? errno : ECHILD;
    // ECHILD: someone else reaped it; never signal a pid that may be reused.
    if (error == ECHILD) reaped_ = true;
    throw Failure(Step::wait, error);
  }
  // A stopped or continued child is still there: the destructor ends it.
  if (WIFEXITED(status) || WIFSIGNALED(status)) reaped_ = true;
  return status;
}
