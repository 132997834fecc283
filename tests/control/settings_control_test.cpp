// The settings' control: the order of the checks every face reports, which
// fields each scope stores, and a commit that stores, moves the listener
// and saves, or reports the step that failed.
#include "control/settings_control.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <string>

#include "runtime/tcp_socket.h"
#include "support/free_port.h"
#include "support/failing_writer.h"
#include "support/ftp_server_fixture.h"

namespace quillon::control {
namespace {

class FakeListener final : public RemoteAdminListener {
 public:
  std::set<std::uint32_t> taken;
  bool IsPortAvailable(std::uint32_t port) override { return taken.count(port) == 0; }
};

class SettingsControlTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    control_.emplace(*server_, &listener_);
  }

  // Values that pass every check: on a port nobody listens on.
  SettingsSnapshot Good() {
    SettingsSnapshot values = control_->Read();
    values.port = testing::UnusedPort();
    return values;
  }

  FakeListener listener_;
  std::optional<SettingsControl> control_;  // made once the fixture's server exists
};

TEST_F(SettingsControlTest, EachFaultIsReportedBeforeEveryLaterOne) {
  runtime::TcpSocket taken;
  ASSERT_TRUE(taken.ListenOn(0));
  listener_.taken = {7};
  const std::string existing = dir_.Path();
  struct Case {
    SettingsFault fault;
    std::function<void(SettingsSnapshot&)> change;
  };
  // Last checked first: each change comes on top of those before it, so
  // the fault it brings must win over all of theirs.
  const Case cases[] = {
      {SettingsFault::kAdminFolderIllegalChars, [](SettingsSnapshot& v) { v.remote_admin_folder = "/tmp?"; }},
      {SettingsFault::kAdminPasswordIllegalChars, [](SettingsSnapshot& v) { v.remote_admin_password = "a;b"; }},
      {SettingsFault::kAdminFolderMissing,
       [&existing](SettingsSnapshot& v) {
         v.use_remote_admin = v.remote_admin_fixed = true;
         v.remote_admin_port = 9, v.remote_admin_folder = existing + "/missing";
       }},
      {SettingsFault::kAdminFolderNotAbsolute, [](SettingsSnapshot& v) { v.remote_admin_folder = "relative"; }},
      {SettingsFault::kAdminFolderTooShort, [](SettingsSnapshot& v) { v.remote_admin_folder = "/"; }},
      {SettingsFault::kAdminPortIsFtpPort, [](SettingsSnapshot& v) { v.remote_admin_port = v.port; }},
      {SettingsFault::kAdminPortInUse, [](SettingsSnapshot& v) { v.remote_admin_port = 7; }},
      {SettingsFault::kAdminPortOutOfRange, [](SettingsSnapshot& v) { v.remote_admin_port = 65536; }},
      {SettingsFault::kAdminPasswordEmpty, [](SettingsSnapshot& v) { v.remote_admin_password.clear(); }},
      {SettingsFault::kIdleTooShort, [](SettingsSnapshot& v) { v.idle_timeout = 4; }},
      {SettingsFault::kMaxPerIpZero, [](SettingsSnapshot& v) { v.use_max_per_ip = true, v.max_per_ip = 0; }},
      {SettingsFault::kMaxUsersZero, [](SettingsSnapshot& v) { v.use_max_users = true, v.max_users = 0; }},
      {SettingsFault::kDownloadSpeedZero, [](SettingsSnapshot& v) { v.use_max_download = true, v.max_download_kb = 0; }},
      {SettingsFault::kUploadSpeedZero, [](SettingsSnapshot& v) { v.use_max_upload = true, v.max_upload_kb = 0; }},
      {SettingsFault::kPortInUse, [&taken](SettingsSnapshot& v) { v.port = taken.LocalPort(); }},
      {SettingsFault::kPortOutOfRange, [](SettingsSnapshot& v) { v.port = 0; }},
      {SettingsFault::kHelpIllegalChars, [](SettingsSnapshot& v) { v.help = "a|b"; }},
      {SettingsFault::kHelpEmpty, [](SettingsSnapshot& v) { v.help.clear(); }},
      {SettingsFault::kWelcomeIllegalChars, [](SettingsSnapshot& v) { v.welcome = "Hello, world"; }},
      {SettingsFault::kWelcomeEmpty, [](SettingsSnapshot& v) { v.welcome.clear(); }},
  };
  SettingsSnapshot values = Good();
  ASSERT_EQ(control_->Check(&values, SettingsScope::kAll), SettingsFault::kNone);
  bool admin_fields_only = true;
  for (const Case& c : cases) {
    c.change(values);
    SettingsSnapshot copy = values;
    EXPECT_EQ(control_->Check(&copy, SettingsScope::kAll), c.fault) << static_cast<int>(c.fault);
    // The remote admin's page does not edit the remote admin's fields.
    admin_fields_only = admin_fields_only && c.fault != SettingsFault::kIdleTooShort;
    EXPECT_EQ(control_->Check(&copy, SettingsScope::kGeneral),
              admin_fields_only ? SettingsFault::kNone : c.fault);
    EXPECT_EQ(control_->Check(&copy, SettingsScope::kIpLists), SettingsFault::kNone);
  }
}

