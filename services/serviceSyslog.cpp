#include "services/serviceSyslog.h"

#include <iostream>
#include <optional>
#include <utility>

#include "base/MutexLock.h"
#include "services/PluginProcess.h"

namespace {
const norv::PluginProcess::Setup kSyslogPluginSetup = {true, true, false,
                                                       "DAEMON: plugin is not executable "};
}

serviceSyslog::serviceSyslog() { pthread_mutex_init(&mutex, nullptr); }

serviceSyslog::serviceSyslog(const serviceSyslog& other) : service(other) {
  pthread_mutex_init(&mutex, nullptr);
}

serviceSyslog& serviceSyslog::operator=(const serviceSyslog& other) {
  if (this != &other) {
    norv::MutexLock lock(mutex);
    service::operator=(other);
  }
  return *this;
}

serviceSyslog::~serviceSyslog() { pthread_mutex_destroy(&mutex); }

int serviceSyslog::GetReturnCode() {
  norv::MutexLock lock(mutex);
  return return_code;
}

void serviceSyslog::SetReturnCode(int code) {
  norv::MutexLock lock(mutex);
  return_code = code;
}

int serviceSyslog::execute(std::string message) {
  // Held from "LOCK" to "UNLOCK": publishing the result, the wait for the
  // child and reading its status. The plugin runs before it is taken; the
  // wait lasts at most until the run's time-out, plus the kill grace.
  std::optional<norv::MutexLock> publishing;
  try {
    try {
      norv::PluginProcess child(path, splitFields(parameter), kSyslogPluginSetup,
                                {pluginTimeout(), pluginOutputLimit()});
      message.push_back('\n');
      std::string text = child.collect(std::move(message));

      std::cout << "LOCK" << std::endl;
      publishing.emplace(mutex);
      int code = settleRun(child, std::move(text), Naming::withoutName);
      std::cout << "UNLOCK" << std::endl;
      publishing.reset();
      return code;
    } catch (const norv::PluginProcess::Failure& failure) {
      throw serviceException(
          describeFailure(failure.stepPrefix(), failure.error, Naming::withoutName));
    }
  } catch (const serviceException&) {
    std::cout << "Exception service unlock" << std::endl;
    publishing.reset();
    throw;
  }
}
