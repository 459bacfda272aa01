#include "server_options.h"

#include "field_values.h"

namespace tidemark {

bool parseServerOptions(const std::vector<std::string>& args, ServerOptions& options,
                        std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unknown argument " + name;
      return false;
    }
    const std::string& value = args[++i];
    if (name == "--address") {
      options.address = value;
    } else if (name == "--port") {
      const auto port = parseInt32(value);
      if (!port || *port < 1 || *port > 65535) {
        error = "--port needs a number from 1 to 65535";
        return false;
      }
      options.port = *port;
    } else if (name == "--database") {
      options.database = value;
    } else if (name == "--data") {
      options.dataDir = value;
    } else if (name == "--threads") {
      const auto threads = parseInt32(value);
      if (!threads || *threads < 1 || *threads > 256) {
        error = "--threads needs a number from 1 to 256";
        return false;
      }
      options.threads = *threads;
    } else {
      error = "unknown option " + name;
      return false;
    }
  }
  return true;
}

std::string serverUsage(const std::string& program) {
  const ServerOptions defaults;
  return "Usage: " + program + " [options]\n"
         "  --address ADDR   address to listen on (default " + defaults.address + ")\n"
         "  --port N         port to listen on (default " + std::to_string(defaults.port) + ")\n"
         "  --database FILE  SQLite file for players and reports (default " + defaults.database + ")\n"
         "  --data DIR       folder with languages.json and patterns/ (default " + defaults.dataDir + ")\n"
         "  --threads N      requests served at once (default " + std::to_string(defaults.threads) + ")\n";
}

}  // namespace tidemark
