// Conversions between numbers and text, and trimming, all through the standard
// string streams with default settings (decimal, classic formats, precision 6
// for floating point). Stateless and thread-safe. The stringTo functions are
// lenient: a text that holds no number converts to 0; a number out of the
// type's range converts to the nearest limit; anything after the leading
// number is ignored. numberInRange is the strict reading of the same numbers.
#ifndef NORV_CONFIG_CONVERTTO_H
#define NORV_CONFIG_CONVERTTO_H

#include <string>

std::string intToString(int value);
std::string longToString(long value);
std::string longIntToString(long value);
std::string unsignedLongIntToString(unsigned long value);
std::string unsignedLongLongIntToString(unsigned long long value);
// Like printf's %g: 6 significant digits, the shorter of fixed and exponent.
std::string doubleToString(double value);

int stringToInt(std::string text);
long stringToLong(std::string text);
// Both read an unsigned 64-bit value despite their names.
unsigned long stringToLongInt(std::string text);
unsigned long long stringToLongLongInt(std::string text);
unsigned int stringToUnsignedInt(std::string text);
double stringToDouble(std::string text);

// For command-line options and configuration values: true when the whole
// text, blanks around it aside, is one decimal number (a sign allowed; for the
// floating-point form also a fraction and an exponent) from low to high, then
// stored in `out`. False, `out` untouched, for anything else: an empty or
// blank text, text after the number, a number out of range.
bool numberInRange(const std::string& text, long long low, long long high, long long& out);
bool numberInRange(const std::string& text, double low, double high, double& out);
// How a value that numberInRange refused is reported, wherever it came from:
// "<what> must be a <kind> from <low> to <high>, not '<text>'". Floating-point
// bounds are written as doubleToString writes them.
std::string numberRefusal(const std::string& what, const std::string& text, long long low,
                          long long high, const std::string& kind = "number");
std::string numberRefusal(const std::string& what, const std::string& text, double low, double high,
                          const std::string& kind = "number");

// Blanks are space, "\n", "\r", "\t", form feed and vertical tab.
std::string ltrim(const std::string& text);
std::string rtrim(const std::string& text);
std::string trim(const std::string& text);

#endif
