#include "config/ip.h"

#include "config/convertTo.h"

IP::IP() = default;
IP::~IP() = default;

std::string IP::IPdecToIP(unsigned long address) {
  std::string quad;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (!quad.empty()) quad += '.';
    quad += unsignedLongIntToString((address >> shift) & 0xFFUL);
  }
  return quad;
}
