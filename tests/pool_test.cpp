// pgConnectionPool against the run's PostgreSQL cluster: rotation, tracing,
// prepare across the pool with a broken member, empty pools and failed
// construction.
#include <unistd.h>

#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "database/pgConnectionPool.h"
#include "support/PgTestSupport.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // One full turn learns each position's server process and leaves the
    // rotation where it started.
    for (int i = 0; i < 3; ++i) pids.push_back(PQbackendPID(pool.getNextConnection()->conn));
  }
  // Position of the connection whose server process id is pid, -1 if none.
  int positionOf(const std::string& pid) {
    for (int i = 0; i < 3; ++i)
      if (std::to_string(pids[i]) == pid) return i;
    return -1;
  }
  int servedBy(PGresult* pidResult) { return positionOf(takeValue(pidResult)); }
  int next() { return positionOf(std::to_string(PQbackendPID(pool.getNextConnection()->conn))); }
  std::string trace(int position, const char* status) {
    return "   [ " + std::to_string(position) + " ] exec status: " + status + "\n";
  }
  pgConnectionPool pool{pgConnString(), 3};
  std::vector<int> pids;
};

TEST_F(PoolTest, EveryRequestKindTakesTheNextPositionInTurn) {
  EXPECT_EQ(pool.getConnectionNumber(), 3);
  EXPECT_EQ(pool.getNextConnectionID(), 3);
  std::vector<int> seen;
  for (int i = 0; i < 4; ++i) seen.push_back(next());
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 0}));
  EXPECT_EQ(pool.getNextConnectionID(), 1);
  pool.prepareRequest("pid", "SELECT pg_backend_pid()");
  pool.prepareRequest("pidp", "SELECT pg_backend_pid() + $1::int", 1);
  EXPECT_EQ(servedBy(pool.executeRequest("SELECT pg_backend_pid()")), 1);
  EXPECT_EQ(servedBy(pool.executeParamRequest("SELECT pg_backend_pid() + $1::int", {"0"})), 2);
  EXPECT_EQ(servedBy(pool.executePrepareRequest("pid")), 0);
  EXPECT_EQ(servedBy(pool.executePrepareRequest("pidp", {"0"})), 1);
  EXPECT_EQ(pool.getClientEncoding(), adminQuery("SHOW server_encoding"));  // 2
  EXPECT_EQ(next(), 0);
  EXPECT_EQ(pgConnectionPool(pgConnString(), 2).getNextConnectionID(), 0);
}

TEST_F(PoolTest, DebugModeTracesEachSuccessWithItsPosition) {
  testing::internal::CaptureStdout();
  PQclear(pool.executeRequest("SELECT 1"));  // 0: debug mode is off
  pool.enableDebugMode(true);
  EXPECT_THROW(pool.executeRequest("SELEC"), PostgresqlException);  // 1: failures are not traced
  PQclear(pool.executeRequest("LISTEN somewhere"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), trace(2, "PGRES_COMMAND_OK"));

  // Four threads on three connections: every line still names its own
  // request's position (each appears equally often over whole turns), and
  // no connection mixes up two threads' results.
  testing::internal::CaptureStdout();
  std::vector<std::future<int>> workers;
  for (int t = 0; t < 4; ++t)
    workers.push_back(std::async(std::launch::async, [this] {
      int strangers = 0;
      for (int i = 0; i < 15; ++i) strangers += servedBy(pool.executeRequest("SELECT pg_backend_pid()")) < 0;
      return strangers;
    }));
  for (auto& w : workers) EXPECT_EQ(w.get(), 0);
  std::istringstream lines(testing::internal::GetCapturedStdout());
  std::map<std::string, int> perLine;
  for (std::string line; std::getline(lines, line);) ++perLine[line + "\n"];
  EXPECT_EQ(perLine, (std::map<std::string, int>{{trace(0, "PGRES_TUPLES_OK"), 20},
                                                 {trace(1, "PGRES_TUPLES_OK"), 20},
                                                 {trace(2, "PGRES_TUPLES_OK"), 20}}));
}

TEST_F(PoolTest, PrepareStopsAtABrokenConnection) {
  ASSERT_TRUE(terminateBackend(pids[1]));
  const std::string text = pgFailure([&] { pool.prepareRequest("half", "SELECT 2"); });
  EXPECT_EQ(text.rfind("prepare failed:  ", 0), 0u) << text;
  EXPECT_GT(text.size(), std::string("prepare failed:  ").size());
  // The pool lock was released on the way out.
  auto id = std::async(std::launch::async, [&] { return pool.getNextConnectionID(); });
  ASSERT_EQ(id.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(id.get(), 3);
  EXPECT_EQ(takeValue(pool.executePrepareRequest("half")), "2");  // position 0 has it
  EXPECT_THROW(pool.executeRequest("SELECT 1"), PostgresqlException);  // 1 is broken
  EXPECT_NE(pgFailure([&] { pool.executePrepareRequest("half"); }).find("does not exist"),
            std::string::npos);  // 2 was never reached
  EXPECT_NE(pgFailure([&] { pool.prepareRequest("half", "SELECT 2"); }).find("already exists"),
            std::string::npos);
}

TEST(PoolEmpty, EveryOperationNeedingAConnectionThrowsAClearError) {
  for (int count : {0, -2}) {
    SCOPED_TRACE(count);
    pgConnectionPool pool(pgConnString(), count);
    EXPECT_EQ(pool.getConnectionNumber(), 0);
    EXPECT_EQ(pool.getNextConnectionID(), 0);
    pool.prepareRequest("s", "SELECT 1");  // nothing to prepare on
    EXPECT_NE(pgFailure([&] { pool.getNextConnection(); }).find("empty"), std::string::npos);
    EXPECT_THROW(pool.executeRequest("SELECT 1"), PostgresqlException);
    EXPECT_THROW(pool.executeParamRequest("SELECT 1", {}), PostgresqlException);
    EXPECT_THROW(pool.executePrepareRequest("s"), PostgresqlException);
    EXPECT_THROW(pool.executePrepareRequest("s", {"1"}), PostgresqlException);
    EXPECT_THROW(pool.getClientEncoding(), PostgresqlException);
  }
}

TEST(PoolConstruction, FailedConnectClosesThoseAlreadyOpen) {
  const std::string role = "norv_limited_" + std::to_string(getpid());
  adminQuery("CREATE ROLE " + role + " LOGIN CONNECTION LIMIT 2");
  const std::string text = pgFailure([&] { pgConnectionPool pool(pgConnString() + " user=" + role, 3); });
  EXPECT_NE(text.find("too many connections"), std::string::npos) << text;
  const std::string count = "SELECT count(*) FROM pg_stat_activity WHERE usename = '" + role + "'";
  EXPECT_TRUE(waitUntil([&] { return adminQuery(count) == "0"; }, std::chrono::seconds(10)));
  adminQuery("DROP ROLE " + role);
}

TEST(PoolConstruction, DiscreteParametersConnectAndHideThePassword) {
  pgConnectionPool pool("127.0.0.1", pgPort(), "postgres", pgUser(), "any pass'word", 2);
  EXPECT_EQ(pool.getConnectionNumber(), 2);
  EXPECT_EQ(takeValue(pool.executeRequest("SELECT current_database()")), "postgres");
  const int closed = freePort();
  const std::string text =
      pgFailure([&] { pgConnectionPool bad("127.0.0.1", closed, "postgres", pgUser(), "any pass'word", 2); });
  EXPECT_NE(text.find(std::to_string(closed)), std::string::npos) << text;
  EXPECT_EQ(text.find("pass'word"), std::string::npos) << text;
}

}  // namespace
