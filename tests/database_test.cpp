// pgSafeThread against the run's PostgreSQL cluster: status mapping and error
// prefixes, the mutex after failures, connect failures and escaped values.
#include <unistd.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "database/pgSafeThread.h"
#include "support/PgTestSupport.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class PgSafeThreadTest : public ::testing::Test {
 protected:
  std::unique_ptr<pgSafeThread> db{new pgSafeThread(pgConnString())};
};

TEST_F(PgSafeThreadTest, CommandsAndTuplesPassOtherStatusesThrow) {
  PQclear(db->executeRequest("CREATE TEMP TABLE t (v int)"));
  for (const char* sql : {"UPDATE t SET v = 1", "LISTEN syslog"})
    EXPECT_EQ(PQresultStatus(PgResult(db->executeRequest(sql)).get()), PGRES_COMMAND_OK) << sql;
  EXPECT_EQ(PQresultStatus(PgResult(db->executeRequest("SELECT v FROM t")).get()), PGRES_TUPLES_OK);
  const std::pair<const char*, const char*> failing[] = {
      {"", "execute failed:  "},  // empty query
      {"SELEC 1", "execute failed:  ERROR:  syntax error"},
      {"COPY t FROM STDIN", "execute failed:  "},
  };
  for (const auto& [sql, prefix] : failing) {
    const std::string text = pgFailure([&] { db->executeRequest(sql); });
    EXPECT_TRUE(startsWith(text, prefix)) << sql << ": " << text;
  }
  // The copy state must not wedge the connection.
  EXPECT_EQ(takeValue(db->executeRequest("SELECT count(*) FROM t")), "0");
  EXPECT_EQ(db->getClientEncoding(), adminQuery("SHOW server_encoding"));
}

TEST_F(PgSafeThreadTest, ParametersAndPreparedStatementsReachTheServerAsWritten) {
  EXPECT_EQ(takeValue(db->executeParamRequest("SELECT 'none'", {})), "none");
  EXPECT_EQ(takeValue(db->executeParamRequest("SELECT $1", {"it's a \\ test"})), "it's a \\ test");
  // More parameters than fit the inline pointer array.
  std::vector<std::string> params;
  std::string sql = "SELECT concat(", expected;
  for (int i = 1; i <= 40; ++i) {
    params.push_back(std::to_string(i));
    sql += (i > 1 ? ",$" : "$") + params.back() + "::text";
    expected += params.back();
  }
  EXPECT_EQ(takeValue(db->executeParamRequest(sql + ")", params)), expected);
  db->prepareRequest("add", "SELECT $1::int + $2::int", 2);
  db->prepareRequest("one", "SELECT 1");
  EXPECT_EQ(takeValue(db->executePrepareRequest("add", {"4", "5"})), "9");
  EXPECT_EQ(takeValue(db->executePrepareRequest("one")), "1");
}

// Every failing path names itself and unlocks: another thread's call would
// hang otherwise.
TEST_F(PgSafeThreadTest, FailuresCarryTheirPrefixAndLeaveTheMutexFree) {
  db->prepareRequest("add", "SELECT $1::int + $2::int", 2);
  const std::pair<std::function<void()>, const char*> failures[] = {
      {[&] { db->executeRequest("SELEC"); }, "execute failed:  ERROR:  "},
      {[&] { db->executeParamRequest("SELECT $1::int", {"x"}); },
       "Execute failed:  ERROR:  invalid input syntax"},
      {[&] { db->prepareRequest("add", "SELECT 2"); }, "prepare failed:  ERROR:  "},
      {[&] { db->prepareRequest("bad", "SELEC", 1); }, "prepare failed:  ERROR:  "},
      {[&] { db->executePrepareRequest("missing"); }, "Exec prepareRequest failed:  ERROR:  "},
      {[&] { db->executePrepareRequest("add", {"4", "x"}); },
       "Exec prepareRequest failed:  ERROR:  "},
  };
  for (const auto& [fail, prefix] : failures) {
    SCOPED_TRACE(prefix);
    const std::string text = pgFailure(fail);
    EXPECT_TRUE(startsWith(text, prefix)) << text;
    auto other = std::async(std::launch::async,
                            [&] { return takeValue(db->executeRequest("SELECT 7")); });
    if (other.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "mutex still held";
      new auto(std::move(other));  // the blocked thread still uses db: leave both behind
      db.release();
      return;
    }
    EXPECT_EQ(other.get(), "7");
  }
}

TEST_F(PgSafeThreadTest, LostServerFailsEveryStatementWithAText) {
  ASSERT_TRUE(terminateBackend(PQbackendPID(db->conn)));
  for (const std::string prefix : {"execute failed:  ", "Execute failed:  "}) {
    const std::string text = pgFailure([&] {
      prefix[0] == 'e' ? db->executeRequest("SELECT 1") : db->executeParamRequest("SELECT 1", {});
    });
    EXPECT_TRUE(startsWith(text, prefix) && text.size() > prefix.size()) << text;
  }
}

TEST(PgSafeThreadConnect, FailureNamesTheServerButNeverThePassword) {
  const int port = freePort();  // nothing listens there
  const std::string refused =
      pgFailure([&] { pgSafeThread db("127.0.0.1", port, "mon", pgUser(), "top secret"); });
  const std::string tail = "\nhost=127.0.0.1 port=" + std::to_string(port) + " dbname=mon user=" + pgUser();
  ASSERT_GT(refused.size(), tail.size());
  EXPECT_EQ(refused.substr(refused.size() - tail.size()), tail) << refused;
  EXPECT_EQ(refused.find("secret"), std::string::npos) << refused;

  const std::string missing =
      pgFailure([&] { pgSafeThread db("127.0.0.1", pgPort(), "no_such_db", pgUser(), "top secret"); });
  EXPECT_NE(missing.find("does not exist"), std::string::npos) << missing;
  EXPECT_EQ(missing.find("secret"), std::string::npos) << missing;
}

// Blanks, quotes and backslashes reach the server as written and cannot
// smuggle in options; an empty value does not swallow the next pair.
TEST(PgSafeThreadConnect, DiscreteValuesAreEscaped) {
  const std::string name = "norv db's \\ " + std::to_string(getpid());
  adminQuery("CREATE DATABASE \"" + name + "\"");
  {
    pgSafeThread db(" 127.0.0.1 ", pgPort(), name, pgUser(), "x application_name=injected '\\");
    EXPECT_EQ(takeValue(db.executeRequest("SELECT current_database()")), name);
    EXPECT_NE(takeValue(db.executeRequest("SHOW application_name")), "injected");
  }
  adminQuery("DROP DATABASE \"" + name + "\"");
  pgSafeThread empty("127.0.0.1", pgPort(), "", pgUser(), "");
  EXPECT_EQ(takeValue(empty.executeRequest("SELECT current_user")), pgUser());
}

}  // namespace
