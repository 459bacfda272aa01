#pragma once

#include <optional>
#include <string_view>

#include "front/http_front.h"

namespace tidemark {

struct Refusal {
  int status;
  const char* reason;  // a token for logs and metrics
  const char* text;    // what the client reads
};

// The largest body `request` may carry.
size_t bodyCap(const HttpLimits& limits, const HttpRequest& request);

// The head is complete: what cannot be read safely, before any body. Fills
// the request's forwarded address and report id from the head.
std::optional<Refusal> checkHead(MHD_Connection* connection, std::string_view version, const HttpLimits& limits,
                                 HttpRequest& request);

}  // namespace tidemark
