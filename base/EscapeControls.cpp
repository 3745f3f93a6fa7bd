#include "base/EscapeControls.h"

namespace norv {

namespace {

// Whether text[i] starts a control character; `skip` is how many bytes it
// takes (2 for a C1 control in UTF-8).
bool isControl(std::string_view text, std::size_t i, std::size_t& skip) {
  const auto c = static_cast<unsigned char>(text[i]);
  skip = 1;
  if (c < 0x20 || c == 0x7f) return true;
  if (c == 0xc2 && i + 1 < text.size()) {
    const auto next = static_cast<unsigned char>(text[i + 1]);
    if (next >= 0x80 && next <= 0x9f) {
      skip = 2;
      return true;
    }
  }
  return false;
}

}  // namespace

void appendEscaped(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::size_t copied = 0, skip = 0;
  for (std::size_t i = 0; i < text.size(); i += skip) {
    if (!isControl(text, i, skip)) continue;
    out.append(text, copied, i - copied);
    const auto c = static_cast<unsigned char>(text[i + skip - 1]);
    if (skip == 2) {
      out.append("\\u00").append(1, kHex[c >> 4]).append(1, kHex[c & 15]);
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else if (c == '\t') {
      out.append("\\t");
    } else {
      out.append("\\x").append(1, kHex[c >> 4]).append(1, kHex[c & 15]);
    }
    copied = i + skip;
  }
  out.append(text, copied, text.size() - copied);
}

}  // namespace norv
