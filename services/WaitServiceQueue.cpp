#include "services/WaitServiceQueue.h"

#include <algorithm>
#include <stdexcept>

#include "config/PthreadLock.h"

WaitServiceQueue::WaitServiceQueue() { pthread_mutex_init(&mutex, nullptr); }

WaitServiceQueue::~WaitServiceQueue() { pthread_mutex_destroy(&mutex); }

void WaitServiceQueue::push(const service& s) {
  PthreadLock lock(mutex);
  services.push_back(s);
  std::push_heap(services.begin(), services.end(), CompareService());
}

service WaitServiceQueue::front() {
  PthreadLock lock(mutex);
  if (services.empty()) throw std::out_of_range("WaitServiceQueue::front on an empty queue");
  return services.front();
}

service WaitServiceQueue::pop() {
  PthreadLock lock(mutex);
  if (services.empty()) throw std::out_of_range("WaitServiceQueue::pop on an empty queue");
  service first = services.front();
  if (services.size() > 1) std::pop_heap(services.begin(), services.end(), CompareService());
  services.pop_back();
  return first;
}

bool WaitServiceQueue::empty() {
  PthreadLock lock(mutex);
  return services.empty();
}

int WaitServiceQueue::size() {
  PthreadLock lock(mutex);
  return static_cast<int>(services.size());
}
