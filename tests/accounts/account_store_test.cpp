#include "accounts/account_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/failing_writer.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::accounts {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

// Little-endian u32 and zero-padded text fields, written out by hand.
std::string Le(std::uint32_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                     static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}
std::string Field(const std::string& text, std::size_t width) {
  return text + std::string(width - text.size(), '\0');
}
std::string Header(std::uint32_t version, std::uint32_t count) {
  return Le(version) + Le(count) + std::string(24, '\0');
}

AccountRecord Named(std::string_view name, std::string_view password) {
  AccountRecord record;
  record.SetName(name);
  record.SetPassword(password);
  return record;
}

// The record of the format table: bob/abc, one virtual folder, one safe range.
AccountRecord SampleRecord() {
  AccountRecord r = Named("bob", "abc");
  r.mUseRootFolder = true;
  r.SetRootFolder("/srv/ftp");
  VirtualFolder music;
  music.SetName("/music");
  music.SetPath("/srv/mp3");
  music.mRights = kFolderView | kFileWrite | kFileRead;
  music.mCreditsExempt = true;
  r.AddOrReplaceFolder(music);
  r.mUseCredits = true;
  r.mUploadCredits = 2;
  r.mDownloadCredits = -3;
  r.mCurrentCredits = 500;
  r.mUseSafeIPs = true;
  r.mSafeIPs.AddRange({10, 0, 0, 1}, {10, 0, 0, 9});
  return r;
}

std::string SampleRecordBytes() {
  std::string password(1, '\x3C');
  password += "\x9E\x9D\x9C";
  password += std::string(96, '\xFF');
  std::string b = Le(1) + Le(1) + Le(8) + Le(0) + std::string(24, '\0');
  b += '\x01' + Field("bob", 100) + password;
  b += '\x00' + Field("", 100) + Le(0x09);
  b += std::string("\x00\x00\x01", 3) + Field("/srv/ftp", 261);
  // The virtual folder block.
  b += Field("/music", 257) + Field("/srv/mp3", 257) + std::string(2, '\0') + Le(0x0B);
  b += std::string("\x01\x01\x00\x00", 4) + Le(0) + Le(6) + '\x01' + std::string(296 + 3, '\0');
  b += '\x00' + Field("", 261);                              // start directory
  b += '\x00' + Le(0) + '\x00' + Le(0) + '\x00' + Le(0);    // size and speeds
  b += '\x00' + Le(0);                                      // users
  b += '\x01' + Le(2) + Le(0xFFFFFFFD) + Le(500);           // credits
  b += '\x01' + std::string("\x0A\x00\x00\x01\x0A\x00\x00\x09", 8);  // safe list
  b += '\x00';                                              // blocked list, empty
  b += '\x00' + std::string(499, '\0');                     // logs flag and reserve
  return b;
}

TEST(AccountStoreFormatTest, RecordBytesFollowTheLayout) {
  const std::string bytes = AccountStore::SerialiseRecord(SampleRecord());
  EXPECT_EQ(bytes.size(), 2247u);
  EXPECT_EQ(bytes, SampleRecordBytes());
  EXPECT_EQ(bytes.substr(141, 4), "\x3C\x9E\x9D\x9C");

  AccountRecord parsed;
  std::size_t used = 0;
  ASSERT_TRUE(AccountStore::ParseRecord(bytes, &parsed, &used));
  EXPECT_EQ(used, bytes.size());
  EXPECT_EQ(parsed, SampleRecord());
}

TEST(AccountStoreFormatTest, PasswordsEmptyPlainAndLong) {
  std::string bytes = AccountStore::SerialiseRecord(Named("anonymous", ""));
  EXPECT_EQ(bytes.substr(141, 100), std::string(100, '\0'));

  // A password field that does not begin with "<" is taken as plain text.
  bytes.replace(141, 6, std::string("plain\0", 6));
  AccountRecord parsed;
  std::size_t used = 0;
  ASSERT_TRUE(AccountStore::ParseRecord(bytes, &parsed, &used));
  EXPECT_EQ(parsed.Password(), "plain");
  EXPECT_FALSE(parsed.IsAnonymous());

  // 98 characters is the most the scrambled form holds.
  AccountRecord longest = Named("bob", std::string(98, 'q'));
  ASSERT_TRUE(AccountStore::ParseRecord(AccountStore::SerialiseRecord(longest), &parsed, &used));
  EXPECT_EQ(parsed.Password(), std::string(98, 'q'));
}

