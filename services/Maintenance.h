// Maintenance: a thread-safe store of planned maintenance windows, each tied
// to a service id (kept at its full unsigned long width) and to a planned id
// registered at most once. Every time test reads the wall clock itself and
// compares whole seconds, both bounds inclusive. One mutex, `mutex`,
// guards both maps; every operation holds it for its whole duration.
#ifndef NORV_SERVICES_MAINTENANCE_H
#define NORV_SERVICES_MAINTENANCE_H

#include <sys/time.h>

#include <map>
#include <vector>

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "services/var_maintenance.h"

class Maintenance {
 public:
  Maintenance();
  ~Maintenance();
  Maintenance(const Maintenance&) = delete;
  Maintenance& operator=(const Maintenance&) = delete;

  // Appends a window to the list of `id`, unless `plannedId` is registered
  // already (for any id): then nothing changes.
  void add(int plannedId, unsigned long id, int status, timeval start, timeval end, int option);
  // True if a window of `id` contains the current second.
  bool isMaintenance(unsigned long id);
  // A copy of the first window of `id` containing the current second, or a
  // record whose status is 0 when none does.
  var_maintenance getMaintenanceInformation(unsigned long id);
  // Removes the whole list of `id` if one of its windows has ended, and
  // unregisters the planned ids of all the windows removed.
  void clean(unsigned long id);
  // Removes the whole list of `id` if one of its windows carries `plannedId`,
  // and unregisters the planned ids of all the windows removed.
  void clean(unsigned long id, int plannedId);
  bool isPlannedIDPresent(int plannedId);

 private:
  using WindowMap = std::map<unsigned long, std::vector<var_maintenance>>;
  // Erases the list at `it`, unregistering each of its planned ids.
  void removeList(WindowMap::iterator it) NORV_REQUIRES(mutex);

  WindowMap windows NORV_GUARDED_BY(mutex);
  // planned id -> the id it was added for
  std::map<int, unsigned long> plannedIds NORV_GUARDED_BY(mutex);
  norv::Mutex mutex;
};

#endif
