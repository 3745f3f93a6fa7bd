// CondVar: a pthread condition variable on the monotonic clock, so that a
// change of the wall clock neither stretches nor cuts a bounded wait. Every
// wait is made with the mutex held and re-checks its predicate in a loop.
#ifndef NORV_BASE_CONDVAR_H
#define NORV_BASE_CONDVAR_H

#include <pthread.h>
#include <time.h>

#include <chrono>

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"

namespace norv {

class CondVar {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  CondVar() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cond_, &attr);
    pthread_condattr_destroy(&attr);
  }
  ~CondVar() { pthread_cond_destroy(&cond_); }
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void wait(Mutex& mutex) NORV_REQUIRES(mutex) { pthread_cond_wait(&cond_, mutex.native()); }
  // False once the deadline has passed (std::chrono::steady_clock is
  // CLOCK_MONOTONIC here).
  bool waitUntil(Mutex& mutex, Deadline deadline) NORV_REQUIRES(mutex) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    if (ns <= 0) return false;
    timespec at;
    at.tv_sec = static_cast<time_t>(ns / 1000000000);
    at.tv_nsec = static_cast<long>(ns % 1000000000);
    return pthread_cond_timedwait(&cond_, mutex.native(), &at) == 0;
  }
  // The predicate runs with the mutex held; it may read what the mutex
  // guards (clang cannot see that through the template, hence no analysis).
  template <class Predicate>
  bool waitUntil(Mutex& mutex, Deadline deadline, Predicate done)
      NORV_REQUIRES(mutex) NORV_NO_THREAD_SAFETY_ANALYSIS {
    while (!done()) {
      if (!waitUntil(mutex, deadline) && !done()) return false;
    }
    return true;
  }
  void signal() { pthread_cond_signal(&cond_); }
  void broadcast() { pthread_cond_broadcast(&cond_); }

 private:
  pthread_cond_t cond_;
};

}  // namespace norv

#endif
