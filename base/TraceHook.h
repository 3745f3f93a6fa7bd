// TraceHook: the debug callback of a library class (SyslogClient,
// SyslogServer). set(f) stores f and switches tracing on, a null f switches
// it off; calling the hook passes the text to f only while tracing is on.
// Any thread may set or call it: both fields are atomic, and f itself must
// be safe to call from several threads at once.
#ifndef NORV_BASE_TRACEHOOK_H
#define NORV_BASE_TRACEHOOK_H

#include <atomic>
#include <string>
#include <utility>

namespace norv {

class TraceHook {
 public:
  using Function = void (*)(std::string);

  void set(Function f) {
    function_ = f;
    enabled_ = f != nullptr;
  }
  // For callers that would build an expensive text only to have it dropped.
  bool enabled() const { return enabled_.load(std::memory_order_relaxed); }
  void operator()(std::string text) const {
    if (!enabled()) return;
    if (Function f = function_.load()) f(std::move(text));
  }

 private:
  std::atomic<bool> enabled_{false};
  std::atomic<Function> function_{nullptr};
};

}  // namespace norv

#endif
