#pragma once
// The PostgreSQL store's statements: parameters, results and connections
// that are made again after PostgreSQL dropped them.
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "store/postgresql_handles.h"

namespace tidemark::pg {

// Parameters for one statement: texts, and bytes sent as they are.
class Params {
 public:
  Params& text(std::string_view value) { return add(value, 0); }
  Params& bytes(std::string_view value) { return add(value, 1); }
  Params& number(int64_t value) { return add(std::to_string(value), 0); }
  // Empty is sent as NULL.
  Params& textOrNull(std::string_view value) {
    if (!value.empty()) return add(value, 0);
    values_.push_back(nullptr);
    lengths_.push_back(0);
    formats_.push_back(0);
    return *this;
  }

  int count() const { return static_cast<int>(values_.size()); }
  const char* const* values() const { return values_.data(); }
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }

 private:
  Params& add(std::string_view value, int format) {
    // A deque keeps earlier texts in place; an empty value still needs a
    // pointer, or it would be sent as NULL.
    owned_.emplace_back(value);
    values_.push_back(owned_.back().c_str());
    lengths_.push_back(static_cast<int>(value.size()));
    formats_.push_back(format);
    return *this;
  }

  std::deque<std::string> owned_;
  std::vector<const char*> values_;
  std::vector<int> lengths_, formats_;
};

bool ok(const PgResult& result);
// The connection's latest error, its first line, for the log.
std::string lastError(PGconn* connection);
PgResult exec(PGconn* connection, const char* sql);
PgResult query(PGconn* connection, const char* sql, const Params& params);
PgResult prepared(PGconn* connection, const char* name, const Params& params);
std::string text(const PgResult& result, int row, int column);
int64_t number(const PgResult& result, int row, int column);
std::string byteaValue(const PgResult& result, int row, int column);

PgConnection connect(const std::string& address, std::string& error);
// What every session sets: a statement that waits on a lock or runs longer
// than the store's wait bound is cancelled (a report is answered "busy").
bool limitSession(PGconn* connection, std::string& error);
// A connection the server dropped (a restart of PostgreSQL) is made again,
// its session limited; a writer's statements are the caller's.
bool usable(PGconn* connection);

// A reader PostgreSQL dropped while it sat idle (a restart of the database)
// still looks connected until its first statement fails: that statement is
// run once more on the connection made again, rather than telling a known
// player that the database does not know him.
template <typename Run>
PgResult retriedOnce(PGconn* connection, Run run) {
  PgResult result = run();
  if (ok(result) || PQstatus(connection) != CONNECTION_BAD || !usable(connection)) return result;
  return run();
}

}  // namespace tidemark::pg
