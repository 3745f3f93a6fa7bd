// UpdateServiceMap: pending service updates, one copy per service id;
// taking a service out removes it. The map owns its copies; `mutex` guards
// `services` and is held for the whole of every operation.
#ifndef NORV_SERVICES_UPDATESERVICEMAP_H
#define NORV_SERVICES_UPDATESERVICEMAP_H

#include <map>

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "services/service.h"

class UpdateServiceMap {
 public:
  UpdateServiceMap();
  virtual ~UpdateServiceMap();
  UpdateServiceMap(const UpdateServiceMap&) = delete;
  UpdateServiceMap& operator=(const UpdateServiceMap&) = delete;

  // Stores s under s.id, replacing what was stored there.
  void addService(service s);
  bool find(unsigned long long id);
  // The service stored under id, removed. Throws std::out_of_range if absent.
  service getService(unsigned long long id);
  bool empty();
  int size();

 private:
  std::map<unsigned long long, service> services NORV_GUARDED_BY(mutex);
  norv::Mutex mutex;
};

#endif
