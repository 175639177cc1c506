#pragma once
// Quendrel's bundle signatures: an Ed25519 signature over the bundle's manifest, kept in
// "Contents/_CodeSignature". A bundle is valid when the signature verifies and the bundle is
// exactly what the manifest lists, nothing missing, changed or added. The signer's team is a
// fingerprint of its public key.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace CodeSign {

// Who signed a bundle, and as what.
struct Signer {
  std::string identifier;
  std::string publicKey;  // raw bytes
  bool operator==(const Signer&) const = default;
};

struct Invalid {
  std::string why;  // one line, for people
};

using Verdict = std::variant<Signer, Invalid>;

// The whole check: the signature, the identifier against Info.plist, and every item.
Verdict verify(const std::filesystem::path& bundle);

// Only the signed manifest: who signed it, when the signature over the manifest verifies.
// Quick (no item is read); says nothing about whether the bundle still matches it.
Verdict signer(const std::filesystem::path& bundle);

// Signs the bundle with a secret key, replacing any signature it had. The identifier is the
// bundle's CFBundleIdentifier. Gives the problem when it could not.
std::optional<std::string> sign(const std::filesystem::path& bundle, std::string_view secretKey);

// Ten upper-case hexadecimal digits of the SHA-256 of the public key.
std::string team(std::string_view publicKey);

// Makes a new secret key in a new file readable by this user only. Gives the problem when it
// could not (an existing file is never overwritten).
std::optional<std::string> makeKey(const std::filesystem::path& file);

// The secret key in a file made by `makeKey`; nothing when it is not one.
std::optional<std::string> readKey(const std::filesystem::path& file);

// The public half of a secret key.
std::optional<std::string> publicKeyOf(std::string_view secretKey);

// Whether `copy` is valid, and signed with the same key and identifier as `source`.
bool intact(const std::filesystem::path& copy, const std::filesystem::path& source);

// Whether our own bundle is valid, `app` is valid, and both are signed with the same key.
bool signedLikeUs(const std::filesystem::path& app);

// The team of our own bundle's signer, when our bundle is signed.
std::optional<std::string> ourTeam();

}  // namespace CodeSign
