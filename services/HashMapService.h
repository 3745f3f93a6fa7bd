// HashMapService: the syslog-driven services, held by pointer under a name.
// Ownership is partial, as its users expect: clear() deletes the objects
// pointed to, while replacing a pointer in addService and destroying the map
// do not. `mutex` guards `services` and is held for every operation.
#ifndef NORV_SERVICES_HASHMAPSERVICE_H
#define NORV_SERVICES_HASHMAPSERVICE_H

#include <map>
#include <string>

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "services/serviceSyslog.h"

class HashMapService {
 public:
  HashMapService();
  virtual ~HashMapService();
  HashMapService(const HashMapService&) = delete;
  HashMapService& operator=(const HashMapService&) = delete;

  // Stores s under name; a pointer stored there before is dropped, not deleted.
  void addService(std::string name, serviceSyslog* s);
  // Writes "search " + name on standard output, then looks the name up.
  bool find(std::string name);
  // The pointer stored under name (it stays there), or nullptr if absent.
  serviceSyslog* getService(std::string name);
  // Deletes every object pointed to (null pointers skipped), then empties.
  void clear();
  bool empty();
  int size();

 private:
  std::map<std::string, serviceSyslog*> services NORV_GUARDED_BY(mutex);
  norv::Mutex mutex;
};

#endif
