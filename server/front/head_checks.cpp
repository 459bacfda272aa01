#include "front/head_checks.h"

#include <microhttpd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

namespace tidemark {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// The request headers that decide how its body is framed and read.
struct HeadFacts {
  size_t bytes = 0;
  int contentLengths = 0;
  bool contentLengthDecimal = true;
  int hosts = 0;
  // A name that is not a token ("Transfer-Encoding :" arrives as the name
  // "Transfer-Encoding "), or a line folded onto the one before.
  bool malformedLine = false;
  std::optional<std::string> transferEncoding, contentEncoding, contentType, reportId;
  std::string forwardedFor, cookies;
  SiteHeaders site;
};

bool isToken(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (c == 0 || (!std::isalnum(c) && !std::strchr("!#$%&'*+-.^_`|~", c))) return false;
  return true;
}

// libmicrohttpd splits "Name: value" in place in its read buffer, so the
// value follows the name, its colon and blanks. It joins a folded line
// (obs-fold) by moving the name elsewhere in its pool: the value then no
// longer follows the name, which is how a fold is told apart from a name
// that merely looks odd. The library accepts folds with no setting to
// refuse them.
constexpr size_t kMostBlanksAfterColon = 64;

bool valueFollowsName(const char* key, size_t keySize, const char* value) {
  const auto name = reinterpret_cast<uintptr_t>(key), text = reinterpret_cast<uintptr_t>(value);
  if (text <= name + keySize || text > name + keySize + 1 + kMostBlanksAfterColon) return false;
  for (const char* c = key + keySize + 1; c < value; ++c)
    if (*c != ' ' && *c != '\t') return false;
  return true;
}

MHD_Result collectHead(void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value,
                       size_t valueSize) {
  auto& facts = *static_cast<HeadFacts*>(cls);
  const std::string_view v = value ? std::string_view(value, valueSize) : std::string_view();
  facts.bytes += keySize + v.size() + 4;
  if (!isToken(std::string_view(key, keySize)) || (value && !valueFollowsName(key, keySize, value)))
    facts.malformedLine = true;
  const std::string name = lower(std::string_view(key, keySize));
  if (name == "host") ++facts.hosts;
  if (name == "content-length") {
    ++facts.contentLengths;
    const std::string number = trim(v);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
      facts.contentLengthDecimal = false;
  } else if (name == "transfer-encoding") {
    facts.transferEncoding = facts.transferEncoding ? *facts.transferEncoding + "," + std::string(v) : std::string(v);
  } else if (name == "content-encoding") {
    facts.contentEncoding = facts.contentEncoding ? *facts.contentEncoding + "," + std::string(v) : std::string(v);
  } else if (name == "content-type") {
    facts.contentType = std::string(v);
  } else if (name == "x-forwarded-for") {
    facts.forwardedFor += (facts.forwardedFor.empty() ? "" : ", ") + std::string(v);
  } else if (name == "host") {
    facts.site.host = std::string(v);
  } else if (name == "origin") {
    facts.site.origin = std::string(v);
  } else if (name == "referer") {
    facts.site.referer = std::string(v);
  } else if (name == "sec-fetch-site") {
    facts.site.fetchSite = std::string(v);
  } else if (name == "cookie") {
    facts.cookies += (facts.cookies.empty() ? "" : "; ") + std::string(v);
  } else if (name == "tidemark-report-id") {
    facts.reportId = facts.reportId ? *facts.reportId + "," + std::string(v) : std::string(v);
  }
  return MHD_YES;
}

}  // namespace

size_t bodyCap(const HttpLimits& limits, const HttpRequest& request) {
  return request.method == "POST" && request.path == "/rep/post.php" ? limits.maxReportBodyBytes
                                                                      : limits.maxBodyBytes;
}

std::optional<Refusal> checkHead(MHD_Connection* connection, std::string_view version, const HttpLimits& limits,
                                 HttpRequest& request) {
  HeadFacts facts;
  MHD_get_connection_values_n(connection, MHD_HEADER_KIND, collectHead, &facts);
  request.forwardedFor = facts.forwardedFor;
  request.reportId = facts.reportId;
  request.cookies = facts.cookies;
  request.site = facts.site;
  if (facts.bytes > limits.maxHeaderBytes)
    return Refusal{431, "headers_too_large", "request headers too large"};
  // A proxy in front may read such a head differently from us, and the
  // difference is where one request hides inside another.
  if (facts.malformedLine)
    return Refusal{400, "malformed_header", "a header line is folded or its name is not a token"};
  if (facts.hosts > 1 || (facts.hosts == 0 && version == "HTTP/1.1"))
    return Refusal{400, "bad_host", "HTTP/1.1 requests need exactly one Host header"};
  if (facts.contentLengths > 1 || !facts.contentLengthDecimal)
    return Refusal{400, "bad_content_length", "Content-Length must be one decimal number"};
  if (facts.transferEncoding) {
    if (lower(trim(*facts.transferEncoding)) != "chunked")
      return Refusal{400, "bad_transfer_encoding", "only the chunked Transfer-Encoding is accepted"};
    if (facts.contentLengths > 0)
      return Refusal{400, "bad_content_length", "Content-Length and Transfer-Encoding together"};
  }
  if (facts.contentEncoding && lower(trim(*facts.contentEncoding)) != "identity")
    return Refusal{415, "content_encoding", "encoded request bodies are not accepted"};
  if (request.method == "POST" && request.path == "/rep/post.php") {
    const std::string type =
        facts.contentType ? lower(trim(facts.contentType->substr(0, facts.contentType->find(';')))) : "";
    if (type != "application/x-www-form-urlencoded")
      return Refusal{415, "content_type", "reports must be application/x-www-form-urlencoded"};
  }
  if (facts.contentLengths == 1) {
    const char* declared = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
    std::string number = declared ? trim(declared) : "0";
    // Leading zeros do not make a length large.
    number.erase(0, std::min(number.find_first_not_of('0'), number.size()));
    if (number.size() > 9 || (!number.empty() && std::stoul(number) > bodyCap(limits, request)))
      return Refusal{400, "body_too_large", "request body too large"};
  }
  return std::nullopt;
}

}  // namespace tidemark
