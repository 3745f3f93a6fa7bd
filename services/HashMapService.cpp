#include "services/HashMapService.h"

#include <iostream>

#include "base/MutexLock.h"

HashMapService::HashMapService() = default;

HashMapService::~HashMapService() = default;

void HashMapService::addService(std::string name, serviceSyslog* s) {
  norv::MutexLock lock(mutex);
  services[std::move(name)] = s;
}

bool HashMapService::find(std::string name) {
  norv::MutexLock lock(mutex);
  std::cout << "search " << name << std::endl;
  return services.count(name) != 0;
}

serviceSyslog* HashMapService::getService(std::string name) {
  norv::MutexLock lock(mutex);
  auto it = services.find(name);
  return it == services.end() ? nullptr : it->second;
}

void HashMapService::clear() {
  norv::MutexLock lock(mutex);
  for (auto& entry : services) delete entry.second;
  services.clear();
}

bool HashMapService::empty() {
  norv::MutexLock lock(mutex);
  return services.empty();
}

int HashMapService::size() {
  norv::MutexLock lock(mutex);
  return static_cast<int>(services.size());
}
