// LineLockedStreamBuf: a stream buffer that collects what is written to it
// and hands it on to a target stream (std::cout or std::cerr) in whole lines,
// each write done while holding a caller-chosen pthread mutex, then flushed.
// It is given to a WebSocket endpoint's loggers so that their lines never
// interleave with lines that other threads write under the same mutex.
// The target is looked up at every write, so a later change of the target's
// rdbuf (a log file attached to std::cout) is followed.
// The collected text is not locked: one writer at a time must use the buffer
// (the library's loggers hold their own lock around a whole entry).
// With oneLinePerEntry, each entry (what comes before a flush) is written as
// one line: every control character in it but its final line end is escaped
// (base/EscapeControls.h), so that nothing an entry quotes (a payload, a
// peer's close reason) can start a line of its own.
#ifndef NORV_WEBSOCKET_LINELOCKEDSTREAMBUF_H
#define NORV_WEBSOCKET_LINELOCKEDSTREAMBUF_H

#include <pthread.h>

#include <atomic>
#include <ostream>
#include <streambuf>
#include <string>

namespace norv {

class LineLockedStreamBuf : public std::streambuf {
 public:
  LineLockedStreamBuf(std::ostream& target, pthread_mutex_t* mutex, bool oneLinePerEntry = false);
  virtual ~LineLockedStreamBuf();
  LineLockedStreamBuf(const LineLockedStreamBuf&) = delete;
  LineLockedStreamBuf& operator=(const LineLockedStreamBuf&) = delete;

  // With flushEachEntry false, entries are written to the target without a
  // flush: its owner flushes it.
  void setMutex(pthread_mutex_t* mutex, bool flushEachEntry = true);

  // Writes `text` (one or more whole lines) to `target` and flushes it (if
  // `flush`), all while holding `mutex`.
  static void writeLocked(std::ostream& target, pthread_mutex_t* mutex, const std::string& text,
                          bool flush = true);

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  void emit();

  std::ostream& target;
  const bool oneLinePerEntry;
  std::atomic<pthread_mutex_t*> mutex;
  std::atomic<bool> flushEachEntry{true};
  std::string pending;
  std::string escaped;  // oneLinePerEntry: the entry as written
};

}  // namespace norv

#endif
