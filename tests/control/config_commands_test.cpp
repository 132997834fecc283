// The set-up tool's commands on the files of a program folder: record
// options applied with their checks, records and virtual folders through
// the editors' rules, and settings refused as the server would refuse them.
#include "control/config_commands.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "accounts/account_store.h"
#include "accounts/messages.h"
#include "control/settings_file.h"
#include "support/ftp_server_fixture.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::control {
namespace {

using accounts::AccountRecord;

CommandOptions Parsed(const std::vector<std::string>& args) {
  CommandOptions options;
  std::string message;
  EXPECT_TRUE(options.Parse(args, 0, RecordOptions::Names(), {}, &message)) << message;
  return options;
}

TEST(RecordOptionsTest, ValuesTurnTheirLimitsOnAndZeroOrOffTurnsThemOff) {
  AccountRecord record;
  std::string message;
  ASSERT_TRUE(RecordOptions::Apply(Parsed({"--password", "pw", "--rights", "rwd", "--group", "staff", "--max-size",
                                           "300", "--max-upload-kbs", "50", "--max-download-kbs", "70",
                                           "--credits", "12", "--enable-credits", "on", "--credits-per-upload-kb",
                                           "3", "--credits-per-download-kb", "-2", "--enabled", "off", "--root",
                                           "/srv/ftp/"}),
                                   false, &record, &message))
      << message;
  EXPECT_EQ(record.Password(), "pw");
  EXPECT_EQ(record.mRights, accounts::kFileRead | accounts::kFileWrite | accounts::kFolderModify);
  EXPECT_TRUE(record.mInGroup);
  EXPECT_EQ(record.Group(), "staff");
  EXPECT_TRUE(record.mUseMaxSize);
  EXPECT_EQ(record.mMaxSize, 300u);
  EXPECT_TRUE(record.mUseMaxUploadSpeed);
  EXPECT_EQ(record.mMaxUploadSpeed, 50u);
  EXPECT_TRUE(record.mUseMaxDownloadSpeed);
  EXPECT_EQ(record.mMaxDownloadSpeed, 70u);
  EXPECT_EQ(record.mCurrentCredits, 12u);
  EXPECT_TRUE(record.mUseCredits);
  EXPECT_EQ(record.mUploadCredits, 3);
  EXPECT_EQ(record.mDownloadCredits, -2);
  EXPECT_FALSE(record.mEnabled);
  EXPECT_TRUE(record.mUseRootFolder);
  EXPECT_EQ(record.RootFolder(), "/srv/ftp");

  ASSERT_TRUE(RecordOptions::Apply(Parsed({"--max-size", "0", "--max-upload-kbs", "off", "--group", "off", "--root",
                                           "OFF", "--rights", "-"}),
                                   false, &record, &message));
  EXPECT_FALSE(record.mUseMaxSize);
  EXPECT_EQ(record.mMaxSize, 300u);  // kept for when the limit is turned on again
  EXPECT_FALSE(record.mUseMaxUploadSpeed);
  EXPECT_FALSE(record.mInGroup);
  EXPECT_EQ(record.Group(), "");
  EXPECT_FALSE(record.mUseRootFolder);
  EXPECT_EQ(record.mRights, 0u);
  EXPECT_EQ(RecordOptions::RightsText(record.mRights), "-");
}

TEST(RecordOptionsTest, ValuesAnOptionCannotTakeAreRefusedWithTheOptionNamed) {
  struct Case {
    std::vector<std::string> args;
    bool is_group;
    const char* message;
  };
  const Case cases[] = {
      {{"--rights", "rx"}, false, "Unknown right letter 'x': use r, w, m, l, c or d."},
      {{"--max-size", "ten"}, false, "The value of --max-size must be a whole number, not \"ten\"."},
      {{"--max-upload-kbs", "-5"}, false, "The value of --max-upload-kbs must be from 0 to 4294967295."},
      {{"--credits", "4294967296"}, false, "The value of --credits must be from 0 to 4294967295."},
      {{"--credits-per-upload-kb", "2147483648"}, false,
       "The value of --credits-per-upload-kb must be from -2147483648 to 2147483647."},
      {{"--max-download-kbs", ""}, false, "The value of --max-download-kbs must be a whole number, not \"\"."},
      {{"--enabled", "yes please"}, false, "The value of --enabled must be on or off."},
      {{"--password", "pw"}, true, "A group has no password."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    AccountRecord record;
    std::string message;
    EXPECT_FALSE(RecordOptions::Apply(Parsed(c.args), c.is_group, &record, &message));
    EXPECT_EQ(message, c.message);
  }
  CommandOptions options;
  std::string message;
  EXPECT_FALSE(options.Parse({"--max-size"}, 0, RecordOptions::Names(), {}, &message));
  EXPECT_EQ(message, "The option --max-size needs a value.\n");
  EXPECT_FALSE(options.Parse({"--colour", "red"}, 0, RecordOptions::Names(), {}, &message));
  EXPECT_EQ(message, "Unknown option --colour.\n");
}

class ConfigCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.File("config"));
    std::filesystem::create_directories(dir_.File("data"));
    ASSERT_TRUE(SettingsFile(clock_, SettingsPath()).WriteFirst(2121, 8080, "secret-admin"));
  }
  std::string SettingsPath() const { return dir_.File("config/settings.dta"); }

  // One tool run on the files, as quillon-setup makes it.
  CommandResult Run(const std::vector<std::string>& args) {
    SettingsFile settings(clock_, SettingsPath());
    accounts::AccountStore accounts(dir_.File("config/accounts.dta"), nullptr, &clock_);
    accounts::AccountStore groups(dir_.File("config/groups.dta"), nullptr, &clock_);
    EXPECT_TRUE(settings.Load());
    [[maybe_unused]] const bool accounts_read = accounts.Load();
    [[maybe_unused]] const bool groups_read = groups.Load();
    FileTarget target(settings, accounts, groups);
    return ConfigCommands(target).Run(args);
  }

  testing::ManualClock clock_;
  testing::TempDir dir_;
};

