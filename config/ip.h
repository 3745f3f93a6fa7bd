// IP: formats an IPv4 address held in an integer as a dotted quad. No state;
// the one operation is static.
#ifndef NORV_CONFIG_IP_H
#define NORV_CONFIG_IP_H

#include <string>

class IP {
 public:
  IP();
  virtual ~IP();

  // Most significant byte first: 3232235777 (0xC0A80101) is "192.168.1.1".
  // Only the low 32 bits are used, so larger values wrap.
  static std::string IPdecToIP(unsigned long address);
};

#endif
