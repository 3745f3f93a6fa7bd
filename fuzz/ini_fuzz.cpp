// Fuzzes the INI reader: the input is split into a section name, a key and
// the file's contents, which are written to a scratch file that every query
// reads anew. A query must return without crashing, and a value it finds must
// be text that the file holds.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "config/iniConfig.h"

namespace {

// One scratch file per fuzzing process, removed when it ends.
struct ScratchFile {
  std::string path;
  ScratchFile() {
    char name[] = "/tmp/norv-ini-fuzz.XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    path = name;
  }
  ~ScratchFile() { std::remove(path.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchFile scratch;
  FuzzedDataProvider input(data, size);
  std::string section = input.ConsumeRandomLengthString(32);
  std::string key = input.ConsumeRandomLengthString(32);
  std::string contents = input.ConsumeRemainingBytesAsString();
  {
    std::ofstream out(scratch.path, std::ios::binary | std::ios::trunc);
    out << contents;
  }

  iniConfig config(scratch.path);
  std::string value = config.getKey(section, key);
  if (contents.find(value) == std::string::npos) std::abort();
  config.getKeyToInt(section, key);
  for (const auto& entry : config.getSection(section)) {
    if (contents.find(entry.first) == std::string::npos) std::abort();
    if (contents.find(entry.second) == std::string::npos) std::abort();
  }
  return 0;
}
