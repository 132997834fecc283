// The general settings form: a value whose box is off may be missing (the
// page disables it), and the setting then keeps its stored value; a box
// that is on needs its value.
#include <gtest/gtest.h>

#include <string>

#include "support/admin_fixture.h"

namespace quillon::admin {
namespace {

using testing::AdminAnswer;

class SettingsPagesTest : public testing::AdminServiceFixture {
 protected:
  void SetUp() override {
    AdminServiceFixture::SetUp();
    Template("_gensettings.html",
             "<!--MAXUSERS-->|<!--USEMAXUSERS-->|<!--UPLOADSPEED-->|<!--BANNEDFILES-->|<!--USEBANNEDFILES-->"
             "<!--MAXUSERSERROR--><!--UPLOADSPEEDERROR-->");
    ChangeSettings([](settings::ServerSettings& s) {
      s.mMaxUsers = 40;
      s.mUseMaxUsers = false;
      s.mMaxUsersPerIP = 3;
      s.mUseMaxUsersPerIP = false;
      s.SetMaxUploadSpeedKb(128);
      s.mUseMaxUploadSpeed = false;
      s.SetMaxDownloadSpeedKb(256);
      s.mUseMaxDownloadSpeed = false;
      s.mUseBannedFiles = false;
    });
  }

  // The fields that have no box, always sent.
  std::string Fixed() {
    return "welcomemsg=Hello&helpmsg=Help&port=" + std::to_string(testing::UnusedPort()) + "&idle=300&buttonok=1";
  }
};

TEST_F(SettingsPagesTest, ValuesNotSentWhileTheirBoxIsOffKeepTheirStoredValues) {
  // As a browser with script sends the form: no value of a box that is off.
  ASSERT_TRUE(Post("/_processgensettings", Fixed()).Redirects(Back("_menu")));
  ChangeSettings([](settings::ServerSettings& s) {
    EXPECT_EQ(s.mMaxUsers, 40u);
    EXPECT_EQ(s.mMaxUsersPerIP, 3u);
    EXPECT_EQ(s.MaxUploadSpeedKb(), 128u);
    EXPECT_EQ(s.MaxDownloadSpeedKb(), 256u);
    EXPECT_TRUE(s.mBadExts.Contains("EXE")) << "the stored list stays";
    EXPECT_FALSE(s.mUseMaxUsers);
    EXPECT_FALSE(s.mUseBannedFiles);
  });
  // Without script every value is sent: a value of a box that is off is
  // stored as before.
  ASSERT_TRUE(Post("/_processgensettings", Fixed() + "&maxusers=9&maxusersperip=2&uploadspeed=1&downloadspeed=2"
                                                     "&bannedfiles=zip")
                  .Redirects(Back("_menu")));
  ChangeSettings([](settings::ServerSettings& s) {
    EXPECT_EQ(s.mMaxUsers, 9u);
    EXPECT_EQ(s.MaxUploadSpeedKb(), 1u);
    EXPECT_FALSE(s.mBadExts.Contains("EXE"));
    EXPECT_TRUE(s.mBadExts.Contains("ZIP"));
  });
  // A box that is on needs its value: the form was not whole.
  EXPECT_TRUE(Post("/_processgensettings", Fixed() + "&usemaxusers=on").Redirects(Error("Incomplete Form")));
  EXPECT_TRUE(Post("/_processgensettings", Fixed() + "&usebannedfiles=on").Redirects(Error("Incomplete Form")));
  // A refused value beside its field; the missing ones show their stored values.
  const AdminAnswer refused = Post("/_processgensettings", Fixed() + "&usemaxusers=on&maxusers=0");
  EXPECT_TRUE(refused.ShowsBeside("maxusers", "Please specify a maximum number of users greater than 0."));
  EXPECT_EQ(refused.body.rfind("0|checked|1|zip|<p", 0), 0u) << refused.body;
  ChangeSettings([](settings::ServerSettings& s) { EXPECT_FALSE(s.mUseMaxUsers); });
  // A limit switched on with its value stored.
  ASSERT_TRUE(Post("/_processgensettings", Fixed() + "&usemaxusers=on&maxusers=12").Redirects(Back("_menu")));
  ChangeSettings([](settings::ServerSettings& s) {
    EXPECT_TRUE(s.mUseMaxUsers);
    EXPECT_EQ(s.mMaxUsers, 12u);
    EXPECT_EQ(s.MaxUploadSpeedKb(), 1u);
  });
}

}  // namespace
}  // namespace quillon::admin
