#include "services/Maintenance.h"

#include "base/MutexLock.h"

namespace {

time_t nowSeconds() {
  timeval now;
  gettimeofday(&now, nullptr);
  return now.tv_sec;
}

bool contains(const var_maintenance& window, time_t now) {
  return window.start.tv_sec <= now && window.end.tv_sec >= now;
}

bool hasEnded(const var_maintenance& window, time_t now) { return window.end.tv_sec < now; }

}  // namespace

Maintenance::Maintenance() = default;

Maintenance::~Maintenance() = default;

void Maintenance::add(int plannedId, unsigned long id, int status, timeval start, timeval end,
                      int option) {
  norv::MutexLock lock(mutex);
  if (!plannedIds.emplace(plannedId, id).second) return;
  var_maintenance window;
  window.status = status;
  window.start = start;
  window.end = end;
  window.plannedId = plannedId;
  window.option = option;
  windows[id].push_back(window);
}

bool Maintenance::isMaintenance(unsigned long id) {
  norv::MutexLock lock(mutex);
  auto it = windows.find(id);
  if (it == windows.end() || it->second.empty()) return false;
  time_t now = nowSeconds();
  for (const var_maintenance& window : it->second) {
    if (contains(window, now)) return true;
  }
  return false;
}

var_maintenance Maintenance::getMaintenanceInformation(unsigned long id) {
  norv::MutexLock lock(mutex);
  auto it = windows.find(id);
  if (it != windows.end() && !it->second.empty()) {
    time_t now = nowSeconds();
    for (const var_maintenance& window : it->second) {
      if (contains(window, now)) return window;
    }
  }
  return var_maintenance();
}

void Maintenance::removeList(WindowMap::iterator it) {
  for (const var_maintenance& window : it->second) {
    auto registered = plannedIds.find(window.plannedId);
    if (registered != plannedIds.end() && registered->second == it->first) {
      plannedIds.erase(registered);
    }
  }
  windows.erase(it);
}

void Maintenance::clean(unsigned long id) {
  norv::MutexLock lock(mutex);
  auto it = windows.find(id);
  if (it == windows.end() || it->second.empty()) return;
  time_t now = nowSeconds();
  for (const var_maintenance& window : it->second) {
    if (hasEnded(window, now)) {
      removeList(it);
      return;
    }
  }
}

void Maintenance::clean(unsigned long id, int plannedId) {
  norv::MutexLock lock(mutex);
  auto it = windows.find(id);
  if (it == windows.end()) return;
  for (const var_maintenance& window : it->second) {
    if (window.plannedId == plannedId) {
      removeList(it);
      return;
    }
  }
}

bool Maintenance::isPlannedIDPresent(int plannedId) {
  norv::MutexLock lock(mutex);
  return plannedIds.count(plannedId) != 0;
}