TEST(AccountStoreFormatTest, AHashTakesThePasswordFieldAsItIs) {
  AccountRecord bob = Named("bob", "");
  std::string error;
  ASSERT_TRUE(bob.SetNewPassword("abc", true, &error)) << error;
  const std::string bytes = AccountStore::SerialiseRecord(bob);
  // Same record size as the scrambled form: the layout does not change.
  EXPECT_EQ(bytes.size(), AccountStore::SerialiseRecord(Named("bob", "abc")).size());
  EXPECT_EQ(bytes.substr(141, 100), Field(bob.Password(), 100));
  AccountRecord parsed;
  std::size_t used = 0;
  ASSERT_TRUE(AccountStore::ParseRecord(bytes, &parsed, &used));
  EXPECT_EQ(parsed.Password(), bob.Password());
  EXPECT_TRUE(parsed.MatchLogin("bob", "abc"));
}

TEST(AccountStoreFormatTest, DamagedRecordsAreRefused) {
  const std::string bytes = AccountStore::SerialiseRecord(SampleRecord());
  AccountRecord parsed;
  std::size_t used = 0;
  EXPECT_FALSE(AccountStore::ParseRecord(bytes.substr(0, bytes.size() - 1), &parsed, &used));
  EXPECT_EQ(parsed, AccountRecord());
  std::string version2 = bytes;
  version2[0] = 2;
  EXPECT_FALSE(AccountStore::ParseRecord(version2, &parsed, &used));
  // Absurd announced sizes fail before anything is allocated.
  std::string huge = bytes;
  huge.replace(4, 4, Le(0xFFFFFFFF));
  EXPECT_FALSE(AccountStore::ParseRecord(huge, &parsed, &used));
}

class AccountStoreTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.File("accounts.dta"); }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    runtime::CriticalSection::Guard guard(store_.Lock());
    for (std::size_t i = 0; i < store_.Count(); ++i) names.push_back(store_.GetAt(i).Name());
    return names;
  }

  TempDir dir_;
  AccountStore store_{Path()};
};

TEST_F(AccountStoreTest, KeepsByteOrderAndReplacesByName) {
  store_.AddOrUpdate(Named("Bob", "1"));
  store_.AddOrUpdate(Named("alice", "2"));
  store_.AddOrUpdate(Named("Carol", "3"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"Bob", "Carol", "alice"}));

  store_.AddOrUpdate(Named("BOB", "new"));  // same account, new name spelling
  EXPECT_EQ(Names(), (std::vector<std::string>{"BOB", "Carol", "alice"}));
  AccountRecord found;
  ASSERT_TRUE(store_.FindLogin("bob", "new", &found));
  EXPECT_EQ(found.Name(), "BOB");
  EXPECT_FALSE(store_.FindLogin("bob", "1", &found));

  EXPECT_TRUE(store_.SetCredits("carol", 77));
  EXPECT_FALSE(store_.SetCredits("dave", 1));
  ASSERT_TRUE(store_.GetCopy("CAROL", &found));
  EXPECT_EQ(found.mCurrentCredits, 77u);
  store_.Delete("Alice");
  EXPECT_FALSE(store_.Exists("alice"));
  EXPECT_EQ(store_.Count(), 2u);
}

