#pragma once
// OpenSSL's libcrypto, loaded when first used (dlopen): the menu-bar program starts, shows its
// knob and asks the desk without it, and only a signature or a digest brings it in. Owners of
// its objects free them with libcrypto's own functions. Only src/platform includes this.
#include <openssl/evp.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace Platform::LibCrypto {

// The part of libcrypto's EVP interface that Quendrel uses.
struct Functions {
  decltype(&EVP_MD_fetch) MD_fetch = nullptr;
  decltype(&EVP_MD_free) MD_free = nullptr;
  decltype(&EVP_MD_CTX_new) MD_CTX_new = nullptr;
  decltype(&EVP_MD_CTX_free) MD_CTX_free = nullptr;
  decltype(&EVP_DigestInit_ex2) DigestInit_ex2 = nullptr;
  decltype(&EVP_DigestUpdate) DigestUpdate = nullptr;
  decltype(&EVP_DigestFinal_ex) DigestFinal_ex = nullptr;
  decltype(&EVP_PKEY_free) PKEY_free = nullptr;
  decltype(&EVP_PKEY_Q_keygen) PKEY_Q_keygen = nullptr;
  decltype(&EVP_PKEY_get_raw_private_key) PKEY_get_raw_private_key = nullptr;
  decltype(&EVP_PKEY_get_raw_public_key) PKEY_get_raw_public_key = nullptr;
  decltype(&EVP_PKEY_new_raw_private_key_ex) PKEY_new_raw_private_key_ex = nullptr;
  decltype(&EVP_PKEY_new_raw_public_key_ex) PKEY_new_raw_public_key_ex = nullptr;
  decltype(&EVP_DigestSignInit_ex) DigestSignInit_ex = nullptr;
  decltype(&EVP_DigestSign) DigestSign = nullptr;
  decltype(&EVP_DigestVerifyInit_ex) DigestVerifyInit_ex = nullptr;
  decltype(&EVP_DigestVerify) DigestVerify = nullptr;
};

// libcrypto's functions, the library loaded at the first call; throws std::runtime_error when
// it cannot be loaded (there is nothing to go on with then).
const Functions& crypto();

template <auto Functions::*free>
struct Freer {
  template <typename T>
  void operator()(T* object) const {
    (crypto().*free)(object);
  }
};

using DigestContext = std::unique_ptr<EVP_MD_CTX, Freer<&Functions::MD_CTX_free>>;
using Digest = std::unique_ptr<EVP_MD, Freer<&Functions::MD_free>>;
using Key = std::unique_ptr<EVP_PKEY, Freer<&Functions::PKEY_free>>;

// libcrypto answers 1 for success. It fails only without memory or when its configuration
// leaves out an algorithm we need; either way there is nothing to go on with.
inline void check(int answer, const char* what) {
  if (answer != 1) throw std::runtime_error(std::string("libcrypto could not ") + what);
}

}  // namespace Platform::LibCrypto
