#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tidemark {

// What a handler answers, apart from the HTTP library.
struct Reply {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;

  static Reply text(int status, std::string body) {
    return {status, "text/plain; charset=utf-8", std::move(body), {}};
  }
  static Reply json(std::string body) {
    return {200, "application/json; charset=utf-8", std::move(body), {}};
  }
};

}  // namespace tidemark
