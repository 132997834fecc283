#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::platform {
namespace {

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t at = 0; at + 1 < hex.size(); at += 2)
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(at, 2)), nullptr, 16)));
  return bytes;
}

// A published Ed25519 known answer: the one-byte message 0x72, its key
// and its signature.
const std::string kKey = FromHex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
const std::string kMessage = "\x72";
const std::string kSignature = FromHex(
    "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
    "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00");
// The key of another known answer, which did not sign kMessage.
const std::string kOtherKey = FromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");

std::string Flipped(std::string bytes, std::size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
  return bytes;
}

TEST(VerifyEd25519Test, AcceptsOnlyTheSignatureOfThatMessageUnderThatKey) {
  ASSERT_EQ(kKey.size(), kEd25519PublicKeyBytes);
  ASSERT_EQ(kSignature.size(), kEd25519SignatureBytes);
  EXPECT_TRUE(VerifyEd25519(kKey, kMessage, kSignature));

  struct Case {
    const char* what;
    std::string key, message, signature;
  };
  const std::vector<Case> refused = {
      {"another message", kKey, "\x73", kSignature},
      {"the message with a byte more", kKey, kMessage + "\n", kSignature},
      {"an empty message", kKey, "", kSignature},
      {"a changed first half of the signature", kKey, kMessage, Flipped(kSignature, 0)},
      {"a changed second half of the signature", kKey, kMessage, Flipped(kSignature, 63)},
      {"another key", kOtherKey, kMessage, kSignature},
      {"a changed key", Flipped(kKey, 31), kMessage, kSignature},
      {"a key one byte short", kKey.substr(0, 31), kMessage, kSignature},
      {"a key one byte long", kKey + '\0', kMessage, kSignature},
      {"a signature one byte short", kKey, kMessage, kSignature.substr(0, 63)},
      {"a signature one byte long", kKey, kMessage, kSignature + '\0'},
      {"no key and no signature", "", kMessage, ""},
  };
  for (const Case& c : refused) EXPECT_FALSE(VerifyEd25519(c.key, c.message, c.signature)) << c.what;
}

}  // namespace
}  // namespace quillon::platform

namespace quillon::platform {
namespace {

TEST(Sha256Test, KnownAnswersAndConstantTimeComparison) {
  // Published SHA-256 test vectors.
  EXPECT_EQ(Sha256(""), FromHex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
  EXPECT_EQ(Sha256("abc"), FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(Sha256(std::string(1'000'000, 'a')),
            FromHex("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"));
  EXPECT_TRUE(EqualInConstantTime("", ""));
  EXPECT_TRUE(EqualInConstantTime(Sha256("abc"), Sha256("abc")));
  EXPECT_FALSE(EqualInConstantTime(Sha256("abc"), Sha256("abd")));
  EXPECT_FALSE(EqualInConstantTime("abc", "abcd"));
  EXPECT_FALSE(EqualInConstantTime("abc", std::string_view("abc\0", 4)));
}

}  // namespace
}  // namespace quillon::platform
