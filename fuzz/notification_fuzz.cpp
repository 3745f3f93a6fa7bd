// Fuzzes the receiving server's handling of a message: for any text a peer
// sends, norv::hostOf names the same host as a full jsoncpp parse of it, and
// the notification carries the text unchanged and names that host.
#include <json/json.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "websocket/HostLookup.h"
#include "websocket/SyslogServer.h"

namespace {

std::string fullParseHost(const std::string& payload) {
  try {
    Json::Reader reader;
    Json::Value root;
    reader.parse(payload, root, true);
    return root.get("fromhost", "daemonbadhost").asString();
  } catch (const std::exception&) {
    return "daemonbadhost";
  }
}

void print(const char* label, const std::string& s) {
  std::fprintf(stderr, "%s (%zu bytes): \"", label, s.size());
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      std::fputc(c, stderr);
    } else {
      std::fprintf(stderr, "\\x%02x", c);
    }
  }
  std::fputs("\"\n", stderr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string payload(reinterpret_cast<const char*>(data), size);
  const std::string expected = fullParseHost(payload);
  const std::string found = norv::hostOf(payload.data(), payload.size());
  const notification n = SyslogServer::makeNotification(payload);
  if (found != expected || n.host != expected || n.payload != payload) {
    print("full parse", expected);
    print("hostOf", found);
    print("notification", n.host);
    std::abort();
  }
  return 0;
}
