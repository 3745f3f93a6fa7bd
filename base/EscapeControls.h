// Text made safe for a line-oriented log: every control character (C0
// controls, DEL and, encoded in UTF-8, the C1 controls U+0080..U+009F) is
// written as an escape ("\n", "\r", "\t", "\x1b" and so on for the bytes,
// "\u009b" and so on for C1), so that no text can start a log line of its own
// or drive the terminal that shows the log. Everything else (printable ASCII,
// UTF-8 text, stray bytes of other encodings) is copied unchanged.
#ifndef NORV_BASE_ESCAPECONTROLS_H
#define NORV_BASE_ESCAPECONTROLS_H

#include <string>
#include <string_view>

namespace norv {

// Appends `text` to `out`, escaped; a text with nothing to escape is copied
// in one piece.
void appendEscaped(std::string& out, std::string_view text);

}  // namespace norv

#endif
