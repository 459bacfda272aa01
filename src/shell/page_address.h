#pragma once
// Addresses on the report server's web site, built from the host and port
// the program was built for, over HTTPS when the server is reached so.

#include <cstdint>
#include <string>
#include <string_view>

namespace tidemark {

// The player's page: "http://host:port/" (https:// when `secure`) followed by
// the token, which the server issues as a path and which is therefore used
// unencoded.
std::string playerPageAddress(std::string_view host, std::uint16_t port, bool secure, std::string_view token);

// The server's home page, shown as the Config page's link.
std::string homePageAddress(std::string_view host, std::uint16_t port, bool secure);

}  // namespace tidemark
