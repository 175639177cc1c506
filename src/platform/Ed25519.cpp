#include "platform/Ed25519.h"

#include <sodium.h>

namespace Platform::Ed25519 {
namespace {

const unsigned char* bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

void ready() {
  static const int initialised = sodium_init();
  (void)initialised;
}

}  // namespace

KeyPair generate() {
  ready();
  std::string publicKey(publicKeySize, '\0');
  std::string secretKey(secretKeySize, '\0');
  crypto_sign_ed25519_keypair(reinterpret_cast<unsigned char*>(publicKey.data()),
                              reinterpret_cast<unsigned char*>(secretKey.data()));
  return {publicKey, secretKey};
}

std::optional<std::string> publicKeyOf(std::string_view secretKey) {
  if (secretKey.size() != secretKeySize) return std::nullopt;
  ready();
  // The stored public half must be the one the seed gives, or the key has been tampered with.
  std::string fromSeed(publicKeySize, '\0');
  std::string secret(secretKeySize, '\0');
  if (crypto_sign_ed25519_seed_keypair(reinterpret_cast<unsigned char*>(fromSeed.data()),
                                       reinterpret_cast<unsigned char*>(secret.data()),
                                       bytes(secretKey)) != 0) {
    return std::nullopt;
  }
  sodium_memzero(secret.data(), secret.size());
  if (fromSeed != secretKey.substr(crypto_sign_ed25519_SEEDBYTES)) return std::nullopt;
  return fromSeed;
}

std::optional<std::string> sign(std::string_view message, std::string_view secretKey) {
  if (!publicKeyOf(secretKey)) return std::nullopt;
  std::string signature(signatureSize, '\0');
  if (crypto_sign_ed25519_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                                   bytes(message), message.size(), bytes(secretKey)) != 0) {
    return std::nullopt;
  }
  return signature;
}

bool verify(std::string_view message, std::string_view signature, std::string_view publicKey) {
  if (signature.size() != signatureSize || publicKey.size() != publicKeySize) return false;
  ready();
  return crypto_sign_ed25519_verify_detached(bytes(signature), bytes(message), message.size(),
                                             bytes(publicKey)) == 0;
}

}  // namespace Platform::Ed25519
