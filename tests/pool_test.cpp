// pgConnectionPool against the run's PostgreSQL cluster: rotation, tracing,
// prepare across the pool with a broken member, empty pools and failed
// construction.
#include <unistd.h>

#include <chrono>
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

using testsupport::adminQuery;
using testsupport::envOr;
using testsupport::takeValue;

namespace {

std::string failureText(const std::function<void()>& f) {
  try {
    f();
  } catch (const PostgresqlException& e) {
    return e.what();
  }
  ADD_FAILURE() << "no PostgresqlException";
  return "";
}

}  // namespace

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool.reset(new pgConnectionPool(testsupport::pgConnString(), 3));
    // One full turn to learn each position's server process; leaves the
    // rotation back at its start (nextIndex 3, so position 0 comes next).
    for (int i = 0; i < 3; ++i) pids.push_back(PQbackendPID(pool->getNextConnection()->conn));
  }
  // Position of the connection that ran the last request, found through the
  // server process id that request returned.
  int positionOf(const std::string& pid) {
    for (int i = 0; i < 3; ++i)
      if (std::to_string(pids[i]) == pid) return i;
    return -1;
  }
  int servedBy(PGresult* result) { return positionOf(takeValue(result)); }
  std::unique_ptr<pgConnectionPool> pool;
  std::vector<int> pids;
};

TEST_F(PoolTest, RotationOrderAndNextConnectionID) {
  EXPECT_EQ(pool->getConnectionNumber(), 3);
  EXPECT_NE(pids[0], pids[1]);
  EXPECT_NE(pids[1], pids[2]);
  EXPECT_EQ(pool->getNextConnectionID(), 3);
  std::vector<int> seen;
  for (int i = 0; i < 7; ++i)
    seen.push_back(positionOf(std::to_string(PQbackendPID(pool->getNextConnection()->conn))));
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(pool->getNextConnectionID(), 1);
  EXPECT_EQ(pool->getWaitRequest(), 0);

  pgConnectionPool fresh(testsupport::pgConnString(), 2);
  EXPECT_EQ(fresh.getNextConnectionID(), 0);
}

TEST_F(PoolTest, EveryRequestKindTakesTheNextPosition) {
  pool->prepareRequest("pid", "SELECT pg_backend_pid()");
  pool->prepareRequest("pidp", "SELECT pg_backend_pid() + $1::int", 1);
  EXPECT_EQ(servedBy(pool->executeRequest("SELECT pg_backend_pid()")), 0);
  EXPECT_EQ(servedBy(pool->executeParamRequest("SELECT pg_backend_pid() + $1::int", {"0"})), 1);
  EXPECT_EQ(servedBy(pool->executePrepareRequest("pid")), 2);
  EXPECT_EQ(servedBy(pool->executePrepareRequest("pidp", {"0"})), 0);
  const std::string text = failureText([&] { pool->executeParamRequest("SELECT $1::int", {"x"}); });
  EXPECT_EQ(text.rfind("Execute failed:  ERROR:  invalid input syntax", 0), 0u) << text;  // 1
  EXPECT_EQ(pool->getClientEncoding(), adminQuery("SHOW server_encoding"));  // position 2
  EXPECT_EQ(pool->getNextConnectionID(), 3);
  EXPECT_EQ(servedBy(pool->executeRequest("SELECT pg_backend_pid()")), 0);
}

