#include "platform/digest.h"

#include <sodium.h>

namespace platform {

std::string sha256Hex(std::string_view bytes) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  static const char* hex = "0123456789abcdef";
  std::string text;
  text.reserve(sizeof digest * 2);
  for (unsigned char b : digest) {
    text.push_back(hex[b >> 4]);
    text.push_back(hex[b & 15]);
  }
  return text;
}

}  // namespace platform
