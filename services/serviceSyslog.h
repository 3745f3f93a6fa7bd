// serviceSyslog: a service whose plugin is run with one syslog message on its
// standard input. The object's own pthread mutex `mutex` guards return_code
// and output while a run publishes its result, and every GetReturnCode /
// SetReturnCode call; the plugin itself runs outside the lock, so several
// threads may run one object at once and the last to publish wins. A copy
// gets a fresh, unlocked mutex.
#ifndef NORV_SERVICES_SERVICESYSLOG_H
#define NORV_SERVICES_SERVICESYSLOG_H

#include <string>

#include "base/Mutex.h"
#include "services/service.h"

class serviceSyslog : public service {
 public:
  serviceSyslog();
  serviceSyslog(const serviceSyslog& other);
  // Assigns the service part under this object's mutex; the mutex stays.
  serviceSyslog& operator=(const serviceSyslog& other);
  ~serviceSyslog() override;

  int GetReturnCode();
  void SetReturnCode(int code);

  // Runs the plugin with its arguments split afresh from `parameter`, writes
  // message + "\n" to its standard input while reading its standard output,
  // then publishes the result under the mutex (between the lines "LOCK" and
  // "UNLOCK" on standard output). The plugin limits of service apply (see
  // service::setPluginTimeout); a run they end is published the same way.
  // Every failure prints "Exception service unlock" and is raised again as
  // serviceException with the same text.
  int execute(std::string message);

  norv::PthreadMutex mutex;
};

#endif
