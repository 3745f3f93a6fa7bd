#include "services/HashMapService.h"

#include <iostream>

#include "config/PthreadLock.h"

HashMapService::HashMapService() { pthread_mutex_init(&mutex, nullptr); }

HashMapService::~HashMapService() { pthread_mutex_destroy(&mutex); }

void HashMapService::addService(std::string name, serviceSyslog* s) {
  PthreadLock lock(mutex);
  services[std::move(name)] = s;
}

bool HashMapService::find(std::string name) {
  PthreadLock lock(mutex);
  std::cout << "search " << name << std::endl;
  return services.count(name) != 0;
}

serviceSyslog* HashMapService::getService(std::string name) {
  PthreadLock lock(mutex);
  auto it = services.find(name);
  return it == services.end() ? nullptr : it->second;
}

void HashMapService::clear() {
  PthreadLock lock(mutex);
  for (auto& entry : services) delete entry.second;
  services.clear();
}

bool HashMapService::empty() {
  PthreadLock lock(mutex);
  return services.empty();
}

int HashMapService::size() {
  PthreadLock lock(mutex);
  return static_cast<int>(services.size());
}
