// pthreadLock: holds a pthread mutex for the life of a scope, so that every
// way out of the scope (return or throw) unlocks it. It does not own the
// mutex; whoever owns the mutex initialises and destroys it.
#ifndef NORV_DATABASE_PTHREADLOCK_H
#define NORV_DATABASE_PTHREADLOCK_H

#include <pthread.h>

class pthreadLock {
 public:
  explicit pthreadLock(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
  ~pthreadLock() { pthread_mutex_unlock(&mutex_); }
  pthreadLock(const pthreadLock&) = delete;
  pthreadLock& operator=(const pthreadLock&) = delete;

 private:
  pthread_mutex_t& mutex_;
};

#endif
