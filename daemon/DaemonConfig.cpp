#include "daemon/DaemonConfig.h"

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "config/iniConfig.h"

namespace {

struct Key {
  const char* section;
  const char* name;
  std::string DaemonConfig::*field;
};

// Every key the daemon reads, in the order the example configuration shows
// them.
const Key kDaemonKeys[] = {
    {"LOG", "log_file", &DaemonConfig::logFile},
    {"DB", "PGSQL_host", &DaemonConfig::dbHost},
    {"DB", "PGSQL_port", &DaemonConfig::dbPort},
    {"DB", "PGSQL_db", &DaemonConfig::dbName},
    {"DB", "PGSQL_username", &DaemonConfig::dbUser},
    {"DB", "PGSQL_pwd", &DaemonConfig::dbPassword},
    {"DB", "source", &DaemonConfig::sourceText},
    {"RECEIVER", "ip", &DaemonConfig::receiverIp},
    {"RECEIVER", "port", &DaemonConfig::receiverPort},
    {"RECEIVER", "ca_file", &DaemonConfig::caFile},
    {"RECEIVER", "cert_file", &DaemonConfig::certFile},
    {"RECEIVER", "key_file", &DaemonConfig::keyFile},
    {"RECEIVER", "stall_timeout", &DaemonConfig::stallTimeoutText},
    {"RECEIVER", "resume", &DaemonConfig::resumeText},
    {"RECEIVER", "resume_timeout", &DaemonConfig::resumeTimeoutText},
};

// `text` without the blanks around it; `empty` when nothing else is left.
std::string trimmed(const std::string& text, const char* empty) {
  const std::string::size_type first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return empty;
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A whole decimal number from low to high; blanks around it are allowed, an
// empty text is `empty`.
bool wholeNumber(const std::string& text, long low, long high, long empty, long& out) {
  const std::string trimmed = ::trimmed(text, "");
  if (trimmed.empty()) {
    out = empty;
    return true;
  }
  if (trimmed.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  out = std::strtol(trimmed.c_str(), nullptr, 10);
  return errno == 0 && out >= low && out <= high;
}

}  // namespace

DaemonConfig readDaemonConfig(iniConfig& file) {
  std::vector<std::pair<std::string, std::string>> keys;
  for (const Key& k : kDaemonKeys) keys.emplace_back(k.section, k.name);
  std::vector<std::string> values = file.getKeys(keys);
  DaemonConfig config;
  for (std::size_t i = 0; i < values.size(); ++i)
    config.*kDaemonKeys[i].field = std::move(values[i]);
  return config;
}

std::string DaemonConfig::receiverUri() const { return "wss://" + receiverIp + ":" + receiverPort; }

bool DaemonConfig::readNumbers(std::string& problem) {
  long value = 0;
  // The port goes into the URI as written: it must be a port and nothing else.
  if (!wholeNumber(receiverPort, 1, 65535, 0, value) || value == 0 ||
      receiverPort.find_first_not_of("0123456789") != std::string::npos) {
    problem = "configuration: [RECEIVER] port must be a port number from 1 to 65535, not '" +
              receiverPort + "'";
    return false;
  }
  const struct {
    const char* name;
    const std::string& text;
    int& seconds;
  } timeouts[] = {{"stall_timeout", stallTimeoutText, stallTimeoutSeconds},
                  {"resume_timeout", resumeTimeoutText, resumeTimeoutSeconds}};
  for (const auto& t : timeouts) {
    if (!wholeNumber(t.text, 0, 1000000000, 0, value)) {
      problem = std::string("configuration: [RECEIVER] ") + t.name +
                " must be a number of seconds (0: wait for ever), not '" + t.text + "'";
      return false;
    }
    t.seconds = static_cast<int>(value);
  }
  // The switches, each with its two words in the order the messages give
  // them; an empty text is the default.
  const struct {
    const char* key;
    const std::string& text;
    const char* words[2];
    const char* fallback;
    const char* yes;  // the word that sets `set`
    bool& set;
  } switches[] = {{"[DB] source", sourceText, {"notify", "outbox"}, "notify", "outbox", outbox},
                  {"[RECEIVER] resume", resumeText, {"on", "off"}, "off", "on", resume}};
  for (const auto& s : switches) {
    const std::string word = trimmed(s.text, s.fallback);
    if (word != s.words[0] && word != s.words[1]) {
      problem = std::string("configuration: ") + s.key + " must be " + s.words[0] + " or " +
                s.words[1] + ", not '" + s.text + "'";
      return false;
    }
    s.set = word == s.yes;
  }
  return true;
}
