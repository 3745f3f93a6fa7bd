// MutexLock: holds a mutex for the lifetime of a scope, so that every way out
// of a locked section (return or exception) releases it; unlock() ends the
// section early. It takes a Mutex, or one of the plain pthread mutexes that
// a public interface fixes (PthreadMutex).
#ifndef NORV_BASE_MUTEXLOCK_H
#define NORV_BASE_MUTEXLOCK_H

#include <pthread.h>

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"

namespace norv {

class NORV_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) NORV_ACQUIRE(mutex) : mutex_(mutex.native()) {
    pthread_mutex_lock(mutex_);
  }
  explicit MutexLock(PthreadMutex& mutex) NORV_ACQUIRE(mutex) : mutex_(&mutex) {
    pthread_mutex_lock(mutex_);
  }
  ~MutexLock() NORV_RELEASE() { unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() NORV_RELEASE() {
    if (held_) {
      held_ = false;
      pthread_mutex_unlock(mutex_);
    }
  }

 private:
  pthread_mutex_t* mutex_;
  bool held_ = true;
};

}  // namespace norv

#endif
