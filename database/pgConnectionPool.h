// pgConnectionPool: a fixed set of pgSafeThread connections, all opened at
// construction with one connection string, used in strict rotation (0, 1, ...,
// n-1, 0, ...). There is no free/busy notion: a request whose turn falls on a
// busy connection waits on that connection's own mutex. Broken connections
// stay in the rotation; nothing is retried or replaced.
//
// The pool owns its connections. poolMutex guards connectionList and
// nextIndex; execute operations hold it only to pick a connection, prepare
// operations for their whole loop. Lock order: poolMutex before a
// connection's mutex, never the reverse. waitMutex guards waitRequestCount.
// debugMode is atomic and read without a lock.
//
// On an empty pool (count below 1) every operation that needs a connection
// throws PostgresqlException; prepare operations do nothing.
#ifndef NORV_DATABASE_PGCONNECTIONPOOL_H
#define NORV_DATABASE_PGCONNECTIONPOOL_H

#include <libpq-fe.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "database/pgSafeThread.h"

class pgConnectionPool {
 public:
  // A connection that cannot be opened throws PostgresqlException with
  // libpq's text and a newline; those opened before it are closed again.
  pgConnectionPool(std::string connectionString, int count);
  // Values are escaped for libpq as pgSafeThread's discrete constructor does.
  pgConnectionPool(std::string host, int port, std::string dbname, std::string user,
                   std::string password, int count);
  virtual ~pgConnectionPool();
  pgConnectionPool(const pgConnectionPool&) = delete;
  pgConnectionPool& operator=(const pgConnectionPool&) = delete;

  // The next connection in rotation (advances it). The pool keeps ownership.
  pgSafeThread* getNextConnection();
  // Position the next request takes; may equal the pool size (then 0 is next).
  int getNextConnectionID();
  int getConnectionNumber();
  // Requests under way: given a connection and not yet finished (waiting for
  // that connection's mutex, or running on it).
  int getWaitRequest();
  void enableDebugMode(bool enable);
  // Writes message and a line end to standard output when debugMode is on.
  void Trace(std::string message);

  // As the pgSafeThread operations of the same name, each on the next
  // connection in rotation; a returned result belongs to the caller.
  std::string getClientEncoding();
  PGresult* executeRequest(std::string query);
  PGresult* executeParamRequest(std::string query, std::vector<std::string> params);
  PGresult* executePrepareRequest(std::string name);
  PGresult* executePrepareRequest(std::string name, std::vector<std::string> params);
  // On every connection in order; a failure leaves the statement prepared on
  // the connections before the failing one only.
  void prepareRequest(std::string name, std::string query, int nParams);
  void prepareRequest(std::string name, std::string query);

 private:
  // Picks the next connection and reports the position it took.
  pgSafeThread* select(unsigned int& position) NORV_EXCLUDES(poolMutex);
  template <class Op>
  PGresult* onNextConnection(Op op);
  template <class Op>
  void onEveryConnection(Op op);

  std::vector<std::unique_ptr<pgSafeThread>> connectionList NORV_GUARDED_BY(poolMutex);
  std::string connectionString;
  norv::Mutex poolMutex;
  unsigned int nextIndex NORV_GUARDED_BY(poolMutex);
  norv::Mutex waitMutex;
  int waitRequestCount NORV_GUARDED_BY(waitMutex);
  std::atomic<bool> debugMode;
};

#endif
