// Form bodies fed whole, byte by byte and in random splits: the fields and
// parts come out the same however the bytes arrive.
#include "http/form_body.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quillon::http {
namespace {

// The chunkings every body is fed in: whole, byte by byte, and random splits.
std::vector<std::vector<std::size_t>> Chunkings(std::size_t size) {
  std::vector<std::vector<std::size_t>> all = {{size}, std::vector<std::size_t>(size, 1)};
  std::mt19937 random(size);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::size_t> splits;
    for (std::size_t left = size; left > 0;) {
      const std::size_t piece = std::min<std::size_t>(left, 1 + random() % 17);
      splits.push_back(piece);
      left -= piece;
    }
    all.push_back(splits);
  }
  return all;
}

class FormBodyTest : public ::testing::Test {
 protected:
  // Feeds `text` in `chunks` to a fresh body.
  std::unique_ptr<FormBody> Fed(const std::string& text, const std::vector<std::size_t>& chunks,
                                bool url_encoded, const std::string& boundary) {
    auto body = std::make_unique<FormBody>(dir_.Path(), static_cast<std::uint32_t>(text.size()),
                                           url_encoded, boundary);
    std::size_t at = 0;
    for (std::size_t chunk : chunks) {
      EXPECT_TRUE(body->Feed(text.data() + at, chunk));
      at += chunk;
    }
    return body;
  }

  testing::TempDir dir_;
};

TEST_F(FormBodyTest, UrlEncodedFieldsDecodeTheSameInAnyChunks) {
  const std::string text = "user=bob+smith&pass=a%2Bb%3D%26c&bad=%zz&empty=&flag&last=x";
  for (const auto& chunks : Chunkings(text.size())) {
    const auto body = Fed(text, chunks, true, "");
    ASSERT_TRUE(body->IsComplete());
    std::string value;
    ASSERT_TRUE(body->FieldValue("user", &value, 100));
    EXPECT_EQ(value, "bob smith");
    ASSERT_TRUE(body->FieldValue("pass", &value, 100));
    EXPECT_EQ(value, "a+b=&c");  // an encoded plus stays a plus in a body
    ASSERT_TRUE(body->FieldValue("bad", &value, 100));
    EXPECT_EQ(value, "#");  // a broken escape gives '#'
    EXPECT_TRUE(body->FieldValue("empty", &value, 100) && value.empty());
    EXPECT_FALSE(body->FieldExists("flag"));  // a name without '=' runs into the next
    ASSERT_TRUE(body->FieldValue("flaglast", &value, 100));
    EXPECT_EQ(value, "x");
    ASSERT_TRUE(body->FieldValue("pass", &value, 3));
    EXPECT_EQ(value, "a+");  // capacity - 1 characters
  }
}

TEST_F(FormBodyTest, MultipartPartsComeOutTheSameInAnyChunks) {
  const std::string boundary = "--XyZ";
  const std::string text =
      "--XyZ\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nRe--Xy-port--X\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"C:\\dir\\notes.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\nline one\r\nline two\r\n--XyZ--\r\n";
  for (const auto& chunks : Chunkings(text.size())) {
    const auto body = Fed(text, chunks, false, boundary);
    ASSERT_TRUE(body->IsComplete());
    ASSERT_EQ(body->Parts().size(), 2u);
    EXPECT_EQ(body->Parts()[0].name, "title");
    EXPECT_EQ(body->PartContent(body->Parts()[0]), "Re--Xy-port--X");  // near-boundaries are content
    EXPECT_EQ(body->Parts()[1].name, "upload");
    EXPECT_EQ(body->Parts()[1].file_name, "notes.txt");
    EXPECT_EQ(body->PartContent(body->Parts()[1]), "line one\r\nline two");
  }
}

TEST_F(FormBodyTest, LimitsRefusalsAndTheSpoolFile) {
  // Bytes beyond the length are ignored.
  auto body = std::make_unique<FormBody>(dir_.Path(), 7, true, "");
  EXPECT_TRUE(body->Feed("a=1&b=2EXTRA", 12));
  EXPECT_TRUE(body->IsComplete());
  std::string value;
  ASSERT_TRUE(body->FieldValue("b", &value, 100));
  EXPECT_EQ(value, "2");
  // More fields than a form has: refused, and the spool file is gone.
  std::string flood;
  for (std::size_t i = 0; i <= FormBody::kMaxEntries; ++i) flood += "f=1&";
  auto refused = Fed(flood, {flood.size()}, true, "");
  EXPECT_TRUE(refused->IsRefused());
  EXPECT_FALSE(refused->IsComplete());
  EXPECT_TRUE(refused->FileName().empty());
  // A discarded body is read to its end without a spool file.
  auto discarded = std::make_unique<FormBody>(dir_.Path(), 5, true, "");
  discarded->Discard();
  EXPECT_TRUE(discarded->Feed("x=123", 5));
  EXPECT_TRUE(discarded->IsComplete());
  EXPECT_TRUE(discarded->FileName().empty());
  // The spool file lives as long as the body.
  const std::string spooled = body->FileName();
  EXPECT_TRUE(std::filesystem::exists(spooled));
  body.reset();
  EXPECT_FALSE(std::filesystem::exists(spooled));
  // A part header line that never ends is an error, not a growing buffer.
  const std::string endless = "--B\r\n" + std::string(FormBody::kMaxPartHeaderLine + 10, 'h');
  FormBody header(dir_.Path(), static_cast<std::uint32_t>(endless.size()), false, "--B");
  EXPECT_FALSE(header.Feed(endless.data(), endless.size()));
}

}  // namespace
}  // namespace quillon::http
