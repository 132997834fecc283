#include "platform/digest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace quillon::platform {
namespace {

// The published known answers for "", "abc", the 448-bit two-block message
// and a million "a" (given in pieces of 1000, so the pieces must add up).
constexpr const char* kTwoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

struct Vector {
  DigestAlgorithm algorithm;
  const char* empty;
  const char* abc;
  const char* two_blocks;
  const char* million_a;
};
constexpr Vector kVectors[] = {
    {DigestAlgorithm::kSha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {DigestAlgorithm::kSha1, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
     "a9993e364706816aba3e25717850c26c9cd0d89d", "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
     "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {DigestAlgorithm::kMd5, "d41d8cd98f00b204e9800998ecf8427e", "900150983cd24fb0d6963f7d28e17f72",
     "8215ef0796a20bcaaae116d3876c664a", "7707d6ae4e027c70eea2a935c2296f21"},
};

std::string HexOf(Digest& digest) {
  std::string bytes;
  if (!digest.Finish(&bytes)) return "finish failed";
  std::string hex;
  char pair[3];
  for (const char byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(byte));
    hex += pair;
  }
  return hex;
}

TEST(DigestTest, KnownAnswersWholeAndInPieces) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.abc);
    Digest empty(v.algorithm);
    EXPECT_EQ(HexOf(empty), v.empty);

    Digest abc(v.algorithm);
    ASSERT_TRUE(abc.Update("abc"));
    EXPECT_EQ(HexOf(abc), v.abc);

    // Split across the 64-byte block boundary, with an empty piece between.
    const std::string message = kTwoBlocks;
    Digest pieces(v.algorithm);
    ASSERT_TRUE(pieces.Update(std::string_view(message).substr(0, 3)));
    ASSERT_TRUE(pieces.Update(""));
    ASSERT_TRUE(pieces.Update(std::string_view(message).substr(3)));
    EXPECT_EQ(HexOf(pieces), v.two_blocks);

    Digest million(v.algorithm);
    const std::string thousand(1000, 'a');
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(million.Update(thousand));
    EXPECT_EQ(HexOf(million), v.million_a);
  }
}

TEST(DigestTest, AFinishedDigestTakesNoMoreBytes) {
  Digest digest(DigestAlgorithm::kSha256);
  ASSERT_TRUE(digest.Update("abc"));
  std::string first;
  ASSERT_TRUE(digest.Finish(&first));
  EXPECT_EQ(first.size(), 32u);
  EXPECT_FALSE(digest.Update("more"));
  std::string second = "untouched";
  EXPECT_FALSE(digest.Finish(&second));
  EXPECT_EQ(second, "untouched");
}

}  // namespace
}  // namespace quillon::platform