TEST_F(AccountStoreTest, EveryFieldSurvivesSaveAndLoad) {
  AccountRecord full = SampleRecord();
  full.mEnabled = false;
  full.mInGroup = true;
  full.SetGroup("staff");
  full.mRights = kAllRights;
  full.mAlwaysAllowLogin = full.mAllowPassChange = true;
  full.mUseStartDir = true;
  full.SetStartDir("/pub");
  full.mUseMaxSize = true;
  full.mMaxSize = 1024;
  full.mUseMaxUploadSpeed = true;
  full.mMaxUploadSpeed = 100;
  full.mUseMaxDownloadSpeed = true;
  full.mMaxDownloadSpeed = 200;
  full.mUseMaxUsers = true;
  full.mMaxUsers = 3;
  full.mUseBlockIPs = true;
  full.mBlockIPs.AddAddress({1, 2, 3, 4});
  full.mBlockIPs.AddRange({5, 0, 0, 0}, {5, 255, 255, 255});
  full.mUseLogs = true;
  VirtualFolder second;
  second.SetName("/pub/music");
  second.SetPath("/srv/pub");
  second.mVisible = false;
  second.mCountsTowardsSize = false;
  second.mUseMaxSize = true;
  second.mMaxSize = 9;
  full.AddOrReplaceFolder(second);
  store_.AddOrUpdate(full);
  store_.AddOrUpdate(Named("anonymous", ""));
  ASSERT_TRUE(store_.Save());
  EXPECT_EQ(std::filesystem::status(Path()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  AccountStore loaded(Path());
  ASSERT_TRUE(loaded.Load());
  ASSERT_EQ(loaded.Count(), 2u);
  AccountRecord copy;
  ASSERT_TRUE(loaded.GetCopy("bob", &copy));
  EXPECT_EQ(copy, full);
  ASSERT_TRUE(loaded.GetCopy("anonymous", &copy));
  EXPECT_TRUE(copy.IsAnonymous());
  EXPECT_EQ(loaded.Serialise(), ReadWholeFile(Path()));
}

TEST_F(AccountStoreTest, Ipv6EntriesLiveBesideTheStoreWhichKeepsItsIpv4Layout) {
  const std::string companion = dir_.File("accounts-ipv6.txt");
  AccountRecord v4_only = SampleRecord();
  v4_only.mBlockIPs.AddAddress({1, 2, 3, 4});
  store_.AddOrUpdate(v4_only);
  ASSERT_TRUE(store_.Save());
  EXPECT_FALSE(std::filesystem::exists(companion));  // nothing to keep: no file

  // A name the companion's layout must escape, and entries of both lists.
  AccountRecord both = v4_only;
  both.SetName("tab\tand%");
  both.mSafeIPs.AddAddress(*runtime::IpAddress::Parse("::1"));
  both.mBlockIPs.AddRange(*runtime::IpAddress::Parse("2001:db8::"), *runtime::IpAddress::Parse("2001:db8:0:ffff:ffff:ffff:ffff:ffff"));
  store_.Delete("bob");
  store_.AddOrUpdate(both);
  ASSERT_TRUE(store_.Save());
  // The record is the IPv4 one byte for byte, but for its name.
  AccountRecord renamed = v4_only;
  renamed.SetName(both.Name());
  EXPECT_EQ(ReadWholeFile(Path()).substr(AccountStore::kHeaderBytes), AccountStore::SerialiseRecord(renamed));
  EXPECT_EQ(ReadWholeFile(companion),
            "# The IPv6 entries of the IP lists in accounts.dta, which holds the IPv4 ones.\n"
            "# <safe|blocked> TAB <entry> [TAB <account or group>]\n"
            "safe\t::1\ttab%09and%25\n"
            "blocked\t2001:db8::/48\ttab%09and%25\n");
  EXPECT_EQ(std::filesystem::status(companion).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  AccountStore loaded(Path());
  ASSERT_TRUE(loaded.Load());
  AccountRecord copy;
  ASSERT_TRUE(loaded.GetCopy(both.Name(), &copy));
  EXPECT_EQ(copy, both);

  // Lines a load cannot use (a slip, an owner not in the store) are set
  // aside and written back marked; removing the last entry leaves a file
  // without entries, so none come back.
  WriteWholeFile(companion, ReadWholeFile(companion) + "blocked 2001:db8::9 typed-with-blanks\nsafe\t::2\tnobody-here\n");
  ASSERT_TRUE(loaded.Load());
  ASSERT_TRUE(loaded.GetCopy(both.Name(), &copy));
  EXPECT_EQ(copy, both);
  loaded.AddOrUpdate(renamed);
  ASSERT_TRUE(loaded.Save());
  EXPECT_EQ(ReadWholeFile(companion),
            "# The IPv6 entries of the IP lists in accounts.dta, which holds the IPv4 ones.\n"
            "# <safe|blocked> TAB <entry> [TAB <account or group>]\n"
            "# not read: blocked 2001:db8::9 typed-with-blanks\n"
            "# not read: safe\t::2\tnobody-here\n");
  ASSERT_TRUE(loaded.Load());
  ASSERT_TRUE(loaded.GetCopy(both.Name(), &copy));
  EXPECT_EQ(copy, renamed);
  ASSERT_TRUE(loaded.Save());  // still set aside, not lost
  EXPECT_NE(ReadWholeFile(companion).find("# not read: safe\t::2\tnobody-here\n"), std::string::npos);

  // A companion that is there but cannot be read is never written over.
  std::filesystem::remove(companion);
  std::filesystem::create_symlink(Path(), companion);
  ASSERT_TRUE(loaded.Load());
  EXPECT_FALSE(loaded.Save());
  EXPECT_TRUE(std::filesystem::is_symlink(companion));
}

TEST_F(AccountStoreTest, LoadEdgeCases) {
  EXPECT_TRUE(store_.Load());  // no file: empty store
  EXPECT_EQ(store_.Count(), 0u);

  const std::string one = AccountStore::SerialiseRecord(Named("one", "1"));
  const std::string two = AccountStore::SerialiseRecord(Named("two", "2"));
  WriteWholeFile(Path(), Header(1, 3) + one + two + two.substr(0, 500));
  EXPECT_TRUE(store_.Load());
  EXPECT_EQ(Names(), (std::vector<std::string>{"one", "two"}));

  WriteWholeFile(Path(), Header(2, 1) + one);
  EXPECT_FALSE(store_.Load());
  EXPECT_EQ(store_.Count(), 0u);

  WriteWholeFile(Path(), Header(1, 1).substr(0, 20));
  EXPECT_FALSE(store_.Load());

  std::filesystem::remove(Path());
  std::filesystem::create_directory(Path());  // a folder in the file's place
  EXPECT_TRUE(store_.Load());
  EXPECT_EQ(store_.Count(), 0u);
}

TEST_F(AccountStoreTest, FailedSaveKeepsThePreviousFile) {
  store_.AddOrUpdate(Named("bob", "pw"));
  ASSERT_TRUE(store_.Save());
  const std::string before = ReadWholeFile(Path());
  testing::FailingWriter failing;
  AccountStore other(Path(), &failing);
  other.AddOrUpdate(Named("carol", "pw"));
  EXPECT_FALSE(other.Save());
  EXPECT_EQ(ReadWholeFile(Path()), before);
}

std::vector<std::string> CopiesIn(const std::string& folder) {
  std::vector<std::string> copies;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename().string().rfind("accounts.dta.damaged-", 0) == 0)
      copies.push_back(entry.path().filename().string());
  return copies;
}

TEST(AccountStoreDamageTest, ADamagedFileIsKeptAsideBeforeASaveCanReplaceIt) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("config"));
  const std::string path = dir.File("config/accounts.dta");
  const std::string kept = "config/accounts.dta.damaged-20261208-173000";
  testing::ManualClock clock(1, 1'796'751'000'000'000'000);  // 2026-12-08 17:30:00 UTC
  testing::FailingWriter writer(false);
  AccountStore store(path, &writer, &clock);

  // 40 records as a save writes them load as sound.
  std::string sound = Header(1, 40);
  for (int i = 10; i < 50; ++i)
    sound += AccountStore::SerialiseRecord(Named("user" + std::to_string(i), "pw"));
  WriteWholeFile(path, sound);
  ASSERT_TRUE(store.Load());
  EXPECT_EQ(store.Count(), 40u);
  EXPECT_FALSE(store.Damage());

  // One flipped bit in record 6 (its version 1 becomes 3).
  std::string damaged = sound;
  damaged[AccountStore::kHeaderBytes + 5 * AccountStore::kFixedRecordBytes] ^= 0x02;
  WriteWholeFile(path, damaged);
  writer.failing = true;  // the copy cannot be written: nothing is saved over the file
  ASSERT_TRUE(store.Load());
  EXPECT_EQ(store.Count(), 5u);
  ASSERT_TRUE(store.Damage());
  EXPECT_EQ(store.Damage()->Text(), "config/accounts.dta: 5 of 40 records read; the original could "
                                    "not be kept aside, so nothing is saved over it");
  const int writes = writer.writes;
  EXPECT_FALSE(store.Save());
  EXPECT_EQ(writer.writes, writes + 1);  // the copy was tried again, the file never
  EXPECT_EQ(ReadWholeFile(path), damaged);

  writer.failing = false;
  ASSERT_TRUE(store.Save());
  EXPECT_EQ(store.Damage()->Text(),
            "config/accounts.dta: 5 of 40 records read; the original is kept as " + kept);
  EXPECT_EQ(ReadWholeFile(dir.File(kept)), damaged);
  EXPECT_EQ(std::filesystem::status(dir.File(kept)).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(ReadWholeFile(path), store.Serialise());

  // The same bytes loaded again keep their one copy; other bytes of the same
  // second get a name of their own; a header that cannot be read is kept too.
  WriteWholeFile(path, damaged);
  ASSERT_TRUE(store.Load());
  EXPECT_EQ(CopiesIn(dir.File("config")).size(), 1u);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {sound + "tail",
       "40 of 40 records read, 4 bytes left over; the original is kept as " + kept + "-2"},
      {Header(2, 0),
       "version 2 instead of 1, no records read; the original is kept as " + kept + "-3"},
  };
  for (const auto& [bytes, text] : cases) {
    WriteWholeFile(path, bytes);
    [[maybe_unused]] const bool loaded = store.Load();
    ASSERT_TRUE(store.Damage());
    EXPECT_EQ(store.Damage()->Text(), "config/accounts.dta: " + text);
  }
  EXPECT_EQ(CopiesIn(dir.File("config")).size(), 3u);
}

