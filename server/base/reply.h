#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tidemark {

// A body made while it is sent, piece by piece, so that its size never
// sits in memory at once. Called on the HTTP front's threads, one call at a
// time.
class BodySource {
 public:
  virtual ~BodySource() = default;
  // Appends the next piece to `out`: true while there is more to come or
  // this piece is not empty; false at the end, and with `failed` set when
  // the body cannot be finished (the connection is then cut, so that the
  // client never takes a part for the whole).
  virtual bool next(std::string& out, bool& failed) = 0;
};

// What a handler answers, apart from the HTTP library.
struct Reply {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Set: the body comes from here (chunked) and `body` is not sent.
  std::shared_ptr<BodySource> stream = nullptr;
  // Not sent: why the database could not be read, for the server's log.
  std::string storeProblem = {};

  static Reply text(int status, std::string body) {
    return {status, "text/plain; charset=utf-8", std::move(body), {}};
  }
  static Reply json(std::string body) {
    return {200, "application/json; charset=utf-8", std::move(body), {}};
  }
};

}  // namespace tidemark
