#include "shell/page_address.h"

namespace tidemark {

std::string homePageAddress(std::string_view host, std::uint16_t port) {
    std::string address = "http://";
    address += host;
    address += ':';
    address += std::to_string(port);
    address += '/';
    return address;
}

std::string playerPageAddress(std::string_view host, std::uint16_t port, std::string_view token) {
    return homePageAddress(host, port).append(token);
}

}  // namespace tidemark
