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
  const char* seed;
  const char* publicKey;
  std::string message;
  const char* signature;
};

const Known known[] = {
    // RFC 8032, section 7.1, TEST 1 and TEST 2.
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b"
     "4"
     "6bd25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "\x72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11"
     "d"
     "8c387b2eaeb4302aeeb00d291612bb0c00"},
    // A seed of our own and a manifest-like line, signed with libsodium.
    {"01080f161d242b323940474e555c636a71787f868d949ba2a9b0b7bec5ccd3da",
     "e4030998cfd5ad1723c169f956aa0b9eb8619b5992bd612c2af428ebc79f8df0",
     "Contents/Info.plist file 644 0123456789abcdef\n",
     "b676c535e483907766201bc9bfc02bb5ae9d6ab9cc3ab0f52cf3fd5c6dc372b9b91346959699a4f1c42dd3a9d38e2"
     "f"
     "251e27b997f48ee7f8a65d611e70243a0a"},
};

}  // namespace

TEST(Ed25519, AKnownSeedGivesTheKnownKeyAndSignature) {
  for (const Known& k : known) {
    SCOPED_TRACE(k.seed);
    const std::string publicKey = unhex(k.publicKey);
    const std::string secretKey = unhex(k.seed) + publicKey;
    const std::string signature = unhex(k.signature);
    ASSERT_EQ(secretKey.size(), ed25519::secretKeySize);
    EXPECT_EQ(ed25519::publicKeyOf(secretKey), publicKey);
    EXPECT_EQ(ed25519::sign(k.message, secretKey), signature);
    EXPECT_TRUE(ed25519::verify(k.message, signature, publicKey));
  }
}

TEST(Ed25519, AnythingChangedFailsToVerify) {
  const Known& k = known[2];
  const std::string publicKey = unhex(k.publicKey);
  const std::string signature = unhex(k.signature);
  std::string message = k.message;
  message[0] ^= 1;
  EXPECT_FALSE(ed25519::verify(message, signature, publicKey));
  std::string forged = signature;
  forged[10] ^= 1;
  EXPECT_FALSE(ed25519::verify(k.message, forged, publicKey));
  std::string stranger = publicKey;
  stranger[0] ^= 1;
  EXPECT_FALSE(ed25519::verify(k.message, signature, stranger));
  EXPECT_FALSE(ed25519::verify(k.message, signature.substr(1), publicKey));
  EXPECT_FALSE(ed25519::verify(k.message, signature, publicKey.substr(1)));
}

TEST(Ed25519, ASecretKeyMustHoldItsOwnPublicKey) {
  const Known& k = known[2];
  const std::string secretKey = unhex(k.seed) + unhex(k.publicKey);
  std::string tampered = secretKey;
  tampered[40] ^= 1;
  EXPECT_FALSE(ed25519::publicKeyOf(tampered));
  EXPECT_FALSE(ed25519::sign(k.message, tampered));
  EXPECT_FALSE(ed25519::publicKeyOf(secretKey.substr(0, 32))) << "a bare seed is not a key";
  EXPECT_FALSE(ed25519::sign(k.message, ""));
}

TEST(Ed25519, GeneratedKeysAreSeedAndPublicKeyAndSign) {
  const auto pair = ed25519::generate();
  ASSERT_EQ(pair.publicKey.size(), ed25519::publicKeySize);
  ASSERT_EQ(pair.secretKey.size(), ed25519::secretKeySize);
  EXPECT_EQ(pair.secretKey.substr(32), pair.publicKey);
  EXPECT_EQ(ed25519::publicKeyOf(pair.secretKey), pair.publicKey);
  const auto signature = ed25519::sign("message", pair.secretKey);
  ASSERT_TRUE(signature);
  EXPECT_TRUE(ed25519::verify("message", *signature, pair.publicKey));
  EXPECT_NE(ed25519::generate().secretKey, pair.secretKey);
}
