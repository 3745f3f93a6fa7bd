// service: the record of one monitoring check (plugin and arguments, alerting
// program and arguments, schedule, last result) and the operations that run
// it. A plain value type: containers copy it freely, copies are deep and
// independent. It has no lock; one record must not be changed by one thread
// while another reads or runs it (serviceSyslog adds a mutex for its result).
#ifndef NORV_SERVICES_SERVICE_H
#define NORV_SERVICES_SERVICE_H

#include <sys/time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "services/serviceException.h"

namespace norv {
class PluginProcess;
}

class service {
 public:
  service() = default;
  service(const service&) = default;
  service& operator=(const service&) = default;
  virtual ~service() = default;

  // Sets the interval and frequency = 300000 / interval (integer quotient).
  // Throws std::invalid_argument for 0 and then changes nothing.
  void Setinterval_exec_time(int interval);

  // Order by exec_time, seconds first, then microseconds; both strict.
  bool operator<(const service& other) const;
  bool operator>(const service& other) const;

  // Keeps the raw text and replaces `parameters` with its fields.
  void Setparameter(std::string text);
  // Appends the fields of the text to `alerting_parameters`.
  void SetAlertingParameter(std::string text);

  // Runs the plugin once (empty environment, inherited standard input, its
  // own process group, the limits below), stores its text in `output` (each
  // invalid UTF-8 sequence turned into a space) and its result in
  // `return_code`, and returns that code. Throws serviceException when it
  // cannot run it or gets no text.
  int execute();
  // Runs the alerting program with the caller's environment; every argument
  // containing "$ERROR" is replaced whole by `message`. Returns the pid the
  // wait reported; throws serviceException when the fork or the wait fails.
  int executeAlertingSoftware(std::string message);

  // Limits on every plugin run, by service::execute and serviceSyslog::execute
  // alike (not on the alerting program). They are process-wide: any thread
  // may change them at any time, and each run reads them once, as it starts.
  // A value of 0 turns that limit off.
  // - Time-out, default 60 s, counting from the start of the run to the
  //   plugin's exit. Past it the plugin's process group gets SIGTERM, then
  //   SIGKILL half a second later, and the run returns 3 with `output`
  //   "UNKNOWN: plugin timed out after 60 s" (the limit in seconds, with its
  //   fraction when it has one: "0.25 s"). A negative time-out counts as 0.
  // - Output cap, default 1 MiB (1048576 bytes): when the plugin writes more,
  //   its group is ended the same way and the run returns 3 with `output`
  //   the first cap's worth of the text, then
  //   "\nUNKNOWN: plugin output cut at 1048576 bytes" (the cap's value).
  // The plugin's exit ends the run: if what it left running still holds its
  // output 150 ms later, its group is ended the same way, and the plugin's
  // own status and the text read by then make the result.
  static void setPluginTimeout(std::chrono::milliseconds timeout);
  static void setPluginOutputLimit(std::size_t bytes);
  static std::chrono::milliseconds pluginTimeout();
  static std::size_t pluginOutputLimit();

  // Splits a parameter text into its non-empty fields: a space separates
  // fields, either quote character toggles one quoted state, there is no
  // escape character and an unclosed quote simply ends with the text.
  static std::vector<std::string> splitFields(const std::string& text);

  uint64_t extra_id = 0;
  int32_t extra_code = 0;
  unsigned long long id = 0;
  std::string extra_text;
  int return_code = 0;
  int extra_int1 = 0;
  std::string name;
  std::string parameter;
  std::string extra_text2;
  std::vector<std::string> parameters;
  std::vector<std::string> alerting_parameters;
  std::string path;
  std::string alerting_software;
  unsigned char flags[4] = {0, 0, 0, 0};
  timeval exec_time = {0, 0};
  int extra_int2 = 0;
  int interval_exec_time = 0;
  std::string output;
  int extra_int3 = 0;
  timeval extra_time1 = {0, 0};
  timeval extra_time2 = {0, 0};
  int extra_int4 = 0;
  float frequency = 1.0f;

 protected:
  // The two message forms: service::execute names the check ("Error open
  // pipe " + name + "\npath:..."), serviceSyslog::execute does not.
  enum class Naming { withName, withoutName };

  // prefix, then (withName) separator + name, then "\npath:" + path + " " +
  // parameter.
  std::string describeRun(const char* prefix, const char* separator, Naming naming) const;
  // The message of a failed step of a run: its prefix ("Error open pipe",
  // "Error create fork", "Error read buffer:", "Error execute"), the run's
  // description and the system error text of `error`.
  std::string describeFailure(const char* stepPrefix, int error, Naming naming) const;
  // Replaces each invalid UTF-8 sequence of the collected text by a space and
  // keeps the result in output, waits for the plugin, then turns its ending,
  // wait status and that text into return_code and output; returns the code
  // or throws serviceException.
  int settleRun(norv::PluginProcess& child, std::string text, Naming naming);
};

#endif
