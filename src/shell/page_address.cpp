#include "shell/page_address.h"

namespace tidemark {

std::string homePageAddress(std::string_view host, std::uint16_t port, bool secure) {
    std::string address = secure ? "https://" : "http://";
    address += host;
    address += ':';
    address += std::to_string(port);
    address += '/';
    return address;
}

std::string playerPageAddress(std::string_view host, std::uint16_t port, bool secure, std::string_view token) {
    return homePageAddress(host, port, secure).append(token);
}

}  // namespace tidemark
