#include "store/postgresql_statements.h"

#include <cstdlib>

#include "store/report_store.h"

namespace tidemark::pg {
namespace {

const std::string kSessionLimits = "SET statement_timeout = " + std::to_string(kDatabaseWait.count()) +
                                   "; SET lock_timeout = " + std::to_string(kDatabaseWait.count());

}  // namespace

bool ok(const PgResult& result) {
  if (!result) return false;
  const auto status = PQresultStatus(result.get());
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string lastError(PGconn* connection) {
  std::string message = PQerrorMessage(connection);
  message = message.substr(0, message.find('\n'));
  return message.empty() ? "the database does not answer" : message;
}

PgResult exec(PGconn* connection, const char* sql) { return PgResult(PQexec(connection, sql)); }

PgResult query(PGconn* connection, const char* sql, const Params& params) {
  return PgResult(PQexecParams(connection, sql, params.count(), nullptr, params.values(), params.lengths(),
                               params.formats(), 0));
}

PgResult prepared(PGconn* connection, const char* name, const Params& params) {
  return PgResult(PQexecPrepared(connection, name, params.count(), params.values(), params.lengths(),
                                 params.formats(), 0));
}

std::string text(const PgResult& result, int row, int column) {
  return std::string(PQgetvalue(result.get(), row, column),
                     static_cast<size_t>(PQgetlength(result.get(), row, column)));
}

int64_t number(const PgResult& result, int row, int column) {
  return std::strtoll(PQgetvalue(result.get(), row, column), nullptr, 10);
}

std::string byteaValue(const PgResult& result, int row, int column) {
  size_t length = 0;
  unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(result.get(), row, column)),
                                       &length);
  if (!raw) return {};
  std::string bytes(reinterpret_cast<const char*>(raw), length);
  PQfreemem(raw);
  return bytes;
}

PgConnection connect(const std::string& address, std::string& error) {
  PgConnection connection(PQconnectdb(address.c_str()));
  if (!connection || PQstatus(connection.get()) != CONNECTION_OK) {
    error = connection ? PQerrorMessage(connection.get()) : "out of memory";
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    return nullptr;
  }
  // The server's notices (an index that exists, say) are not this log's.
  PQsetNoticeProcessor(connection.get(), [](void*, const char*) {}, nullptr);
  return connection;
}

bool limitSession(PGconn* connection, std::string& error) {
  if (ok(exec(connection, kSessionLimits.c_str()))) return true;
  error = PQerrorMessage(connection);
  return false;
}

bool usable(PGconn* connection) {
  if (PQstatus(connection) == CONNECTION_OK) return true;
  PQreset(connection);
  std::string ignored;
  return PQstatus(connection) == CONNECTION_OK && limitSession(connection, ignored);
}

}  // namespace tidemark::pg
