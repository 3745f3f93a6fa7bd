// serviceException: the failure raised by the service-check library when a
// plugin or the alerting program cannot be run or gives no usable result.
// It owns one message text; copies carry their own copy of it.
#ifndef NORV_SERVICES_SERVICEEXCEPTION_H
#define NORV_SERVICES_SERVICEEXCEPTION_H

#include <exception>
#include <string>

class serviceException : public std::exception {
 public:
  explicit serviceException(std::string text) : message(std::move(text)) {}
  const char* what() const noexcept override { return message.c_str(); }

  std::string message;
};

#endif