TEST_F(PoolTest, TraceLinesOnlyInDebugModeAndOnlyForSuccess) {
  testing::internal::CaptureStdout();
  PQclear(pool->executeRequest("SELECT 1"));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "");

  pool->enableDebugMode(true);
  testing::internal::CaptureStdout();
  PQclear(pool->executeRequest("SELECT 1"));
  PQclear(pool->executeRequest("LISTEN somewhere"));
  EXPECT_THROW(pool->executeRequest("SELEC"), PostgresqlException);
  PQclear(pool->executeParamRequest("SELECT $1", {"a"}));
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "   [ 1 ] exec status: PGRES_TUPLES_OK\n"
            "   [ 2 ] exec status: PGRES_COMMAND_OK\n"
            "   [ 1 ] exec status: PGRES_TUPLES_OK\n");

  pool->enableDebugMode(false);
  testing::internal::CaptureStdout();
  PQclear(pool->executeRequest("SELECT 1"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// Under concurrent selection each trace line must still name the position its
// own request took: over whole turns every position appears equally often.
TEST_F(PoolTest, ConcurrentRequestsTraceTheirOwnPosition) {
  pool->enableDebugMode(true);
  testing::internal::CaptureStdout();
  std::vector<std::future<int>> workers;
  for (int t = 0; t < 4; ++t) {
    workers.push_back(std::async(std::launch::async, [this] {
      int strangers = 0;
      for (int i = 0; i < 15; ++i)
        if (servedBy(pool->executeRequest("SELECT pg_backend_pid()")) < 0) ++strangers;
      return strangers;
    }));
  }
  for (auto& w : workers) EXPECT_EQ(w.get(), 0);
  std::istringstream lines(testing::internal::GetCapturedStdout());
  std::map<std::string, int> perLine;
  for (std::string line; std::getline(lines, line);) ++perLine[line];
  EXPECT_EQ(perLine, (std::map<std::string, int>{{"   [ 0 ] exec status: PGRES_TUPLES_OK", 20},
                                                 {"   [ 1 ] exec status: PGRES_TUPLES_OK", 20},
                                                 {"   [ 2 ] exec status: PGRES_TUPLES_OK", 20}}));
}

TEST_F(PoolTest, PrepareStopsAtABrokenConnection) {
  pool->prepareRequest("everywhere", "SELECT 1");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(takeValue(pool->executePrepareRequest("everywhere")), "1");

  ASSERT_TRUE(testsupport::terminateBackend(pids[1]));
  const std::string text = failureText([&] { pool->prepareRequest("half", "SELECT 2"); });
  EXPECT_EQ(text.rfind("prepare failed:  ", 0), 0u) << text;
  EXPECT_GT(text.size(), std::string("prepare failed:  ").size());

  // The pool lock was released on the way out.
  auto id = std::async(std::launch::async, [&] { return pool->getNextConnectionID(); });
  ASSERT_EQ(id.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(id.get(), 3);
  EXPECT_EQ(takeValue(pool->executePrepareRequest("half")), "2");  // position 0 has it
  EXPECT_THROW(pool->executeRequest("SELECT 1"), PostgresqlException);  // 1 is broken
  const std::string third = failureText([&] { pool->executePrepareRequest("half"); });
  EXPECT_NE(third.find("does not exist"), std::string::npos) << third;

  const std::string again = failureText([&] { pool->prepareRequest("half", "SELECT 2"); });
  EXPECT_NE(again.find("already exists"), std::string::npos) << again;
}

TEST(PoolEmpty, NoConnectionMeansAClearError) {
  for (int count : {0, -2}) {
    pgConnectionPool pool(testsupport::pgConnString(), count);
    EXPECT_EQ(pool.getConnectionNumber(), 0);
    EXPECT_EQ(pool.getNextConnectionID(), 0);
    pool.prepareRequest("s", "SELECT 1");
    pool.prepareRequest("s", "SELECT $1", 1);
    const std::string text = failureText([&] { pool.getNextConnection(); });
    EXPECT_NE(text.find("empty"), std::string::npos) << text;
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
  const std::string text = failureText(
      [&] { pgConnectionPool pool(testsupport::pgConnString() + " user=" + role, 3); });
  EXPECT_NE(text.find("too many connections"), std::string::npos) << text;
  EXPECT_EQ(text.back(), '\n');
  const std::string count = "SELECT count(*) FROM pg_stat_activity WHERE usename = '" + role + "'";
  EXPECT_TRUE(testsupport::waitUntil([&] { return adminQuery(count) == "0"; },
                                     std::chrono::seconds(10)));
  adminQuery("DROP ROLE " + role);
}

TEST(PoolConstruction, DiscreteParameters) {
  const std::string user = envOr("PGUSER", "postgres");
  const int port = std::stoi(envOr("PGPORT", "5432"));
  pgConnectionPool pool("127.0.0.1", port, "postgres", user, "any pass'word", 2);
  EXPECT_EQ(pool.getConnectionNumber(), 2);
  EXPECT_EQ(takeValue(pool.executeRequest("SELECT current_database()")), "postgres");

  const int closed = testsupport::freePort();
  const std::string text = failureText(
      [&] { pgConnectionPool bad("127.0.0.1", closed, "postgres", user, "any pass'word", 2); });
  EXPECT_NE(text.find(std::to_string(closed)), std::string::npos) << text;
  EXPECT_EQ(text.find("pass'word"), std::string::npos) << text;
  EXPECT_EQ(text.back(), '\n');
}
