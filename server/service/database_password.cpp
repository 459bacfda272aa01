#include "service/database_password.h"

#include <fstream>
#include <iterator>

#include "store/database_address.h"

namespace tidemark {
namespace {

// libpq decodes %XX in every part of a URI; everything but unreserved
// characters is escaped so that '&', '#' or '%' in a password stay in it.
std::string percentEncoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                            c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

bool addDatabasePassword(std::string& address, const std::string& file, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot read the database password file " + file;
    return false;
  }
  std::string password((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!password.empty() && password.back() == '\n') password.pop_back();
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    error = "the database password file " + file + " is empty";
    return false;
  }
  if (withoutPassword(address) != address) {
    error = "the database address has a password already; give it in one place only";
    return false;
  }
  address += (address.find('?') == std::string::npos ? "?password=" : "&password=") + percentEncoded(password);
  return true;
}

}  // namespace tidemark
