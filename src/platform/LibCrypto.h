#pragma once
// Owners of OpenSSL's libcrypto objects, each freed with libcrypto's own function when dropped.
// Only src/platform includes this.
#include <openssl/evp.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace Platform::LibCrypto {

template <auto free>
struct Freer {
  template <typename T>
  void operator()(T* object) const {
    free(object);
  }
};

using DigestContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX_free>>;
using Digest = std::unique_ptr<EVP_MD, Freer<EVP_MD_free>>;
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;

// libcrypto answers 1 for success. It fails only without memory or when its configuration
// leaves out an algorithm we need; either way there is nothing to go on with.
inline void check(int answer, const char* what) {
  if (answer != 1) throw std::runtime_error(std::string("libcrypto could not ") + what);
}

}  // namespace Platform::LibCrypto
