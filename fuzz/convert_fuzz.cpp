// Fuzzes the text-to-number conversions, trimming and the dotted-quad
// formatting. A number read from text and written back must read back the
// same; trimming twice changes nothing; a dotted quad reads back as the low
// 32 bits it was made from.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>

#include "config/convertTo.h"
#include "config/ip.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

unsigned long quadValue(const std::string& quad) {
  std::istringstream in(quad);
  unsigned long value = 0;
  for (int i = 0; i < 4; ++i) {
    unsigned long part = 256;
    char dot = '.';
    if (i > 0) in >> dot;
    in >> part;
    check(in && dot == '.' && part < 256);
    value = (value << 8) | part;
  }
  check(in.peek() == std::char_traits<char>::eof());
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const unsigned long address = input.ConsumeIntegral<unsigned long>();
  const std::string text = input.ConsumeRemainingBytesAsString();

  const int i = stringToInt(text);
  check(stringToInt(intToString(i)) == i);
  const long l = stringToLong(text);
  check(stringToLong(longToString(l)) == l);
  check(stringToLong(longIntToString(l)) == l);
  const unsigned long ul = stringToLongInt(text);
  check(stringToLongInt(unsignedLongIntToString(ul)) == ul);
  const unsigned long long ull = stringToLongLongInt(text);
  check(stringToLongLongInt(unsignedLongLongIntToString(ull)) == ull);
  const unsigned int u = stringToUnsignedInt(text);
  check(stringToUnsignedInt(unsignedLongIntToString(u)) == u);
  const double d = stringToDouble(text);
  const std::string dText = doubleToString(d);
  check(std::isnan(d) || !std::isnan(stringToDouble(dText)));

  const std::string trimmed = trim(text);
  check(trim(trimmed) == trimmed && ltrim(rtrim(text)) == trimmed);
  check(text.find(trimmed) != std::string::npos);

  check(quadValue(IP::IPdecToIP(address)) == (address & 0xFFFFFFFFUL));
  return 0;
}
