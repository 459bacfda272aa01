#pragma once

#include <libpq-fe.h>

#include <memory>

namespace tidemark {

struct PostgresqlCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
  void operator()(PGresult* result) const { PQclear(result); }
};

using PgConnection = std::unique_ptr<PGconn, PostgresqlCloser>;
using PgResult = std::unique_ptr<PGresult, PostgresqlCloser>;

}  // namespace tidemark