TEST_F(ConfigCommandsTest, RecordsAreAddedChangedShownAndRemovedWithTheEditorsChecks) {
  const std::string data = dir_.File("data");
  EXPECT_EQ(Run({"account", "add", "bob", "--root", data}).err, "You have not given a password.\n");
  CommandResult added = Run({"account", "add", "bob", "--password", "hidden-pw", "--root", data});
  EXPECT_EQ(added.code, 0) << added.err;
  EXPECT_EQ(added.out, "Account bob added.\n");
  EXPECT_EQ(Run({"account", "set", "bob", "--group", "staff"}).err, "Please select a group.\n");
  EXPECT_EQ(Run({"group", "add", "staff", "--rights", "rlw", "--max-download-kbs", "40"}).code, 0);
  EXPECT_EQ(Run({"account", "set", "bob", "--group", "staff", "--max-size", "5"}).out, "Account bob changed.\n");

  const std::string shown = Run({"account", "show", "bob"}).out;
  EXPECT_EQ(shown.find("hidden-pw"), std::string::npos);
  for (const char* line : {"name: bob\n", "password: set\n", "group: staff\n", "max-size: 5 MB\n", "rights: rl\n",
                           "max-upload-kbs: off\n"})
    EXPECT_NE(shown.find(line), std::string::npos) << line << " in\n" << shown;
  EXPECT_NE(Run({"group", "show", "staff"}).out.find("max-download-kbs: 40\n"), std::string::npos);
  EXPECT_EQ(Run({"group", "show", "staff"}).out.find("password:"), std::string::npos);
  EXPECT_EQ(Run({"group", "list"}).out, "staff\trwl\t(group root)\n");

  EXPECT_EQ(Run({"account", "set", "nobody-here", "--enabled", "on"}).err, "There is no account named nobody-here.\n");
  EXPECT_EQ(Run({"account", "set", "bob", "--rights", "q"}).code, CommandResult::kRefused);
  EXPECT_EQ(Run({"account", "show", "bob", "--rights", "r"}).code, CommandResult::kBadUsage);
  EXPECT_EQ(Run({"account", "rename", "bob"}).code, CommandResult::kBadUsage);
  EXPECT_EQ(Run({"group", "remove", "staff"}).out, "Group staff removed.\n");
  EXPECT_EQ(Run({"group", "remove", "staff"}).err, "There is no group named staff.\n");
}

