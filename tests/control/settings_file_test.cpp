// A settings file edited with no server on it: first settings, and keys of
// either file set, saved to the file that holds them and read back.
#include "control/settings_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::control {
namespace {

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir_.File("config")); }
  std::string Path() const { return dir_.File("config/settings.dta"); }

  testing::ManualClock clock_;
  testing::TempDir dir_;
};

TEST_F(SettingsFileTest, FirstSettingsAndKeysOfEitherFileReachTheirFile) {
  EXPECT_FALSE(SettingsFile(clock_, Path()).Load());  // nothing there yet
  ASSERT_TRUE(SettingsFile(clock_, Path()).WriteFirst(2121, 8080, "pw"));

  struct Case {
    const char* key;
    const char* value;
  };
  const Case cases[] = {{"mMaxUsers", "5"}, {"passive_ports", "50000-50100"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    SettingsFile file(clock_, Path());
    ASSERT_TRUE(file.Load());
    std::string message;
    ASSERT_TRUE(file.Set(c.key, c.value, &message)) << message;
    ASSERT_TRUE(file.SaveFileOf(c.key));
    SettingsFile again(clock_, Path());
    ASSERT_TRUE(again.Load());
    std::string value;
    ASSERT_TRUE(again.Get(c.key, &value, &message)) << message;
    EXPECT_EQ(value, c.value);
  }

  SettingsFile file(clock_, Path());
  ASSERT_TRUE(file.Load());
  const SettingsSnapshot settings = file.Read();
  EXPECT_EQ(settings.port, 2121u);
  EXPECT_TRUE(settings.use_remote_admin);
  EXPECT_EQ(settings.remote_admin_port, 8080u);
  EXPECT_EQ(settings.remote_admin_password, "pw");
  EXPECT_EQ(settings.max_users, 5u);
  EXPECT_TRUE(file.TlsIsOff());
  std::string message;
  EXPECT_FALSE(file.Set("mNoSuchKey", "1", &message));
  EXPECT_FALSE(message.empty());
}

}  // namespace
}  // namespace quillon::control
