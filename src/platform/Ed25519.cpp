#include "platform/Ed25519.h"

#include "platform/LibCrypto.h"

namespace Platform::Ed25519 {
namespace {

// libcrypto keeps an Ed25519 private key as its 32-byte seed; our secret keys are that seed
// followed by the public key.
constexpr std::size_t seedSize = 32;

const unsigned char* bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string publicHalf(EVP_PKEY* key) {
  std::string publicKey(publicKeySize, '\0');
  std::size_t size = publicKey.size();
  LibCrypto::check(LibCrypto::crypto().PKEY_get_raw_public_key(
                       key, reinterpret_cast<unsigned char*>(publicKey.data()), &size),
                   "read an Ed25519 public key");
  return publicKey;
}

// The key of a secret key's seed; none when the bytes are not a secret key. The stored public
// half must be the one the seed gives, or the key has been tampered with.
LibCrypto::Key privateKey(std::string_view secretKey) {
  if (secretKey.size() != secretKeySize) return nullptr;
  LibCrypto::Key key(LibCrypto::crypto().PKEY_new_raw_private_key_ex(nullptr, "ED25519", nullptr,
                                                                     bytes(secretKey), seedSize));
  if (!key || publicHalf(key.get()) != secretKey.substr(seedSize)) return nullptr;
  return key;
}

}  // namespace

KeyPair generate() {
  LibCrypto::Key key(LibCrypto::crypto().PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key) throw std::runtime_error("libcrypto could not make an Ed25519 key");
  std::string secretKey(secretKeySize, '\0');
  std::size_t size = seedSize;
  LibCrypto::check(LibCrypto::crypto().PKEY_get_raw_private_key(
                       key.get(), reinterpret_cast<unsigned char*>(secretKey.data()), &size),
                   "read an Ed25519 private key");
  const std::string publicKey = publicHalf(key.get());
  secretKey.replace(seedSize, publicKeySize, publicKey);
  return {publicKey, secretKey};
}

std::optional<std::string> publicKeyOf(std::string_view secretKey) {
  auto key = privateKey(secretKey);
  if (!key) return std::nullopt;
  return publicHalf(key.get());
}

std::optional<std::string> sign(std::string_view message, std::string_view secretKey) {
  auto key = privateKey(secretKey);
  LibCrypto::DigestContext context(LibCrypto::crypto().MD_CTX_new());
  if (!key || !context) return std::nullopt;
  // Ed25519 hashes the message itself: no digest is named, and the message goes in whole.
  std::string signature(signatureSize, '\0');
  std::size_t size = signature.size();
  if (LibCrypto::crypto().DigestSignInit_ex(context.get(), nullptr, nullptr, nullptr, nullptr,
                                            key.get(), nullptr) != 1 ||
      LibCrypto::crypto().DigestSign(context.get(),
                                     reinterpret_cast<unsigned char*>(signature.data()), &size,
                                     bytes(message), message.size()) != 1 ||
      size != signatureSize) {
    return std::nullopt;
  }
  return signature;
}

bool verify(std::string_view message, std::string_view signature, std::string_view publicKey) {
  if (signature.size() != signatureSize || publicKey.size() != publicKeySize) return false;
  LibCrypto::Key key(LibCrypto::crypto().PKEY_new_raw_public_key_ex(
      nullptr, "ED25519", nullptr, bytes(publicKey), publicKey.size()));
  LibCrypto::DigestContext context(LibCrypto::crypto().MD_CTX_new());
  if (!key || !context) return false;
  return LibCrypto::crypto().DigestVerifyInit_ex(context.get(), nullptr, nullptr, nullptr, nullptr,
                                                 key.get(), nullptr) == 1 &&
         LibCrypto::crypto().DigestVerify(context.get(), bytes(signature), signature.size(),
                                          bytes(message), message.size()) == 1;
}

}  // namespace Platform::Ed25519