TEST_F(ConfigCommandsTest, VirtualFoldersFollowTheEditorsRules) {
  const std::string data = dir_.File("data");
  ASSERT_EQ(Run({"account", "add", "bob", "--password", "pw", "--root", data}).code, 0);
  EXPECT_EQ(Run({"account", "vfolder", "add", "bob", "music", dir_.File("missing")}).err,
            std::string(accounts::messages::kFolderPathNotFound) + "\n");
  EXPECT_EQ(Run({"account", "vfolder", "add", "bob", "a:b", data}).code, CommandResult::kRefused);
  CommandResult added = Run({"account", "vfolder", "add", "bob", "music", data, "--rights", "rl"});
  EXPECT_EQ(added.out, "Virtual folder /music added to bob.\n") << added.err;
  EXPECT_EQ(Run({"account", "vfolder", "add", "bob", "/MUSIC", data}).err,
            "Sorry that folder name already exists, please choose another name.\n");
  EXPECT_NE(Run({"account", "show", "bob"}).out.find("vfolder: /music -> " + data + " (rights rl)\n"),
            std::string::npos);
  EXPECT_EQ(Run({"account", "vfolder", "remove", "bob", "music"}).out, "Virtual folder /music removed from bob.\n");
  EXPECT_EQ(Run({"account", "vfolder", "remove", "bob", "music"}).err, "There is no virtual folder /music in bob.\n");
  EXPECT_EQ(Run({"account", "show", "bob"}).out.find("vfolder:"), std::string::npos);
}

TEST_F(ConfigCommandsTest, SettingsTheServerWouldRefuseAreRefusedAndLeaveTheFileAlone) {
  const std::string before = testing::ReadWholeFile(SettingsPath());
  struct Case {
    const char* key;
    const char* value;
    const char* message;
  };
  const Case cases[] = {
      {"mPort", "70000", "The FTP port (mPort) must be from 1 to 65535.\n"},
      {"mPort", "0", "The FTP port (mPort) must be from 1 to 65535.\n"},
      {"mRAPort", "70000", "The Remote Admin port (mRAPort) must be from 1 to 65535.\n"},
      {"mRAPort", "2121", "The Remote Admin port (mRAPort) and FTP port (mPort) are both the same.\n"},
      {"mIdleTimeOut", "2", "The idle time-out (mIdleTimeOut) must be 5 seconds or more.\n"},
      {"mWelcomeMsg", "", "The welcome message (mWelcomeMsg) may not be empty.\n"},
      {"mMaxUsers", "0", "The maximum number of users (mMaxUsers) must be greater than 0 while it is in use.\n"},
      {"mRAPass", "", "The Remote Admin needs a password (mRAPass) while it is in use.\n"},
      {"run_as_user", "no-such-user-xyz", "There is no user named no-such-user-xyz on this system.\n"},
      {"mNope", "1", "There is no setting named mNope.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    const CommandResult result = Run({"set", c.key, c.value});
    EXPECT_EQ(result.code, CommandResult::kRefused);
    EXPECT_EQ(result.err, c.message);
  }
  EXPECT_EQ(testing::ReadWholeFile(SettingsPath()), before);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("config/quillon.conf")));

  EXPECT_EQ(Run({"set", "mMaxUsers", "9"}).out, "mMaxUsers set.\n");
  EXPECT_EQ(Run({"get", "mMaxUsers"}).out, "9\n");
  // With the limit off, 0 is what the pages store too.
  EXPECT_EQ(Run({"set", "mUseMaxUsers", "0"}).code, 0);
  EXPECT_EQ(Run({"set", "mMaxUsers", "0"}).code, 0);
}

