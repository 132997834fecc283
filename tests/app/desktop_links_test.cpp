#include "app/desktop_links.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "ftp/ftp_server.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::app {
namespace {

TEST(DesktopLinksTest, ShortcutsAndTheRemoteAdminAddress) {
  EXPECT_EQ(RemoteAdminAddress(80), "http://localhost/");
  EXPECT_EQ(RemoteAdminAddress(7088), "http://localhost:7088/");

  testing::TempDir dir;
  const std::string shortcut = dir.File("admin.url");
  testing::WriteWholeFile(shortcut, "an older and much longer shortcut file\r\n\r\n");
  ASSERT_TRUE(WriteInternetShortcut(shortcut, "http://localhost/"));
  EXPECT_EQ(testing::ReadWholeFile(shortcut), "[InternetShortcut]\r\nURL=http://localhost/\r\n");

  // The local manual wins when installed; otherwise the page, with its shortcut.
  EXPECT_EQ(HelpTarget(dir.Path(), kLocalManual, kManualPage), kManualPage);
  EXPECT_EQ(testing::ReadWholeFile(dir.File(kSiteShortcutName)),
            std::string("[InternetShortcut]\r\nURL=") + kManualPage + "\r\n");
  std::filesystem::create_directories(dir.File("manual/quillonftpserver"));
  testing::WriteWholeFile(dir.File(kLocalManual), "<html></html>");
  EXPECT_EQ(HelpTarget(dir.Path(), kLocalManual, kManualPage), dir.File(kLocalManual));
  EXPECT_EQ(HelpTarget(dir.Path(), nullptr, kHomePage), kHomePage);

  std::filesystem::remove(dir.File(kSiteShortcutName));
  std::filesystem::create_directories(dir.File(kSiteShortcutName));  // cannot be written
  EXPECT_EQ(HelpTarget(dir.Path(), nullptr, kHomePage), "");
}

TEST(DesktopLinksTest, TheRemoteAdminIsOfferedOnlyWhenInUse) {
  testing::ManualClock clock;
  testing::TempDir dir;
  std::filesystem::create_directories(dir.File("config"));
  EXPECT_FALSE(ServiceRunningChoice(clock, dir.Path()).RemoteAdminOffered());  // no settings

  for (const bool use : {false, true}) {
    ftp::FtpServer server(clock, dir.Path());
    [[maybe_unused]] const bool loaded = server.Load();
    {
      runtime::CriticalSection::Guard guard(server.Settings().Lock());
      server.Settings().mUseRA = use;
      server.Settings().mRAPort = 80;
    }
    ASSERT_TRUE(server.Save());
    EXPECT_EQ(ServiceRunningChoice(clock, dir.Path()).RemoteAdminOffered(), use);
  }
}

}  // namespace
}  // namespace quillon::app
