// pgConnectionPool against the tests' PostgreSQL: rotation, tracing, prepare
// across the pool with a broken member, empty pools and failed construction.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "database/pgConnectionPool.h"
#include "support/PgTestSupport.h"

using namespace testsupport;

namespace {

class PoolTest : public ::testing::Test {
 protected:
  // One full turn learns each position's server process; the turn is back at 0.
  void SetUp() override {
    for (int i = 0; i < 3; ++i) pids.push_back(PQbackendPID(pool.getNextConnection()->conn));
  }
  // Position of the connection whose server process is pid; 3 if none.
  int positionOf(int pid) { return std::find(pids.begin(), pids.end(), pid) - pids.begin(); }
  int servedBy(PGresult* pidResult) { return positionOf(std::stoi(takeValue(pidResult))); }
  int next() { return positionOf(PQbackendPID(pool.getNextConnection()->conn)); }
  static std::string trace(int position, const char* status) {
    return "   [ " + std::to_string(position) + " ] exec status: " + status + "\n";
  }
  pgConnectionPool pool{pgConnString(), 3};
  std::vector<int> pids;
};

TEST_F(PoolTest, EveryRequestKindTakesTheNextPositionInTurn) {
  EXPECT_TRUE(pool.getConnectionNumber() == 3 && pool.getNextConnectionID() == 3);
  for (int position : {0, 1, 2, 0}) EXPECT_EQ(next(), position);
  EXPECT_EQ(pool.getNextConnectionID(), 1);
  pool.prepareRequest("pid", "SELECT pg_backend_pid()");
  pool.prepareRequest("pidp", "SELECT pg_backend_pid() + $1::int", 1);
  EXPECT_EQ(servedBy(pool.executeRequest("SELECT pg_backend_pid()")), 1);
  EXPECT_EQ(servedBy(pool.executeParamRequest("SELECT pg_backend_pid() + $1::int", {"0"})), 2);
  EXPECT_EQ(servedBy(pool.executePrepareRequest("pid")), 0);
  EXPECT_EQ(servedBy(pool.executePrepareRequest("pidp", {"0"})), 1);
  EXPECT_EQ(pool.getClientEncoding(), adminQuery("SHOW server_encoding"));  // 2
  EXPECT_EQ(next(), 0);
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
      for (int i = 0; i < 15; ++i)
        strangers += servedBy(pool.executeRequest("SELECT pg_backend_pid()")) > 2;
      return strangers;
    }));
  for (auto& w : workers) EXPECT_EQ(w.get(), 0);
  std::istringstream lines(testing::internal::GetCapturedStdout());
  std::map<std::string, int> perLine, expected;
  for (std::string line; std::getline(lines, line);) ++perLine[line + "\n"];
  for (int position = 0; position < 3; ++position)
    expected[trace(position, "PGRES_TUPLES_OK")] = 20;
  EXPECT_EQ(perLine, expected);
}

TEST_F(PoolTest, PrepareStopsAtABrokenConnectionAndReleasesThePool) {
  ASSERT_TRUE(terminateBackend(pids[1]));
  const std::string text = pgFailure([&] { pool.prepareRequest("half", "SELECT 2"); });
  EXPECT_TRUE(text.rfind("prepare failed:  ", 0) == 0 && text.size() > 17) << text;
  EXPECT_EQ(finishesWithin(std::chrono::seconds(10), "the pool after a failed prepare",
                           [&] { return pool.getNextConnectionID(); }),
            3);
  EXPECT_EQ(takeValue(pool.executePrepareRequest("half")), "2");       // position 0 has it
  EXPECT_THROW(pool.executeRequest("SELECT 1"), PostgresqlException);  // 1 is broken
  EXPECT_NE(pgFailure([&] { pool.executePrepareRequest("half"); }).find("does not exist"),
            std::string::npos);  // 2 was never reached
}

TEST(PoolEmpty, EveryOperationNeedingAConnectionThrows) {
  for (int count : {0, -2}) {
    pgConnectionPool pool(pgConnString(), count);
    EXPECT_EQ(pool.getConnectionNumber() + pool.getNextConnectionID(), 0);
    pool.prepareRequest("s", "SELECT 1");  // nothing to prepare on
    const std::function<void()> operations[] = {[&] { pool.getNextConnection(); },
                                                [&] { pool.executeRequest("SELECT 1"); },
                                                [&] { pool.executeParamRequest("SELECT 1", {}); },
                                                [&] { pool.executePrepareRequest("s"); },
                                                [&] { pool.executePrepareRequest("s", {"1"}); },
                                                [&] { pool.getClientEncoding(); }};
    for (const auto& op : operations)
      EXPECT_NE(pgFailure(op).find("pool is empty"), std::string::npos) << count;
  }
}

TEST(PoolConstruction, FailedConnectClosesThoseAlreadyOpen) {
  const std::string role = "norv_limited_" + std::to_string(getpid());
  adminQuery("CREATE ROLE " + role + " LOGIN CONNECTION LIMIT 2");
  const std::string text =
      pgFailure([&] { pgConnectionPool pool(pgConnString() + " user=" + role, 3); });
  EXPECT_NE(text.find("too many connections"), std::string::npos) << text;
  const std::string count = "SELECT count(*) FROM pg_stat_activity WHERE usename = '" + role + "'";
  EXPECT_TRUE(waitUntil([&] { return adminQuery(count) == "0"; }, std::chrono::seconds(10)));
  adminQuery("DROP ROLE " + role);
}

TEST(PoolConstruction, DiscreteParametersConnectAndHideThePassword) {
  pgConnectionPool pool("127.0.0.1", pgPort(), "postgres", pgUser(), "top secret", 2);
  EXPECT_EQ(takeValue(pool.executeRequest("SELECT current_database()")), "postgres");
  const int closed = freePort();
  const std::string text = pgFailure(
      [&] { pgConnectionPool bad("127.0.0.1", closed, "postgres", pgUser(), "top secret", 2); });
  EXPECT_NE(text.find(std::to_string(closed)), std::string::npos) << text;
  EXPECT_EQ(text.find("secret"), std::string::npos) << text;
}

}  // namespace
