#pragma once
// The loopback test server (tools/testserver/http_test_server.py) seen from
// a Windows test program running under Wine. The server is started around
// the program by its test command, which hands over the two ports in
// TIDEMARK_TEST_HTTP_PORT and TIDEMARK_TEST_CONTROL_PORT.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tidemark::testing {

struct ServerAnswer {
    std::string mode = "answer";  // "answer", "silent" or "close"
    int status = 200;
    std::string body;
    std::vector<std::size_t> split;  // sizes of the first body writes
    int pauseMs = 0;                 // before each body write
    std::string framing = "length";  // "length" (keep-alive) or "close"

    static ServerAnswer text(std::string body) {
        ServerAnswer answer;
        answer.body = std::move(body);
        return answer;
    }
    static ServerAnswer silent() {
        ServerAnswer answer;
        answer.mode = "silent";
        return answer;
    }
    static ServerAnswer closed() {
        ServerAnswer answer;
        answer.mode = "close";
        return answer;
    }
};

struct ServerRequest {
    int connection = 0;  // the TCP connection's number, from 1 in order of accept
    std::string requestLine;
    std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
    std::string body;

    std::string method() const;
    std::string target() const;
    std::optional<std::string> header(const std::string& name) const;  // name without case
};

// One fault for the next report posts (see the server's usage text).
struct ServerFault {
    std::string kind;  // "refuse", "drop", "stall", or anything else: handled as usual
    int status = 503;  // refuse
    std::optional<int> retryAfter;  // refuse: the Retry-After seconds
    double seconds = 0;             // stall
    int count = 1;
};

// A report the server stored: its id header and its fields as raw bytes.
struct StoredRow {
    std::optional<std::string> reportId;
    std::vector<std::pair<std::string, std::string>> fields;

    std::string field(const std::string& name) const;
};

class TestServer {
public:
    // False when the program was not started by the server's --run.
    static bool available();
    static std::uint16_t port();
    // Replaces the script and forgets the records; `fallback` answers every
    // request after the script is used up.
    static void script(const std::vector<ServerAnswer>& answers,
                       const ServerAnswer& fallback = ServerAnswer::text("{}"));
    static std::vector<ServerRequest> requests();
    // The traffic port stops listening and drops its connections, as a
    // server that went down; it listens again on the same port after `ms`.
    static void goAway(int ms);
    // Replaces the faults still queued for the next report posts.
    static void faults(const std::vector<ServerFault>& faults);
    // The reports stored, in order; a repeat of a stored id adds none.
    static std::vector<StoredRow> rows();
    // A loopback port on which nothing listens.
    static std::uint16_t unusedPort();
};

}  // namespace tidemark::testing
