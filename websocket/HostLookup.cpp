#include "websocket/HostLookup.h"

#include <json/json.h>

#include <cstring>

// The scan below follows Json::Reader (json_reader.cpp, 1.9.5) step by step:
// the same tokens with the same extents, the same checks in the same order,
// and the same decoding failures, since any of these decides where the reader
// stops and so which "fromhost" it has stored by then. Nothing below the root
// object is kept; after the first error the reader only skips tokens, which
// cannot change the result, so the scan stops there.

namespace norv {
namespace {

const char kBadHost[] = "daemonbadhost";
// The reader throws when it starts a value inside this many arrays/objects.
constexpr std::size_t kStackLimit = 1000;

enum class Tok {
  kObjectBegin,
  kObjectEnd,
  kArrayBegin,
  kArrayEnd,
  kString,
  kNumber,
  kTrue,
  kFalse,
  kNull,
  kComma,
  kColon,
  kComment,
  kEnd,  // the end of the text, or a NUL byte
  kError,
};

// A string or number token as the lexer found it, quotes included.
struct Token {
  const char* begin;
  const char* end;
  bool escaped;  // a string with a backslash in it
};

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reader::readToken and the readers it calls. next() gives the type; the
// last token's bytes are token().
class Lexer {
 public:
  Lexer(const char* begin, const char* end) : cur_(begin), end_(end) {}

  Tok next() {
    skipSpaces();
    start_ = cur_;
    const char c = cur_ == end_ ? '\0' : *cur_++;
    switch (c) {
      case '{':
        return Tok::kObjectBegin;
      case '}':
        return Tok::kObjectEnd;
      case '[':
        return Tok::kArrayBegin;
      case ']':
        return Tok::kArrayEnd;
      case ',':
        return Tok::kComma;
      case ':':
        return Tok::kColon;
      case '\0':
        return Tok::kEnd;
      case '"':
        return readString() ? Tok::kString : Tok::kError;
      case '/':
        return readComment() ? Tok::kComment : Tok::kError;
      case 't':
        return match("rue", 3) ? Tok::kTrue : Tok::kError;
      case 'f':
        return match("alse", 4) ? Tok::kFalse : Tok::kError;
      case 'n':
        return match("ull", 3) ? Tok::kNull : Tok::kError;
      default:
        if (!isDigit(c) && c != '-') return Tok::kError;
        readNumber();
        return Tok::kNumber;
    }
  }

  // Reader::readArray's look for "[]": blanks are skipped, comments are not.
  bool takeEmptyArrayEnd() {
    skipSpaces();
    if (cur_ == end_ || *cur_ != ']') return false;
    ++cur_;
    return true;
  }

  Token token() const { return Token{start_, cur_, escaped_}; }
  // The last number token has only digits, too few to overflow a double.
  bool shortInteger() const { return shortInteger_; }

 private:
  void skipSpaces() {
    while (cur_ != end_ && (*cur_ == ' ' || *cur_ == '\t' || *cur_ == '\r' || *cur_ == '\n'))
      ++cur_;
  }

  bool match(const char* rest, std::ptrdiff_t n) {
    if (end_ - cur_ < n || std::memcmp(cur_, rest, n) != 0) return false;
    cur_ += n;
    return true;
  }

  // A backslash hides the next byte, even a quote; the string must end on a
  // quote that was not hidden.
  bool readString() {
    escaped_ = false;
    char c = '\0';
    while (cur_ != end_) {
      c = *cur_++;
      if (c == '"') break;
      if (c == '\\') {
        escaped_ = true;
        if (cur_ != end_) ++cur_;
      }
    }
    return c == '"';
  }

