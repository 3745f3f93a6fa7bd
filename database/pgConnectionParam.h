// Building libpq connection strings from discrete values. Each value is
// escaped so that libpq reads it exactly as given: a blank between other
// characters, a single quote and a backslash get a backslash before them.
// Blanks at the start and end are left alone (libpq skips them), and a value
// with nothing but blanks is written as '' so it cannot swallow the next
// keyword=value pair.
#ifndef NORV_DATABASE_PGCONNECTIONPARAM_H
#define NORV_DATABASE_PGCONNECTIONPARAM_H

#include <string>

namespace norv {

// keyword=escapedvalue, for example pgConnectionParam("password", "my secret")
// gives password=my\ secret.
std::string pgConnectionParam(const std::string& keyword, const std::string& value);

// "host=... port=... dbname=... user=...": the part of a discrete connection
// string that may be shown in an error text (no password). The port as text
// may be empty (libpq's default then applies).
std::string pgConnectionIdentity(const std::string& host, const std::string& port,
                                 const std::string& dbname, const std::string& user);
std::string pgConnectionIdentity(const std::string& host, int port, const std::string& dbname,
                                 const std::string& user);

// pgConnectionIdentity followed by " password=...".
std::string pgConnectionString(const std::string& host, const std::string& port,
                               const std::string& dbname, const std::string& user,
                               const std::string& password);
std::string pgConnectionString(const std::string& host, int port, const std::string& dbname,
                               const std::string& user, const std::string& password);

}  // namespace norv

#endif