TEST_F(SettingsControlTest, EachScopeStoresItsOwnFieldsOnly) {
  struct Case {
    SettingsScope scope;
    bool general, ip_lists, desktop_and_admin;
  };
  const Case cases[] = {
      {SettingsScope::kGeneral, true, false, false},
      {SettingsScope::kIpLists, false, true, false},
      {SettingsScope::kAll, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.scope));
    const SettingsSnapshot before = control_->Read();
    SettingsSnapshot values = before;
    values.welcome += "!";
    values.max_upload_kb = 1u << 30;  // more than the settings hold
    values.use_blocked_ips = !before.use_blocked_ips;
    values.blocked_ips.AddRange({10, 0, 0, 0}, {10, 0, 0, 9});
    values.auto_hide = !before.auto_hide;
    values.remote_admin_password += "x";
    control_->Store(values, c.scope);
    const SettingsSnapshot after = control_->Read();
    EXPECT_EQ(after.welcome == values.welcome, c.general);
    EXPECT_EQ(after.max_upload_kb, c.general ? settings::ServerSettings::kHighestSpeedKb : before.max_upload_kb);
    EXPECT_EQ(after.use_blocked_ips == values.use_blocked_ips, c.ip_lists);
    EXPECT_EQ(after.blocked_ips.Count(), before.blocked_ips.Count() + (c.ip_lists ? 1 : 0));
    EXPECT_EQ(after.auto_hide == values.auto_hide, c.desktop_and_admin);
    EXPECT_EQ(after.remote_admin_password == values.remote_admin_password, c.desktop_and_admin);
    control_->Store(before, SettingsScope::kAll);
  }
}

TEST_F(SettingsControlTest, CommitStoresMovesTheListenerAndSaves) {
  Start();
  SettingsSnapshot values = Good();
  values.welcome = "Committed welcome";
  std::string error;
  ASSERT_EQ(control_->Commit(values, SettingsScope::kGeneral, 42, &error), CommitResult::kDone) << error;
  EXPECT_EQ(server_->GetStatus().port, values.port);
  EXPECT_EQ(control_->AdminLogNumber(), 42u);
  EXPECT_NE(testing::ReadWholeFile(dir_.File("config/settings.dta")).find("Committed welcome"),
            std::string::npos);

  // A port another listener holds: the service stops and nothing is saved.
  runtime::TcpSocket taken;
  ASSERT_TRUE(taken.ListenOn(0));
  values.port = taken.LocalPort();
  values.welcome = "Never saved";
  EXPECT_EQ(control_->Commit(values, SettingsScope::kGeneral, 43, &error), CommitResult::kPortNotApplied);
  EXPECT_EQ(error, ftp::errors::kPortChange);
  EXPECT_FALSE(server_->IsActive());
  EXPECT_EQ(testing::ReadWholeFile(dir_.File("config/settings.dta")).find("Never saved"), std::string::npos);
}

TEST_F(SettingsControlTest, AFailedSaveIsReported) {
  testing::FailingWriter writer;
  ftp::FtpServer server(clock_, dir_.Path(), &writer);
  SettingsControl control(server);
  std::string error;
  EXPECT_EQ(control.ApplyAndSave(5, &error), CommitResult::kNotSaved);
  EXPECT_GT(writer.writes, 0);
  writer.failing = false;
  EXPECT_EQ(control.ApplyAndSave(5, &error), CommitResult::kDone);
}

}  // namespace
}  // namespace quillon::control
