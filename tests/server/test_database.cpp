#include "test_database.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "base/random_ids.h"
#include "store/sqlite_migrations.h"

namespace tidemark::testing {
namespace {

struct PgDone {
  void operator()(PGconn* c) const { PQfinish(c); }
  void operator()(PGresult* r) const { PQclear(r); }
};
using Pg = std::unique_ptr<PGconn, PgDone>;
using PgRows = std::unique_ptr<PGresult, PgDone>;

Pg connectTo(const std::string& address) {
  Pg connection(PQconnectdb(address.c_str()));
  if (PQstatus(connection.get()) != CONNECTION_OK) return nullptr;
  PQsetNoticeProcessor(connection.get(), [](void*, const char*) {}, nullptr);
  return connection;
}

// Rows of one query as texts; bytea columns come back as hex ("\x…").
std::vector<std::vector<std::string>> pgRows(const std::string& address, const std::string& sql) {
  std::vector<std::vector<std::string>> out;
  const Pg connection = connectTo(address);
  if (!connection) return out;
  const PgRows result(PQexec(connection.get(), sql.c_str()));
  if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) return out;
  for (int r = 0; r < PQntuples(result.get()); ++r) {
    out.emplace_back();
    for (int c = 0; c < PQnfields(result.get()); ++c)
      out.back().emplace_back(PQgetvalue(result.get(), r, c), static_cast<size_t>(PQgetlength(result.get(), r, c)));
  }
  return out;
}

std::vector<std::vector<std::string>> sqliteRows(const std::string& path, const std::string& sql) {
  std::vector<std::vector<std::string>> out;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK)
      while (sqlite3_step(statement) == SQLITE_ROW) {
        out.emplace_back();
        for (int c = 0; c < sqlite3_column_count(statement); ++c) {
          const void* bytes = sqlite3_column_blob(statement, c);
          out.back().emplace_back(bytes ? static_cast<const char*>(bytes) : "",
                                  static_cast<size_t>(sqlite3_column_bytes(statement, c)));
        }
      }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return out;
}

std::string unhex(const std::string& text) {
  std::string bytes;
  for (size_t i = 2; i + 1 < text.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return bytes;
}

struct SqliteLock final : TestDatabase::Lock {
  sqlite3* db = nullptr;
  ~SqliteLock() override { sqlite3_close(db); }  // rolls back
};

struct PostgresqlLock final : TestDatabase::Lock {
  Pg connection;
};

}  // namespace

std::string storeKindName(StoreKind kind) { return kind == StoreKind::Sqlite ? "Sqlite" : "Postgresql"; }

std::optional<std::string> throwawayPostgresql() {
  if (const char* address = std::getenv("TIDEMARK_TEST_POSTGRESQL"); address && *address) return address;
  std::ifstream file(TIDEMARK_TEST_POSTGRESQL_URL_FILE);
  std::string address;
  if (file && std::getline(file, address) && !address.empty()) return address;
  return std::nullopt;
}

TestDatabase::TestDatabase(StoreKind kind) : kind_(kind) {
  if (kind == StoreKind::Sqlite) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tidemark-db-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    address_ = (folder_ / "reports.sqlite3").string();
    return;
  }
  const auto server = throwawayPostgresql();
  if (!server) return;
  const Pg admin = connectTo(*server);
  if (!admin) throw std::runtime_error("the throwaway PostgreSQL at " + *server + " does not answer");
  name_ = "tidemark_test_" + newIssuedId();
  const PgRows created(PQexec(admin.get(), ("CREATE DATABASE " + name_).c_str()));
  if (PQresultStatus(created.get()) != PGRES_COMMAND_OK)
    throw std::runtime_error(std::string("CREATE DATABASE failed: ") + PQerrorMessage(admin.get()));
  address_ = server->substr(0, server->rfind('/') + 1) + name_;
}

TestDatabase::~TestDatabase() {
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  if (!name_.empty())
    if (const auto server = throwawayPostgresql())
      if (const Pg admin = connectTo(*server))
        PgRows(PQexec(admin.get(), ("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)").c_str()));
}

long long TestDatabase::count(const std::string& table) const {
  const std::string sql = "SELECT count(*) FROM " + table;
  const auto rows = kind_ == StoreKind::Sqlite ? sqliteRows(address_, sql) : pgRows(address_, sql);
  return rows.size() == 1 ? std::atoll(rows[0][0].c_str()) : -1;
}

std::set<int64_t> TestDatabase::reportIds() const {
  std::set<int64_t> ids;
  const std::string sql = "SELECT id FROM reports";
  for (const auto& row : kind_ == StoreKind::Sqlite ? sqliteRows(address_, sql) : pgRows(address_, sql))
    ids.insert(std::atoll(row[0].c_str()));
  return ids;
}

std::optional<TestDatabase::Row> TestDatabase::row(int64_t reportId) const {
  const std::string present = kind_ == StoreKind::Sqlite ? "present" : "present::int";
  const std::string sql = "SELECT lang, sid, fid, aid, pid, code, log, line, ltime, " + present +
                          ", session FROM reports WHERE id = " + std::to_string(reportId);
  const auto rows = kind_ == StoreKind::Sqlite ? sqliteRows(address_, sql) : pgRows(address_, sql);
  if (rows.size() != 1) return std::nullopt;
  const auto& r = rows[0];
  // PostgreSQL keeps the sent bytes as bytea, in its hex form here.
  const auto bytes = [&](const std::string& value) { return kind_ == StoreKind::Sqlite ? value : unhex(value); };
  return Row{r[0], r[1], bytes(r[2]), bytes(r[3]), r[4], r[5], bytes(r[6]), r[7], r[8], r[9], r[10]};
}

bool TestDatabase::execute(const std::string& sql) const {
  if (kind_ == StoreKind::Postgresql) {
    const Pg connection = connectTo(address_);
    return connection && PQresultStatus(PgRows(PQexec(connection.get(), sql.c_str())).get()) == PGRES_COMMAND_OK;
  }
  return executeOn(address_, sql);
}

bool TestDatabase::executeOn(const std::string& sqliteFile, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string ignored;
  // With the functions the schema's triggers call, as the server's writer
  // has, and waiting for a running server's write as another client would.
  const bool done = sqlite3_open_v2(sqliteFile.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                    sqlite3_busy_timeout(db, 5000) == SQLITE_OK && registerSqliteFunctions(db, ignored) &&
                    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return done;
}

std::unique_ptr<TestDatabase::Lock> TestDatabase::lockForWriting() const {
  if (kind_ == StoreKind::Postgresql) {
    auto lock = std::make_unique<PostgresqlLock>();
    lock->connection = connectTo(address_);
    if (!lock->connection ||
        PQresultStatus(PgRows(PQexec(lock->connection.get(), "BEGIN; LOCK TABLE reports IN ACCESS EXCLUSIVE MODE"))
                           .get()) != PGRES_COMMAND_OK)
      return nullptr;
    return lock;
  }
  auto lock = std::make_unique<SqliteLock>();
  if (sqlite3_open_v2(address_.c_str(), &lock->db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(lock->db, 5000);
  if (sqlite3_exec(lock->db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return nullptr;
  return lock;
}

}  // namespace tidemark::testing
