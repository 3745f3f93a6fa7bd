#include "daemon/LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {
// Past this the buffer is written at once, whoever is appending.
constexpr std::string::size_type kFlushSize = 64 * 1024;
}  // namespace

LogFile::~LogFile() { close(); }

bool LogFile::open(const std::string& path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0640);
  buffer_.reserve(kFlushSize);
  return fd_ >= 0;
}

void LogFile::close() {
  writeOut();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::streamsize LogFile::xsputn(const char* s, std::streamsize n) {
  const auto size = static_cast<std::string::size_type>(n);
  if (buffer_.size() + size > kFlushSize) {
    // The buffer never grows past its size: what waits goes out first, and a
    // piece as large as the buffer (a dump of a big write batch) goes out
    // from the writer's own memory.
    writeOut();
    if (size >= kFlushSize) {
      writeAll(s, size);
      return n;
    }
  }
  buffer_.append(s, size);
  if (!pending_.exchange(true, std::memory_order_relaxed) && wakeFd_ >= 0) {
    ssize_t ignored = ::write(wakeFd_, "", 1);  // a full pipe is awake already
    (void)ignored;
  }
  return n;
}

LogFile::int_type LogFile::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  const char c = traits_type::to_char_type(ch);
  xsputn(&c, 1);
  return ch;
}

int LogFile::sync() {
  writeOut();
  return 0;
}

void LogFile::writeOut() {
  writeAll(buffer_.data(), buffer_.size());
  buffer_.clear();
  pending_.store(false, std::memory_order_relaxed);
}

void LogFile::writeAll(const char* p, std::string::size_type left) {
  // What cannot be written (a full file system) is dropped: the run goes on,
  // and later lines get their chance once there is room again.
  while (left > 0 && fd_ >= 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::string::size_type>(n);
  }
}