TEST_F(ConfigCommandsTest, SetAloneListsEveryKeyWithTheAdminPasswordHidden) {
  const CommandResult listed = Run({"set"});
  ASSERT_EQ(listed.code, 0);
  EXPECT_EQ(listed.out.find("secret-admin"), std::string::npos);
  EXPECT_NE(listed.out.find("mRAPass = set\n"), std::string::npos);
  EXPECT_NE(listed.out.find("mPort = 2121\n"), std::string::npos);
  EXPECT_NE(listed.out.find("run_as_user = nobody\n"), std::string::npos);
  std::size_t lines = 0;
  for (char ch : listed.out) lines += ch == '\n';
  EXPECT_EQ(lines, settings::ServerSettings::KeyNames().size() + std::size(settings::ExtraSettings::kKeys));
  EXPECT_EQ(settings::ServerSettings::KeyNames().front(), "mWelcomeMsg");
  ASSERT_EQ(Run({"set", "mRAPass", "x"}).code, 0);
  ASSERT_EQ(Run({"set", "mUseRA", "0"}).code, 0);
  ASSERT_EQ(Run({"set", "mRAPass", ""}).code, 0);
  EXPECT_NE(Run({"set"}).out.find("mRAPass = not set\n"), std::string::npos);
}

TEST_F(ConfigCommandsTest, GetTellsOnlyWhetherThereIsAnAdminPassword) {
  EXPECT_EQ(Run({"get", "mRAPass"}).out, "set\n");
  ASSERT_EQ(Run({"set", "mUseRA", "0"}).code, 0);
  ASSERT_EQ(Run({"set", "mRAPass", ""}).code, 0);
  EXPECT_EQ(Run({"get", "mRAPass"}).out, "not set\n");
  // Other keys still read as they are.
  EXPECT_EQ(Run({"get", "mUseRA"}).out, "0\n");
}

// The same commands on a running server: a password change holds for the
// next login at once, settings apply to the listener, and the files hold
// both without a stop.
class LiveCommandsTest : public testing::FtpServerFixture {
 protected:
  CommandResult Run(const std::vector<std::string>& args) {
    LiveTarget target(*server_, nullptr);
    return ConfigCommands(target).Run(args);
  }
};

TEST_F(LiveCommandsTest, ChangesApplyAtOnceAndAreSaved) {
  port_ = Start();
  {
    // The port the system chose, kept when the change applies the settings.
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    server_->Settings().mPort = port_;
  }
  ASSERT_EQ(Run({"account", "set", "bob", "--password", "changed"}).out, "Account bob changed.\n");
  testing::FtpClient old_password;
  ASSERT_EQ(old_password.Connect(port_).substr(0, 4), "220 ");
  EXPECT_EQ(old_password.Login("bob", "secret").substr(0, 4), "530 ");
  testing::FtpClient new_password;
  ASSERT_EQ(new_password.Connect(port_).substr(0, 4), "220 ");
  EXPECT_EQ(new_password.Login("bob", "changed").substr(0, 4), "230-");

  // A port the server could not open is refused before anything changes.
  EXPECT_EQ(Run({"set", "mPort", "70000"}).err, "The FTP port (mPort) must be from 1 to 65535.\n");
  EXPECT_EQ(server_->GetStatus().port, port_);
  EXPECT_EQ(Run({"set", "mMaxUsers", "3"}).out, "mMaxUsers set.\n");
  EXPECT_EQ(Run({"get", "mMaxUsers"}).out, "3\n");
  EXPECT_EQ(Run({"set", "mRAPort", "7099"}).out,
            "mRAPort set.\nThe remote admin takes mRAPort when the server starts again.\n");
  // quillon.conf is root's: the server leaves it to the tool.
  EXPECT_EQ(Run({"set", "passive_ports", "50000-50100"}).code, CommandResult::kRefused);

  accounts::AccountStore saved(dir_.File("config/accounts.dta"), nullptr, &clock_);
  ASSERT_TRUE(saved.Load());
  AccountRecord bob;
  ASSERT_TRUE(saved.GetCopy("bob", &bob));
  EXPECT_EQ(bob.Password(), "changed");
  SettingsFile settings(clock_, dir_.File("config/settings.dta"));
  ASSERT_TRUE(settings.Load());
  std::string value, message;
  ASSERT_TRUE(settings.Get("mMaxUsers", &value, &message));
  EXPECT_EQ(value, "3");
}

}  // namespace
}  // namespace quillon::control
