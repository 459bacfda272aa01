#pragma once
// The attack suite's fixture: the server program on its own database, an
// ordinary client asking beside every attack, and the promises every attack
// must keep.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "raw_http.h"
#include "server_fixture.h"

namespace tidemark::attack {

using namespace std::chrono_literals;
using testing::RawConnection;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed memory in quarantine (256 MiB): the
// resident memory says little there.
inline constexpr long kRssBoundKiB = 1024 * 1024;
#else
inline constexpr long kRssBoundKiB = 128 * 1024;
#endif
inline const std::string kOrdinaryClient = "127.0.0.2";
inline const std::string kFormType = "Content-Type: application/x-www-form-urlencoded\r\n";

inline std::string post(const std::string& headers, const std::string& body) {
  return "POST /rep/post.php HTTP/1.1\r\nHost: tidemark\r\n" + headers + "\r\n" + body;
}

inline std::string chunk(const std::string& data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + data + "\r\n";
}

class AttackTest : public ::testing::Test {
 protected:
  void start(std::vector<std::string> args = {}) {
    server = std::make_unique<testing::ServerProcess>(database().string(), std::move(args));
  }
  std::filesystem::path database() const { return dir.path() / "reports.sqlite3"; }
  int port() const { return server->port(); }
  long long rows(const char* table) const { return testing::countRows(database(), table); }

  long rssKiB() const {
    std::ifstream status("/proc/" + std::to_string(server->pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
  }

  // Runs `attack` while an ordinary client asks every 50 ms; then checks the
  // promises every attack must keep (the resident memory at its peak,
  // sampled every 50 ms).
  void underAttack(const std::function<void()>& attack) {
    std::atomic<bool> done{false};
    std::atomic<long> slowest{0}, unanswered{0}, asked{0}, peakRss{0};
    std::thread rssSampler([&] {
      while (!done) {
        peakRss = std::max(peakRss.load(), rssKiB());
        std::this_thread::sleep_for(50ms);
      }
    });
    std::thread ordinaryClient([&] {
      while (!done) {
        const auto took = testing::timeOrdinaryRequest(port(), kOrdinaryClient, 1000ms);
        ++asked;
        if (took.count() < 0) ++unanswered;
        else if (took.count() > slowest) slowest = took.count();
        std::this_thread::sleep_for(50ms);
      }
    });
    attack();
    const long rss = std::max(peakRss.load(), rssKiB());
    // A short attack still sees the ordinary client ask during it.
    for (int i = 0; i < 100 && asked < 2; ++i) std::this_thread::sleep_for(20ms);
    done = true;
    ordinaryClient.join();
    rssSampler.join();
    EXPECT_GT(asked, 0);
    EXPECT_EQ(unanswered, 0) << "of " << asked << " ordinary requests";
    EXPECT_LT(slowest, 1000) << "ms for an ordinary request";
    EXPECT_GT(rss, 0);
    EXPECT_LT(rss, kRssBoundKiB);
    EXPECT_GT(testing::timeOrdinaryRequest(port(), kOrdinaryClient, 1000ms).count(), -1) << "server down";
  }

  testing::TempDir dir;
  std::unique_ptr<testing::ServerProcess> server;
};

}  // namespace tidemark::attack
