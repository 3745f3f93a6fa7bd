#include "base/Utf8.h"

#include <cstdint>
#include <cstring>

namespace norv {

namespace {

// Length of the valid sequence that starts at p (at most `left` bytes), or
// 0 when none does.
std::size_t sequenceAt(const unsigned char* p, std::size_t left) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // overlong
    if (c == 0xED) high = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // overlong
    if (c == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (left < length || p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return length;
}

// Index of the first byte at or after `from` that may start something other
// than plain ASCII; whole words of ASCII are skipped at once.
std::size_t skipAscii(const unsigned char* p, std::size_t size, std::size_t from) {
  std::size_t i = from;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & 0x8080808080808080ULL) break;
  }
  while (i < size && p[i] < 0x80) ++i;
  return i;
}

}  // namespace

bool isValidUtf8(const char* data, std::size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  for (std::size_t i = skipAscii(p, size, 0); i < size; i = skipAscii(p, size, i)) {
    const std::size_t n = sequenceAt(p + i, size - i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::size_t repairUtf8(std::string& text) {
  if (isValidUtf8(text.data(), text.size())) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::string repaired;
  repaired.reserve(text.size() + 16);
  std::size_t replaced = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequenceAt(p + i, text.size() - i);
    if (n == 0) {
      repaired += "\xEF\xBF\xBD";
      ++replaced;
      ++i;
    } else {
      repaired.append(text, i, n);
      i += n;
    }
  }
  text.swap(repaired);
  return replaced;
}

}  // namespace norv
