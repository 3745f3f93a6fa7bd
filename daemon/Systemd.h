// What the daemon tells systemd when it runs under it (NOTIFY_SOCKET set by
// a Type=notify unit): READY=1 once its LISTEN has succeeded and the receiver
// connection is open, a STATUS= line saying what it is doing, and WATCHDOG=1
// from the listener's loop when the unit sets WatchdogSec=, so that a
// listener that hangs gets the service restarted. Without NOTIFY_SOCKET
// nothing is sent. Called from the listener thread only.
#ifndef NORV_DAEMON_SYSTEMD_H
#define NORV_DAEMON_SYSTEMD_H

#include <chrono>
#include <string>

namespace systemd {

void ready();
// The status line; sent at once when `now`, else at most once a second
// (statusDue() says whether one would be sent).
void status(const std::string& text, bool now = false);
bool statusDue();
// WATCHDOG=1 when half the watchdog interval has passed since the last one.
void watchdog();
// How long the listener may wait before its next watchdog(); a long time
// when there is no watchdog.
std::chrono::milliseconds watchdogDue();

}  // namespace systemd

#endif
