// hostOf: the sending host named by a received message, found without
// building a document.
//
// It returns exactly what jsoncpp 1.9.5's Json::Reader (default features,
// comments collected) followed by root.get("fromhost", "daemonbadhost")
// .asString() returns for the same bytes, with "daemonbadhost" for any
// exception: the root object's last "fromhost" stored before the reader
// stopped (at the end of the root value, at its first error, or at a NUL
// read as the end of the text), "" for null, jsoncpp's own text for a number
// or a boolean, and "daemonbadhost" when there is none, when it is an array
// or an object, when the root is not an object, and for nesting at jsoncpp's
// limit of 1000. Numbers are judged as jsoncpp reads them under the classic
// global C++ locale.
//
// Cost: one pass over the text, a few nanoseconds a token, stopping where the
// reader stops; no allocation but the returned string, and a fixed 1000-byte
// stack for the nesting. Only a host that is a number goes to jsoncpp, as its
// token alone.
#ifndef NORV_WEBSOCKET_HOSTLOOKUP_H
#define NORV_WEBSOCKET_HOSTLOOKUP_H

#include <cstddef>
#include <string>

namespace norv {

std::string hostOf(const char* data, std::size_t size);

}  // namespace norv

#endif
