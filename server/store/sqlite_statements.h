#pragma once
// The SQLite store's statements and connections, shared by its writer, its
// readers and its migrations.
#include <sqlite3.h>

#include <string>
#include <string_view>

#include "store/sqlite_handles.h"

namespace tidemark::sqlite {

bool exec(sqlite3* db, const char* sql, std::string& error);
SqliteStatement prepare(sqlite3* db, const char* sql, std::string& error);
// With the store's bounded wait on another connection's lock.
SqliteConnection openConnection(const std::string& path, int flags, std::string& error);
void bindText(sqlite3_stmt* statement, int index, std::string_view text);
std::string columnText(sqlite3_stmt* statement, int index);
std::string columnBlob(sqlite3_stmt* statement, int index);
// The last statement failed on another connection's lock.
bool busy(sqlite3* db);

}  // namespace tidemark::sqlite
