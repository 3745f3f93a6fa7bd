// Mutex: an owning pthread mutex with default attributes (not recursive),
// initialised by the constructor and destroyed by the destructor. Lock it
// with MutexLock; lock()/unlock() are for the rare hand-over-hand case.
// Not copyable or movable: threads hold its address.
#ifndef NORV_BASE_MUTEX_H
#define NORV_BASE_MUTEX_H

#include <pthread.h>

#include "base/ThreadAnnotations.h"

namespace norv {

// A plain pthread mutex, for the few that a public interface fixes (the
// daemon's log mutex, serviceSyslog::mutex): the same type, seen by clang's
// analysis as a lock, so that MutexLock takes it and data can name it.
typedef pthread_mutex_t PthreadMutex NORV_CAPABILITY("mutex");

class NORV_CAPABILITY("mutex") Mutex {
 public:
  Mutex() { pthread_mutex_init(&mutex_, nullptr); }
  ~Mutex() { pthread_mutex_destroy(&mutex_); }
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() NORV_ACQUIRE() { pthread_mutex_lock(&mutex_); }
  void unlock() NORV_RELEASE() { pthread_mutex_unlock(&mutex_); }
  // For CondVar's waits.
  pthread_mutex_t* native() { return &mutex_; }

 private:
  pthread_mutex_t mutex_;
};

}  // namespace norv

#endif
