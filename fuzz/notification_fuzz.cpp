// Fuzzes the receiving server's handling of a message: any text a peer sends
// becomes a notification that carries the text unchanged and names a host.
#include <cstdlib>
#include <string>

#include "websocket/SyslogServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string payload(reinterpret_cast<const char*>(data), size);
  notification n = SyslogServer::makeNotification(payload);
  if (n.payload != payload) std::abort();
  return 0;
}
