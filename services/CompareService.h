// CompareService: the wait queue's ordering. True when a is scheduled at a
// later whole second than b, which makes the heap's front the earliest
// second. Microseconds play no part. Stateless.
#ifndef NORV_SERVICES_COMPARESERVICE_H
#define NORV_SERVICES_COMPARESERVICE_H

#include "services/service.h"

struct CompareService {
  bool operator()(const service& a, const service& b) const {
    return a.exec_time.tv_sec > b.exec_time.tv_sec;
  }
};

#endif
