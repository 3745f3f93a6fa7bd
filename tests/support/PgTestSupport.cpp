#include "support/PgTestSupport.h"

#include <chrono>

#include <gtest/gtest.h>

#include "database/pgSafeThread.h"
#include "support/TestSupport.h"

namespace testsupport {

std::string takeValue(PGresult* result) {
  PgResult owned(result);
  if (!owned || PQntuples(owned.get()) < 1 || PQnfields(owned.get()) < 1) return "";
  return PQgetvalue(owned.get(), 0, 0);
}

PgConn pgConnect(const std::string& conninfo) {
  PgConn c(PQconnectdb(conninfo.c_str()));
  EXPECT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
  return c;
}

std::string adminQuery(const std::string& sql) {
  PgConn conn = pgConnect(pgConnString());
  PgResult r(PQexec(conn.get(), sql.c_str()));
  const ExecStatusType status = PQresultStatus(r.get());
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    ADD_FAILURE() << "admin query " << sql << ": " << PQerrorMessage(conn.get());
    return "";
  }
  return takeValue(r.release());
}

bool terminateBackend(int pid) {
  const std::string p = std::to_string(pid);
  adminQuery("SELECT pg_terminate_backend(" + p + ")");
  return waitUntil(
      [&] { return adminQuery("SELECT count(*) FROM pg_stat_activity WHERE pid = " + p) == "0"; },
      std::chrono::seconds(10));
}

std::string pgFailure(const std::function<void()>& f) {
  try {
    f();
  } catch (const PostgresqlException& e) {
    return e.what();
  }
  ADD_FAILURE() << "no PostgresqlException";
  return "";
}

int pgPort() { return std::stoi(pgTarget().port); }
std::string pgUser() { return pgTarget().user; }

}  // namespace testsupport
