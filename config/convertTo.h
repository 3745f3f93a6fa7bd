// Conversions between numbers and text, and trimming, all through the standard
// string streams with default settings (decimal, classic formats, precision 6
// for floating point). Stateless and thread-safe. A text that holds no number
// converts to 0; a number out of the type's range converts to the nearest
// limit; anything after the leading number is ignored.
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

// Blanks are space, "\n", "\r", "\t", form feed and vertical tab.
std::string ltrim(const std::string& text);
std::string rtrim(const std::string& text);
std::string trim(const std::string& text);

#endif
