// ExecuteQueue<T>: a first-in first-out hand-over between producer threads
// (for example the I/O threads of a SyslogServer) and a consumer thread.
// The queue owns copies of its elements. `mutex` guards `items`; `condition`
// is signalled once after every push, after the mutex has been released.
// Waits use the monotonic clock so that a change of the wall clock does not
// stretch or cut a bounded wait.
#ifndef NORV_WEBSOCKET_EXECUTEQUEUE_H
#define NORV_WEBSOCKET_EXECUTEQUEUE_H

#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <utility>

template <typename T>
class ExecuteQueue {
 public:
  ExecuteQueue() {
    pthread_mutex_init(&mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&condition, &attr);
    pthread_condattr_destroy(&attr);
  }
  virtual ~ExecuteQueue() {
    pthread_cond_destroy(&condition);
    pthread_mutex_destroy(&mutex);
  }
  ExecuteQueue(const ExecuteQueue&) = delete;
  ExecuteQueue& operator=(const ExecuteQueue&) = delete;

  // Appends a copy at the back and wakes one waiting consumer.
  void push(const T& element) {
    pthread_mutex_lock(&mutex);
    items.push_back(element);
    pthread_mutex_unlock(&mutex);
    pthread_cond_signal(&condition);
  }

  // Takes the front element, waiting for as long as the queue is empty.
  T pop() {
    pthread_mutex_lock(&mutex);
    while (items.empty()) pthread_cond_wait(&condition, &mutex);
    T element = takeFrontLocked();
    pthread_mutex_unlock(&mutex);
    return element;
  }

  // Takes the front element into `out` if there is one; never waits.
  bool tryPop(T& out) {
    pthread_mutex_lock(&mutex);
    bool found = !items.empty();
    if (found) out = takeFrontLocked();
    pthread_mutex_unlock(&mutex);
    return found;
  }

  // Like pop, but gives up after `timeout`; false when nothing came.
  bool popFor(T& out, std::chrono::milliseconds timeout) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    long long ns = deadline.tv_nsec + (timeout.count() % 1000) * 1000000LL;
    deadline.tv_sec += timeout.count() / 1000 + ns / 1000000000LL;
    deadline.tv_nsec = ns % 1000000000LL;
    pthread_mutex_lock(&mutex);
    while (items.empty()) {
      if (pthread_cond_timedwait(&condition, &mutex, &deadline) != 0 && items.empty()) break;
    }
    bool found = !items.empty();
    if (found) out = takeFrontLocked();
    pthread_mutex_unlock(&mutex);
    return found;
  }

  std::size_t size() {
    pthread_mutex_lock(&mutex);
    std::size_t n = items.size();
    pthread_mutex_unlock(&mutex);
    return n;
  }

  bool empty() { return size() == 0; }

 private:
  T takeFrontLocked() {
    T element = std::move(items.front());
    items.pop_front();
    return element;
  }

  pthread_mutex_t mutex;
  pthread_cond_t condition;
  std::deque<T> items;
};

#endif
