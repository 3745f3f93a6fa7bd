// pgSafeThread: one PostgreSQL connection that several threads may share.
// Every libpq call made by a method runs under `mutex`, which covers only that
// call and the copy of its error text; it is released before a result is
// returned and before anything is thrown. The object owns `conn` (closed by
// the destructor) and exists only connected: a failed connect throws.
//
// `conn` is public for callers that need libpq calls not wrapped here (the
// notification listener's PQconsumeInput/PQnotifies/PQsocket). Such use does
// not take `mutex`; the caller must make sure no method of the same object
// runs at the same time.
//
// A PGresult* returned by an execute method belongs to the caller (PQclear).
#ifndef NORV_DATABASE_PGSAFETHREAD_H
#define NORV_DATABASE_PGSAFETHREAD_H

#include <libpq-fe.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "base/Mutex.h"
#include "database/PgHandles.h"

// A failed connect or statement; the text starts with the failing step's
// prefix and goes on with libpq's own message.
class PostgresqlException : public std::runtime_error {
 public:
  explicit PostgresqlException(const std::string& message) : std::runtime_error(message) {}
};

class pgSafeThread {
 public:
  PGconn* conn;

  explicit pgSafeThread(std::string connectionString);
  // Values are escaped for libpq. A failed connect reports libpq's text, a
  // newline and the host/port/dbname/user part, never the password.
  pgSafeThread(std::string host, int port, std::string dbname, std::string user,
               std::string password);
  // Takes over a session the caller opened (with libpq's non-blocking
  // connect, say); throws like a failed connect when it is not connected.
  explicit pgSafeThread(norv::PgConn connected);
  virtual ~pgSafeThread();
  pgSafeThread(const pgSafeThread&) = delete;
  pgSafeThread& operator=(const pgSafeThread&) = delete;

  // Success is PGRES_COMMAND_OK or PGRES_TUPLES_OK; anything else throws with
  // the method's prefix ("execute failed:  ", "Execute failed:  ",
  // "prepare failed:  ", "Exec prepareRequest failed:  ").
  PGresult* executeRequest(std::string query);
  PGresult* executeParamRequest(std::string query, std::vector<std::string> params);
  void prepareRequest(std::string name, std::string query, int nParams);
  void prepareRequest(std::string name, std::string query);
  PGresult* executePrepareRequest(std::string name, std::vector<std::string> params);
  PGresult* executePrepareRequest(std::string name);
  std::string getClientEncoding();

 private:
  void open(const std::string& errorSuffix);
  // Keeps `c` as conn when it is connected; throws with its error otherwise.
  void adopt(norv::PgConn c, const std::string& errorSuffix);
  // Runs call(conn) under the mutex and applies the success rule above;
  // errorFromConnection picks PQerrorMessage over PQresultErrorMessage.
  template <class Call>
  PGresult* run(const char* prefix, bool errorFromConnection, Call call);

  std::string connectionString;
  // Held around each libpq call a method makes, and the copy of its error.
  norv::Mutex mutex;
};

#endif
