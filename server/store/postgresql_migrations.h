#pragma once

#include <libpq-fe.h>

#include <string>

namespace tidemark {

// Brings the database's schema up to the newest version, each version in a
// transaction of its own, one instance at a time.
bool migratePostgresql(PGconn* connection, std::string& error);

}  // namespace tidemark
