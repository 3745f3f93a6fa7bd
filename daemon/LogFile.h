// LogFile: the daemon's log file while it is attached to std::cout. Every
// line of the run (write_log's, the sender's own, its library's access and
// error logs) is appended to one buffer and written with one write(2) per
// flush, not one per line: at the end of the listener's cycle (LogBatch), for
// each line written outside a batch, before the buffer would pass 64 KiB, and
// by the listener when lines have waited a few milliseconds (pending()).
// The file is emptied once at open and then written in append mode, so that
// a rotation that copies and truncates it leaves no hole. Every writer to
// std::cout holds mutex_log_system, which therefore guards the buffer.
#ifndef NORV_DAEMON_LOGFILE_H
#define NORV_DAEMON_LOGFILE_H

#include <atomic>
#include <streambuf>
#include <string>

class LogFile : public std::streambuf {
 public:
  LogFile() = default;
  ~LogFile() override;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Empties (or creates) the file and opens it for appending; false when it
  // cannot be opened.
  bool open(const std::string& path);
  void close();
  // Lines are waiting for a flush.
  bool pending() const { return pending_.load(std::memory_order_relaxed); }
  // A descriptor that gets a byte when lines start waiting in an empty
  // buffer, so that a thread in poll() comes to flush them.
  void setWakeFd(int fd) { wakeFd_ = fd; }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int_type overflow(int_type ch) override;
  int sync() override;

 private:
  void writeOut();  // the buffer
  void writeAll(const char* p, std::string::size_type size);

  int fd_ = -1;
  int wakeFd_ = -1;
  std::string buffer_;
  std::atomic<bool> pending_{false};
};

#endif
