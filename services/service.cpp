#include "services/service.h"

#include <string.h>
#include <sys/wait.h>
#include <utf8.h>

#include <algorithm>
#include <atomic>
#include <boost/tokenizer.hpp>
#include <cstdio>
#include <iterator>
#include <stdexcept>

#include "services/PluginProcess.h"

using norv::PluginProcess;

static_assert(sizeof(timeval::tv_sec) == 8 && sizeof(timeval::tv_usec) == 8,
              "exec_time is kept at 64-bit seconds and microseconds");

namespace {

const char* const kNothingOnStdout = "DAEMON: the plugin does not return anything on the stdout";

const PluginProcess::Setup kPluginSetup = {true, false, false, "DAEMON: plugin is not executable "};
const PluginProcess::Setup kAlertingSetup = {false, false, true, ""};

// The limits every plugin run starts with; see service::setPluginTimeout.
std::atomic<std::chrono::milliseconds::rep> timeoutMs{60000};
std::atomic<std::size_t> outputLimit{1 << 20};

// "60", "0.3", "1.25": whole seconds, then the fraction if there is one.
std::string inSeconds(std::chrono::milliseconds limit) {
  auto ms = limit.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 == 0) return text;
  char fraction[8];
  snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(ms % 1000));
  text += fraction;
  return text.substr(0, text.find_last_not_of('0') + 1);
}

// Invalid UTF-8 sequences become one space each; valid text is left alone.
std::string repairUtf8(const std::string& text) {
  if (utf8::find_invalid(text.begin(), text.end()) == text.end()) return text;
  std::string repaired;
  repaired.reserve(text.size());
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(repaired), 0x20u);
  return repaired;
}

}  // namespace

void service::Setinterval_exec_time(int interval) {
  if (interval == 0) throw std::invalid_argument("service: an interval of 0 has no frequency");
  interval_exec_time = interval;
  frequency = static_cast<float>(300000 / interval);
}

bool service::operator<(const service& other) const {
  if (exec_time.tv_sec != other.exec_time.tv_sec) return exec_time.tv_sec < other.exec_time.tv_sec;
  return exec_time.tv_usec < other.exec_time.tv_usec;
}

bool service::operator>(const service& other) const {
  if (exec_time.tv_sec != other.exec_time.tv_sec) return exec_time.tv_sec > other.exec_time.tv_sec;
  return exec_time.tv_usec > other.exec_time.tv_usec;
}

void service::setPluginTimeout(std::chrono::milliseconds timeout) {
  timeoutMs = std::max<std::chrono::milliseconds::rep>(timeout.count(), 0);
}

void service::setPluginOutputLimit(std::size_t bytes) { outputLimit = bytes; }

std::chrono::milliseconds service::pluginTimeout() {
  return std::chrono::milliseconds(timeoutMs.load());
}

std::size_t service::pluginOutputLimit() { return outputLimit; }

std::vector<std::string> service::splitFields(const std::string& text) {
  // Escape set empty, separator a space, quotes " and ': with no escape
  // character the tokenizer cannot throw, and an open quote ends with the text.
  boost::escaped_list_separator<char> separator(std::string(), std::string(" "),
                                                std::string("\"'"));
  boost::tokenizer<boost::escaped_list_separator<char>> tokens(text, separator);
  std::vector<std::string> fields;
  for (const std::string& field : tokens) {
    if (!field.empty()) fields.push_back(field);
  }
  return fields;
}

void service::Setparameter(std::string text) {
  std::vector<std::string> fields = splitFields(text);
  parameter = std::move(text);
  parameters = std::move(fields);
}

void service::SetAlertingParameter(std::string text) {
  for (std::string& field : splitFields(text)) alerting_parameters.push_back(std::move(field));
}

std::string service::describeRun(const char* prefix, const char* separator, Naming naming) const {
  std::string text = prefix;
  if (naming == Naming::withName) {
    text += separator;
    text += name;
  }
  text += "\npath:";
  text += path;
  text += " ";
  text += parameter;
  return text;
}

std::string service::describeFailure(const char* stepPrefix, int error, Naming naming) const {
  return describeRun(stepPrefix, " ", naming) + ::strerror(error);
}

int service::settleRun(PluginProcess& child, std::string text, Naming naming) {
  // Repaired here, once, so that the output and the failure messages of every
  // ending carry valid UTF-8.
  text = repairUtf8(text);
  output = text;
  int waitStatus = child.wait();
  if (child.ending() != PluginProcess::Ending::normal) {
    return_code = 3;
    const PluginProcess::Limits& limits = child.limits();
    output = child.ending() == PluginProcess::Ending::timedOut
                 ? "UNKNOWN: plugin timed out after " + inSeconds(limits.timeout) + " s"
                 : text + "\nUNKNOWN: plugin output cut at " + std::to_string(limits.outputCap) +
                       " bytes";
    return return_code;
  }
  if (!WIFEXITED(waitStatus)) {
    return_code = 3;
    output = "Error: norv can't execute " + path;
    throw serviceException(describeRun("Error: norv can't execute", " ", naming) + text);
  }
  int code = WEXITSTATUS(waitStatus);
  bool result = code <= 5;
  if (code == 255) {
    output = "UNKNOWN: NorvDaemon could not connect to host";
    code = 3;
  } else if (!result) {
    output = describeRun("Error execute: Bad return code", "\n", naming) + " " + text;
    code = 3;
  }
  return_code = code;
  if (text.empty() || text == "''") {
    return_code = 3;
    throw serviceException(kNothingOnStdout);
  }
  return code;
}

int service::execute() {
  output.clear();
  try {
    PluginProcess child(path, parameters, kPluginSetup, {pluginTimeout(), pluginOutputLimit()});
    return settleRun(child, child.collect(), Naming::withName);
  } catch (const PluginProcess::Failure& failure) {
    throw serviceException(describeFailure(failure.stepPrefix(), failure.error, Naming::withName));
  }
}

int service::executeAlertingSoftware(std::string message) {
  std::vector<std::string> args;
  args.reserve(alerting_parameters.size());
  for (const std::string& param : alerting_parameters) {
    args.push_back(param.find("$ERROR") != std::string::npos ? message : param);
  }
  try {
    PluginProcess child(alerting_software, args, kAlertingSetup);
    child.wait();
    return child.pid();
  } catch (const PluginProcess::Failure& failure) {
    throw serviceException("Error execute ALERTE" + alerting_software + " " + parameter +
                           ::strerror(failure.error));
  }
}
