// iniConfig: reads values out of an INI-style text file on demand. Nothing is
// cached: every query reads the whole file afresh and scans it from the top,
// so a later query sees the file as it is then. The object owns only the path
// and the map that getSection fills; it has no lock, so one object is meant
// for one thread at a time (getSection writes sectionMap).
//
// Syntax as read here: a UTF-8 byte-order mark at the start is skipped; lines
// end at "\n" or "\r\n" (the last one also at a lone "\r" or at nothing; a
// "\r" elsewhere stays in the line); leading spaces, then leading tabs, are
// cut; "#" starts a comment line; a header is exactly "[name]"; a section
// ends at the next line starting with "["; other lines are name=value, the
// value being everything after the first "=" unchanged.
#ifndef NORV_CONFIG_INICONFIG_H
#define NORV_CONFIG_INICONFIG_H

#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// Thrown when the configuration file cannot be opened, is not a regular file
// or cannot be read. The text is "error: can't open file " + path + ": " +
// the reason (the system's error text, or "not a regular file"); callers rely
// on its "error: can't open file" start.
class FileException : public std::runtime_error {
 public:
  explicit FileException(const std::string& message) : std::runtime_error(message) {}
};

class iniConfig {
 public:
  explicit iniConfig(std::string path);

  // Value of the first line of the section whose name (text before the first
  // "=", trailing spaces and tabs cut) equals key; empty when there is none.
  // Throws FileException when the file cannot be read (see above).
  std::string getKey(std::string section, std::string key);
  // The values of several keys from one read of the file: element i is what
  // getKey(keys[i].first, keys[i].second) gives.
  std::vector<std::string> getKeys(const std::vector<std::pair<std::string, std::string>>& keys);
  // getKey read as a decimal int (leading number only, 0 when none, clamped).
  int getKeyToInt(std::string section, std::string key);
  // Adds every name/value line of the section, header included, to the map
  // and returns it. Entries of earlier calls stay.
  std::map<std::string, std::string>& getSection(std::string section);

 private:
  std::string filePath;
  std::map<std::string, std::string> sectionMap;
};

#endif
