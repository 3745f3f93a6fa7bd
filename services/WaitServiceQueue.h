// WaitServiceQueue: the services waiting to run, a binary heap under
// CompareService whose front has the earliest exec_time second. The queue
// owns copies of the services pushed; `mutex` guards `services` and is held
// for the whole of every operation (a test-then-take sequence is not atomic).
#ifndef NORV_SERVICES_WAITSERVICEQUEUE_H
#define NORV_SERVICES_WAITSERVICEQUEUE_H

#include <vector>

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "services/CompareService.h"
#include "services/service.h"

class WaitServiceQueue {
 public:
  WaitServiceQueue();
  virtual ~WaitServiceQueue();
  WaitServiceQueue(const WaitServiceQueue&) = delete;
  WaitServiceQueue& operator=(const WaitServiceQueue&) = delete;

  void push(const service& s);
  // A copy of the front service. Throws std::out_of_range when empty.
  service front();
  // The front service, removed. Throws std::out_of_range when empty.
  service pop();
  bool empty();
  int size();

 private:
  norv::Mutex mutex;
  std::vector<service> services NORV_GUARDED_BY(mutex);
};

#endif
