#include "database/pgSafeThread.h"

#include <memory>
#include <utility>

#include "base/MutexLock.h"
#include "database/PgHandles.h"
#include "database/pgConnectionParam.h"

namespace {

using norv::PgResult;

// The value pointers of a parameterised call. Up to kInline parameters live on
// the stack; only longer lists take a heap block.
class ParamValues {
 public:
  explicit ParamValues(const std::vector<std::string>& params) {
    ptrs_ = inline_;
    if (params.size() > kInline) {
      heap_.reset(new const char*[params.size()]);
      ptrs_ = heap_.get();
    }
    for (std::size_t i = 0; i < params.size(); ++i) ptrs_[i] = params[i].c_str();
    count_ = static_cast<int>(params.size());
  }
  int count() const { return count_; }
  const char* const* values() const { return count_ ? ptrs_ : nullptr; }

 private:
  static constexpr std::size_t kInline = 32;
  const char* inline_[kInline];
  std::unique_ptr<const char*[]> heap_;
  const char** ptrs_;
  int count_;
};

}  // namespace

pgSafeThread::pgSafeThread(std::string connectionString)
    : conn(nullptr), connectionString(std::move(connectionString)) {
  open(std::string());
}

pgSafeThread::pgSafeThread(std::string host, int port, std::string dbname, std::string user,
                           std::string password)
    : conn(nullptr),
      connectionString(norv::pgConnectionString(host, port, dbname, user, password)) {
  open(norv::pgConnectionIdentity(host, port, dbname, user));
}

pgSafeThread::pgSafeThread(norv::PgConn connected) : conn(nullptr) {
  adopt(std::move(connected), std::string());
}

void pgSafeThread::open(const std::string& errorSuffix) {
  adopt(norv::PgConn(PQconnectdb(connectionString.c_str())), errorSuffix);
}

void pgSafeThread::adopt(norv::PgConn c, const std::string& errorSuffix) {
  if (!c) throw PostgresqlException(std::string("out of memory\n") + errorSuffix);
  if (PQstatus(c.get()) != CONNECTION_OK) {
    std::string text = std::string(PQerrorMessage(c.get())) + "\n" + errorSuffix;
    c.reset();
    throw PostgresqlException(std::move(text));
  }
  conn = c.release();
}

pgSafeThread::~pgSafeThread() { PQfinish(conn); }

template <class Call>
PGresult* pgSafeThread::run(const char* prefix, bool errorFromConnection, Call call) {
  PgResult result;
  std::string error;
  {
    norv::MutexLock lock(mutex);
    result.reset(call(conn));
    const ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
      return result.release();
    }
    // Copied under the lock: the next statement on conn overwrites it. libpq
    // gives no result at all when it could not even send the statement (a
    // lost connection); its reason is then only on the connection.
    error =
        errorFromConnection || !result ? PQerrorMessage(conn) : PQresultErrorMessage(result.get());
  }
  result.reset();
  throw PostgresqlException(prefix + error);
}

PGresult* pgSafeThread::executeRequest(std::string query) {
  return run("execute failed:  ", true, [&](PGconn* c) { return PQexec(c, query.c_str()); });
}

PGresult* pgSafeThread::executeParamRequest(std::string query, std::vector<std::string> params) {
  const ParamValues values(params);
  return run("Execute failed:  ", false, [&](PGconn* c) {
    return PQexecParams(c, query.c_str(), values.count(), nullptr, values.values(), nullptr,
                        nullptr, 0);
  });
}

void pgSafeThread::prepareRequest(std::string name, std::string query, int nParams) {
  const PgResult done(run("prepare failed:  ", true, [&](PGconn* c) {
    return PQprepare(c, name.c_str(), query.c_str(), nParams, nullptr);
  }));
}

void pgSafeThread::prepareRequest(std::string name, std::string query) {
  prepareRequest(std::move(name), std::move(query), 0);
}

PGresult* pgSafeThread::executePrepareRequest(std::string name, std::vector<std::string> params) {
  const ParamValues values(params);
  return run("Exec prepareRequest failed:  ", false, [&](PGconn* c) {
    return PQexecPrepared(c, name.c_str(), values.count(), values.values(), nullptr, nullptr, 0);
  });
}

PGresult* pgSafeThread::executePrepareRequest(std::string name) {
  return executePrepareRequest(std::move(name), std::vector<std::string>());
}

std::string pgSafeThread::getClientEncoding() {
  norv::MutexLock lock(mutex);
  return pg_encoding_to_char(PQclientEncoding(conn));
}
