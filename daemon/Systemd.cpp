#include "daemon/Systemd.h"

#include <dlfcn.h>
#include <systemd/sd-daemon.h>

#include <cstdlib>

#include "daemon/NorvSyslogSend.h"

namespace systemd {

namespace {

using Clock = std::chrono::steady_clock;

// libsystemd, loaded only when systemd runs the daemon (NOTIFY_SOCKET set):
// run by hand or by another supervisor, the daemon does without it and the
// half-dozen libraries it brings (about 1 MB of resident pages). The handle
// stays open for the life of the process.
struct Libsystemd {
  decltype(&sd_notify) notify = nullptr;
  decltype(&sd_watchdog_enabled) watchdogEnabled = nullptr;
};

const Libsystemd& libsystemd() {
  static const Libsystemd lib = [] {
    Libsystemd l;
    if (std::getenv("NOTIFY_SOCKET") == nullptr) return l;
    void* handle = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      write_log("ERR", std::string("systemd is not told anything: ") + dlerror());
      return l;
    }
    l.notify = reinterpret_cast<decltype(&sd_notify)>(dlsym(handle, "sd_notify"));
    l.watchdogEnabled =
        reinterpret_cast<decltype(&sd_watchdog_enabled)>(dlsym(handle, "sd_watchdog_enabled"));
    return l;
  }();
  return lib;
}

void notify(const char* state) {
  if (libsystemd().notify != nullptr) libsystemd().notify(0, state);
}

// Half the interval the unit asked for (WATCHDOG_USEC), zero without one.
std::chrono::microseconds watchdogHalf() {
  static const std::chrono::microseconds half = [] {
    uint64_t usec = 0;
    const auto enabled = libsystemd().watchdogEnabled;
    return std::chrono::microseconds(enabled != nullptr && enabled(0, &usec) > 0 ? usec / 2 : 0);
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
  notify("READY=1");
}

bool statusDue() { return Clock::now() - lastStatus >= std::chrono::seconds(1); }

void status(const std::string& text, bool now) {
  if (!now && !statusDue()) return;
  lastStatus = Clock::now();
  notify(("STATUS=" + text).c_str());
}

void watchdog() {
  if (watchdogHalf().count() == 0) return;
  const Clock::time_point t = Clock::now();
  if (t - lastWatchdog < watchdogHalf()) return;
  lastWatchdog = t;
  notify("WATCHDOG=1");
}

std::chrono::milliseconds watchdogDue() {
  if (watchdogHalf().count() == 0) return std::chrono::hours(1);
  const auto left = lastWatchdog + watchdogHalf() - Clock::now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(left) + std::chrono::milliseconds(1);
}

}  // namespace systemd
