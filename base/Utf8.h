// UTF-8 checks for text that must go out as a WebSocket text message, whose
// payload a peer refuses unless it is valid UTF-8 (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF).
#ifndef NORV_BASE_UTF8_H
#define NORV_BASE_UTF8_H

#include <cstddef>
#include <string>

namespace norv {

bool isValidUtf8(const char* data, std::size_t size);

// Replaces every byte that does not belong to a valid sequence by U+FFFD
// (one replacement per byte, so the damage stays visible at its own size)
// and returns how many bytes were replaced; valid text is left untouched.
std::size_t repairUtf8(std::string& text);

}  // namespace norv

#endif
