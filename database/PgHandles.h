// Owners of libpq's handles: a result (PQclear), a notification (PQfreemem)
// and a connection (PQfinish), each released on every way out of a scope.
// A null handle is fine in all three.
#ifndef NORV_DATABASE_PGHANDLES_H
#define NORV_DATABASE_PGHANDLES_H

#include <libpq-fe.h>

#include <memory>

namespace norv {

struct PgResultClear {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgResult = std::unique_ptr<PGresult, PgResultClear>;

struct PgNotifyFree {
  void operator()(PGnotify* n) const { PQfreemem(n); }
};
using PgNotify = std::unique_ptr<PGnotify, PgNotifyFree>;

struct PgConnFinish {
  void operator()(PGconn* c) const { PQfinish(c); }
};
using PgConn = std::unique_ptr<PGconn, PgConnFinish>;

}  // namespace norv

#endif
