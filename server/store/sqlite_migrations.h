#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tidemark {

// The functions and the tokenizer the schema's triggers and migrations
// call, on a connection that writes (a writer without them cannot insert a
// report) or searches.
bool registerSqliteFunctions(sqlite3* db, std::string& error);

// Brings the file's schema up to the newest version, in one transaction.
bool migrateSqlite(sqlite3* db, std::string& error);

// The stored hash of a line, by which the duplicate check of history lines
// finds its row.
int64_t sqliteLineHash(std::string_view line);

}  // namespace tidemark
