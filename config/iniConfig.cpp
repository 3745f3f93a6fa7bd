#include "config/iniConfig.h"

#include <fstream>
#include <utility>

#include "config/convertTo.h"

FileException::FileException(std::string message) : message(std::move(message)) {}
FileException::~FileException() noexcept = default;
const char* FileException::what() const noexcept { return message.c_str(); }

namespace {

// Calls visit(name, value) for each line of the section, the header line
// included, until visit returns true or the section ends. Returns whether
// visit stopped the scan.
template <class Visit>
bool scanSection(const std::string& filePath, const std::string& section, Visit visit) {
  std::ifstream in(filePath, std::ios::in | std::ios::binary);
  if (!in.is_open()) throw FileException("error: can't open file");
  const std::string header = "[" + section + "]";
  bool inside = false;
  std::string line;
  while (std::getline(in, line)) {
    // Spaces first, then tabs: a space after a tab survives on purpose.
    line.erase(0, line.find_first_not_of(' '));
    line.erase(0, line.find_first_not_of('\t'));
    if (!line.empty() && line[0] == '#') continue;
    if (inside && !line.empty() && line[0] == '[') return false;
    if (line == header) inside = true;
    if (!inside) continue;
    const std::string::size_type eq = line.find('=');
    const bool stop = eq == std::string::npos ? visit(line, std::string())
                                              : visit(line.substr(0, eq), line.substr(eq + 1));
    if (stop) return true;
  }
  return false;
}

}  // namespace

iniConfig::iniConfig(std::string path) : filePath(std::move(path)) {}

std::string iniConfig::getKey(std::string section, std::string key) {
  std::string found;
  scanSection(filePath, section, [&](std::string name, const std::string& value) {
    name.erase(name.find_last_not_of(" \t") + 1);
    if (name != key) return false;
    found = value;
    return true;
  });
  return found;
}

int iniConfig::getKeyToInt(std::string section, std::string key) {
  return stringToInt(getKey(std::move(section), std::move(key)));
}

std::map<std::string, std::string>& iniConfig::getSection(std::string section) {
  scanSection(filePath, section, [this](const std::string& name, const std::string& value) {
    sectionMap[name] = value;
    return false;
  });
  return sectionMap;
}
