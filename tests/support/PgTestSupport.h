// Database helpers of the tests, on libpq connections of their own.
#ifndef NORV_TESTS_SUPPORT_PGTESTSUPPORT_H
#define NORV_TESTS_SUPPORT_PGTESTSUPPORT_H

#include <libpq-fe.h>

#include <functional>
#include <string>

#include "database/PgHandles.h"
#include "support/TestSupport.h"

namespace testsupport {

using norv::PgConn;
using norv::PgResult;

// A connection; the calling test fails when it cannot be made.
PgConn pgConnect(const std::string& conninfo);
// Row 0, column 0 of result (then cleared); "" when there is none.
std::string takeValue(PGresult* result);
// Row 0, column 0 of sql run on a fresh connection to the tests' cluster (fails on an error).
std::string adminQuery(const std::string& sql);
// Ends the server process pid; true once it is gone (waits 10 s at most).
bool terminateBackend(int pid);
// The text of the PostgresqlException that f throws; a test failure if none.
std::string pgFailure(const std::function<void()>& f);

inline int pgPort() { return std::stoi(pgTarget().port); }
inline std::string pgUser() { return pgTarget().user; }

}  // namespace testsupport

#endif
