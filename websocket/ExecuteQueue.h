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
//
// Delivery marks (optional): a consumer that hands elements on somewhere
// (writes them out, say) calls markDelivered(n) once the next n elements it
// took are handed on. The queue counts what was pushed and what was marked,
// and calls the delivered function with the new count, on the marking
// thread, outside the lock. With a single consumer that marks in the order it
// took, deliveredCount() >= k means the first k elements ever pushed are
// handed on (SyslogServer acknowledges a sender's messages by it).
#ifndef NORV_WEBSOCKET_EXECUTEQUEUE_H
#define NORV_WEBSOCKET_EXECUTEQUEUE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
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
  using DeliveredFunction = std::function<void(std::uint64_t delivered)>;

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
      ++pushed;
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
  // zero limit removes the bound. Returns only once a callback (drained or
  // delivered function) that was running has returned, so that its owner may
  // go away afterwards; so it must not be called from within one.
  void setLimit(std::size_t newLimit, CostFunction cost, std::function<void()> whenDrained) {
    norv::MutexLock lock(mutex);
    waitForCallbacks();
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

  // Elements pushed since the queue was made.
  std::uint64_t pushedCount() {
    norv::MutexLock lock(mutex);
    return pushed;
  }

  // The next `count` elements taken are handed on (see the top of this file).
  void markDelivered(std::size_t count) {
    norv::MutexLock lock(mutex);
    delivered += count;
    if (!deliveredFunction) return;
    DeliveredFunction call = deliveredFunction;
    const std::uint64_t now = delivered;
    callUnlocked([&] { call(now); });
  }

  std::uint64_t deliveredCount() {
    norv::MutexLock lock(mutex);
    return delivered;
  }

  // The function markDelivered calls; null: none. Like setLimit, returns
  // only once a callback that was running has returned.
  void setDeliveredFunction(DeliveredFunction f) {
    norv::MutexLock lock(mutex);
    waitForCallbacks();
    deliveredFunction = std::move(f);
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
    if (call) callUnlocked(call);
    return element;
  }

  // Runs f with the lock released for the time of the call, counted so that
  // the setters can wait for it to return.
  template <class F>
  void callUnlocked(F&& f) NORV_REQUIRES(mutex) {
    ++callbacksRunning;
    mutex.unlock();
    f();
    mutex.lock();
    if (--callbacksRunning == 0) callbacksDone.broadcast();
  }

  void waitForCallbacks() NORV_REQUIRES(mutex) {
    while (callbacksRunning > 0) callbacksDone.wait(mutex);
  }

  norv::Mutex mutex;
  norv::CondVar condition;      // signalled after every push
  norv::CondVar callbacksDone;  // broadcast when no callback runs any more
  std::deque<T> items NORV_GUARDED_BY(mutex);
  CostFunction costOf NORV_GUARDED_BY(mutex) = nullptr;
  std::size_t limit NORV_GUARDED_BY(mutex) = 0;
  std::size_t cost NORV_GUARDED_BY(mutex) = 0;
  bool over NORV_GUARDED_BY(mutex) = false;
  std::function<void()> drained NORV_GUARDED_BY(mutex);
  int callbacksRunning NORV_GUARDED_BY(mutex) = 0;
  std::uint64_t pushed NORV_GUARDED_BY(mutex) = 0;
  std::uint64_t delivered NORV_GUARDED_BY(mutex) = 0;
  DeliveredFunction deliveredFunction NORV_GUARDED_BY(mutex);
};

#endif
