#include "websocket/LineLockedStreamBuf.h"

#include <cstring>

#include "base/EscapeControls.h"
#include "base/MutexLock.h"

namespace {
// An entry normally goes out whole at the flush that ends it. Past this size
// it goes out at its line ends, so that neither a large entry nor an
// unflushed writer makes the buffer grow: another thread's line may then come
// between its lines, never inside one.
const std::string::size_type kEagerSize = 64 * 1024;
}  // namespace

namespace norv {

LineLockedStreamBuf::LineLockedStreamBuf(std::ostream& target, pthread_mutex_t* mutex,
                                         bool oneLinePerEntry)
    : target(target), oneLinePerEntry(oneLinePerEntry), mutex(mutex) {}

LineLockedStreamBuf::~LineLockedStreamBuf() { emit(); }

void LineLockedStreamBuf::setMutex(pthread_mutex_t* m, bool flush) {
  mutex.store(m);
  flushEachEntry.store(flush);
}

void LineLockedStreamBuf::writeLocked(std::ostream& target, pthread_mutex_t* mutex,
                                      const std::string& text, bool flush) {
  MutexLock lock(*mutex);
  target.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (flush) target.flush();
}

LineLockedStreamBuf::int_type LineLockedStreamBuf::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  pending.push_back(traits_type::to_char_type(ch));
  if (ch == '\n' && pending.size() >= kEagerSize && !oneLinePerEntry) emit();
  return ch;
}

std::streamsize LineLockedStreamBuf::xsputn(const char* s, std::streamsize n) {
  const auto size = static_cast<std::string::size_type>(n);
  // A large piece (a dump of a big write batch) is not copied: it goes out
  // from the writer's memory, after what came before it, up to its last line
  // end; only the unfinished line after that is kept. An entry that must be
  // one line goes out whole at its flush.
  const char* end = size >= kEagerSize && !oneLinePerEntry
                        ? static_cast<const char*>(memrchr(s, '\n', size))
                        : nullptr;
  if (end != nullptr) {
    const std::string::size_type whole = static_cast<std::string::size_type>(end - s) + 1;
    {
      MutexLock lock(*mutex.load());
      target.write(pending.data(), static_cast<std::streamsize>(pending.size()));
      target.write(s, static_cast<std::streamsize>(whole));
      if (flushEachEntry.load()) target.flush();
    }
    pending.assign(s + whole, size - whole);
    return n;
  }
  pending.append(s, size);
  if (pending.size() >= kEagerSize && pending.back() == '\n' && !oneLinePerEntry) emit();
  return n;
}

int LineLockedStreamBuf::sync() {
  emit();
  return 0;
}

void LineLockedStreamBuf::emit() {
  if (pending.empty()) return;
  if (oneLinePerEntry) {
    const bool ended = pending.back() == '\n';
    escaped.clear();
    appendEscaped(escaped, std::string_view(pending).substr(0, pending.size() - ended));
    if (ended) escaped.push_back('\n');
    writeLocked(target, mutex.load(), escaped, flushEachEntry.load());
  } else {
    writeLocked(target, mutex.load(), pending, flushEachEntry.load());
  }
  // One large entry (a dump of a big write batch) must not keep its memory
  // for the rest of the run.
  for (std::string* buffer : {&pending, &escaped}) {
    if (buffer->capacity() > kEagerSize)
      std::string().swap(*buffer);
    else
      buffer->clear();
  }
}

}  // namespace norv
