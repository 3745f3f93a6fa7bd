// Ending a process that other threads may still be using: the output lock is
// taken and kept, so that no other thread starts a line that would be cut
// short, what was written is flushed, and the process ends with _exit, so
// that no static destructor runs under a thread still at work. The sender's
// close handler and the daemon end this way.
#ifndef NORV_BASE_ENDPROCESS_H
#define NORV_BASE_ENDPROCESS_H

#include <pthread.h>

#include <string>

namespace norv {

// Takes `outputMutex` (the lock every writer of std::cout holds), writes
// `last` to std::cout, flushes std::cout, std::cerr and stdio, and ends the
// process with `status`.
[[noreturn]] void endProcess(pthread_mutex_t* outputMutex, int status,
                             const std::string& last = std::string());

}  // namespace norv

#endif
