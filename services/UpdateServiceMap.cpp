#include "services/UpdateServiceMap.h"

#include <stdexcept>

#include "base/MutexLock.h"

UpdateServiceMap::UpdateServiceMap() = default;

UpdateServiceMap::~UpdateServiceMap() = default;

void UpdateServiceMap::addService(service s) {
  norv::MutexLock lock(mutex);
  services[s.id] = std::move(s);
}

bool UpdateServiceMap::find(unsigned long long id) {
  norv::MutexLock lock(mutex);
  return services.count(id) != 0;
}

service UpdateServiceMap::getService(unsigned long long id) {
  norv::MutexLock lock(mutex);
  auto it = services.find(id);
  if (it == services.end()) throw std::out_of_range("UpdateServiceMap::getService: no such id");
  service taken = it->second;
  services.erase(it);
  return taken;
}

bool UpdateServiceMap::empty() {
  norv::MutexLock lock(mutex);
  return services.empty();
}

int UpdateServiceMap::size() {
  norv::MutexLock lock(mutex);
  return static_cast<int>(services.size());
}
