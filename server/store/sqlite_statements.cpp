#include "store/sqlite_statements.h"

#include "store/report_store.h"

namespace tidemark::sqlite {

bool exec(sqlite3* db, const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

SqliteStatement prepare(sqlite3* db, const char* sql, std::string& error) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return nullptr;
  }
  return SqliteStatement(statement);
}

SqliteConnection openConnection(const std::string& path, int flags, std::string& error) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  SqliteConnection db(raw);
  if (rc != SQLITE_OK) {
    error = raw ? sqlite3_errmsg(raw) : "out of memory";
    return nullptr;
  }
  // Past this another writer's lock turns into a "busy" answer, rather than
  // an answer the client has stopped waiting for.
  sqlite3_busy_timeout(raw, static_cast<int>(kDatabaseWait.count()));
  return db;
}

void bindText(sqlite3_stmt* statement, int index, std::string_view text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string columnText(sqlite3_stmt* statement, int index) {
  const auto* text = sqlite3_column_text(statement, index);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<size_t>(sqlite3_column_bytes(statement, index)))
              : std::string();
}

std::string columnBlob(sqlite3_stmt* statement, int index) {
  const void* blob = sqlite3_column_blob(statement, index);
  return blob ? std::string(static_cast<const char*>(blob),
                            static_cast<size_t>(sqlite3_column_bytes(statement, index)))
              : std::string();
}

bool busy(sqlite3* db) {
  const int code = sqlite3_errcode(db);
  return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

}  // namespace tidemark::sqlite
