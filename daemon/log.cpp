// The daemon's log: one line per event, "<asctime>#<level>#<message>", on the
// standard output stream, which main attaches to the log file for the run.
#include <time.h>

#include <cstring>
#include <iostream>

#include "base/EscapeControls.h"
#include "base/MutexLock.h"
#include "daemon/LogBatch.h"
#include "daemon/NorvSyslogSend.h"

norv::PthreadMutex mutex_log_system;

namespace {

// The time text of the current second, in asctime's layout without its
// newline. Guarded by mutex_log_system: only write_log touches it.
struct TimeText {
  time_t second = -1;
  char text[32] = {0};

  const char* now() {
    time_t t = time(nullptr);
    if (t != second) {
      struct tm local;
      localtime_r(&t, &local);
      asctime_r(&local, text);
      if (char* nl = std::strrchr(text, '\n')) *nl = '\0';
      second = t;
    }
    return text;
  }
};

TimeText timeText NORV_GUARDED_BY(mutex_log_system);

// How many LogBatch objects live on this thread.
thread_local int batchDepth = 0;

}  // namespace

LogBatch::LogBatch() { ++batchDepth; }

LogBatch::~LogBatch() {
  if (--batchDepth == 0) flushLog();
}

void logLine(std::string_view level, std::initializer_list<std::string_view> message) {
  // One buffer per thread, reused: the line is made without an allocation
  // and written with one call.
  thread_local std::string line;
  line.clear();
  norv::MutexLock lock(mutex_log_system);
  line.append(timeText.now()).append(1, '#').append(level).append(1, '#');
  // Whatever a part quotes (a payload, a host, an error text) stays on this
  // line: its control characters are escaped.
  for (std::string_view part : message) norv::appendEscaped(line, part);
  line.append(1, '\n');
  std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
  if (batchDepth == 0) std::cout.flush();
}

void write_log(std::string level, std::string message) { logLine(level, {message}); }

void Trace(std::string message) {
  if (debug == 1 || debug == 2) write_log("DEBUG", message);
}
