#include "platform/LibCrypto.h"

#include <dlfcn.h>

namespace Platform::LibCrypto {
namespace {

template <typename Function>
bool find(void* library, const char* name, Function& into) {
  into = reinterpret_cast<Function>(dlsym(library, name));
  return into != nullptr;
}

Functions load() {
  // Never closed: libcrypto stays in the process once loaded anyway.
  void* library = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
  if (!library) throw std::runtime_error("libcrypto could not be loaded");
  Functions f;
  const bool found =
      find(library, "EVP_MD_fetch", f.MD_fetch) && find(library, "EVP_MD_free", f.MD_free) &&
      find(library, "EVP_MD_CTX_new", f.MD_CTX_new) &&
      find(library, "EVP_MD_CTX_free", f.MD_CTX_free) &&
      find(library, "EVP_DigestInit_ex2", f.DigestInit_ex2) &&
      find(library, "EVP_DigestUpdate", f.DigestUpdate) &&
      find(library, "EVP_DigestFinal_ex", f.DigestFinal_ex) &&
      find(library, "EVP_PKEY_free", f.PKEY_free) &&
      find(library, "EVP_PKEY_Q_keygen", f.PKEY_Q_keygen) &&
      find(library, "EVP_PKEY_get_raw_private_key", f.PKEY_get_raw_private_key) &&
      find(library, "EVP_PKEY_get_raw_public_key", f.PKEY_get_raw_public_key) &&
      find(library, "EVP_PKEY_new_raw_private_key_ex", f.PKEY_new_raw_private_key_ex) &&
      find(library, "EVP_PKEY_new_raw_public_key_ex", f.PKEY_new_raw_public_key_ex) &&
      find(library, "EVP_DigestSignInit_ex", f.DigestSignInit_ex) &&
      find(library, "EVP_DigestSign", f.DigestSign) &&
      find(library, "EVP_DigestVerifyInit_ex", f.DigestVerifyInit_ex) &&
      find(library, "EVP_DigestVerify", f.DigestVerify);
  if (!found) throw std::runtime_error("libcrypto lacks a function Quendrel uses");
  return f;
}

}  // namespace

const Functions& crypto() {
  static const Functions loaded = load();
  return loaded;
}

}  // namespace Platform::LibCrypto
