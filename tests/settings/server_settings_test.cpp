#include "settings/server_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "settings/settings_file.h"
#include "support/failing_writer.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::settings {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

// Builds settings files byte by byte from the file layout, independently of
// the code under test.
class FileBuilder {
 public:
  FileBuilder& Text(const std::string& name, const std::string& text) {
    return Raw(name, text + std::string(1, '\0'));
  }
  FileBuilder& U32(const std::string& name, std::uint32_t value) { return Raw(name, Le(value)); }
  FileBuilder& Raw(const std::string& name, const std::string& data) {
    entries_.emplace_back(name, data);
    return *this;
  }
  std::string Bytes() const {
    std::string out = Le(3) + Le(static_cast<std::uint32_t>(entries_.size()));
    for (const auto& [name, data] : entries_) {
      out += name + std::string(300 - name.size(), '\0');
      out += Le(static_cast<std::uint32_t>(data.size())) + data;
    }
    return out;
  }

 private:
  static std::string Le(std::uint32_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
  }
  std::vector<std::pair<std::string, std::string>> entries_;
};

FileBuilder DefaultsFile() {
  FileBuilder b;
  b.Text("mWelcomeMsg", "Welcome to Marrowind Quillon FTP Server.")
      .Text("mHelpMsg", "Please contact the adminstrator for more information.")
      .U32("mUseMaxUploadSpeed", 0)
      .U32("mMaxUploadSpeed", 0)
      .U32("mUseMaxDownloadSpeed", 0)
      .U32("mMaxDownloadSpeed", 0)
      .U32("mUseMaxUsers", 1)
      .U32("mMaxUsers", 100)
      .U32("mAllowPassChange", 0)
      .U32("mBlockTimeOutStopping", 0)
      .U32("mAntiHammering", 0)
      .U32("mAutoHide", 0)
      .U32("mAutoActivate", 1)
      .U32("mPort", 21)
      .U32("mUseSafeIPs", 0)
      .U32("mUseBlockIPs", 0)
      .Raw("mSafeIPs", "")
      .Raw("mBlockIPs", "")
      .U32("mFTPLogStartVal", 0)
      .U32("mMaxUsersPerIP", 0)
      .U32("mUseMaxUsersPerIP", 0)
      .U32("mIdleTimeOut", 300)
      .U32("mAllowSiteToSite", 0)
      .U32("mShowNTServiceIcon", 1)
      .U32("mUseRA", 0)
      .U32("mRAPort", 7088)
      .Text("mRAPass", "")
      .U32("mRAUseFixToDir", 0)
      .Text("mRAFixToDir", "")
      .U32("mRALogStartVal", 0)
      .Text("mKickReason", "The adminstrator forcefully ended your session.")
      .Text("mStopReason", "The adminstrator forcefully ended your transfer.")
      .U32("mDeleteToRecycleBin", 0)
      .U32("mUseBannedFiles", 0)
      .Text("mBadExts", "exe,pif,scr,com,bat");
  return b;
}

class ServerSettingsTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.File("settings.dta"); }

  testing::ManualClock clock_;
  TempDir dir_;
  ServerSettings settings_{clock_, Path()};
};

