// ExecuteQueue<T>: a first-in first-out hand-over between producer threads
// (for example the I/O threads of a SyslogServer) and a consumer thread.
// The queue owns its elements. `mutex` guards everything below it;
// `condition` is signalled once after every push, after the mutex has been
// released. Waits use the monotonic clock.
//
// Bounded use (optional): setLimit gives each element a cost and the queue a
// limit. The queue never refuses an element; it reports overLimit() from the
// push that takes its cost past the limit until pops bring it down to half,
// and then calls the drained function once, on the popping thread, outside
// the lock. A producer that sees overLimit() stops producing until then
// (SyslogServer stops reading from its connections).
#ifndef NORV_WEBSOCKET_EXECUTEQUEUE_H
#define NORV_WEBSOCKET_EXECUTEQUEUE_H

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <utility>

#include "base/CondVar.h"
#include "base/Mutex.h"
#include "base/MutexLock.h"

template <typename T>
class ExecuteQueue {
 public:
  using CostFunction = std::size_t (*)(const T&);

  ExecuteQueue() = default;
  virtual ~ExecuteQueue() = default;
  ExecuteQueue(const ExecuteQueue&) = delete;
  ExecuteQueue& operator=(const ExecuteQueue&) = delete;

  // Appends a copy at the back and wakes one waiting consumer.
  void push(const T& element) { push(T(element)); }
  void push(T&& element) {
    {
      norv::MutexLock lock(mutex);
      if (costOf) {
        cost += costOf(element);
        if (cost > limit) over = true;
      }
      items.push_back(std::move(element));
    }
    condition.signal();
  }

  // Takes the front element, waiting for as long as the queue is empty.
  T pop() {
    norv::MutexLock lock(mutex);
    while (items.empty()) condition.wait(mutex);
    return take();
  }

  // Takes the front element into `out` if there is one; never waits.
  bool tryPop(T& out) {
    norv::MutexLock lock(mutex);
    if (items.empty()) return false;
    out = take();
    return true;
  }

  // Like pop, but gives up after `timeout`; false when nothing came.
  bool popFor(T& out, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    norv::MutexLock lock(mutex);
    if (!condition.waitUntil(mutex, deadline,
                             [this]() NORV_REQUIRES(mutex) { return !items.empty(); }))
      return false;
    out = take();
    return true;
  }

  std::size_t size() {
    norv::MutexLock lock(mutex);
    return items.size();
  }

  bool empty() { return size() == 0; }

  // Bounds the queue (see the top of this file); a null cost function or a
  // zero limit removes the bound. Returns only once a drained function that
  // was running has returned, so that its owner may go away afterwards; so
  // it must not be called from within the drained function itself.
  void setLimit(std::size_t newLimit, CostFunction cost, std::function<void()> whenDrained) {
    norv::MutexLock lock(mutex);
    while (drainedRunning > 0) drainedDone.wait(mutex);
    costOf = newLimit > 0 ? cost : nullptr;
    limit = newLimit;
    drained = costOf ? std::move(whenDrained) : nullptr;
    this->cost = 0;
    if (costOf)
      for (const T& element : items) this->cost += costOf(element);
    over = costOf && this->cost > limit;
  }

  bool overLimit() {
    norv::MutexLock lock(mutex);
    return over;
  }

 private:
  // Removes the front element; runs the drained function (with the lock
  // released for the time of the call) when this take ends an over-limit
  // spell.
  T take() NORV_REQUIRES(mutex) {
    T element = std::move(items.front());
    items.pop_front();
    if (!costOf) return element;
    cost -= costOf(element);
    if (!over || cost > limit / 2) return element;
    over = false;
    std::function<void()> call = drained;
    if (!call) return element;
    ++drainedRunning;
    mutex.unlock();
    call();
    mutex.lock();
    if (--drainedRunning == 0) drainedDone.broadcast();
    return element;
  }

  norv::Mutex mutex;
  norv::CondVar condition;    // signalled after every push
  norv::CondVar drainedDone;  // broadcast when no drained function runs any more
  std::deque<T> items NORV_GUARDED_BY(mutex);
  CostFunction costOf NORV_GUARDED_BY(mutex) = nullptr;
  std::size_t limit NORV_GUARDED_BY(mutex) = 0;
  std::size_t cost NORV_GUARDED_BY(mutex) = 0;
  bool over NORV_GUARDED_BY(mutex) = false;
  std::function<void()> drained NORV_GUARDED_BY(mutex);
  int drainedRunning NORV_GUARDED_BY(mutex) = 0;
};

#endif
