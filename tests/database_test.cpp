// pgSafeThread against the tests' PostgreSQL: status mapping and error
// prefixes, the mutex after failures, connect failures and escaped values.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "database/pgSafeThread.h"
#include "support/PgTestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// text starts with prefix, and `more` characters at least follow.
bool startsWith(const std::string& text, const std::string& prefix, size_t more = 0) {
  return text.size() >= prefix.size() + more && text.compare(0, prefix.size(), prefix) == 0;
}

class PgSafeThreadTest : public ::testing::Test {
 protected:
  pgSafeThread db{pgConnString()};
};

TEST_F(PgSafeThreadTest, CommandsAndTuplesPassWithParametersAsWritten) {
  PQclear(db.executeRequest("CREATE TEMP TABLE t (v int)"));
  for (const char* sql : {"UPDATE t SET v = 1", "LISTEN syslog"})
    EXPECT_EQ(PQresultStatus(PgResult(db.executeRequest(sql)).get()), PGRES_COMMAND_OK) << sql;
  EXPECT_EQ(takeValue(db.executeParamRequest("SELECT 'none'", {})), "none");
  EXPECT_EQ(takeValue(db.executeParamRequest("SELECT $1", {"it's a \\ test"})), "it's a \\ test");
  std::vector<std::string> params;  // more than fit the inline pointer array
  std::string sql = "SELECT concat(", expected;
  for (int i = 1; i <= 40; ++i) {
    params.push_back(std::to_string(i));
    sql += (i > 1 ? ",$" : "$") + params.back() + "::text";
    expected += params.back();
  }
  EXPECT_EQ(takeValue(db.executeParamRequest(sql + ")", params)), expected);
  db.prepareRequest("add", "SELECT $1::int + $2::int", 2);
  db.prepareRequest("one", "SELECT 1");
  EXPECT_EQ(takeValue(db.executePrepareRequest("add", {"4", "5"})), "9");
  EXPECT_EQ(takeValue(db.executePrepareRequest("one")), "1");
}

// Every failing path names itself and unlocks: another thread's call would
// hang otherwise.
TEST_F(PgSafeThreadTest, FailuresCarryTheirPrefixAndLeaveTheMutexFree) {
  db.prepareRequest("add", "SELECT $1::int + $2::int", 2);
  const std::pair<std::function<void()>, const char*> failures[] = {
      {[&] { db.executeRequest(""); }, "execute failed:  "},  // empty query
      {[&] { db.executeRequest("SELEC"); }, "execute failed:  ERROR:  syntax error"},
      {[&] { db.executeRequest("COPY (SELECT 1) TO STDOUT"); }, "execute failed:  "},
      {[&] { db.executeParamRequest("SELECT $1::int", {"x"}); }, "Execute failed:  ERROR:  "},
      {[&] { db.prepareRequest("add", "SELECT 2"); }, "prepare failed:  ERROR:  "},
      {[&] {
         db.executePrepareRequest("add", {"4", "x"});
       },
       "Exec prepareRequest failed:  ERROR"},
  };
  for (const auto& [fail, prefix] : failures) {
    const std::string text = pgFailure(fail);
    EXPECT_TRUE(startsWith(text, prefix)) << text;
    PGresult* other = finishesWithin(10s, std::string("a statement after ") + prefix,
                                     [&] { return db.executeRequest("SELECT 7"); });
    EXPECT_EQ(takeValue(other), "7");  // the copy state did not wedge the connection
  }
}

TEST_F(PgSafeThreadTest, LostServerFailsEveryStatementWithAText) {
  ASSERT_TRUE(terminateBackend(PQbackendPID(db.conn)));
  const auto text = finishesWithin(10s, "a statement on a lost connection", [&] {
    return std::array<std::string, 2>{pgFailure([&] { db.executeRequest("SELECT 1"); }),
                                      pgFailure([&] { db.executeParamRequest("SELECT 1", {}); })};
  });  // each with its prefix and libpq's reason
  EXPECT_PRED3(startsWith, text[0], "execute failed:  ", 1);
  EXPECT_PRED3(startsWith, text[1], "Execute failed:  ", 1);
}

TEST(PgSafeThreadConnect, FailureNamesTheServerButNeverThePassword) {
  const int port = freePort();  // nothing listens there
  for (int p : {port, pgPort()}) {
    const std::string text =
        pgFailure([&] { pgSafeThread db("127.0.0.1", p, "no_db", pgUser(), "top secret"); });
    const std::string tail = "\nhost=127.0.0.1 port=" + std::to_string(p) + " dbname=no_db user=";
    EXPECT_NE(text.find(tail + pgUser()), std::string::npos) << text;
    EXPECT_EQ(text.find("secret"), std::string::npos) << text;
  }
}

// Blanks, quotes (a leading one would open a quoted value) and backslashes
// reach the server as written and cannot smuggle in options; an empty value
// does not swallow the next pair.
TEST(PgSafeThreadConnect, DiscreteValuesAreEscaped) {
  const std::string name = "norv db's \\ " + std::to_string(getpid());
  adminQuery("CREATE DATABASE \"" + name + "\"");
  {
    pgSafeThread db(" 127.0.0.1 ", pgPort(), name, pgUser(), "'x application_name=injected '\\");
    EXPECT_EQ(takeValue(db.executeRequest("SELECT current_database()")), name);
    EXPECT_NE(takeValue(db.executeRequest("SHOW application_name")), "injected");
  }
  adminQuery("DROP DATABASE \"" + name + "\"");
  pgSafeThread empty("127.0.0.1", pgPort(), "", pgUser(), "");
  EXPECT_EQ(takeValue(empty.executeRequest("SELECT current_user")), pgUser());
}

}  // namespace
