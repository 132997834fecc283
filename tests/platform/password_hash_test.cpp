#include "platform/password_hash.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::platform {
namespace {

std::string MustHash(std::string_view password) {
  std::string hash, error;
  EXPECT_TRUE(HashPassword(password, &hash, &error)) << error;
  return hash;
}

TEST(PasswordHashTest, AHashVerifiesOnlyItsOwnPassword) {
  const std::string hash = MustHash("secret pass");
  ASSERT_FALSE(hash.empty());
  EXPECT_EQ(hash[0], '$');
  EXPECT_LE(hash.size(), kMaxPasswordHashBytes);
  EXPECT_EQ(hash.find("secret"), std::string::npos);

  EXPECT_TRUE(VerifyPassword("secret pass", hash));
  for (const char* wrong : {"", "secret", "secret pass ", "Secret pass", "secret pasS"})
    EXPECT_FALSE(VerifyPassword(wrong, hash)) << wrong;
}

TEST(PasswordHashTest, UsesYescryptWithItsDefaultCost) {
  // The system's library (libxcrypt) offers yescrypt, the strongest method.
  EXPECT_EQ(MustHash("x").rfind("$y$j9T$", 0), 0u);
}

TEST(PasswordHashTest, EachHashHasItsOwnSalt) {
  const std::string first = MustHash("same");
  const std::string second = MustHash("same");
  EXPECT_NE(first, second);
  EXPECT_TRUE(VerifyPassword("same", first));
  EXPECT_TRUE(VerifyPassword("same", second));
}

TEST(PasswordHashTest, TheLongestStorablePasswordHashesAndFits) {
  const std::string longest(98, 'p');
  const std::string hash = MustHash(longest);
  EXPECT_LE(hash.size(), kMaxPasswordHashBytes);
  EXPECT_TRUE(VerifyPassword(longest, hash));
  EXPECT_FALSE(VerifyPassword(longest.substr(1), hash));
}

TEST(PasswordHashTest, APasswordWithANulByteIsRefused) {
  std::string hash = "unchanged", error;
  EXPECT_FALSE(HashPassword(std::string("ab\0cd", 5), &hash, &error));
  EXPECT_EQ(hash, "unchanged");
  EXPECT_FALSE(error.empty());
  // Nor does it match the hash of the part before the NUL.
  EXPECT_FALSE(VerifyPassword(std::string("ab\0cd", 5), MustHash("ab")));
}

TEST(PasswordHashTest, ADamagedHashNeverVerifies) {
  const std::string hash = MustHash("pw");
  std::vector<std::string> damaged = {
      "",
      "$",
      "$$$$",
      "$y$",
      "$y$j9T$",
      "pw",
      "*0",
      hash.substr(0, hash.size() - 1),
      hash + "A",
      hash.substr(1),
      std::string(300, '$'),
      "$y$" + std::string(200, 'j'),
      "$2b$99$" + std::string(53, '.'),
      std::string("$y$\0", 4) + hash.substr(4),
  };
  for (std::size_t at = 0; at < hash.size(); ++at) {
    std::string flipped = hash;
    flipped[at] = flipped[at] == 'A' ? 'B' : 'A';
    if (flipped != hash) damaged.push_back(flipped);
  }
  for (const std::string& bad : damaged) EXPECT_FALSE(VerifyPassword("pw", bad)) << bad;
  EXPECT_TRUE(VerifyPassword("pw", hash));
}

}  // namespace
}  // namespace quillon::platform
