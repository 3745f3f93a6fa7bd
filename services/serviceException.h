// serviceException: the failure raised by the service-check library when a
// plugin or the alerting program cannot be run or gives no usable result.
// It owns one message text, returned by what().
#ifndef NORV_SERVICES_SERVICEEXCEPTION_H
#define NORV_SERVICES_SERVICEEXCEPTION_H

#include <stdexcept>
#include <string>

class serviceException : public std::runtime_error {
 public:
  explicit serviceException(const std::string& text) : std::runtime_error(text) {}
};

#endif
