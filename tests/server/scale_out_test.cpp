// Two server instances on one PostgreSQL behind HAProxy, which sends each
// request to the next instance in turn: one client's session carries on
// across both, and its page lists every line.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "base/field_values.h"
#include "raw_http.h"
#include "server_fixture.h"
#include "test_database.h"

namespace tidemark {
namespace {

using namespace std::chrono_literals;

// HAProxy in the foreground with a configuration of its own.
class Proxy {
 public:
  Proxy(const std::filesystem::path& folder, int backend1, int backend2) {
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
      port_ = testing::pickFreePort();
      const auto config = folder / "haproxy.cfg";
      std::ofstream(config) << "global\n    maxconn 1024\n"
                               "defaults\n    mode http\n    option forwardfor\n"
                               "    timeout connect 2s\n    timeout client 30s\n    timeout server 30s\n"
                               "    timeout http-request 5s\n    timeout http-keep-alive 5s\n"
                               "frontend fe\n    bind 127.0.0.1:" << port_ << "\n    default_backend servers\n"
                               "backend servers\n    balance roundrobin\n"
                               "    server s1 127.0.0.1:" << backend1 << "\n"
                               "    server s2 127.0.0.1:" << backend2 << "\n";
      pid_ = fork();
      if (pid_ == 0) {
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execl(TIDEMARK_HAPROXY, TIDEMARK_HAPROXY, "-db", "-f", config.c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      for (int i = 0; i < 100; ++i) {
        if (testing::timeOrdinaryRequest(port_, "127.0.0.1", 500ms).count() >= 0) return;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) break;
        std::this_thread::sleep_for(50ms);
      }
      stop();
    }
  }
  ~Proxy() { stop(); }
  bool running() const { return pid_ > 0; }
  int port() const { return port_; }

 private:
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  pid_t pid_ = -1;
  int port_ = 0;
};

std::string member(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const size_t at = json.find(key);
  if (at == std::string::npos) return {};
  return json.substr(at + key.size(), json.find('"', at + key.size()) - at - key.size());
}

long postsServed(int port) {
  httplib::Client client("127.0.0.1", port);
  const auto metrics = client.Get("/metrics");
  if (!metrics) return -1;
  const std::string line = "tidemark_requests_total{route=\"post\",status=\"200\"} ";
  const size_t at = metrics->body.find(line);
  return at == std::string::npos ? 0 : std::atol(metrics->body.c_str() + at + line.size());
}

TEST(ScaleOut, ClientSessionAcrossTwoInstancesBehindHaproxy) {
  testing::TestDatabase database(testing::StoreKind::Postgresql);
  if (!database.available()) GTEST_SKIP() << "no throwaway PostgreSQL runs";
  if (access(TIDEMARK_HAPROXY, X_OK) != 0) GTEST_SKIP() << "haproxy is not installed";
  testing::ServerProcess first(database.address(), {"--trusted-proxy", "127.0.0.1"});
  testing::ServerProcess second(database.address(), {"--trusted-proxy", "127.0.0.1"});
  testing::TempDir dir;
  Proxy proxy(dir.path(), first.port(), second.port());
  ASSERT_TRUE(proxy.running());

  httplib::Client client("127.0.0.1", proxy.port());
  testing::ReportForm form;
  constexpr int kReports = 21;
  int64_t lastFid = 0;
  for (int i = 0; i < kReports; ++i) {
    form.line = std::to_string(i);
    form.log = "\x1F" "Alice\x1F" "line " + std::to_string(i);
    const auto answer = client.Post("/rep/post.php", form.body(), "application/x-www-form-urlencoded");
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200) << answer->body;
    if (i == 0) {
      form.aid = member(answer->body, "aid");
      form.sid = member(answer->body, "sid");
      ASSERT_TRUE(isIssuedId(form.aid));
    } else {
      EXPECT_EQ(member(answer->body, "aid"), "") << "registered again at report " << i;
      EXPECT_EQ(member(answer->body, "sid"), form.sid);
    }
    form.fid = member(answer->body, "fid");
    const auto fid = parseInt64(form.fid);
    ASSERT_TRUE(fid);
    EXPECT_GT(*fid, lastFid);
    lastFid = *fid;
  }
  EXPECT_GT(postsServed(first.port()), 0);
  EXPECT_GT(postsServed(second.port()), 0);
  EXPECT_EQ(postsServed(first.port()) + postsServed(second.port()), kReports);

  // The token from one instance opens the page on either.
  const auto token = client.Get(testing::getTarget({{"get", "token"}, {"wader", form.aid}}));
  ASSERT_TRUE(token);
  const std::string page = member(token->body, "token");
  ASSERT_TRUE(isIssuedId(page)) << token->body;
  for (int view = 0; view < 2; ++view) {
    const auto shown = client.Get("/" + page);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->status, 200);
    EXPECT_NE(shown->body.find(std::to_string(kReports) + " lines"), std::string::npos);
    EXPECT_NE(shown->body.find("Alice: line 20"), std::string::npos);
  }
  EXPECT_EQ(database.count("reports"), kReports);
  EXPECT_EQ(database.count("players"), 1);
}

}  // namespace
}  // namespace tidemark
