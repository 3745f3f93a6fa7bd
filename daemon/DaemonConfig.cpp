#include "daemon/DaemonConfig.h"

#include <algorithm>
#include <optional>
#include <set>
#include <variant>

#include "config/convertTo.h"
#include "config/iniConfig.h"

namespace {

// The types of value. A number or a choice left empty (or blank) takes its
// default; a number without one must be set.
struct Text {
  std::string DaemonConfig::*field;
};
struct Number {
  int DaemonConfig::*field;
  const char* kind;  // for the refusal: "a <kind> from <low> to <high>"
  long long low, high;
  std::optional<long long> fallback;
};
// One of two words; `yes` sets the switch. The words in the order the
// refusal gives them.
struct Choice {
  bool DaemonConfig::*field;
  const char* words[2];
  const char* yes;
  const char* fallback;
};

struct Key {
  const char* section;
  const char* name;
  std::variant<Text, Number, Choice> type;
};

// Every key the daemon reads, in the order the example configuration shows
// them. PGSQL_port stays a text: libpq takes a list of ports there.
const Key kDaemonKeys[] = {
    {"LOG", "log_file", Text{&DaemonConfig::logFile}},
    {"DB", "PGSQL_host", Text{&DaemonConfig::dbHost}},
    {"DB", "PGSQL_port", Text{&DaemonConfig::dbPort}},
    {"DB", "PGSQL_db", Text{&DaemonConfig::dbName}},
    {"DB", "PGSQL_username", Text{&DaemonConfig::dbUser}},
    {"DB", "PGSQL_pwd", Text{&DaemonConfig::dbPassword}},
    {"DB", "connect_timeout",
     Number{&DaemonConfig::connectTimeoutSeconds, "number of seconds", 1, 3600, 10}},
    {"DB", "source", Choice{&DaemonConfig::outbox, {"notify", "outbox"}, "outbox", "notify"}},
    {"RECEIVER", "ip", Text{&DaemonConfig::receiverIp}},
    {"RECEIVER", "port",
     Number{&DaemonConfig::receiverPort, "port number", 1, 65535, std::nullopt}},
    {"RECEIVER", "ca_file", Text{&DaemonConfig::caFile}},
    {"RECEIVER", "cert_file", Text{&DaemonConfig::certFile}},
    {"RECEIVER", "key_file", Text{&DaemonConfig::keyFile}},
    {"RECEIVER", "stall_timeout",
     Number{&DaemonConfig::stallTimeoutSeconds, "number of seconds", 0, 1000000000, 0}},
    {"RECEIVER", "resume", Choice{&DaemonConfig::resume, {"on", "off"}, "on", "off"}},
    {"RECEIVER", "resume_timeout",
     Number{&DaemonConfig::resumeTimeoutSeconds, "number of seconds", 0, 1000000000, 0}},
};

std::string keyText(const std::string& section, const std::string& name) {
  return "[" + section + "] " + name;
}

// Stores the value of `text` in config; false when it is not one the key takes.
bool convert(const Text& t, const std::string& text, DaemonConfig& config) {
  config.*t.field = text;
  return true;
}

bool convert(const Number& n, const std::string& text, DaemonConfig& config) {
  long long value = n.fallback.value_or(0);
  if ((trim(text).empty() && n.fallback) || numberInRange(text, n.low, n.high, value)) {
    config.*n.field = static_cast<int>(value);
    return true;
  }
  return false;
}

bool convert(const Choice& c, const std::string& text, DaemonConfig& config) {
  const std::string word = trim(text).empty() ? c.fallback : trim(text);
  config.*c.field = word == c.yes;
  return word == c.words[0] || word == c.words[1];
}

std::string refusal(const Key& key, const std::string& text) {
  const std::string what = "configuration: " + keyText(key.section, key.name);
  if (const Number* n = std::get_if<Number>(&key.type))
    return numberRefusal(what, text, n->low, n->high, n->kind);
  const Choice& c = std::get<Choice>(key.type);
  return what + " must be " + c.words[0] + " or " + c.words[1] + ", not '" + text + "'";
}

// Edit distance (insertions, deletions, substitutions) from a to b.
std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t substituted = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      diagonal = row[j];
      row[j] = std::min({substituted, row[j] + 1, row[j - 1] + 1});
    }
  }
  return row[b.size()];
}

// How far `typed` is from the known name: the nearer of the whole name and
// what follows each "_" in it, so that "port" is near PGSQL_port.
std::size_t distanceToKey(const std::string& typed, const std::string& known) {
  std::size_t best = editDistance(typed, known);
  for (std::size_t at = known.find('_'); at != std::string::npos; at = known.find('_', at + 1))
    best = std::min(best, editDistance(typed, known.substr(at + 1)));
  return best;
}

// "configuration: unknown key [DB] port ignored; did you mean PGSQL_port or
// [RECEIVER] port?": the known names of the section nearest to `name` (if
// within half its length), and the keys of that very name in other sections.
std::string unknownKeyNote(const std::string& section, const std::string& name) {
  std::size_t nearest = (name.size() + 1) / 2;
  for (const Key& k : kDaemonKeys)
    if (k.section == section) nearest = std::min(nearest, distanceToKey(name, k.name));
  std::vector<std::string> meant;
  for (const Key& k : kDaemonKeys)
    if (k.section == section && distanceToKey(name, k.name) == nearest) meant.push_back(k.name);
  for (const Key& k : kDaemonKeys)
    if (k.section != section && k.name == name) meant.push_back(keyText(k.section, k.name));
  std::string note = "configuration: unknown key " + keyText(section, name) + " ignored";
  for (std::size_t i = 0; i < meant.size(); ++i)
    note += (i == 0 ? "; did you mean " : i + 1 < meant.size() ? ", " : " or ") + meant[i];
  return meant.empty() ? note : note + "?";
}

}  // namespace

DaemonConfig readDaemonConfig(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> keys = daemonConfigKeys();
  const std::vector<std::string> values = iniConfig(path).getKeys(keys);
  DaemonConfig config;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const Key& key = kDaemonKeys[i];
    if (!std::visit([&](const auto& type) { return convert(type, values[i], config); }, key.type))
      config.badValues.push_back(refusal(key, values[i]));
  }
  // A known section's names as the reader matches them; each section through
  // a reader of its own, since getSection adds to what earlier calls found.
  std::sort(keys.begin(), keys.end());
  std::set<std::string> sections;
  for (const Key& k : kDaemonKeys) sections.insert(k.section);
  for (const std::string& section : sections) {
    iniConfig reader(path);
    std::set<std::string> names;
    for (const auto& line : reader.getSection(section))
      names.insert(line.first.substr(0, line.first.find_last_not_of(" \t") + 1));
    for (const std::string& name : names)
      if (!name.empty() && name[0] != '[' &&
          !std::binary_search(keys.begin(), keys.end(), std::make_pair(section, name)))
        config.unknownKeys.push_back(unknownKeyNote(section, name));
  }
  return config;
}

std::vector<std::pair<std::string, std::string>> daemonConfigKeys() {
  std::vector<std::pair<std::string, std::string>> keys;
  for (const Key& k : kDaemonKeys) keys.emplace_back(k.section, k.name);
  return keys;
}

std::string DaemonConfig::receiverUri() const {
  return "wss://" + receiverIp + ":" + std::to_string(receiverPort);
}

bool DaemonConfig::report(const std::function<void(const char*, const std::string&)>& log) const {
  for (const std::string& note : unknownKeys) log("INFO", note);
  for (const std::string& problem : badValues) log("ERR", problem);
  return badValues.empty();
}
