// Database helpers for the tests of the database classes: setup and checks go
// through plain libpq on a connection of their own, so they do not depend on
// the code under test.
#ifndef NORV_TESTS_SUPPORT_PGTESTSUPPORT_H
#define NORV_TESTS_SUPPORT_PGTESTSUPPORT_H

#include <libpq-fe.h>

#include "database/PgHandles.h"

#include <functional>
#include <memory>
#include <string>

namespace testsupport {

using norv::PgConn;
using norv::PgResult;

// A connection that fails the calling test when it cannot be made.
PgConn pgConnect(const std::string& conninfo);

// Row 0, column 0 of result, which is cleared; empty when there is no row.
std::string takeValue(PGresult* result);

// Runs sql on a fresh connection to the run's cluster and returns row 0,
// column 0, or "" for no rows. Fails the calling test on an error.
std::string adminQuery(const std::string& sql);

// Terminates the server process pid and waits (bounded) until it is gone.
bool terminateBackend(int pid);

// The text of the PostgresqlException that f throws; "" and a test failure
// when it throws none.
std::string pgFailure(const std::function<void()>& f);

int pgPort();
std::string pgUser();

}  // namespace testsupport

#endif
