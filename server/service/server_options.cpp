#include "service/server_options.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "base/address_ranges.h"
#include "base/field_values.h"

namespace tidemark {
namespace {

using Setter = std::function<bool(ServerOptions&, const std::string& value, std::string& error)>;

Setter intOption(int ServerOptions::*field, int low, int high) {
  return [=](ServerOptions& o, const std::string& value, std::string& error) {
    const auto number = parseInt32(value);
    if (!number || *number < low || *number > high) {
      error = "needs a number from " + std::to_string(low) + " to " + std::to_string(high);
      return false;
    }
    o.*field = *number;
    return true;
  };
}

// Rates in plain decimal ("2.5"): no exponent, hex, "inf" or "nan", which
// strtod would take and which no operator means.
constexpr double kLowestRate = 0.001;
constexpr double kHighestRate = 1e6;

bool isPlainDecimal(const std::string& value) {
  const size_t point = value.find('.');
  const std::string whole = value.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : value.substr(point + 1);
  const auto digitsOnly = [](const std::string& s) { return s.find_first_not_of("0123456789") == std::string::npos; };
  return !whole.empty() && whole.size() <= 7 && digitsOnly(whole) && digitsOnly(fraction) &&
         (point == std::string::npos || !fraction.empty());
}

Setter rateOption(double ServerOptions::*field) {
  return [=](ServerOptions& o, const std::string& value, std::string& error) {
    const double number = isPlainDecimal(value) ? std::stod(value) : -1;
    if (number < kLowestRate || number > kHighestRate) {
      error = "needs a decimal number from 0.001 to 1000000";
      return false;
    }
    o.*field = number;
    return true;
  };
}

Setter textOption(std::string ServerOptions::*field) {
  return [=](ServerOptions& o, const std::string& value, std::string& error) {
    if (value.empty()) {
      error = "needs a value";
      return false;
    }
    o.*field = value;
    return true;
  };
}

// systemd hands a service its credentials (LoadCredential=) in a folder
// named only at start, in $CREDENTIALS_DIRECTORY: a path in the settings may
// begin with ${CREDENTIALS_DIRECTORY}/ to name a file there.
Setter credentialPathOption(std::string ServerOptions::*field) {
  return [=](ServerOptions& o, const std::string& value, std::string& error) {
    static const std::string kPrefix = "${CREDENTIALS_DIRECTORY}/";
    if (value.rfind(kPrefix, 0) != 0) return textOption(field)(o, value, error);
    const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
    if (!folder || !*folder) {
      error = "names ${CREDENTIALS_DIRECTORY}, which only systemd sets (LoadCredential= in the unit)";
      return false;
    }
    o.*field = std::string(folder) + "/" + value.substr(kPrefix.size());
    return true;
  };
}

bool splitProxies(ServerOptions& o, const std::string& value, std::string& error) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find(',', start);
    if (end == std::string::npos) end = value.size();
    std::string item = value.substr(start, end - start);
    while (!item.empty() && item.front() == ' ') item.erase(item.begin());
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (item.empty()) {
      error = "needs addresses separated by commas";
      return false;
    }
    if (!AddressRange::parse(item)) {
      error = "needs addresses or ranges (10.0.0.0/8, 2001:db8::/32): " + item + " is neither";
      return false;
    }
    o.trustedProxies.push_back(item);
    start = end + 1;
  }
  return true;
}

bool boolValue(bool& out, const std::string& value, std::string& error) {
  if (value == "true" || value == "yes" || value == "1" || value == "on") out = true;
  else if (value == "false" || value == "no" || value == "0" || value == "off") out = false;
  else {
    error = "needs true or false";
    return false;
  }
  return true;
}

struct OptionInfo {
  Setter set;
  const char* value;  // nullptr: a switch without a value on the command line
  const char* help;
};

