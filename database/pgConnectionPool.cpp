#include "database/pgConnectionPool.h"

#include <iostream>
#include <utility>

#include "base/MutexLock.h"
#include "config/convertTo.h"
#include "database/pgConnectionParam.h"

pgConnectionPool::pgConnectionPool(std::string connectionString, int count)
    : connectionString(std::move(connectionString)),
      nextIndex(0),
      waitRequestCount(0),
      debugMode(false) {
  // If one connect fails its exception leaves the constructor, and the
  // unique_ptrs already in connectionList close their connections.
  norv::MutexLock lock(poolMutex);
  for (int i = 0; i < count; ++i)
    connectionList.push_back(std::make_unique<pgSafeThread>(this->connectionString));
}

pgConnectionPool::pgConnectionPool(std::string host, int port, std::string dbname, std::string user,
                                   std::string password, int count)
    : pgConnectionPool(norv::pgConnectionString(host, port, dbname, user, password), count) {}

pgConnectionPool::~pgConnectionPool() {
  norv::MutexLock lock(poolMutex);
  connectionList.clear();
}

pgSafeThread* pgConnectionPool::select(unsigned int& position) {
  norv::MutexLock lock(poolMutex);
  if (connectionList.empty()) {
    throw PostgresqlException("connection pool is empty: no connection to run the request on");
  }
  position = nextIndex >= connectionList.size() ? 0 : nextIndex;
  nextIndex = position + 1;
  return connectionList[position].get();
}

pgSafeThread* pgConnectionPool::getNextConnection() {
  unsigned int position;
  return select(position);
}

int pgConnectionPool::getNextConnectionID() {
  norv::MutexLock lock(poolMutex);
  return static_cast<int>(nextIndex);
}

int pgConnectionPool::getConnectionNumber() {
  norv::MutexLock lock(poolMutex);
  return static_cast<int>(connectionList.size());
}

int pgConnectionPool::getWaitRequest() {
  norv::MutexLock lock(waitMutex);
  return waitRequestCount;
}

void pgConnectionPool::enableDebugMode(bool enable) { debugMode = enable; }

void pgConnectionPool::Trace(std::string message) {
  if (!debugMode) return;
  // One write per line, so lines of concurrent requests do not interleave.
  std::cout << (message + "\n") << std::flush;
}

std::string pgConnectionPool::getClientEncoding() {
  return getNextConnection()->getClientEncoding();
}

template <class Op>
PGresult* pgConnectionPool::onNextConnection(Op op) {
  unsigned int position;
  pgSafeThread* connection = select(position);
  // Counted from the selection to the end of the statement, however it ends.
  struct UnderWay {
    pgConnectionPool& pool;
    explicit UnderWay(pgConnectionPool& p) : pool(p) { change(1); }
    ~UnderWay() { change(-1); }
    void change(int by) {
      norv::MutexLock lock(pool.waitMutex);
      pool.waitRequestCount += by;
    }
  } underWay(*this);
  PGresult* result = op(*connection);
  if (debugMode) {
    Trace("   [ " + unsignedLongIntToString(position) +
          " ] exec status: " + PQresStatus(PQresultStatus(result)));
  }
  return result;
}

template <class Op>
void pgConnectionPool::onEveryConnection(Op op) {
  norv::MutexLock lock(poolMutex);
  for (const auto& connection : connectionList) op(*connection);
}

PGresult* pgConnectionPool::executeRequest(std::string query) {
  return onNextConnection([&](pgSafeThread& c) { return c.executeRequest(query); });
}

PGresult* pgConnectionPool::executeParamRequest(std::string query,
                                                std::vector<std::string> params) {
  return onNextConnection([&](pgSafeThread& c) { return c.executeParamRequest(query, params); });
}

PGresult* pgConnectionPool::executePrepareRequest(std::string name) {
  return onNextConnection([&](pgSafeThread& c) { return c.executePrepareRequest(name); });
}

PGresult* pgConnectionPool::executePrepareRequest(std::string name,
                                                  std::vector<std::string> params) {
  return onNextConnection([&](pgSafeThread& c) { return c.executePrepareRequest(name, params); });
}

void pgConnectionPool::prepareRequest(std::string name, std::string query, int nParams) {
  onEveryConnection([&](pgSafeThread& c) { c.prepareRequest(name, query, nParams); });
}

void pgConnectionPool::prepareRequest(std::string name, std::string query) {
  onEveryConnection([&](pgSafeThread& c) { c.prepareRequest(name, query); });
}