  bool readComment() {
    const char c = cur_ == end_ ? '\0' : *cur_++;
    if (c == '*') {
      // Looks for "*/" while two bytes are left; then the last byte read
      // decides, so "/*/" or "/*x/" at the very end are whole comments.
      while (cur_ + 1 < end_) {
        if (*cur_++ == '*' && *cur_ == '/') break;
      }
      return cur_ != end_ && *cur_++ == '/';
    }
    if (c != '/') return false;
    while (cur_ != end_) {
      const char d = *cur_++;
      if (d == '\n') break;
      if (d == '\r') {
        if (cur_ != end_ && *cur_ == '\n') ++cur_;
        break;
      }
    }
    return true;
  }

  // The first byte ('-' or a digit) is taken; then digits, an optional
  // fraction, an optional exponent, each part possibly without digits.
  void readNumber() {
    while (cur_ != end_ && isDigit(*cur_)) ++cur_;
    shortInteger_ = cur_ - start_ < 300;
    if (cur_ != end_ && *cur_ == '.') {
      shortInteger_ = false;
      ++cur_;
      while (cur_ != end_ && isDigit(*cur_)) ++cur_;
    }
    if (cur_ != end_ && (*cur_ == 'e' || *cur_ == 'E')) {
      shortInteger_ = false;
      ++cur_;
      if (cur_ != end_ && (*cur_ == '+' || *cur_ == '-')) ++cur_;
      while (cur_ != end_ && isDigit(*cur_)) ++cur_;
    }
  }

