#include "daemon/Systemd.h"

#include <systemd/sd-daemon.h>

#include "daemon/NorvSyslogSend.h"

namespace systemd {

namespace {

using Clock = std::chrono::steady_clock;

// Half the interval the unit asked for (WATCHDOG_USEC), zero without one.
std::chrono::microseconds watchdogHalf() {
  static const std::chrono::microseconds half = [] {
    uint64_t usec = 0;
    return std::chrono::microseconds(sd_watchdog_enabled(0, &usec) > 0 ? usec / 2 : 0);
  }();
  return half;
}

Clock::time_point lastWatchdog;
Clock::time_point lastStatus;
bool readySent = false;

}  // namespace

void ready() {
  if (readySent) return;
  readySent = true;
  flushLog();  // what led here is on disk before anyone acts on READY
  sd_notify(0, "READY=1");
}

bool statusDue() { return Clock::now() - lastStatus >= std::chrono::seconds(1); }

void status(const std::string& text, bool now) {
  if (!now && !statusDue()) return;
  lastStatus = Clock::now();
  sd_notify(0, ("STATUS=" + text).c_str());
}

void watchdog() {
  if (watchdogHalf().count() == 0) return;
  const Clock::time_point t = Clock::now();
  if (t - lastWatchdog < watchdogHalf()) return;
  lastWatchdog = t;
  sd_notify(0, "WATCHDOG=1");
}

std::chrono::milliseconds watchdogDue() {
  if (watchdogHalf().count() == 0) return std::chrono::hours(1);
  const auto left = lastWatchdog + watchdogHalf() - Clock::now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(left) + std::chrono::milliseconds(1);
}

}  // namespace systemd
