#include "app/server_app.h"

#include <gtest/gtest.h>

#include "app/service_manager.h"

#include "app/service_tray_window.h"

namespace quillon::app {
namespace {

TEST(ServerAppTest, VersionsReadLikeThreeDecimalFields) {
  struct Case {
    const char* text;
    Version version;
  };
  const Case cases[] = {{"1.03", {1, 3, 0}},  {"1.10", {1, 10, 0}}, {"2.0", {2, 0, 0}},
                        {"1.2.3.4", {1, 2, 3}}, {"", {0, 0, 0}},     {"abc", {0, 0, 0}},
                        {" 7.x", {7, 0, 0}},    {"1.03\n", {1, 3, 0}}};
  for (const Case& c : cases) EXPECT_EQ(ParseVersion(c.text), c.version) << c.text;
  EXPECT_GT(ParseVersion("1.10"), ParseVersion("1.03"));
  EXPECT_LT(ParseVersion("0.99"), ParseVersion("1.03"));
}

TEST(ServiceTrayWindowTest, NoIconIsEverShown) {
  ServiceTrayWindow hidden(true);
  ASSERT_TRUE(hidden.Create());
  for (int tick = 0; tick < 3; ++tick) hidden.OnTimer();
  EXPECT_TRUE(hidden.Exists());
  EXPECT_EQ(hidden.AddAttempts(), 0u);

  // Allowed to show one, it keeps trying on every tick, and never succeeds.
  ServiceTrayWindow shown(false);
  shown.OnTimer();  // no window yet
  ASSERT_TRUE(shown.Create());
  for (int tick = 0; tick < 3; ++tick) shown.OnTimer();
  EXPECT_EQ(shown.AddAttempts(), 3u);
  EXPECT_FALSE(shown.IconShown());
  shown.Destroy();
  EXPECT_FALSE(shown.Exists());
}

TEST(ServiceManagerTest, TheUnitQuotesWhatSystemdWouldReadOtherwise) {
  const std::string unit = ServiceManager::UnitText(
      "Quillon FTP Server", "/opt/my ftp 100%/$HOME \"q\"\\/quillon-ftp-server", "-service");
  EXPECT_NE(unit.find("\nExecStart=\"/opt/my ftp 100%%/$$HOME \\\"q\\\"\\\\/quillon-ftp-server\" "
                      "\"-service\"\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nWorkingDirectory=/opt/my ftp 100%%/$HOME \"q\"\\\n"), std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nNoNewPrivileges=yes\n"), std::string::npos);
  // A failed server is started again; a reload signals the main process,
  // whose id systemd fills in (so this "$" is not doubled).
  EXPECT_NE(unit.find("\nRestart=on-failure\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nExecReload=/bin/kill -HUP $MAINPID\n"), std::string::npos) << unit;
  EXPECT_EQ(ServiceManager::UnitText("x", "/opt/a\nExecStartPre=/bin/evil/q", "-service"), "");
}

}  // namespace
}  // namespace quillon::app
