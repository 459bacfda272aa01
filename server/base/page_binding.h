#pragma once

#include <string>
#include <string_view>

namespace tidemark {

// A token that only the server can make for one page and one purpose:
// HMAC-SHA256 of the purpose and the page's token under the server's
// secret, as 64 hex digits. A form carries it, so that a request made
// elsewhere, even by someone who knows the page's address, cannot.
std::string pageBoundToken(std::string_view secret, std::string_view purpose, std::string_view pageToken);

// Compares in constant time, so that the answer's timing tells nothing.
bool isPageBoundToken(std::string_view secret, std::string_view purpose, std::string_view pageToken,
                      std::string_view offered);

}  // namespace tidemark