const std::map<std::string, OptionInfo>& optionTable() {
  using O = ServerOptions;
  static const std::map<std::string, OptionInfo> table = {
      {"address", {textOption(&O::address), "ADDR", "address to listen on"}},
      {"port", {intOption(&O::port, 1, 65535), "N", "port to listen on"}},
      {"database", {textOption(&O::database), "PATH|URL",
                    "SQLite file, or postgresql://user@host:port/name for PostgreSQL"}},
      {"database-password-file", {credentialPathOption(&O::databasePasswordFile), "FILE",
                                  "the PostgreSQL password is this file's content (a systemd credential)"}},
      {"data", {textOption(&O::dataDir), "DIR", "folder with languages.json and patterns/"}},
      {"backup", {textOption(&O::backupFile), "FILE",
                  "copy the SQLite database to FILE (safe while a server runs on it) and exit"}},
      {"forget-player", {textOption(&O::forgetPlayerToken), "TOKEN",
                         "erase the player whose page is /TOKEN (lines, totals, id and page) and exit"}},
      {"keep-days", {intOption(&O::keepDays, 0, 36500), "N",
                     "remove lines received more than N days ago, in the background (0 keeps every line)"}},
      {"operator", {textOption(&O::operatorContact), "TEXT",
                    "who runs this server, name and contact, shown on every player's page"}},
      {"threads", {intOption(&O::threads, 1, 64), "N", "event-loop threads"}},
      {"max-connections", {intOption(&O::maxConnections, 0, 1000000), "N",
                           "open connections at most; beyond them a fast 503 (0: fit the open-file limit)"}},
      {"max-connections-per-address", {intOption(&O::maxConnectionsPerAddress, 1, 1000000), "N",
                                       "open connections from one address at most (503 beyond)"}},
      {"idle-timeout", {intOption(&O::idleTimeoutSeconds, 1, 3600), "S",
                        "seconds a keep-alive connection may wait for its next request"}},
      {"request-timeout", {intOption(&O::requestTimeoutSeconds, 1, 600), "S",
                           "seconds a request may take from its first line to its last byte"}},
      {"listen-backlog", {intOption(&O::listenBacklog, 16, 65535), "N", "kernel queue of new connections"}},
      {"registrations-per-minute", {rateOption(&O::registrationsPerMinute), "R",
                                    "new players one address may register a minute"}},
      {"registration-burst", {intOption(&O::registrationBurst, 1, 1000000), "N",
                              "registrations one address may make at once"}},
      {"reports-per-second", {rateOption(&O::reportsPerSecond), "R", "reports one player may post a second"}},
      {"report-burst", {intOption(&O::reportBurst, 1, 1000000), "N", "reports one player may post at once"}},
      {"history-report-burst", {intOption(&O::historyReportBurst, 1, 1000000), "N",
                                "history lines (present 0) one player may post at once, apart from the rest"}},
      {"pages-per-second", {rateOption(&O::pagesPerSecond), "R", "views of one player's page a second"}},
      {"page-burst", {intOption(&O::pageBurst, 1, 1000000), "N", "views of one player's page at once"}},
      {"address-pages-per-second", {rateOption(&O::addressPagesPerSecond), "R",
                                    "pages and page tokens one address may ask for a second"}},
      {"address-page-burst", {intOption(&O::addressPageBurst, 1, 1000000), "N",
                              "pages and page tokens one address may ask for at once"}},
      {"downloads-per-player", {intOption(&O::downloadsPerPlayer, 1, 1000), "N",
                                "downloads of one player's lines at once"}},
      {"downloads-per-address", {intOption(&O::downloadsPerAddress, 1, 1000), "N",
                                 "downloads one address may run at once"}},
      {"max-downloads", {intOption(&O::maxDownloads, 1, 10000), "N",
                         "downloads at once in all (each holds up to 1 MiB while it runs)"}},
      {"download-mib-per-second", {rateOption(&O::downloadMibPerSecond), "R",
                                   "MiB a second all downloads together may send"}},
      {"trusted-proxy", {splitProxies, "ADDR[,ADDR]",
                         "proxy address or range (10.0.0.0/8) whose X-Forwarded-For names the client (repeatable)"}},
      {"tls-certificate", {credentialPathOption(&O::tlsCertificate), "FILE",
                           "PEM certificate chain, the server's first: the port serves HTTPS (with --tls-key; "
                           "read again on SIGHUP)"}},
      {"tls-key", {credentialPathOption(&O::tlsKey), "FILE", "PEM private key of --tls-certificate"}},
      {"redirect-port", {intOption(&O::redirectPort, 1, 65535), "N",
                         "plain HTTP port that only redirects to HTTPS (needs --tls-certificate)"}},
      {"access-log", {[](O& o, const std::string& v, std::string& e) { return boolValue(o.accessLog, v, e); },
                      nullptr, "one log line per request"}},
  };
  return table;
}

bool apply(ServerOptions& options, const std::string& name, const std::string& value, std::string& error) {
  const auto& table = optionTable();
  const auto found = table.find(name);
  if (found == table.end()) {
    error = "unknown option --" + name;
    return false;
  }
  std::string why;
  if (!found->second.set(options, value, why)) {
    error = "--" + name + " " + why;
    return false;
  }
  return true;
}

