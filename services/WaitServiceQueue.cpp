#include "services/WaitServiceQueue.h"

#include <algorithm>
#include <stdexcept>

#include "base/MutexLock.h"

WaitServiceQueue::WaitServiceQueue() = default;

WaitServiceQueue::~WaitServiceQueue() = default;

void WaitServiceQueue::push(const service& s) {
  norv::MutexLock lock(mutex);
  services.push_back(s);
  std::push_heap(services.begin(), services.end(), CompareService());
}

service WaitServiceQueue::front() {
  norv::MutexLock lock(mutex);
  if (services.empty()) throw std::out_of_range("WaitServiceQueue::front on an empty queue");
  return services.front();
}

service WaitServiceQueue::pop() {
  norv::MutexLock lock(mutex);
  if (services.empty()) throw std::out_of_range("WaitServiceQueue::pop on an empty queue");
  service first = services.front();
  if (services.size() > 1) std::pop_heap(services.begin(), services.end(), CompareService());
  services.pop_back();
  return first;
}

bool WaitServiceQueue::empty() {
  norv::MutexLock lock(mutex);
  return services.empty();
}

int WaitServiceQueue::size() {
  norv::MutexLock lock(mutex);
  return static_cast<int>(services.size());
}
