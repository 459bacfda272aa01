#include "server_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace tidemark::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tidemark-server-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int pickFreePort() {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> ports(18000, 18999);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = ports(random);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (free) return port;
  }
  throw std::runtime_error("no free port in 18000-18999");
}

std::string ReportForm::body() const {
  const std::pair<const char*, const std::string*> fields[] = {
      {"lang", &lang}, {"sid", &sid},   {"fid", &fid},   {"aid", &aid},     {"pid", &pid},
      {"code", &code}, {"log", &log},   {"line", &line}, {"ltime", &ltime}, {"present", &present}};
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out += '&';
    out += tidemark::percentEncode(name) + '=' + tidemark::percentEncode(*value);
  }
  return out;
}

std::string getTarget(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string target = "/rep/get.php";
  for (size_t i = 0; i < fields.size(); ++i)
    target += (i == 0 ? "?" : "&") + tidemark::percentEncode(fields[i].first) + "=" + tidemark::percentEncode(fields[i].second);
  return target;
}

const Catalog& bundledCatalog() {
  static const Catalog catalog = [] {
    std::string error;
    auto loaded = Catalog::load(TIDEMARK_SERVER_DATA_DIR, error);
    if (!loaded) throw std::runtime_error(error);
    return std::move(*loaded);
  }();
  return catalog;
}

LocalServer::LocalServer(const std::filesystem::path& database, ServiceLimits serviceLimits,
                         HttpLimits httpLimits)
    : LocalServer(database.string(), std::move(serviceLimits), std::move(httpLimits)) {}

namespace {

std::unique_ptr<ReportStore> openStore(const std::string& database) {
  std::string error;
  auto store = ReportStore::open(database, error);
  if (!store) throw std::runtime_error("cannot open the store: " + error);
  return store;
}

}  // namespace

LocalServer::LocalServer(const std::string& database, ServiceLimits serviceLimits, HttpLimits httpLimits)
    : LocalServer(openStore(database), std::move(serviceLimits), std::move(httpLimits)) {}

LocalServer::LocalServer(std::unique_ptr<ReportStore> store, ServiceLimits serviceLimits, HttpLimits httpLimits)
    : store_(std::move(store)) {
  std::string error;
  logFile_ = std::tmpfile();
  log_ = std::make_unique<ServerLog>(logFile_);
  service_ = std::make_unique<ReportService>(bundledCatalog(), *store_, *log_, std::move(serviceLimits));
  front_ = std::make_unique<HttpFront>(*service_, std::move(httpLimits));
  if (!front_->start("127.0.0.1", 0, error)) throw std::runtime_error(error);
  port_ = front_->port();
}

LocalServer::~LocalServer() {
  front_->stop();
  front_.reset();
  service_->stopPages();
  service_->stopBackgroundWork();
  // The store's last answers still reach the service.
  store_.reset();
  service_.reset();
  std::fclose(logFile_);
}

std::string LocalServer::logText() const {
  // A file position of its own: the server may be writing meanwhile.
  std::ifstream in("/proc/self/fd/" + std::to_string(fileno(logFile_)));
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

httplib::Client LocalServer::client() const {
  httplib::Client client("127.0.0.1", port_);
  client.set_read_timeout(std::chrono::seconds(10));
  return client;
}

std::string LocalServer::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string LocalServer::report(const ReportForm& form) const {
  auto answer = client().Post("/rep/post.php", form.body(), "application/x-www-form-urlencoded");
  if (!answer) {
    ADD_FAILURE() << "no answer to the report";
    return {};
  }
  EXPECT_EQ(answer->status, 200) << answer->body;
  return answer->body;
}

ServerProcess::ServerProcess(const std::string& database, std::vector<std::string> extraArgs)
    : extraArgs_(std::move(extraArgs)) {
  // Another test may take the port between the probe and the bind.
  for (int attempt = 0; attempt < 5; ++attempt)
    if (start(database)) return;
  throw std::runtime_error("the server program did not start");
}

bool ServerProcess::start(const std::string& database) {
  port_ = pickFreePort();
  std::vector<std::string> args = {TIDEMARK_SERVER_EXECUTABLE, "--port", std::to_string(port_), "--database",
                                   database, "--threads", "2", "--registration-burst", "1000000"};
  args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    // Output goes nowhere: the test reads the database and the answers.
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(std::chrono::milliseconds(200));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (auto answer = client.Get("/")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(SIGKILL);
  return false;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) kill(SIGKILL);
}

void ServerProcess::kill(int signal) {
  if (pid_ <= 0) return;
  ::kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

bool ServerProcess::stopsWithin(int signal, std::chrono::milliseconds bound) {
  if (pid_ <= 0) return true;
  ::kill(pid_, signal);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(SIGKILL);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  return true;
}

long long countRows(const std::filesystem::path& database, const std::string& table) {
  sqlite3* db = nullptr;
  long long count = -1;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    const std::string sql = "SELECT count(*) FROM " + table;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
      count = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return count;
}

std::pair<int, std::string> runServerToExit(const std::string& args, const std::filesystem::path& folder) {
  const std::string command =
      "cd " + folder.string() + " && timeout -s KILL 5 " TIDEMARK_SERVER_EXECUTABLE " " + args + " 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[4096];
  for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  const int status = pipe ? pclose(pipe) : -1;
  return {WIFEXITED(status) && WEXITSTATUS(status) != 137 ? WEXITSTATUS(status) : -1, output};
}

}  // namespace tidemark::testing
