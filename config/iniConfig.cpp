#include "config/iniConfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <system_error>
#include <utility>

#include "config/convertTo.h"

namespace {

[[noreturn]] void refuse(const std::string& filePath, const std::string& reason) {
  throw FileException("error: can't open file " + filePath + ": " + reason);
}

// The whole file, read through one descriptor so that the check and the read
// see the same file. O_NONBLOCK keeps the open of a FIFO without a writer from
// hanging; it is refused right after, like every file that is not regular.
std::string readFile(const std::string& filePath) {
  const int fd = ::open(filePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) refuse(filePath, std::system_category().message(errno));
  std::string content;
  int error = 0;
  struct stat info = {};
  if (::fstat(fd, &info) != 0) {
    error = errno;
  } else if (S_ISREG(info.st_mode)) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
      if (n > 0) {
        content.append(buffer, static_cast<std::size_t>(n));
      } else if (errno != EINTR) {
        error = errno;
        break;
      }
    }
  }
  ::close(fd);
  if (error != 0) refuse(filePath, std::system_category().message(error));
  if (!S_ISREG(info.st_mode)) refuse(filePath, "not a regular file");
  return content;
}

// Calls visit(section, name, value) for every line of every section that a
// query can reach, the header line included: a section runs from the first
// header that names it exactly to the next line starting with "[" (a second
// header of the same name starts nothing). A leading byte-order mark is
// skipped; a line ends at "\n", "\r\n" or the end of the file, and a "\r"
// before the file's end is part of the line end too. Leading spaces, then
// leading tabs, are cut (a space after a tab survives on purpose); "#" lines
// are skipped. visit returns true to end the scan.
template <class Visit>
void scanSections(const std::string& filePath, Visit visit) {
  const std::string content = readFile(filePath);
  const std::string bom = "\xEF\xBB\xBF";
  std::set<std::string> entered;
  const std::string* current = nullptr;
  std::string line;
  for (std::size_t at = content.compare(0, bom.size(), bom) == 0 ? bom.size() : 0;
       at < content.size();) {
    std::size_t end = std::min(content.find('\n', at), content.size());
    line.assign(content, at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
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
