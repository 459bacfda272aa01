#pragma once

#include <string>

namespace tidemark {

// `address` (postgresql://…) with the password read from `file` added as its
// `password` parameter, where libpq takes it and the log's scrubbing hides
// it. One trailing line end is not part of the password (echo and editors
// add it). False with `error` set when the file cannot be read, is empty,
// or the address carries a password already.
bool addDatabasePassword(std::string& address, const std::string& file, std::string& error);

}  // namespace tidemark
