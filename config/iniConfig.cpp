#include "config/iniConfig.h"

#include <fstream>
#include <set>
#include <utility>

#include "config/convertTo.h"

namespace {

// Calls visit(section, name, value) for every line of every section that a
// query can reach, the header line included: a section runs from the first
// header that names it exactly to the next line starting with "[" (a second
// header of the same name starts nothing). Leading spaces, then leading tabs,
// are cut first (a space after a tab survives on purpose); "#" lines are
// skipped. visit returns true to end the scan.
template <class Visit>
void scanSections(const std::string& filePath, Visit visit) {
  std::ifstream in(filePath, std::ios::in | std::ios::binary);
  if (!in.is_open()) throw FileException("error: can't open file");
  std::set<std::string> entered;
  const std::string* current = nullptr;
  std::string line;
  while (std::getline(in, line)) {
    line.erase(0, line.find_first_not_of(' '));
    line.erase(0, line.find_first_not_of('\t'));
    if (!line.empty() && line[0] == '#') continue;
    if (!line.empty() && line[0] == '[') {
      current = nullptr;
      if (line.size() >= 2 && line.back() == ']') {
        auto added = entered.insert(line.substr(1, line.size() - 2));
        if (added.second) current = &*added.first;
      }
    }
    if (!current) continue;
    const std::string::size_type eq = line.find('=');
    const bool stop = eq == std::string::npos
                          ? visit(*current, line, std::string())
                          : visit(*current, line.substr(0, eq), line.substr(eq + 1));
    if (stop) return;
  }
}

}  // namespace

iniConfig::iniConfig(std::string path) : filePath(std::move(path)) {}

std::string iniConfig::getKey(std::string section, std::string key) {
  return getKeys({{std::move(section), std::move(key)}}).front();
}

std::vector<std::string> iniConfig::getKeys(
    const std::vector<std::pair<std::string, std::string>>& keys) {
  std::vector<std::string> values(keys.size());
  std::vector<bool> found(keys.size(), false);
  std::size_t left = keys.size();
  scanSections(filePath,
               [&](const std::string& section, std::string name, const std::string& value) {
                 name.erase(name.find_last_not_of(" \t") + 1);
                 for (std::size_t i = 0; i < keys.size(); ++i) {
                   if (found[i] || keys[i].first != section || keys[i].second != name) continue;
                   values[i] = value;
                   found[i] = true;
                   --left;
                 }
                 return left == 0;
               });
  return values;
}

int iniConfig::getKeyToInt(std::string section, std::string key) {
  return stringToInt(getKey(std::move(section), std::move(key)));
}

std::map<std::string, std::string>& iniConfig::getSection(std::string section) {
  scanSections(filePath,
               [&](const std::string& current, const std::string& name, const std::string& value) {
                 if (current == section) sectionMap[name] = value;
                 return false;
               });
  return sectionMap;
}
