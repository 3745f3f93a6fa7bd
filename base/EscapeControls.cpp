#include "base/EscapeControls.h"

#include <cstring>

namespace norv {

namespace {

// A byte that is printable as it is, or the first of a printable sequence:
// all but the C0 controls, DEL and 0xc2 (which starts the C1 controls).
inline bool plain(unsigned char c) { return c >= 0x20 && c != 0x7f && c != 0xc2; }

}  // namespace

void appendEscaped(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  const auto* first = p;
  while (first < end && plain(*first)) ++first;
  if (first == end) {  // the usual case: nothing to escape
    out.append(text);
    return;
  }
  // Written through a pointer into room for the worst case (6 bytes for
  // each byte left), then cut to what was written: a text with many
  // controls (a dump of masked frames) costs a few instructions a byte.
  const std::size_t start = out.size();
  const std::size_t head = static_cast<std::size_t>(first - p);
  out.resize(start + head + 6 * static_cast<std::size_t>(end - first));
  char* w = &out[start];
  std::memcpy(w, p, head);
  w += head;
  for (p = first; p < end; ++p) {
    const unsigned char c = *p;
    if (plain(c)) {
      *w++ = static_cast<char>(c);
      continue;
    }
    if (c == 0xc2) {  // U+0080..U+009F, the C1 controls, are two bytes in UTF-8
      const unsigned char next = p + 1 < end ? p[1] : 0;
      if (next < 0x80 || next > 0x9f) {
        *w++ = static_cast<char>(c);
        continue;
      }
      std::memcpy(w, "\\u00", 4);
      w[4] = kHex[next >> 4];
      w[5] = kHex[next & 15];
      w += 6;
      ++p;
      continue;
    }
    *w++ = '\\';
    if (c == '\n' || c == '\r' || c == '\t') {
      *w++ = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
      continue;
    }
    *w++ = 'x';
    *w++ = kHex[c >> 4];
    *w++ = kHex[c & 15];
  }
  out.resize(static_cast<std::size_t>(w - out.data()));
}

}  // namespace norv
