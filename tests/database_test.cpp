// pgSafeThread against the run's PostgreSQL cluster: status mapping and error
// prefixes, connect failures, escaping of discrete values, and the mutex.
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "database/pgConnectionParam.h"
#include "database/pgSafeThread.h"
#include "support/PgTestSupport.h"
#include "support/TestSupport.h"

using testsupport::adminQuery;
using testsupport::envOr;
using testsupport::PgResult;
using testsupport::takeValue;

namespace {

int pgPort() { return std::stoi(envOr("PGPORT", "5432")); }

// The text of the PostgresqlException that f throws ("" and a failure if none).
std::string failureText(const std::function<void()>& f) {
  try {
    f();
  } catch (const PostgresqlException& e) {
    return e.what();
  }
  ADD_FAILURE() << "no PostgresqlException";
  return "";
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

class PgSafeThreadTest : public ::testing::Test {
 protected:
  std::unique_ptr<pgSafeThread> db{new pgSafeThread(testsupport::pgConnString())};
};

TEST_F(PgSafeThreadTest, CommandsAndQueriesSucceed) {
  PgResult r(db->executeRequest("CREATE TEMP TABLE t (v int)"));
  EXPECT_EQ(PQresultStatus(r.get()), PGRES_COMMAND_OK);
  r.reset(db->executeRequest("UPDATE t SET v = 1"));
  EXPECT_EQ(PQresultStatus(r.get()), PGRES_COMMAND_OK);
  r.reset(db->executeRequest("LISTEN syslog"));
  EXPECT_EQ(PQresultStatus(r.get()), PGRES_COMMAND_OK);
  r.reset(db->executeRequest("SELECT v FROM t"));
  EXPECT_EQ(PQresultStatus(r.get()), PGRES_TUPLES_OK);
  EXPECT_EQ(PQntuples(r.get()), 0);
  EXPECT_EQ(db->getClientEncoding(), adminQuery("SHOW server_encoding"));
}

TEST_F(PgSafeThreadTest, OtherStatusesThrowWithTheExecutePrefix) {
  EXPECT_TRUE(startsWith(failureText([&] { db->executeRequest(""); }), "execute failed:  "));
  const std::string syntax = failureText([&] { db->executeRequest("SELEC 1"); });
  EXPECT_TRUE(startsWith(syntax, "execute failed:  ERROR:  syntax error")) << syntax;
  EXPECT_EQ(syntax.back(), '\n');
  db.reset(new pgSafeThread(testsupport::pgConnString()));
  PQclear(db->executeRequest("CREATE TEMP TABLE t (v int)"));
  EXPECT_TRUE(startsWith(failureText([&] { db->executeRequest("COPY t FROM STDIN"); }),
                         "execute failed:  "));
  // The copy state must not wedge the connection.
  EXPECT_EQ(takeValue(db->executeRequest("SELECT count(*) FROM t")), "0");
}

TEST_F(PgSafeThreadTest, ParameterisedRequests) {
  EXPECT_EQ(takeValue(db->executeParamRequest("SELECT $1::int + $2::int", {"2", "3"})), "5");
  EXPECT_EQ(takeValue(db->executeParamRequest("SELECT 'none'", {})), "none");
  EXPECT_EQ(takeValue(db->executeParamRequest("SELECT $1", {"it's a \\ test"})),
            "it's a \\ test");
  // More parameters than fit the inline pointer array.
  std::vector<std::string> params;
  std::string sql = "SELECT concat(";
  for (int i = 1; i <= 40; ++i) {
    params.push_back(std::to_string(i % 10));
    sql += (i > 1 ? ",$" : "$") + std::to_string(i) + "::text";
  }
  EXPECT_EQ(takeValue(db->executeParamRequest(sql + ")", params)),
            "1234567890123456789012345678901234567890");
  const std::string bad = failureText([&] { db->executeParamRequest("SELECT $1::int", {"x"}); });
  EXPECT_TRUE(startsWith(bad, "Execute failed:  ERROR:  invalid input syntax")) << bad;
}

TEST_F(PgSafeThreadTest, PreparedStatements) {
  db->prepareRequest("add", "SELECT $1::int + $2::int", 2);
  db->prepareRequest("one", "SELECT 1");
  EXPECT_EQ(takeValue(db->executePrepareRequest("add", {"4", "5"})), "9");
  EXPECT_EQ(takeValue(db->executePrepareRequest("one")), "1");
  const std::string again = failureText([&] { db->prepareRequest("one", "SELECT 2"); });
  EXPECT_TRUE(startsWith(again, "prepare failed:  ERROR:  ")) << again;
  EXPECT_NE(again.find("already exists"), std::string::npos) << again;
  const std::string unknown = failureText([&] { db->executePrepareRequest("nope"); });
  EXPECT_TRUE(startsWith(unknown, "Exec prepareRequest failed:  ERROR:  ")) << unknown;
  const std::string wrong =
      failureText([&] { db->executePrepareRequest("add", {"4", "x"}); });
  EXPECT_TRUE(startsWith(wrong, "Exec prepareRequest failed:  ERROR:  ")) << wrong;
}

// Every failing path must unlock: a second thread's call would hang otherwise.
TEST_F(PgSafeThreadTest, FailedStatementLeavesTheMutexFree) {
  const std::vector<std::function<void()>> failures = {
      [&] { db->executeRequest("SELEC"); },
      [&] { db->executeParamRequest("SELEC", {"1"}); },
      [&] { db->prepareRequest("bad", "SELEC"); },
      [&] { db->prepareRequest("bad", "SELEC", 1); },
      [&] { db->executePrepareRequest("missing"); },
      [&] { db->executePrepareRequest("missing", {"1"}); },
  };
  for (std::size_t i = 0; i < failures.size(); ++i) {
    EXPECT_THROW(failures[i](), PostgresqlException) << "failure " << i;
    auto other = std::async(std::launch::async,
                            [&] { return takeValue(db->executeRequest("SELECT 7")); });
    if (other.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "mutex still held after failure " << i;
      // The blocked thread still uses the object: leave both behind.
      new auto(std::move(other));
      db.release();
      return;
    }
    EXPECT_EQ(other.get(), "7");
  }
}

TEST_F(PgSafeThreadTest, ThreadsShareOneConnection) {
  std::vector<std::future<int>> workers;
  for (int t = 0; t < 4; ++t) {
    workers.push_back(std::async(std::launch::async, [this, t] {
      int wrong = 0;
      for (int i = 0; i < 50; ++i) {
        const std::string v = std::to_string(t * 1000 + i);
        if (takeValue(db->executeParamRequest("SELECT $1::text", {v})) != v) ++wrong;
      }
      return wrong;
    }));
  }
  for (auto& w : workers) EXPECT_EQ(w.get(), 0);
}

TEST_F(PgSafeThreadTest, LostServerFailsEveryStatementWithAText) {
  ASSERT_TRUE(testsupport::terminateBackend(PQbackendPID(db->conn)));
  const std::string plain = failureText([&] { db->executeRequest("SELECT 1"); });
  EXPECT_GT(plain.size(), std::string("execute failed:  ").size()) << plain;
  const std::string param = failureText([&] { db->executeParamRequest("SELECT 1", {}); });
  EXPECT_TRUE(startsWith(param, "Execute failed:  ")) << param;
  EXPECT_GT(param.size(), std::string("Execute failed:  ").size()) << param;
}

TEST(PgSafeThreadConnect, DiscreteFailureNamesTheServerButNotThePassword) {
  const std::string user = envOr("PGUSER", "postgres");
  const int port = testsupport::freePort();
  const std::string refused = failureText(
      [&] { pgSafeThread db("127.0.0.1", port, "mon", user, "top secret"); });
  const std::string tail =
      "\nhost=127.0.0.1 port=" + std::to_string(port) + " dbname=mon user=" + user;
  ASSERT_GT(refused.size(), tail.size());
  EXPECT_EQ(refused.substr(refused.size() - tail.size()), tail) << refused;
  EXPECT_EQ(refused.find("secret"), std::string::npos) << refused;
  // From a full string the text is libpq's alone, with a newline added.
  const std::string plain = failureText(
      [&] { pgSafeThread db("host=127.0.0.1 port=" + std::to_string(port) + " password=hush"); });
  EXPECT_EQ(plain.find("hush"), std::string::npos) << plain;
  EXPECT_EQ(plain.substr(plain.size() - 2), "\n\n") << plain;

  const std::string missing = failureText(
      [&] { pgSafeThread db("127.0.0.1", pgPort(), "no_such_db", user, "top secret"); });
  EXPECT_NE(missing.find("does not exist"), std::string::npos) << missing;
  EXPECT_NE(missing.find("\nhost=127.0.0.1 port="), std::string::npos) << missing;
  EXPECT_EQ(missing.find("secret"), std::string::npos) << missing;
}

// Values with blanks, quotes and backslashes reach the server as written, and
// cannot smuggle in options of their own.
TEST(PgSafeThreadConnect, DiscreteValuesAreEscaped) {
  const std::string user = envOr("PGUSER", "postgres");
  const std::string name = "norv db's \\ " + std::to_string(getpid());
  std::string quoted = "\"" + name + "\"";
  adminQuery("CREATE DATABASE " + quoted);
  {
    pgSafeThread db(" 127.0.0.1 ", pgPort(), name, user, "x application_name=injected '\\");
    EXPECT_EQ(takeValue(db.executeRequest("SELECT current_database()")), name);
    EXPECT_NE(takeValue(db.executeRequest("SHOW application_name")), "injected");
  }
  adminQuery("DROP DATABASE " + quoted);
}

TEST(PgConnectionParam, EscapesInnerBlanksQuotesAndBackslashes) {
  EXPECT_EQ(pgConnectionParam("password", "my secret"), "password=my\\ secret");
  EXPECT_EQ(pgConnectionParam("password", "it's\\"), "password=it\\'s\\\\");
  EXPECT_EQ(pgConnectionParam("host", " db1\t"), "host= db1\t");
  EXPECT_EQ(pgConnectionParam("password", ""), "password=''");
  EXPECT_EQ(pgConnectionParam("password", "  "), "password=  ''");
  EXPECT_EQ(pgConnectionString("h", 5432, "d b", "u", "p"),
            "host=h port=5432 dbname=d\\ b user=u password=p");
}

// An empty value must not swallow the next keyword=value pair.
TEST(PgSafeThreadConnect, EmptyDiscreteValueStaysEmpty) {
  pgSafeThread db("127.0.0.1", pgPort(), "", envOr("PGUSER", "postgres"), "");
  EXPECT_EQ(takeValue(db.executeRequest("SELECT current_user")), envOr("PGUSER", "postgres"));
}
