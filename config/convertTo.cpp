#include "config/convertTo.h"

#include <sstream>

namespace {

template <class T>
std::string toText(T value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

// The leading number of the text. The stream leaves 0 when no number starts
// the text and the type's limit when the number is out of range, failing
// either way; `whole` tells whether it read a number and nothing follows it.
template <class T>
T fromText(const std::string& text, bool& whole) {
  std::istringstream in(text);
  T value{};
  in >> value;
  whole = !in.fail() && in.get() == std::istringstream::traits_type::eof();
  return value;
}

template <class T>
T fromText(const std::string& text) {
  bool whole;
  return fromText<T>(text, whole);
}

template <class T>
bool inRange(const std::string& text, T low, T high, T& out) {
  bool whole = false;
  const T value = fromText<T>(trim(text), whole);
  if (!whole || value < low || value > high) return false;
  out = value;
  return true;
}

template <class T>
std::string refusal(const std::string& what, const std::string& text, T low, T high,
                    const std::string& kind) {
  return what + " must be a " + kind + " from " + toText(low) + " to " + toText(high) + ", not '" +
         text + "'";
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

bool numberInRange(const std::string& text, long long low, long long high, long long& out) {
  return inRange(text, low, high, out);
}
bool numberInRange(const std::string& text, double low, double high, double& out) {
  return inRange(text, low, high, out);
}

std::string numberRefusal(const std::string& what, const std::string& text, long long low,
                          long long high, const std::string& kind) {
  return refusal(what, text, low, high, kind);
}
std::string numberRefusal(const std::string& what, const std::string& text, double low, double high,
                          const std::string& kind) {
  return refusal(what, text, low, high, kind);
}

std::string ltrim(const std::string& text) {
  const std::string::size_type first = text.find_first_not_of(kBlanks);
  return first == std::string::npos ? std::string() : text.substr(first);
}

std::string rtrim(const std::string& text) {
  const std::string::size_type last = text.find_last_not_of(kBlanks);
  return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

std::string trim(const std::string& text) { return rtrim(ltrim(text)); }
