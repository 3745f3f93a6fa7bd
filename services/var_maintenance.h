// var_maintenance: one maintenance window, a plain record copied by value.
// Only the seconds of start and end are ever compared.
#ifndef NORV_SERVICES_VAR_MAINTENANCE_H
#define NORV_SERVICES_VAR_MAINTENANCE_H

#include <sys/time.h>

struct var_maintenance {
  int spare = 0;   // set by no operation; always 0
  int status = 0;  // as given to add; 0 in a result means no current window
  timeval start = {0, 0};
  timeval end = {0, 0};
  int plannedId = 0;
  int option = 0;
};

#endif