  const char* cur_;
  const char* const end_;
  const char* start_ = nullptr;
  bool escaped_ = false;
  bool shortInteger_ = false;
};

bool readHex4(const char*& p, const char* end, unsigned& value) {
  if (end - p < 4) return false;
  value = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = *p++;
    value *= 16;
    if (c >= '0' && c <= '9') {
      value += c - '0';
    } else if (c >= 'a' && c <= 'f') {
      value += c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      value += c - 'A' + 10;
    } else {
      return false;
    }
  }
  return true;
}

// Reader::decodeString over a string token, each decoded byte given to
// `out`. A high surrogate takes the next \u escape whatever it holds; code
// points are written as UTF-8 as they are, lone surrogates included.
template <typename Out>
bool decodeString(const Token& t, Out&& out) {
  const char* p = t.begin + 1;
  const char* const end = t.end - 1;
  while (p != end) {
    const char c = *p++;
    if (c == '"') break;
    if (c != '\\') {
      out(c);
      continue;
    }
    if (p == end) return false;
    switch (*p++) {
      case '"':
        out('"');
        break;
      case '/':
        out('/');
        break;
      case '\\':
        out('\\');
        break;
      case 'b':
        out('\b');
        break;
      case 'f':
        out('\f');
        break;
      case 'n':
        out('\n');
        break;
      case 'r':
        out('\r');
        break;
      case 't':
        out('\t');
        break;
      case 'u': {
        unsigned cp;
        if (!readHex4(p, end, cp)) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          unsigned low;
          if (end - p < 6 || *p++ != '\\' || *p++ != 'u' || !readHex4(p, end, low)) return false;
          cp = 0x10000 + ((cp & 0x3FF) << 10) + (low & 0x3FF);
        }
        if (cp <= 0x7F) {
          out(static_cast<char>(cp));
        } else if (cp <= 0x7FF) {
          out(static_cast<char>(0xC0 | (cp >> 6)));
          out(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp <= 0xFFFF) {
          out(static_cast<char>(0xE0 | (cp >> 12)));
          out(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
          out(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
          out(static_cast<char>(0xF0 | (cp >> 18)));
          out(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
          out(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
          out(static_cast<char>(0x80 | (cp & 0x3F)));
        }
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

bool stringDecodes(const Token& t) {
  return !t.escaped || decodeString(t, [](char) {});
}

// Whether a member name that decodes decodes to "fromhost".
bool namesHost(const Token& t) {
  static const char kName[] = "fromhost";
  constexpr std::size_t kLength = sizeof kName - 1;
  if (!t.escaped) {
    return static_cast<std::size_t>(t.end - t.begin) == kLength + 2 &&
           std::memcmp(t.begin + 1, kName, kLength) == 0;
  }
  std::size_t matched = 0;
  bool same = true;
  decodeString(t, [&](char c) {
    same = same && matched < kLength && c == kName[matched];
    ++matched;
  });
  return same && matched == kLength;
}

// 2^1024 - 2^970, halfway between DBL_MAX and 2^1024: strtod overflows from
// here on (a tie rounds to the even 2^1024).
const char kOverflow[] =
    "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977"
    "587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845"
    "817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559"
    "699508093042880177904174497792";

// Reader::decodeNumber's success. A token of digits (after a '-', maybe none)
// that fits 64 bits is an integer; anything else goes through
// `istringstream >> double`, which fails without a digit before the
// exponent, without a digit in the exponent, and when strtod overflows
// (underflow to zero is fine).
bool numberDecodes(const Token& t) {
  const char* p = t.begin;
  const char* const end = t.end;
  if (*p == '-') ++p;
  const char* const intBegin = p;
  while (p != end && isDigit(*p)) ++p;
  const char* const intEnd = p;
  const char* fracBegin = p;
  const char* fracEnd = p;
  bool real = false;
  if (p != end && *p == '.') {
    real = true;
    fracBegin = ++p;
    while (p != end && isDigit(*p)) ++p;
    fracEnd = p;
  }
  if (!real && p == end && intBegin == intEnd) return true;  // "-" reads as 0
  if (intBegin == intEnd && fracBegin == fracEnd) return false;
  long long exponent = 0;
  if (p != end) {  // 'e' or 'E'
    ++p;
    const bool negative = p != end && *p == '-';
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (p == end) return false;
    for (; p != end; ++p) {
      if (exponent < 1000000000000LL) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  // The value is 0.D * 10^(magnitude), D its digits from the first non-zero.
  const char* d = intBegin;
  while (d != intEnd && *d == '0') ++d;
  long long magnitude = intEnd - d;
  if (d == intEnd) {
    d = fracBegin;
    while (d != fracEnd && *d == '0') ++d;
    if (d == fracEnd) return true;
    magnitude = -(d - fracBegin);
  }
  magnitude += exponent;
  const long long overflowMagnitude = sizeof kOverflow - 1;
  if (magnitude != overflowMagnitude) return magnitude < overflowMagnitude;
  for (const char* o = kOverflow; *o != '\0'; ++o, ++d) {
    if (d == intEnd) d = fracBegin;
    if (d == fracEnd) return true;  // the rest of kOverflow is not all zeros
    if (*d != *o) return *d < *o;
  }
  return false;
}

// Root "fromhost" as the reader has stored it so far.
struct Host {
  enum Kind { kAbsent, kNull, kString, kNumber, kTrue, kFalse, kContainer } kind = kAbsent;
  Token token{};
};

std::string text(const Host& host) {
  switch (host.kind) {
    case Host::kNull:
      return "";
    case Host::kTrue:
      return "true";
    case Host::kFalse:
      return "false";
    case Host::kString: {
      const Token& t = host.token;
      if (!t.escaped) return std::string(t.begin + 1, t.end - 1);
      std::string s;
      decodeString(t, [&s](char c) { s += c; });
      return s;
    }
    case Host::kNumber: {
      Json::Reader reader;
      Json::Value value;
      reader.parse(host.token.begin, host.token.end, value, false);
      return value.asString();
    }
    default:
      return kBadHost;
  }
}

}  // namespace

std::string hostOf(const char* data, std::size_t size) {
  // One entry per open array/object, the root object first: whether it is an
  // object, and for an object whether its last member name was "" (then a
  // '}' is taken where a name is expected: Reader::readObject's name.empty()).
  enum : unsigned char { kObject = 1, kEmptyName = 2 };
  unsigned char open[kStackLimit];
  std::size_t depth = 0;
  Host host;
  // The member being read is the root object's "fromhost".
  bool hostMember = false;

  // What the reader takes next, one token at a time.
  enum class Expect { kRoot, kName, kColon, kValue, kMemberEnd, kAfterComment, kElementEnd };
  Expect expect = Expect::kRoot;
  const auto afterValue = [&] {
    return (open[depth - 1] & kObject) ? Expect::kMemberEnd : Expect::kElementEnd;
  };
  Lexer lexer(data, data + size);
  for (;;) {
    const Tok t = lexer.next();
    switch (expect) {
      case Expect::kRoot:
        if (t == Tok::kComment) break;
        if (t != Tok::kObjectBegin) return kBadHost;
        open[depth++] = kObject | kEmptyName;
        expect = Expect::kName;
        break;

      case Expect::kName: {
        if (t == Tok::kComment) break;
        if (t == Tok::kObjectEnd && (open[depth - 1] & kEmptyName)) {
          if (--depth == 0) return text(host);
          expect = afterValue();
          break;
        }
        if (t != Tok::kString) return text(host);
        const Token name = lexer.token();
        if (!stringDecodes(name)) return text(host);
        if (name.end - name.begin == 2) {
          open[depth - 1] |= kEmptyName;
        } else {
          open[depth - 1] &= ~kEmptyName;
        }
        hostMember = depth == 1 && namesHost(name);
        expect = Expect::kColon;
        break;
      }

      case Expect::kColon:
        if (t != Tok::kColon) return text(host);
        // The member exists (null) from here on, even if its value fails.
        if (hostMember && host.kind == Host::kAbsent) host.kind = Host::kNull;
        if (depth >= kStackLimit) return kBadHost;
        expect = Expect::kValue;
        break;

      case Expect::kValue: {
        if (t == Tok::kComment) break;
        Host::Kind kind;
        switch (t) {
          case Tok::kObjectBegin:
            kind = Host::kContainer;
            open[depth++] = kObject | kEmptyName;
            expect = Expect::kName;
            break;
          case Tok::kArrayBegin:
            kind = Host::kContainer;
            if (lexer.takeEmptyArrayEnd()) {
              expect = afterValue();
              break;
            }
            open[depth++] = 0;
            if (depth >= kStackLimit) return kBadHost;
            break;
          case Tok::kNumber:
            if (!lexer.shortInteger() && !numberDecodes(lexer.token())) return text(host);
            kind = Host::kNumber;
            expect = afterValue();
            break;
          case Tok::kString:
            if (!stringDecodes(lexer.token())) return text(host);
            kind = Host::kString;
            expect = afterValue();
            break;
          case Tok::kTrue:
            kind = Host::kTrue;
            expect = afterValue();
            break;
          case Tok::kFalse:
            kind = Host::kFalse;
            expect = afterValue();
            break;
          case Tok::kNull:
            kind = Host::kNull;
            expect = afterValue();
            break;
          default:
            return text(host);
        }
        if (hostMember) {
          host.kind = kind;
          host.token = lexer.token();
          hostMember = false;
        }
        break;
      }

      case Expect::kMemberEnd:
        if (t == Tok::kComment) {
          expect = Expect::kAfterComment;
          break;
        }
        if (t == Tok::kComma) {
          expect = Expect::kName;
          break;
        }
        if (t != Tok::kObjectEnd) return text(host);
        if (--depth == 0) return text(host);
        expect = afterValue();
        break;

      case Expect::kAfterComment:
        // After a comment any one token, even a broken one, passes for the
        // comma.
        if (t == Tok::kComment) break;
        if (t != Tok::kObjectEnd) {
          expect = Expect::kName;
          break;
        }
        if (--depth == 0) return text(host);
        expect = afterValue();
        break;

      case Expect::kElementEnd:
        if (t == Tok::kComment) break;
        if (t == Tok::kComma) {
          expect = Expect::kValue;  // an open array is below the limit
          break;
        }
        if (t != Tok::kArrayEnd) return text(host);
        --depth;
        expect = afterValue();
        break;
    }
  }
}

}  // namespace norv
