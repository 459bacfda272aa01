#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace tidemark::testing {

enum class StoreKind { Sqlite, Postgresql };
std::string storeKindName(StoreKind kind);

// The throwaway PostgreSQL of this test run (started by the test command):
// its address, or nothing when none runs.
std::optional<std::string> throwawayPostgresql();

// A fresh, empty database for one test: an SQLite file in a temporary folder,
// or a database of its own on the throwaway PostgreSQL, dropped at the end.
class TestDatabase {
 public:
  explicit TestDatabase(StoreKind kind);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  // False when the kind needs PostgreSQL and none runs.
  bool available() const { return !address_.empty(); }
  // What --database takes: a file path or a postgresql:// address.
  const std::string& address() const { return address_; }
  StoreKind kind() const { return kind_; }

  // Read with a connection of its own; -1 when it cannot be read.
  long long count(const std::string& table) const;
  std::set<int64_t> reportIds() const;

  // One stored report's columns as text (numbers in decimal, present as 0
  // or 1), the line's bytes as they are.
  struct Row {
    std::string lang, sid, fid, aid, pid, code, log, line, ltime, present, session;
  };
  std::optional<Row> row(int64_t reportId) const;

  // Runs statements with a connection of their own.
  bool execute(const std::string& sql) const;
  static bool executeOn(const std::string& sqliteFile, const std::string& sql);

  // Another program holding the lock a report's write needs (SQLite's write
  // lock; an exclusive lock on PostgreSQL's reports table) until this goes.
  class Lock {
   public:
    virtual ~Lock() = default;
  };
  std::unique_ptr<Lock> lockForWriting() const;

 private:
  StoreKind kind_;
  std::filesystem::path folder_;
  std::string name_;  // PostgreSQL: the database
  std::string address_;
};

}  // namespace tidemark::testing
