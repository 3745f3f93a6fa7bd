#include "database/pgConnectionParam.h"

#include "config/convertTo.h"

namespace {
// The characters libpq's connection string parser ends an unquoted value at.
const char* const kBlanks = " \t\n\r\f\v";

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
}  // namespace

namespace norv {

std::string pgConnectionParam(const std::string& keyword, const std::string& value) {
  std::string out = keyword + "=";
  const std::string::size_type first = value.find_first_not_of(kBlanks);
  if (first == std::string::npos) return out + value + "''";
  const std::string::size_type last = value.find_last_not_of(kBlanks);
  out += value.substr(0, first);
  for (std::string::size_type i = first; i <= last; ++i) {
    const char c = value[i];
    if (c == '\\' || c == '\'' || isBlank(c)) out += '\\';
    out += c;
  }
  out += value.substr(last + 1);
  return out;
}

std::string pgConnectionIdentity(const std::string& host, const std::string& port,
                                 const std::string& dbname, const std::string& user) {
  return pgConnectionParam("host", host) + " " + pgConnectionParam("port", port) + " " +
         pgConnectionParam("dbname", dbname) + " " + pgConnectionParam("user", user);
}

std::string pgConnectionIdentity(const std::string& host, int port, const std::string& dbname,
                                 const std::string& user) {
  return pgConnectionIdentity(host, intToString(port), dbname, user);
}

std::string pgConnectionString(const std::string& host, const std::string& port,
                               const std::string& dbname, const std::string& user,
                               const std::string& password) {
  return pgConnectionIdentity(host, port, dbname, user) + " " +
         pgConnectionParam("password", password);
}

std::string pgConnectionString(const std::string& host, int port, const std::string& dbname,
                               const std::string& user, const std::string& password) {
  return pgConnectionString(host, intToString(port), dbname, user, password);
}

}  // namespace norv
