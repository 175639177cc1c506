// Ed25519 keys and signatures, byte for byte: the secret key is the seed followed by the public
// key, and a seed and a message always give the same signature. The expected values were made
// with libsodium, which signed every bundle and made every key before libcrypto did, and two
// of them are RFC 8032's own test vectors.
#include <gtest/gtest.h>

#include <string>

#include "platform/Ed25519.h"

namespace ed25519 = Platform::Ed25519;

namespace {

std::string unhex(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

struct Known {
  std::string seed, publicKey, message, signature;
};

const Known known[] = {
    // RFC 8032, section 7.1, TEST 1 and TEST 2.
    {unhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"),
     unhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"), "",
     unhex("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39"
           "701cf9b46bd25bf5f0595bbe24655141438e7a100b")},
    {unhex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb"),
     unhex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"), "\x72",
     unhex("92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f36"
           "13d0f11d8c387b2eaeb4302aeeb00d291612bb0c00")},
    // A seed of our own and a manifest-like line, signed with libsodium.
    {unhex("01080f161d242b323940474e555c636a71787f868d949ba2a9b0b7bec5ccd3da"),
     unhex("e4030998cfd5ad1723c169f956aa0b9eb8619b5992bd612c2af428ebc79f8df0"),
     "Contents/Info.plist file 644 0123456789abcdef\n",
     unhex("b676c535e483907766201bc9bfc02bb5ae9d6ab9cc3ab0f52cf3fd5c6dc372b9b91346959699a4f1c42d"
           "d3a9d38e2f251e27b997f48ee7f8a65d611e70243a0a")},
};

// The same bytes with one bit flipped.
std::string flipped(std::string bytes, std::size_t at) {
  bytes[at] ^= 1;
  return bytes;
}

}  // namespace

TEST(Ed25519, AKnownSeedGivesTheKnownKeyAndSignature) {
  for (const Known& k : known) {
    const std::string secretKey = k.seed + k.publicKey;
    ASSERT_EQ(secretKey.size(), ed25519::secretKeySize);
    EXPECT_EQ(ed25519::publicKeyOf(secretKey), k.publicKey);
    EXPECT_EQ(ed25519::sign(k.message, secretKey), k.signature);
    EXPECT_TRUE(ed25519::verify(k.message, k.signature, k.publicKey));
  }
}

TEST(Ed25519, AnythingChangedFailsAndASecretKeyMustHoldItsOwnPublicKey) {
  const Known& k = known[2];
  EXPECT_FALSE(ed25519::verify(flipped(k.message, 0), k.signature, k.publicKey));
  EXPECT_FALSE(ed25519::verify(k.message, flipped(k.signature, 10), k.publicKey));
  EXPECT_FALSE(ed25519::verify(k.message, k.signature, flipped(k.publicKey, 0)));
  EXPECT_FALSE(ed25519::verify(k.message, k.signature.substr(1), k.publicKey));
  EXPECT_FALSE(ed25519::verify(k.message, k.signature, k.publicKey.substr(1)));
  const std::string tampered = k.seed + flipped(k.publicKey, 8);
  EXPECT_FALSE(ed25519::publicKeyOf(tampered));
  EXPECT_FALSE(ed25519::sign(k.message, tampered));
  EXPECT_FALSE(ed25519::publicKeyOf(k.seed)) << "a bare seed is not a key";
  EXPECT_FALSE(ed25519::sign(k.message, ""));
}

TEST(Ed25519, GeneratedKeysAreSeedAndPublicKeyAndSign) {
  const auto pair = ed25519::generate();
  ASSERT_EQ(pair.publicKey.size(), ed25519::publicKeySize);
  ASSERT_EQ(pair.secretKey.substr(32), pair.publicKey);
  EXPECT_EQ(ed25519::publicKeyOf(pair.secretKey), pair.publicKey);
  EXPECT_TRUE(ed25519::verify("message", ed25519::sign("message", pair.secretKey).value_or(""),
                              pair.publicKey));
  EXPECT_NE(ed25519::generate().secretKey, pair.secretKey);
}
