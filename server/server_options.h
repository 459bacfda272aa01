#pragma once

#include <string>
#include <vector>

namespace tidemark {

struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 18080;
  std::string database = "tidemark-reports.sqlite3";
  std::string dataDir = TIDEMARK_SERVER_DATA_DIR;
  int threads = 16;
  bool help = false;
};

// Parses "--name value" options. On a fault returns false with `error` set.
bool parseServerOptions(const std::vector<std::string>& args, ServerOptions& options,
                        std::string& error);

std::string serverUsage(const std::string& program);

}  // namespace tidemark