// Where each setting came from ("file:line" or "--flag"), for faults found
// once everything is read.
using Origins = std::map<std::string, std::string>;

std::string trimmed(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// The value after "name =": in double quotes it may hold anything (\" and
// \\ stand for " and \); unquoted, '#' starts a comment only at the start
// or after a space or tab, so that a password with a '#' stays whole.
// False with `error`, which never quotes the value (it may be a secret).
bool configValue(const std::string& text, std::string& value, std::string& error) {
  const std::string rest = trimmed(text);
  if (rest.empty() || rest.front() != '"') {
    size_t comment = std::string::npos;
    for (size_t i = 1; i < rest.size() && comment == std::string::npos; ++i)
      if (rest[i] == '#' && (rest[i - 1] == ' ' || rest[i - 1] == '\t')) comment = i;
    value = trimmed(rest.substr(0, comment));
    if (!rest.empty() && rest.front() == '#') value.clear();
    return true;
  }
  value.clear();
  for (size_t i = 1; i < rest.size(); ++i) {
    const char c = rest[i];
    if (c == '\\') {
      if (i + 1 >= rest.size() || (rest[i + 1] != '"' && rest[i + 1] != '\\')) {
        error = "a quoted value knows only \\\" and \\\\ after a backslash";
        return false;
      }
      value += rest[++i];
    } else if (c == '"') {
      const std::string after = trimmed(rest.substr(i + 1));
      if (!after.empty() && after.front() != '#') {
        error = "only a comment may follow a quoted value";
        return false;
      }
      return true;
    } else {
      value += c;
    }
  }
  error = "the quoted value has no closing quote";
  return false;
}

bool loadConfigFile(const std::string& path, ServerOptions& options, Origins& origins, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the config file " + path;
    return false;
  }
  std::map<std::string, int> firstLine;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    // Editors on Windows save a byte order mark: skipped, as the file is
    // UTF-8 either way.
    if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    line = trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (equals == std::string::npos) {
      error = where + "expected name = value";
      return false;
    }
    const std::string name = trimmed(line.substr(0, equals));
    if (name == "config" || name == "backup" || name == "forget-player" || name == "help") {
      error = where + name + " belongs on the command line";
      return false;
    }
    // A second line for a setting would silently override the first; only
    // the proxy list adds up.
    if (const auto seen = firstLine.find(name); seen != firstLine.end() && name != "trusted-proxy") {
      error = where + name + " is set twice (first on line " + std::to_string(seen->second) + ")";
      return false;
    }
    firstLine.emplace(name, number);
    std::string value;
    if (!configValue(line.substr(equals + 1), value, error) || !apply(options, name, value, error)) {
      error = where + error;
      return false;
    }
    origins[name] = path + ":" + std::to_string(number);
  }
  return true;
}

// What each value means together with the world: a store that would keep
// nothing, a data folder the server cannot read.
bool checkSettings(const ServerOptions& options, const Origins& origins, std::string& error) {
  const auto where = [&](const std::string& name) {
    const auto found = origins.find(name);
    return (found == origins.end() ? "--" + name : found->second) + ": ";
  };
  const std::string& database = options.database;
  if (database == ":memory:" || database.rfind("file:", 0) == 0) {
    error = where("database") + database +
            " is not a database file: reports would be lost at the stop (give a file path or a "
            "postgresql:// address)";
    return false;
  }
  // Neither a postgresql:// address nor a plain path: a libpq key=value
  // string ("host=… password=…") would otherwise become the name of a new
  // SQLite file, and be shown in the log. The value is not repeated.
  const bool address = database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0;
  const bool control = std::any_of(database.begin(), database.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
  if (!address && (database.find("://") != std::string::npos || database.find('=') != std::string::npos || control)) {
    error = where("database") +
            "is neither a file path nor a postgresql:// address (give PostgreSQL as "
            "postgresql://user@host:port/name, a password in ~/.pgpass or the address; SQLite as a file path "
            "without '=')";
    return false;
  }
  if (!database.empty() && !address) {
    // SQLite creates the file but not its folder: a wrong folder would
    // otherwise show only as a failure to open.
    std::error_code failed;
    const auto folder = std::filesystem::absolute(database, failed).parent_path();
    if (failed || !std::filesystem::is_directory(folder, failed) || access(folder.c_str(), W_OK | X_OK) != 0) {
      error = where("database") + "cannot write in the folder " + folder.string() + " of the database";
      return false;
    }
  }
  if (!options.databasePasswordFile.empty() && database.find("://") == std::string::npos) {
    error = where("database-password-file") + "is for a postgresql:// database";
    return false;
  }
  if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
    const std::string missing = options.tlsKey.empty() ? "tls-key" : "tls-certificate";
    const std::string given = options.tlsKey.empty() ? "tls-certificate" : "tls-key";
    error = where(given) + "needs --" + missing + " as well";
    return false;
  }
  if (options.redirectPort != 0 && options.tlsCertificate.empty()) {
    error = where("redirect-port") + "redirects to HTTPS, which needs --tls-certificate and --tls-key";
    return false;
  }
  if (options.redirectPort != 0 && options.redirectPort == options.port) {
    error = where("redirect-port") + "must differ from --port";
    return false;
  }
  if (options.backupFile.empty() && options.forgetPlayerToken.empty()) {

    DIR* folder = opendir(options.dataDir.c_str());
    if (!folder) {
      error = where("data") + "cannot read the data folder " + options.dataDir;
      return false;
    }
    closedir(folder);
  }
  return true;
}

}  // namespace

