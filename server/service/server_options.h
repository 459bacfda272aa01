#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tidemark {

// Everything an operator can set, by flag or in the --config file (the same
// names without the leading dashes, "name = value" a line). Flags win over
// the file.
struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 18080;
  // A file path for SQLite, or a postgresql:// connection address.
  std::string database = "tidemark-reports.sqlite3";
  // Set: the PostgreSQL password is this file's content (a systemd
  // credential), kept out of the address written in the config.
  std::string databasePasswordFile;
  std::string dataDir = TIDEMARK_SERVER_DATA_DIR;
  std::string configFile;
  std::string backupFile;  // set: copy the database there and exit
  std::string forgetPlayerToken;  // set: erase that page's player and exit

  int keepDays = 0;  // 0: lines are kept until their player erases them
  std::string operatorContact;  // shown on the players' pages when set

  int threads = 2;  // event loops (each serves any number of connections)
  int maxConnections = 0;  // 0: fit to the open-file limit (at most 16000)
  int maxConnectionsPerAddress = 256;
  int idleTimeoutSeconds = 30;
  int requestTimeoutSeconds = 10;
  int listenBacklog = 4096;

  double registrationsPerMinute = 10;
  int registrationBurst = 20;
  double reportsPerSecond = 20;
  int reportBurst = 200;
  int historyReportBurst = 2000;
  double pagesPerSecond = 2;
  int pageBurst = 20;
  double addressPagesPerSecond = 5;
  int addressPageBurst = 50;
  int downloadsPerPlayer = 2;
  int downloadsPerAddress = 4;
  int maxDownloads = 32;
  double downloadMibPerSecond = 8;
  std::vector<std::string> trustedProxies;

  // Both set: the port serves HTTPS only. redirectPort (0: none) then
  // answers plain HTTP with a redirect to it.
  std::string tlsCertificate;
  std::string tlsKey;
  int redirectPort = 0;

  bool accessLog = false;
  bool help = false;
};

// Parses "--name value" options (and the file named by --config first). On a
// fault returns false with `error` set.
bool parseServerOptions(const std::vector<std::string>& args, ServerOptions& options,
                        std::string& error);

std::string serverUsage(const std::string& program);

}  // namespace tidemark
