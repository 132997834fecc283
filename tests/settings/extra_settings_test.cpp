#include "settings/extra_settings.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace quillon::settings {
namespace {

using testing::TempDir;
using testing::WriteWholeFile;

TEST(ExtraSettingsTest, ReadsKeysKeepsUnknownOnesAndStopsAtTheFirstBadLine) {
  TempDir dir;
  ExtraSettings extra;
  std::string message;
  ASSERT_TRUE(extra.Load(dir.File("missing.conf"), &message));
  EXPECT_EQ(extra.RunAsUser(), "nobody");
  EXPECT_EQ(extra.TrashMaxBytes(), 1024ull << 20);

  WriteWholeFile(dir.File("quillon.conf"),
                 "# served as\r\n  run_as_user = ftp-srv \n\ntrash_max_mb=0\nfuture_key = a = b\n");
  ASSERT_TRUE(extra.Load(dir.File("quillon.conf"), &message)) << message;
  EXPECT_EQ(extra.RunAsUser(), "ftp-srv");
  EXPECT_EQ(extra.TrashMaxBytes(), 0u);
  ASSERT_EQ(extra.UnknownKeys().size(), 1u);
  EXPECT_EQ(extra.UnknownKeys().at("future_key"), "a = b");

  const char* bad[] = {"run_as_user = ../etc\n", "run_as_user = a b\n", "trash_max_mb = -1\n",
                       "trash_max_mb = 99999999999\n", "no equals sign\n", "= value\n"};
  for (const char* text : bad) {
    WriteWholeFile(dir.File("bad.conf"), std::string("trash_max_mb = 7\n") + text);
    EXPECT_FALSE(extra.Load(dir.File("bad.conf"), &message)) << text;
    EXPECT_NE(message.find("line 2"), std::string::npos) << message;
    EXPECT_EQ(extra.TrashMaxBytes(), 7ull << 20);  // the lines before it apply
    EXPECT_EQ(extra.RunAsUser(), "nobody");
  }
}

}  // namespace
}  // namespace quillon::settings