bool parseServerOptions(const std::vector<std::string>& args, ServerOptions& options,
                        std::string& error) {
  std::string configFile;
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "--config") configFile = args[i + 1];
  Origins origins;
  if (!configFile.empty()) {
    options.configFile = configFile;
    if (!loadConfigFile(configFile, options, origins, error)) return false;
  }
  // Proxies named on the command line replace those of the file.
  bool proxiesFromFlags = false;

  const auto& table = optionTable();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      error = "unknown argument " + arg;
      return false;
    }
    const std::string name = arg.substr(2);
    if (name == "config") {
      if (i + 1 >= args.size()) {
        error = "--config needs a value";
        return false;
      }
      ++i;
      continue;
    }
    const auto found = table.find(name);
    if (found != table.end() && found->second.value == nullptr) {
      if (!apply(options, name, "true", error)) return false;
      continue;
    }
    if (i + 1 >= args.size()) {
      error = found == table.end() ? "unknown option " + arg : arg + " needs a value";
      return false;
    }
    if (name == "trusted-proxy" && !proxiesFromFlags) {
      options.trustedProxies.clear();
      proxiesFromFlags = true;
    }
    if (!apply(options, name, args[++i], error)) return false;
    origins.erase(name);
  }
  return options.help || checkSettings(options, origins, error);
}

std::string serverUsage(const std::string& program) {
  const ServerOptions d;
  const std::map<std::string, std::string> defaults = {
      {"address", d.address}, {"port", std::to_string(d.port)}, {"database", d.database},
      {"data", d.dataDir}, {"threads", std::to_string(d.threads)}, {"max-connections", "0"},
      {"max-connections-per-address", std::to_string(d.maxConnectionsPerAddress)},
      {"idle-timeout", std::to_string(d.idleTimeoutSeconds)},
      {"request-timeout", std::to_string(d.requestTimeoutSeconds)},
      {"listen-backlog", std::to_string(d.listenBacklog)}, {"registrations-per-minute", "10"},
      {"registration-burst", std::to_string(d.registrationBurst)}, {"reports-per-second", "20"},
      {"report-burst", std::to_string(d.reportBurst)},
      {"history-report-burst", std::to_string(d.historyReportBurst)}, {"trusted-proxy", "none"},
      {"pages-per-second", "2"}, {"page-burst", std::to_string(d.pageBurst)},
      {"address-pages-per-second", "5"}, {"address-page-burst", std::to_string(d.addressPageBurst)},
      {"downloads-per-player", std::to_string(d.downloadsPerPlayer)},
      {"downloads-per-address", std::to_string(d.downloadsPerAddress)},
      {"max-downloads", std::to_string(d.maxDownloads)}, {"download-mib-per-second", "8"},
      {"access-log", "off"}, {"tls-certificate", "none: plain HTTP"}, {"redirect-port", "none"},
      {"keep-days", "0"}, {"operator", "none shown"}};

  std::string text = "Usage: " + program + " [options]\n"
                     "  --config FILE    read options from FILE (\"name = value\" lines, the names below\n"
                     "                   without dashes); options given as flags win\n"
                     "  --help           this text\n";
  for (const auto& [name, info] : optionTable()) {
    std::string flag = "  --" + name + (info.value ? std::string(" ") + info.value : std::string());
    if (flag.size() < 36) flag.resize(36, ' ');
    else flag += "\n" + std::string(36, ' ');
    text += flag + info.help;
    const auto found = defaults.find(name);
    if (found != defaults.end()) text += " (default " + found->second + ")";
    text += "\n";
  }
  return text;
}

}  // namespace tidemark
