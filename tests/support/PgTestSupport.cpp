#include "support/PgTestSupport.h"

#include <gtest/gtest.h>

#include "database/pgSafeThread.h"

namespace testsupport {

PgConn pgConnect(const std::string& conninfo) {
  PgConn c(PQconnectdb(conninfo.c_str()));
  EXPECT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
  return c;
}

std::string takeValue(PGresult* result) {
  PgResult owned(result);
  return PQntuples(result) > 0 && PQnfields(result) > 0 ? PQgetvalue(result, 0, 0) : "";
}

std::string adminQuery(const std::string& sql) {
  PgConn conn = pgConnect(pgConnString());
  PGresult* r = PQexec(conn.get(), sql.c_str());
  const ExecStatusType status = PQresultStatus(r);
  EXPECT_TRUE(status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK)
      << sql << ": " << PQerrorMessage(conn.get());
  return takeValue(r);
}

bool terminateBackend(int pid) {
  return adminQuery("SELECT pg_terminate_backend(" + std::to_string(pid) + ", 10000)") == "t";
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

}  // namespace testsupport
