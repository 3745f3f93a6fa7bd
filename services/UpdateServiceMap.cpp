#include "services/UpdateServiceMap.h"

#include <stdexcept>

#include "config/PthreadLock.h"

UpdateServiceMap::UpdateServiceMap() { pthread_mutex_init(&mutex, nullptr); }

UpdateServiceMap::~UpdateServiceMap() { pthread_mutex_destroy(&mutex); }

void UpdateServiceMap::addService(service s) {
  PthreadLock lock(mutex);
  services[s.id] = std::move(s);
}

bool UpdateServiceMap::find(unsigned long long id) {
  PthreadLock lock(mutex);
  return services.count(id) != 0;
}

service UpdateServiceMap::getService(unsigned long long id) {
  PthreadLock lock(mutex);
  auto it = services.find(id);
  if (it == services.end()) throw std::out_of_range("UpdateServiceMap::getService: no such id");
  service taken = it->second;
  services.erase(it);
  return taken;
}

bool UpdateServiceMap::empty() {
  PthreadLock lock(mutex);
  return services.empty();
}

int UpdateServiceMap::size() {
  PthreadLock lock(mutex);
  return static_cast<int>(services.size());
}
