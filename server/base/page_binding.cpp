#include "base/page_binding.h"

#include <nettle/hmac.h>

namespace tidemark {

std::string pageBoundToken(std::string_view secret, std::string_view purpose, std::string_view pageToken) {
  hmac_sha256_ctx context;
  hmac_sha256_set_key(&context, secret.size(), reinterpret_cast<const uint8_t*>(secret.data()));
  // The NUL keeps "ab" + "c" apart from "a" + "bc".
  hmac_sha256_update(&context, purpose.size(), reinterpret_cast<const uint8_t*>(purpose.data()));
  hmac_sha256_update(&context, 1, reinterpret_cast<const uint8_t*>(""));
  hmac_sha256_update(&context, pageToken.size(), reinterpret_cast<const uint8_t*>(pageToken.data()));
  uint8_t digest[SHA256_DIGEST_SIZE];
  hmac_sha256_digest(&context, sizeof digest, digest);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

bool isPageBoundToken(std::string_view secret, std::string_view purpose, std::string_view pageToken,
                      std::string_view offered) {
  const std::string expected = pageBoundToken(secret, purpose, pageToken);
  if (offered.size() != expected.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < expected.size(); ++i)
    difference |= static_cast<unsigned char>(expected[i] ^ offered[i]);
  return difference == 0;
}

}  // namespace tidemark
