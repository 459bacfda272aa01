// The report server under hostile and heavy traffic from loopback, each
// attack bounded in count and time. Throughout every attack an ordinary
// client on another address must be answered within 1 s; afterwards the
// server must be up, its resident memory under kRssBoundKiB, and refused
// requests must have left the database as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "attack_fixture.h"

namespace tidemark {
namespace {

using namespace attack;
using namespace std::chrono_literals;
using testing::RawConnection;
using Clock = std::chrono::steady_clock;

TEST_F(AttackTest, KeepAliveClientsAndThousandsOfIdleConnections_DoNotStarveAnyone) {
  start({"--max-connections-per-address", "5000"});
  std::vector<std::unique_ptr<RawConnection>> keptAlive, idle;
  underAttack([&] {
    for (int i = 0; i < 200; ++i) {
      keptAlive.push_back(std::make_unique<RawConnection>(port()));
      keptAlive.back()->send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
      ASSERT_EQ(keptAlive.back()->read().status, 200);
    }
    for (int i = 0; i < 2000; ++i) idle.push_back(std::make_unique<RawConnection>(port()));
    std::this_thread::sleep_for(1s);
  });
  // Each kept connection still serves its client.
  for (auto& connection : keptAlive) {
    ASSERT_TRUE(connection->send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(connection->read().status, 200);
  }
}

TEST_F(AttackTest, ClientsDrippingHeaders_DoNotBlockOthersAndAreCut_AsAreSilentOrIdleOnes) {
  start({"--request-timeout", "2", "--idle-timeout", "4"});
  underAttack([&] {
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 20; ++i) {
      slow.push_back(std::make_unique<RawConnection>(port()));
      slow.back()->send("GET / HTTP/1.1\r\n");
    }
    for (int line = 0; line < 6; ++line) {
      std::this_thread::sleep_for(500ms);
      for (auto& connection : slow) connection->send("X-Drip: " + std::to_string(line) + "\r\n");
    }
    // Never silent, but past the request timeout: cut.
    for (auto& connection : slow) EXPECT_TRUE(connection->closedWithin(2s));
    // Half a head, then silence, or nothing at all: closed by the request
    // timeout, not the longer idle one.
    RawConnection silent(port()), mute(port());
    silent.send("POST /rep/post.php HTTP/1.1\r\nHost: x\r\n");
    EXPECT_TRUE(silent.closedWithin(5s));
    EXPECT_TRUE(mute.closedWithin(1500ms));
    // Kept alive after an answer for the idle timeout, then closed.
    RawConnection idle(port());
    idle.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(idle.read().status, 200);
    EXPECT_FALSE(idle.closedWithin(2500ms));
    EXPECT_TRUE(idle.closedWithin(3s));
  });
}

TEST_F(AttackTest, ChunkedBodiesWhoseFramingDrips_AreCutAtTheRequestTimeout) {
  start({"--request-timeout", "2"});
  const std::string head = post(kFormType + "Transfer-Encoding: chunked\r\n", "");
  // Each drips one byte every 400 ms, never silent for long, never done.
  const std::pair<std::string, std::string> drips[] = {
      {chunk("lang=en"), "0"},                      // a chunk-size line of zeros
      {chunk("lang=en") + "7;ext=", "a"},           // a chunk extension
      {chunk("lang=en") + "0\r\nX-Trailer: ", "b"},  // a trailer
  };
  underAttack([&] {
    std::vector<std::pair<std::unique_ptr<RawConnection>, std::string>> slow;
    for (const auto& [start, drip] : drips)
      for (int i = 0; i < 5; ++i) {
        slow.emplace_back(std::make_unique<RawConnection>(port()), drip);
        slow.back().first->send(head + start);
      }
    // The drip goes on until every connection is cut: a silent one would be
    // cut by the inactivity timeout, which proves nothing.
    const auto started = Clock::now();
    std::string stillOpen = "all";
    while (!stillOpen.empty() && Clock::now() - started < 5s) {
      std::this_thread::sleep_for(400ms);
      stillOpen.clear();
      for (auto& [connection, drip] : slow)
        if (connection->send(drip) && !connection->closedWithin(1ms)) stillOpen += drip;
    }
    EXPECT_EQ(stillOpen, "") << "dripping connections left open after 5 s";
  });
  EXPECT_EQ(rows("reports"), 0);
}

TEST_F(AttackTest, OneAddressCannotTakeMoreThanAQuarterOfTheConnections) {
  start({"--max-connections", "40", "--max-connections-per-address", "40"});
  std::vector<std::unique_ptr<RawConnection>> held;
  for (int i = 0; i < 10; ++i) held.push_back(std::make_unique<RawConnection>(port()));
  std::this_thread::sleep_for(100ms);
  RawConnection extra(port());
  extra.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  const auto answer = extra.read(1000ms);
  EXPECT_TRUE(answer.status == 503 || extra.closedWithin(0ms)) << answer.status;
}

// Heads a proxy in front might read differently from the server: each gets
// one 400 and a close, and nothing is stored.
TEST_F(AttackTest, AmbiguousHeads_GetOne400AndAClose) {
  start();
  const std::string body = testing::ReportForm{}.body();
  const std::string length = std::to_string(body.size());
  const std::string form = "POST /rep/post.php HTTP/1.1\r\n" + kFormType;
  const std::string cases[] = {
      form + "Host: x\r\nX-A: b\r\n Content-Length: " + length + "\r\n\r\n" + body,
      form + "Host: x\r\nContent-Length:\r\n " + length + "\r\n\r\n" + body,
      form + "Host: x\r\nTransfer-Encoding : chunked\r\n\r\n" + chunk(body) + "0\r\n\r\n",
      form + "Content-Length: " + length + "\r\n\r\n" + body,
      form + "Host: x\r\nHost: y\r\nContent-Length: " + length + "\r\n\r\n" + body,
      // The library answers these itself, before the server sees them.
      form + "Host: x\r\nContent-Length: -0\r\n\r\n",
      form + "Host: x\r\nContent-Length: +" + length + "\r\n\r\n" + body,
  };
  underAttack([&] {
    for (const auto& request : cases) {
      SCOPED_TRACE(request.substr(0, 140));
      RawConnection connection(port());
      connection.send(request);
      const auto answer = connection.read(1000ms);
      EXPECT_EQ(answer.status, 400);
      EXPECT_TRUE(answer.closes);
      EXPECT_TRUE(connection.closedWithin(1000ms));
    }
  });
  EXPECT_EQ(rows("reports"), 0);
  // A length with leading zeros is only a length.
  RawConnection connection(port());
  connection.send(post(kFormType + "Content-Length: 000000000000" + length + "\r\n", body));
  EXPECT_EQ(connection.read().status, 200);
}

TEST_F(AttackTest, OversizedBodiesInEveryFraming_AreRefusedWithoutBeingKept) {
  start();
  const long long reportsBefore = rows("reports");
  underAttack([&] {
    {  // 100 MB chunked: read and dropped, then refused.
      RawConnection connection(port());
      connection.send(post(kFormType + "Transfer-Encoding: chunked\r\n", ""));
      const std::string piece = chunk(std::string(64 * 1024, 'a'));
      int sent = 0;
      while (sent < 1600 && connection.send(piece)) ++sent;
      EXPECT_EQ(sent, 1600) << "the server should read the body to its end";
      connection.send("0\r\n\r\n");
      const auto answer = connection.read();
      EXPECT_EQ(answer.status, 400);
      EXPECT_NE(answer.body.find("too large"), std::string::npos);
    }
    {  // 1 GB announced: refused before a byte of it is sent.
      RawConnection connection(port());
      connection.send(post(kFormType + "Content-Length: 1000000000\r\n", ""));
      EXPECT_EQ(connection.read(1000ms).status, 400);
    }
    {  // No length at all: the body runs to the end of the connection.
      RawConnection connection(port());
      connection.send("POST /rep/post.php HTTP/1.0\r\n" + kFormType + "\r\n" + std::string(9000, 'a'));
      EXPECT_EQ(connection.read().status, 400);
    }
  });
  EXPECT_EQ(rows("reports"), reportsBefore);
}

TEST_F(AttackTest, EncodedOrMislabelledBodies_AreRefusedBeforeReading) {
  start();
  const std::string body = testing::ReportForm{}.body();
  const std::pair<std::string, int> cases[] = {
      {post("Content-Type: text/plain\r\nTransfer-Encoding: chunked\r\n", chunk(body) + "0\r\n\r\n"), 415},
      {post(kFormType + "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(body.size()) + "\r\n", body), 415},
      {post(kFormType + "Transfer-Encoding: gzip\r\n", body), 400},
      {post(kFormType + "Transfer-Encoding: gzip, chunked\r\n", chunk(body) + "0\r\n\r\n"), 400},
      {post(kFormType + "Content-Length: 5\r\nContent-Length: 7\r\n", body), 400},
      {post(kFormType + "Content-Length: 1e3\r\n", body), 400},
      {post(kFormType + "Content-Length: " + std::to_string(body.size()) + "\r\nTransfer-Encoding: chunked\r\n", body), 400},
  };
  underAttack([&] {
    for (const auto& [request, status] : cases) {
      SCOPED_TRACE(request.substr(0, 120));
      RawConnection connection(port());
      connection.send(request);
      const auto answer = connection.read(1000ms);
      EXPECT_EQ(answer.status, status);
      EXPECT_FALSE(answer.body.empty());
    }
  });
  EXPECT_EQ(rows("reports"), 0);
  EXPECT_EQ(rows("players"), 0);
}

TEST_F(AttackTest, MillionsOfTinyHeaders_GetA431AndCostNoMemory) {
  start();
  underAttack([&] {
    RawConnection connection(port());
    connection.send("GET / HTTP/1.1\r\nHost: x\r\n");
    std::string lines;
    for (int i = 0; i < 10000; ++i) lines += "X: y\r\n";
    for (int i = 0; i < 500 && connection.send(lines); ++i) {  // up to 5 M headers
    }
    const auto answer = connection.read(2000ms);
    EXPECT_TRUE(answer.status == 431 || connection.closedWithin(2000ms)) << answer.status;
  });
}

TEST_F(AttackTest, PipelinedRequests_AreAnsweredInOrder) {
  start();
  underAttack([&] {
    RawConnection connection(port());
    connection.send(
        "GET /rep/get.php?%67%65%74=%6C%61%6E%67&%6C%61%6E%67= HTTP/1.1\r\nHost: x\r\n\r\n"
        "GET /rep/get.php?%67%65%74=%70%61%74%74%65%72%6E&%6C%61%6E%67=%6A%61 HTTP/1.1\r\nHost: x\r\n\r\n" +
        post(kFormType + "Content-Length: " + std::to_string(testing::ReportForm{}.body().size()) + "\r\n",
             testing::ReportForm{}.body()) +
        "GET /nothing/here HTTP/1.1\r\nHost: x\r\n\r\n");
    const auto languages = connection.read(), patterns = connection.read(), report = connection.read(),
               missing = connection.read();
    EXPECT_EQ(languages.status, 200);
    EXPECT_EQ(languages.body.front(), '[');
    EXPECT_EQ(patterns.status, 200);
    EXPECT_NE(patterns.body.find("\"1\""), std::string::npos);
    EXPECT_EQ(report.status, 200);
    EXPECT_NE(report.body.find("\"fid\""), std::string::npos);
    EXPECT_EQ(missing.status, 404);
  });
}

TEST_F(AttackTest, RegistrationFloodAndReportFlood_AreRateLimited) {
  start({"--registration-burst", "20", "--registrations-per-minute", "10", "--report-burst", "50",
         "--reports-per-second", "20"});
  std::atomic<long> refused{0};
  std::string playerId;
  underAttack([&] {
    std::vector<std::thread> flooders;
    for (int t = 0; t < 8; ++t)
      flooders.emplace_back([&] {
        RawConnection connection(port());
        const std::string body = testing::ReportForm{}.body();
        for (int i = 0; i < 100; ++i) {
          if (!connection.send(post(kFormType + "Content-Length: " + std::to_string(body.size()) + "\r\n", body)))
            return;
          const auto answer = connection.read();
          if (answer.status == 429) ++refused;
        }
      });
    for (auto& flooder : flooders) flooder.join();
  });
  EXPECT_LE(rows("players"), 21);  // the burst, and what 10 a minute adds in the run
  EXPECT_GE(refused, 700);

  // One player (from an address with registrations left) posting far
  // faster than the per-player rate.
  RawConnection player(port(), "127.0.0.3");
  testing::ReportForm form;
  const auto send = [&] {
    const std::string body = form.body();
    player.send(post(kFormType + "Content-Length: " + std::to_string(body.size()) + "\r\n", body));
    return player.read();
  };
  const auto registered = send();
  ASSERT_EQ(registered.status, 200) << registered.body;
  const size_t at = registered.body.find("\"aid\":\"");
  ASSERT_NE(at, std::string::npos);
  form.aid = registered.body.substr(at + 7, 32);
  const long long before = rows("reports");
  int limited = 0;
  for (int i = 0; i < 200; ++i) {
    form.line = std::to_string(i);
    const auto answer = send();
    ASSERT_TRUE(answer.status == 200 || answer.status == 429) << answer.status;
    if (answer.status == 429) ++limited;
  }
  EXPECT_GT(limited, 100);
  EXPECT_EQ(rows("reports") - before, 200 - limited);
}

TEST_F(AttackTest, ConnectionsOverTheCaps_GetAFast503) {
  start({"--max-connections", "40", "--max-connections-per-address", "10"});
  std::vector<std::unique_ptr<RawConnection>> held;
  for (int i = 0; i < 10; ++i) held.push_back(std::make_unique<RawConnection>(port()));
  // The server's threads accept in parallel: let all ten be counted first.
  std::this_thread::sleep_for(100ms);
  {  // the 11th from one address
    const auto started = Clock::now();
    RawConnection extra(port());
    extra.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    const auto answer = extra.read(1000ms);
    EXPECT_TRUE(answer.status == 503 || extra.closedWithin(0ms)) << answer.status;
    EXPECT_LT(Clock::now() - started, 1s);
  }
  EXPECT_GT(testing::timeOrdinaryRequest(port(), kOrdinaryClient, 1000ms).count(), -1);
  // The total: fill it from other addresses, then one more anywhere.
  for (int i = 0; i < 30; ++i)
    held.push_back(std::make_unique<RawConnection>(port(), "127.0.1." + std::to_string(1 + i / 5)));
  std::this_thread::sleep_for(100ms);
  RawConnection over(port(), "127.0.2.1");
  over.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  const auto answer = over.read(1000ms);
  EXPECT_EQ(answer.status, 503);
  EXPECT_TRUE(answer.closes);
  EXPECT_NE(answer.head.find("\r\nRetry-After: 1"), std::string::npos) << answer.head;
  held.clear();
  std::this_thread::sleep_for(200ms);
  EXPECT_GT(testing::timeOrdinaryRequest(port(), kOrdinaryClient, 1000ms).count(), -1);
}

TEST_F(AttackTest, Sigterm_WithAnIdleClient_ExitsWithinTwoSeconds) {
  start();
  RawConnection idle(port());
  idle.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_EQ(idle.read().status, 200);
  const auto started = Clock::now();
  server->kill(SIGTERM);
  EXPECT_LT(Clock::now() - started, 2s);
}

TEST_F(AttackTest, SecondServerOnATakenPort_RefusesToStartAndTheFirstServesAll) {
  start();
  const std::string command = std::string(TIDEMARK_SERVER_EXECUTABLE) + " --port " + std::to_string(port()) +
                              " --database " + (dir.path() / "other.sqlite3").string() + " 2>&1";
  FILE* second = popen(command.c_str(), "r");
  ASSERT_TRUE(second);
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, second)) output += buffer;
  const int status = pclose(second);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(output.find("already in use"), std::string::npos) << output;
  for (int i = 0; i < 10; ++i) EXPECT_GT(testing::timeOrdinaryRequest(port(), kOrdinaryClient).count(), -1);
}

}  // namespace
}  // namespace tidemark