std::string Complement(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(~c);
  return out;
}

TEST_F(AccountStoreTest, AHashedStoreHoldsNeitherThePasswordsNorTheirComplements) {
  const std::vector<std::pair<std::string, std::string>> logins = {
      {"bob", "Open Sesame 1"}, {"carol", "zz-Top-Secret"}, {"dave", std::string(98, 'k')}};
  std::string error;
  for (const auto& [name, password] : logins) {
    AccountRecord record = Named(name, "");
    ASSERT_TRUE(record.SetNewPassword(password, true, &error)) << error;
    store_.AddOrUpdate(record);
  }
  store_.AddOrUpdate(Named("anonymous", ""));
  ASSERT_TRUE(store_.Save());

  const std::string bytes = ReadWholeFile(Path());
  for (const auto& [name, password] : logins) {
    EXPECT_EQ(bytes.find(password), std::string::npos) << name;
    EXPECT_EQ(bytes.find(Complement(password)), std::string::npos) << name;
    // Not even a part of it, as the scrambled form would hold.
    EXPECT_EQ(bytes.find(Complement(password.substr(0, 6))), std::string::npos) << name;
  }
  EXPECT_NE(bytes.find("$y$"), std::string::npos);

  AccountStore reread(Path());
  ASSERT_TRUE(reread.Load());
  AccountRecord found;
  for (const auto& [name, password] : logins) {
    EXPECT_TRUE(reread.FindLogin(name, password, &found)) << name;
    EXPECT_FALSE(reread.FindLogin(name, password + "x", &found)) << name;
  }
  EXPECT_TRUE(reread.FindLogin("anonymous", "guest@example.com", &found));
  EXPECT_TRUE(found.IsAnonymous());
}

}  // namespace
}  // namespace quillon::accounts
