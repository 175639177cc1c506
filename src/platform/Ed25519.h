#pragma once
// Ed25519 signatures, for signing application bundles.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace Platform::Ed25519 {

inline constexpr std::size_t publicKeySize = 32;
inline constexpr std::size_t secretKeySize = 64;  // the seed followed by the public key
inline constexpr std::size_t signatureSize = 64;

// Raw bytes.
struct KeyPair {
  std::string publicKey;
  std::string secretKey;
};

KeyPair generate();

// The public half of a secret key; nothing when the bytes are not a secret key.
std::optional<std::string> publicKeyOf(std::string_view secretKey);

// The detached signature of the message; nothing when the key is not a secret key.
std::optional<std::string> sign(std::string_view message, std::string_view secretKey);

// Whether `signature` is the signer's signature of `message`.
bool verify(std::string_view message, std::string_view signature, std::string_view publicKey);

}  // namespace Platform::Ed25519