TEST_F(ServerSettingsTest, DefaultsAreSavedByteForByteInTheFixedOrder) {
  runtime::CriticalSection::Guard guard(settings_.Lock());
  ASSERT_TRUE(settings_.Save());
  const std::string written = ReadWholeFile(Path());
  EXPECT_EQ(written, DefaultsFile().Bytes());
  ASSERT_TRUE(settings_.Save());
  EXPECT_EQ(ReadWholeFile(Path()), written);
  // Settings hold a password: owner-only.
  EXPECT_EQ(std::filesystem::status(Path()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(ServerSettingsTest, EveryFieldSurvivesASaveAndLoad) {
  runtime::CriticalSection::Guard guard(settings_.Lock());
  settings_.mWelcomeMsg = "Hi";
  settings_.mHelpMsg = "Ask";
  settings_.mUseMaxUploadSpeed = true;
  settings_.SetMaxUploadSpeedKb(12);
  settings_.mUseMaxDownloadSpeed = true;
  settings_.SetMaxDownloadSpeedKb(34);
  settings_.mUseMaxUsers = false;
  settings_.mMaxUsers = 7;
  settings_.mAllowPassChange = settings_.mBlockTimeOutStopping = settings_.mAntiHammering = true;
  settings_.mAutoHide = true;
  settings_.mAutoActivate = false;
  settings_.mUseSafeIPs = settings_.mUseBlockIPs = true;
  settings_.mSafeIPs.AddAddress({127, 0, 0, 1});
  settings_.mBlockIPs.AddRange({10, 0, 0, 0}, {10, 255, 255, 255});
  settings_.mPort = 2121;
  settings_.mFTPLogStartVal = 5;
  settings_.mUseMaxUsersPerIP = true;
  settings_.mMaxUsersPerIP = 3;
  settings_.mIdleTimeOut = 60;
  settings_.mAllowSiteToSite = true;
  settings_.mShowNTServiceIcon = false;
  settings_.mUseRA = true;
  settings_.mRAPort = 8080;
  settings_.mRAPass = "secret";
  settings_.mRAUseFixToDir = true;
  settings_.mRAFixToDir = "/srv/ftp";
  settings_.mRALogStartVal = 9;
  settings_.mStopReason = "stop";
  settings_.mKickReason = "kick";
  settings_.mDeleteToRecycleBin = settings_.mUseBannedFiles = true;
  settings_.mBadExts.Parse("sh,py");
  ASSERT_TRUE(settings_.Save());
  const std::string saved = settings_.Serialise();

  ServerSettings loaded(clock_, Path());
  runtime::CriticalSection::Guard other(loaded.Lock());
  ASSERT_TRUE(loaded.Load());
  EXPECT_EQ(loaded.Serialise(), saved);
  EXPECT_EQ(loaded.MaxUploadSpeedKb(), 12u);
  EXPECT_EQ(loaded.mMaxDownloadSpeed.Limit(), 34u * 1024);
  EXPECT_EQ(loaded.mBadExts.Joined(), "sh,py");
  EXPECT_TRUE(loaded.mBlockIPs.Contains({10, 1, 2, 3}));
}

TEST_F(ServerSettingsTest, Ipv6ListEntriesAreKeptBesideTheSettingsFile) {
  const std::string companion = dir_.File("settings-ipv6.txt");
  runtime::CriticalSection::Guard guard(settings_.Lock());
  std::string message;
  ASSERT_TRUE(settings_.SetFromText("mBlockIPs", "10.0.0.0-10.0.0.9", &message)) << message;
  ASSERT_TRUE(settings_.Save());
  const std::string v4_only = ReadWholeFile(Path());
  EXPECT_FALSE(std::filesystem::exists(companion));

  ASSERT_TRUE(settings_.SetFromText("mBlockIPs", "10.0.0.0-10.0.0.9,2001:db8::/48", &message)) << message;
  ASSERT_TRUE(settings_.SetFromText("mSafeIPs", "::1", &message)) << message;
  EXPECT_FALSE(settings_.SetFromText("mSafeIPs", "2001:db8::/200", &message));
  EXPECT_EQ(message, "\"2001:db8::/200\" is not an IP address or a range of them.");
  ASSERT_TRUE(settings_.Save());
  // settings.dta holds exactly what it held without the IPv6 entries.
  EXPECT_EQ(ReadWholeFile(Path()), v4_only);
  EXPECT_EQ(ReadWholeFile(companion),
            "# The IPv6 entries of the IP lists in settings.dta, which holds the IPv4 ones.\n"
            "# <safe|blocked> TAB <entry> [TAB <account or group>]\nsafe\t::1\nblocked\t2001:db8::/48\n");

  ServerSettings loaded(clock_, Path());
  runtime::CriticalSection::Guard other(loaded.Lock());
  ASSERT_TRUE(loaded.Load());
  std::string text;
  ASSERT_TRUE(loaded.GetAsText("mBlockIPs", &text, &message));
  EXPECT_EQ(text, "10.0.0.0-10.0.0.9,2001:db8::/48");
  EXPECT_TRUE(loaded.mSafeIPs.Contains(*runtime::IpAddress::Parse("::1")));
}

TEST_F(ServerSettingsTest, HeaderOnlyFileLoadsWithEveryDefault) {
  WriteWholeFile(Path(), FileBuilder().Bytes());
  runtime::CriticalSection::Guard guard(settings_.Lock());
  settings_.mPort = 999;
  ASSERT_TRUE(settings_.Load());
  EXPECT_EQ(settings_.Serialise(), DefaultsFile().Bytes());
}

TEST_F(ServerSettingsTest, MainGroupKeysReadAbsentValuesAsZeroOrEmpty) {
  WriteWholeFile(Path(), FileBuilder()
                             .Text("mWelcomeMsg", std::string(150, 'w'))
                             .U32("mUseMaxUsers", 2)  // only 1 is on
                             .U32("mAutoActivate", 1)
                             .Raw("mMaxUsers", "\x05\x00")  // wrong size reads as 0
                             .U32("mMaxUploadSpeed", 10240)
                             .Bytes());
  runtime::CriticalSection::Guard guard(settings_.Lock());
  ASSERT_TRUE(settings_.Load());
  EXPECT_EQ(settings_.mWelcomeMsg, std::string(99, 'w'));
  EXPECT_EQ(settings_.mHelpMsg, "");
  EXPECT_FALSE(settings_.mUseMaxUsers);
  EXPECT_TRUE(settings_.mAutoActivate);
  EXPECT_EQ(settings_.mMaxUsers, 0u);
  EXPECT_EQ(settings_.mPort, 0u);
  EXPECT_EQ(settings_.mIdleTimeOut, 0u);
  EXPECT_EQ(settings_.MaxUploadSpeedKb(), 10u);
  EXPECT_EQ(settings_.mStopReason, "");
  // A file from before the late keys keeps their defaults.
  EXPECT_FALSE(settings_.mDeleteToRecycleBin);
  EXPECT_FALSE(settings_.mUseBannedFiles);
  EXPECT_EQ(settings_.mBadExts.Joined(), "exe,pif,scr,com,bat");
}

TEST_F(ServerSettingsTest, LateKeysAreReadWhenPresent) {
  WriteWholeFile(Path(), FileBuilder()
                             .U32("mDeleteToRecycleBin", 1)
                             .U32("mUseBannedFiles", 1)
                             .Text("mBadExts", "EXE,,exe, pif")
                             .Bytes());
  runtime::CriticalSection::Guard guard(settings_.Lock());
  ASSERT_TRUE(settings_.Load());
  EXPECT_TRUE(settings_.mDeleteToRecycleBin);
  EXPECT_TRUE(settings_.mUseBannedFiles);
  EXPECT_EQ(settings_.mBadExts.Items(), (std::vector<std::string>{"EXE", " pif"}));
  EXPECT_EQ(settings_.mBadExts.Joined(), "EXE, pif");
  EXPECT_EQ(settings_.mPort, 21u);  // no mWelcomeMsg: the main group stays at its defaults
}

TEST_F(ServerSettingsTest, BrokenFilesFailWithDefaultsInPlace) {
  const std::string good = DefaultsFile().U32("extra", 1).Bytes();
  std::string foreign = good;
  foreign[0] = 2;
  for (const std::string& bytes : {std::string(), good.substr(0, 7), foreign,
                                   good.substr(0, 8 + 304 + 5), good.substr(0, good.size() - 1)}) {
    WriteWholeFile(Path(), bytes);
    runtime::CriticalSection::Guard guard(settings_.Lock());
    settings_.mPort = 999;
    EXPECT_FALSE(settings_.Load()) << bytes.size();
    EXPECT_EQ(settings_.mPort, 21u);
  }
  std::filesystem::remove(Path());
  runtime::CriticalSection::Guard guard(settings_.Lock());
  EXPECT_FALSE(settings_.Load());
}

TEST_F(ServerSettingsTest, FilesASaveWritesLoadWithoutDamage) {
  const std::vector<std::string> sound = {
      DefaultsFile().Bytes(), FileBuilder().Bytes(),
      FileBuilder().U32("mDeleteToRecycleBin", 1).Text("mBadExts", "sh").Bytes(),  // late keys only
      FileBuilder().Text("mWelcomeMsg", "Hi").U32("mPort", 2121).Raw("mSafeIPs", "12345678").Bytes()};
  for (const std::string& bytes : sound) {
    WriteWholeFile(Path(), bytes);
    runtime::CriticalSection::Guard guard(settings_.Lock());
    ASSERT_TRUE(settings_.Load());
    EXPECT_FALSE(settings_.Damage()) << settings_.Damage()->Text();
  }
  runtime::CriticalSection::Guard guard(settings_.Lock());
  ASSERT_TRUE(settings_.Save());
  ASSERT_TRUE(settings_.Load());
  EXPECT_FALSE(settings_.Damage());
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
    EXPECT_EQ(entry.path().filename(), "settings.dta");
}

TEST_F(ServerSettingsTest, ADamagedFileIsReportedAndKeptAside) {
  const std::string defaults =
      "; the settings fall back to their defaults (FTP port 21, remote admin off)";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {FileBuilder().Text("mWelcomeMsg", "Hi").Raw("mMaxUsers", "\x05").U32("mUseRA", 2)
               .U32("mPort", 1).U32("mPort", 2).Bytes() + "xy",
       "impossible data in mMaxUsers and mUseRA, mPort more than once, 2 bytes left over"},
      {FileBuilder().U32("mPort", 2121).Text("mBadExts", "sh").Raw("mBlockIPs", "123").Bytes(),
       "mWelcomeMsg missing, mDeleteToRecycleBin missing, impossible data in mBlockIPs" + defaults},
      {FileBuilder().Text("mHelpMsg", "no end").Bytes().substr(0, 8 + 304 + 2),
       "entry 1 of 1 is cut short" + defaults},
  };
  for (const auto& [bytes, detail] : cases) {
    WriteWholeFile(Path(), bytes);
    runtime::CriticalSection::Guard guard(settings_.Lock());
    [[maybe_unused]] const bool loaded = settings_.Load();
    ASSERT_TRUE(settings_.Damage()) << detail;
    EXPECT_EQ(settings_.Damage()->detail + (settings_.Damage()->consequence.empty() ? "" : "; ") +
                  settings_.Damage()->consequence,
              detail);
    EXPECT_EQ(ReadWholeFile(dir_.File(settings_.Damage()->kept.substr(settings_.Damage()->kept.find('/') + 1))),
              bytes);
  }
}

TEST(SettingsDamageTest, AFlippedBitInTheWelcomeKeyKeepsTheFileBeforeTheDefaultsAreSaved) {
  testing::ManualClock clock(1, 1'796'751'000'000'000'000);  // 2026-12-08 17:30:00 UTC
  TempDir dir;
  std::filesystem::create_directory(dir.File("config"));
  const std::string path = dir.File("config/settings.dta");
  ServerSettings settings(clock, path);
  runtime::CriticalSection::Guard guard(settings.Lock());
  settings.mPort = 2121;
  settings.mUseRA = true;
  ASSERT_TRUE(settings.Save());
  std::string damaged = ReadWholeFile(path);
  damaged[8 + 1] ^= 0x01;  // "mWelcomeMsg" becomes "mVelcomeMsg"
  WriteWholeFile(path, damaged);

  ASSERT_TRUE(settings.Load());
  EXPECT_EQ(settings.mPort, 21u);  // read as before: the main group needs mWelcomeMsg
  ASSERT_TRUE(settings.Damage());
  EXPECT_EQ(settings.Damage()->Text(),
            "config/settings.dta: 1 entry with an unknown name, mWelcomeMsg missing; the settings "
            "fall back to their defaults (FTP port 21, remote admin off); the original is kept as "
            "config/settings.dta.damaged-20261208-173000");
  ASSERT_TRUE(settings.Save());
  EXPECT_EQ(ReadWholeFile(dir.File("config/settings.dta.damaged-20261208-173000")), damaged);
  EXPECT_NE(ReadWholeFile(path), damaged);
}

TEST(SettingsFileTest, LookupsAndReplacement) {
  SettingsFile file;
  file.PutInteger("a", 7);
  file.PutString("b", "text");
  file.PutInteger("a", 8);  // replaced in its place
  file.PutBytes("c", "", 0);
  EXPECT_EQ(file.Count(), 3u);
  EXPECT_EQ(file.Integer("a"), 8u);
  EXPECT_EQ(file.Integer("b"), 0u);  // five bytes: not an integer
  EXPECT_EQ(file.Integer("A"), 0u);  // names are case-sensitive
  EXPECT_EQ(file.Size("b"), 5u);
  EXPECT_EQ(file.Data("c"), nullptr);
  EXPECT_TRUE(file.Has("c"));
  char buffer[3];
  EXPECT_EQ(file.Copy("b", buffer, 3), 3u);
  EXPECT_EQ(std::string(buffer, 3), "tex");
  EXPECT_EQ(file.Copy("missing", buffer, 3), 0u);

  SettingsFile parsed;
  ASSERT_TRUE(parsed.Parse(file.Serialise()));
  EXPECT_EQ(parsed.Serialise(), file.Serialise());
}

TEST(SettingsSaveTest, FailedSaveLeavesThePreviousFileWhole) {
  testing::ManualClock clock;
  TempDir dir;
  const std::string path = dir.File("settings.dta");
  {
    ServerSettings settings(clock, path);
    runtime::CriticalSection::Guard guard(settings.Lock());
    settings.mPort = 2121;
    ASSERT_TRUE(settings.Save());
  }
  const std::string before = ReadWholeFile(path);
  testing::FailingWriter failing;
  ServerSettings settings(clock, path, &failing);
  runtime::CriticalSection::Guard guard(settings.Lock());
  settings.mPort = 4242;
  EXPECT_FALSE(settings.Save());
  EXPECT_EQ(ReadWholeFile(path), before);
  ASSERT_TRUE(settings.Load());
  EXPECT_EQ(settings.mPort, 2121u);
}

}  // namespace
}  // namespace quillon::settings
