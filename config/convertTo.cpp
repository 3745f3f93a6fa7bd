#include "config/convertTo.h"

#include <sstream>

namespace {

template <class T>
std::string toText(T value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

// The stream leaves 0 when no number starts the text and the type's limit when
// the number is out of range; either way the failed state is of no interest.
template <class T>
T fromText(const std::string& text) {
  std::istringstream in(text);
  T value{};
  in >> value;
  return value;
}

const char* const kBlanks = " \n\r\t\f\v";

}  // namespace

std::string intToString(int value) { return toText(value); }
std::string longToString(long value) { return toText(value); }
std::string longIntToString(long value) { return longToString(value); }
std::string unsignedLongIntToString(unsigned long value) { return toText(value); }
std::string unsignedLongLongIntToString(unsigned long long value) { return toText(value); }
std::string doubleToString(double value) { return toText(value); }

int stringToInt(std::string text) { return fromText<int>(text); }
long stringToLong(std::string text) { return fromText<long>(text); }
unsigned long stringToLongInt(std::string text) { return fromText<unsigned long>(text); }
unsigned long long stringToLongLongInt(std::string text) {
  return fromText<unsigned long long>(text);
}
unsigned int stringToUnsignedInt(std::string text) { return fromText<unsigned int>(text); }
double stringToDouble(std::string text) { return fromText<double>(text); }

std::string ltrim(const std::string& text) {
  const std::string::size_type first = text.find_first_not_of(kBlanks);
  return first == std::string::npos ? std::string() : text.substr(first);
}

std::string rtrim(const std::string& text) {
  const std::string::size_type last = text.find_last_not_of(kBlanks);
  return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

std::string trim(const std::string& text) { return rtrim(ltrim(text)); }
