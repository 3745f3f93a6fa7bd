// PthreadLock: holds a pthread mutex for the lifetime of a scope, so that
// every path out of a locked section (returns and exceptions) releases it.
// unlock() lets a section end early. Does not own the mutex itself.
#ifndef NORV_CONFIG_PTHREADLOCK_H
#define NORV_CONFIG_PTHREADLOCK_H

#include <pthread.h>

class PthreadLock {
 public:
  explicit PthreadLock(pthread_mutex_t& mutex) : mutex_(mutex) {
    pthread_mutex_lock(&mutex_);
    held_ = true;
  }
  ~PthreadLock() { unlock(); }
  PthreadLock(const PthreadLock&) = delete;
  PthreadLock& operator=(const PthreadLock&) = delete;

  void unlock() {
    if (held_) {
      held_ = false;
      pthread_mutex_unlock(&mutex_);
    }
  }

 private:
  pthread_mutex_t& mutex_;
  bool held_ = false;
};

#endif
