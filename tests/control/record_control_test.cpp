// The records' control: the refusals every face shares, the live balance an
// edit keeps, copies, and records another face removed during an edit.
#include "control/record_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "accounts/messages.h"
#include "support/ftp_server_fixture.h"

namespace quillon::control {
namespace {

namespace messages = accounts::messages;
using accounts::AccountRecord;
using R = RecordResult;
using Names = std::vector<std::string>;
constexpr RecordKind kAccount = RecordKind::kAccount;
constexpr RecordKind kGroup = RecordKind::kGroup;

AccountRecord Named(const std::string& name, const std::string& password = "pw") {
  AccountRecord record;
  record.SetName(name);
  record.SetPassword(password);
  return record;
}

class RecordControlTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    for (const char* name : {"staff", "Admins"}) server_->Groups().AddOrUpdate(Named(name));
  }
  RecordControl Of(RecordKind kind) { return RecordControl(*server_, kind); }
};

TEST_F(RecordControlTest, CheckAndCopyNameEachRefusal) {
  struct Case {
    RecordKind kind;
    std::string name, previous, password;
    RecordResult result;
    const char* message;  // null: not looked at
  } const checks[] = {
      {kAccount, "", "", "pw", R::kNameEmpty, messages::kNoUserLogin},
      {kGroup, "a;b", "", "", R::kNameHasIllegalChars, messages::kIllegalGroupName},
      {kAccount, "BOB", "carol", "pw", R::kNameTaken, messages::kUserExists},
      {kAccount, "carol", "", "", R::kRecordInvalid, messages::kNoPassword},
      {kAccount, "BOB", "bob", "pw", R::kDone, nullptr},  // its own name in another case
      {kGroup, "guests", "staff", "", R::kDone, nullptr},
  };
  for (const Case& c : checks) {
    std::string message;
    EXPECT_EQ(Of(c.kind).Check(Named(c.name, c.password), c.previous, &message), c.result) << c.name;
    if (c.message != nullptr) {
      EXPECT_EQ(message, c.message) << c.name;
    }
  }
  const Case copies[] = {
      {kAccount, "", "bob", "", R::kNameEmpty, "Please specify a valid user/login."},
      {kGroup, "", "staff", "", R::kNameEmpty, "Please specify a valid group name."},
      {kAccount, "a|b", "bob", "", R::kNameHasIllegalChars, messages::kIllegalCopyLogin},
      {kGroup, "ADMINS", "staff", "", R::kNameTaken, messages::kGroupExists},
      {kAccount, "a b", "nobody", "", R::kNameHasIllegalChars, messages::kIllegalCopyLogin},
      {kAccount, "carol", "nobody", "", R::kRecordGone, ""},  // the name rule comes first
  };
  for (const Case& c : copies) {
    EXPECT_EQ(Of(c.kind).CopyNamed(c.previous, c.name), c.result) << c.name;
    EXPECT_STREQ(RecordControl::CopyRefusalText(c.result, c.kind), c.message) << c.name;
  }
  EXPECT_EQ(Of(kAccount).Copy(AccountRecord(), "carol"), R::kRecordGone);  // nothing chosen
  EXPECT_EQ(Of(kAccount).Names(), Names{"bob"});
  EXPECT_EQ(Of(kGroup).Names(), (Names{"Admins", "staff"}));
}

TEST_F(RecordControlTest, ACopyIsTheSourceUnderItsNewName) {
  RecordControl accounts = Of(kAccount);
  ASSERT_EQ(accounts.CopyNamed("BOB", "carol"), R::kDone);
  AccountRecord bob, carol;
  ASSERT_EQ(accounts.TakeForEdit("bob", &bob), R::kDone);
  ASSERT_EQ(accounts.TakeForEdit("carol", &carol), R::kDone);
  carol.SetName("bob");
  EXPECT_EQ(carol, bob);
}

TEST_F(RecordControlTest, AnEditOfALoggedInAccountKeepsItsLiveBalance) {
  port_ = Start();
  auto client = LoggedIn();
  ASSERT_TRUE(server_->Auth().SetLiveCredits("bob", 555));
  AccountRecord bob;
  ASSERT_EQ(Of(kAccount).TakeForEdit("bob", &bob), R::kDone);
  EXPECT_EQ(bob.mCurrentCredits, 555u);  // not the stored balance
  bob.mCurrentCredits = 777;
  ASSERT_TRUE(Of(kAccount).Commit(bob, "bob"));
  std::uint32_t live = 0;
  ASSERT_TRUE(server_->Auth().GetLiveCredits("bob", &live));
  EXPECT_EQ(live, 777u);
  AccountRecord stored;
  ASSERT_TRUE(server_->Accounts().GetCopy("bob", &stored));
  EXPECT_EQ(stored, bob);
}

TEST_F(RecordControlTest, RecordsAnotherFaceRemovedMeanwhile) {
  RecordControl mine = Of(kAccount), other = Of(kAccount);
  ASSERT_EQ(mine.CopyNamed("bob", "carol"), R::kDone);
  AccountRecord carol, bob;
  ASSERT_EQ(mine.TakeForEdit("carol", &carol), R::kDone);
  ASSERT_EQ(other.Delete("CAROL"), R::kDone);
  EXPECT_EQ(mine.Delete("carol"), R::kRecordGone);
  EXPECT_EQ(mine.TakeForEdit("carol", &carol), R::kRecordGone);
  // Renamed, the removed record's edit is kept under its new name only.
  carol.SetName("caroline");
  ASSERT_TRUE(mine.Commit(carol, "carol"));
  ASSERT_EQ(mine.TakeForEdit("bob", &bob), R::kDone);
  bob.SetName("robert");
  ASSERT_TRUE(mine.Commit(bob, "bob"));
  EXPECT_EQ(other.Names(), (Names{"caroline", "robert"}));
}

TEST_F(RecordControlTest, CommitStoresPasswordsInTheFormQuillonConfAsks) {
  RecordControl accounts = Of(kAccount);
  auto stored = [&](const std::string& name) {
    AccountRecord record;
    EXPECT_EQ(accounts.TakeForEdit(name, &record), R::kDone) << name;
    return record;
  };
  // Scrambled: as typed, except what would read as a hash.
  ASSERT_TRUE(accounts.Commit(Named("carol", "pw"), ""));
  EXPECT_EQ(stored("carol").Password(), "pw");
  ASSERT_TRUE(accounts.Commit(Named("dan", "$dollar"), ""));
  EXPECT_TRUE(stored("dan").HasPasswordHash());
  EXPECT_TRUE(stored("dan").MatchLogin("dan", "$dollar"));
  const std::string dan_hash = stored("dan").Password();
  ASSERT_TRUE(accounts.Commit(stored("dan"), "dan"));  // left as it was
  EXPECT_EQ(stored("dan").Password(), dan_hash);

  std::string message;
  {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    ASSERT_TRUE(server_->Settings().Extra().Set("password_storage", "hashed", &message));
  }
  // Hashed: an edit that leaves a scrambled password turns it into its hash...
  ASSERT_TRUE(accounts.Commit(stored("carol"), "carol"));
  const std::string carol_hash = stored("carol").Password();
  EXPECT_EQ(carol_hash.rfind("$y$", 0), 0u);
  EXPECT_TRUE(stored("carol").MatchLogin("carol", "pw"));
  // ...a hash left as it was stays, also through a rename...
  AccountRecord renamed = stored("carol");
  renamed.SetName("caroline");
  ASSERT_TRUE(accounts.Commit(renamed, "carol"));
  EXPECT_EQ(stored("caroline").Password(), carol_hash);
  // ...and a new password, even one that looks like a hash, is hashed.
  for (const std::string& typed : {std::string("fresh"), carol_hash}) {
    AccountRecord changed = stored("caroline");
    changed.SetPassword(typed);
    ASSERT_TRUE(accounts.Commit(changed, "caroline"));
    EXPECT_NE(stored("caroline").Password(), typed);
    EXPECT_TRUE(stored("caroline").MatchLogin("caroline", typed));
    EXPECT_FALSE(stored("caroline").MatchLogin("caroline", "pw"));
  }
  // Groups have no password to hash.
  ASSERT_TRUE(Of(kGroup).Commit(Named("guests", ""), ""));

  // Without a server, the form comes from the caller.
  accounts::AccountStore files(dir_.File("other.dta")), groups(dir_.File("groups2.dta"));
  ASSERT_TRUE(RecordControl(files, groups, kAccount, true).Commit(Named("erin", "pw"), ""));
  ASSERT_TRUE(RecordControl(files, groups, kAccount, false).Commit(Named("fay", "pw"), ""));
  AccountRecord erin, fay;
  ASSERT_TRUE(files.GetCopy("erin", &erin));
  ASSERT_TRUE(files.GetCopy("fay", &fay));
  EXPECT_TRUE(erin.HasPasswordHash());
  EXPECT_EQ(fay.Password(), "pw");
}

TEST_F(RecordControlTest, GroupChoicesLeaveOutTheGroupItself) {
  AccountRecord record = Named("renamed");
  record.SetGroup("STAFF");
  const std::pair<RecordKind, Names> kinds[] = {{kAccount, {"Admins", "staff"}}, {kGroup, {"Admins"}}};
  for (const auto& [kind, names] : kinds) {
    const GroupChoices choices = Of(kind).ChoicesFor(record, "staff");
    EXPECT_EQ(choices.current, "staff");
    EXPECT_EQ(choices.names, names);
  }
  record.SetName("ADMINS");  // renamed onto another group: not in that one either
  EXPECT_EQ(Of(kGroup).ChoicesFor(record, "").names, Names{"staff"});
  record.SetGroup("gone");
  EXPECT_EQ(Of(kAccount).ChoicesFor(record, "").current, "");
}

// Writes `bytes` bytes into a new file of bob's root folder.
void WriteFile(const std::string& path, std::size_t bytes) {
  std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
}

TEST_F(RecordControlTest, RowsTellUsedSpaceFromTheCacheOnlyWithTheGroupsAllocation) {
  WriteFile(dir_.File("root/a.bin"), 900 * 1024);
  UpdateAccount("bob", [](AccountRecord& bob) {
    bob.mInGroup = true;
    bob.SetGroup("staff");
  });
  AccountRecord staff = Named("staff");
  staff.mUseMaxSize = true;
  staff.mMaxSize = 1;  // MB: the account takes its group's allocation
  server_->Groups().AddOrUpdate(staff);

  // Nothing measured the root yet: unknown, and no walk to find out.
  std::vector<RecordRow> rows = Of(kAccount).Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].used_known);
  EXPECT_EQ(rows[0].allocation_bytes, 1'048'576u);
  EXPECT_EQ(rows[0].UsedPercent(), std::nullopt);
  EXPECT_EQ(server_->Auth().Cache().EntryCount(), 0u);
  EXPECT_TRUE(Of(kAccount).AboveAllocation(90).empty());

  // Once a transfer measured it, the cached size shows, and later writes
  // that bypass the cache do not (the cache is what the page reads).
  const fileutil::FolderSizeCache::Hold hold = server_->Auth().Cache().Acquire(dir_.File("root"));
  ASSERT_TRUE(hold);
  WriteFile(dir_.File("root/b.bin"), 100 * 1024);
  rows = Of(kAccount).Rows();
  EXPECT_TRUE(rows[0].used_known);
  EXPECT_EQ(rows[0].used_bytes, 900u * 1024);
  EXPECT_EQ(rows[0].UsedPercent(), 87u);
  EXPECT_EQ(rows[0].group, "staff");
  EXPECT_EQ(rows[0].root_folder, dir_.File("root"));
  EXPECT_TRUE(Of(kAccount).AboveAllocation(90).empty());  // 87.9% is not above 90%
  server_->Auth().Cache().AddBytes(hold, 50 * 1024);
  const std::vector<RecordRow> above = Of(kAccount).AboveAllocation(90);
  ASSERT_EQ(above.size(), 1u);
  EXPECT_EQ(above[0].name, "bob");
  EXPECT_EQ(above[0].UsedPercent(), 92u);

  // Out of the group, bob has no allocation and no warning.
  UpdateAccount("bob", [](AccountRecord& bob) { bob.mInGroup = false; });
  rows = Of(kAccount).Rows();
  EXPECT_EQ(rows[0].allocation_bytes, 0u);
  EXPECT_EQ(rows[0].used_bytes, 950u * 1024);
  EXPECT_TRUE(Of(kAccount).AboveAllocation(90).empty());
}

TEST_F(RecordControlTest, RowsCountLiveSessionsAndRememberTheLastLogin) {
  ASSERT_EQ(Of(kAccount).CopyNamed("bob", "carol"), R::kDone);
  clock_.Advance(5'000);
  port_ = Start();
  const auto row_of = [this](const std::string& name) {
    const std::vector<RecordRow> rows = Of(kAccount).Rows(name);
    EXPECT_EQ(rows.size(), 1u) << name;
    return rows.empty() ? RecordRow{} : rows[0];
  };
  EXPECT_EQ(row_of("carol").last_login_ns, std::nullopt);
  {
    auto first = LoggedIn();
    const std::int64_t first_login = clock_.WallTimeNs();
    clock_.Advance(60'000);
    auto second = LoggedInAs("BOB");
    const RecordRow bob = row_of("bob");
    EXPECT_EQ(bob.sessions, 2u);
    ASSERT_TRUE(bob.last_login_ns.has_value());
    EXPECT_EQ(*bob.last_login_ns, first_login + 60'000'000'000);  // the later login, any case of the name
    EXPECT_EQ(row_of("carol").sessions, 0u);
    EXPECT_EQ(row_of("carol").last_login_ns, std::nullopt);
    first->Command("QUIT");
    second->Command("QUIT");
  }
  // Logged out: no sessions, the last login stays.
  for (int i = 0; i < 200 && row_of("bob").sessions > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(row_of("bob").sessions, 0u);
  EXPECT_TRUE(row_of("bob").last_login_ns.has_value());
  // A failed login is no login.
  testing::FtpClient wrong;
  ASSERT_EQ(wrong.Connect(port_).substr(0, 4), "220 ");
  EXPECT_EQ(wrong.Login("carol", "nope").substr(0, 4), "530 ");
  EXPECT_EQ(row_of("carol").last_login_ns, std::nullopt);
}

TEST_F(RecordControlTest, RowsFilterByNameAndBulkEnableKeepsTheRest) {
  for (const char* name : {"Carol", "caroline", "dave"}) ASSERT_EQ(Of(kAccount).CopyNamed("bob", name), R::kDone);
  const auto names = [this](std::string_view filter) {
    Names found;
    for (const RecordRow& row : Of(kAccount).Rows(filter)) found.push_back(row.name);
    return found;
  };
  EXPECT_EQ(names("CAR"), (Names{"Carol", "caroline"}));
  EXPECT_EQ(names("ve"), Names{"dave"});
  EXPECT_EQ(names("zz"), Names{});
  EXPECT_EQ(names("").size(), 4u);

  EXPECT_EQ(Of(kAccount).SetEnabled("carol", false), R::kDone);
  EXPECT_EQ(Of(kAccount).SetEnabled("gone", false), R::kRecordGone);
  for (const RecordRow& row : Of(kAccount).Rows()) EXPECT_EQ(row.enabled, row.name != "Carol") << row.name;
  EXPECT_EQ(Of(kGroup).SetEnabled("STAFF", false), R::kDone);
  const std::vector<RecordRow> groups = Of(kGroup).Rows("staff");
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_FALSE(groups[0].enabled);
  // A disabled account no longer logs in.
  port_ = Start();
  testing::FtpClient client;
  ASSERT_EQ(client.Connect(port_).substr(0, 4), "220 ");
  EXPECT_EQ(client.Login("carol", "secret").substr(0, 4), "530 ");
}

TEST(RowTextTest, UsedSpaceAllocationAndWarningTexts) {
  struct Case {
    bool used_known;
    std::uint64_t used;
    std::uint64_t allocation;
    const char* used_space;  // the editor's line
    const char* used_cell;   // the table's cell
    const char* allocation_cell;
  };
  const Case cases[] = {
      {true, 256 * 1024, 1'048'576, "Used: 256 KB of 1 MB (25%)", "256 KB (25%)", "1 MB"},
      {true, 973 * 1024, 1'048'576, "Used: 973 KB of 1 MB (95%)", "973 KB (95%)", "1 MB"},
      {true, 3 << 20, 0, "Used: 3 MB (no allocation)", "3 MB", "None"},
      {false, 0, 0, "Used: not measured yet (no allocation)", "-", "None"},
      {false, 0, 2 << 20, "Used: not measured yet of 2 MB", "-", "2 MB"},
      {true, 3 << 20, 2 << 20, "Used: 3 MB of 2 MB (150%)", "3 MB (150%)", "2 MB"},
  };
  for (const Case& c : cases) {
    RecordRow row;
    row.name = "dave";
    row.used_known = c.used_known;
    row.used_bytes = c.used;
    row.allocation_bytes = c.allocation;
    EXPECT_EQ(UsedSpaceText(row), c.used_space);
    EXPECT_EQ(UsedCellText(row), c.used_cell) << c.used_space;
    EXPECT_EQ(AllocationCellText(row), c.allocation_cell) << c.used_space;
  }
  RecordRow dave;
  dave.used_known = true;
  dave.used_bytes = 973 * 1024;
  dave.allocation_bytes = 1'048'576;
  EXPECT_EQ(AllocationWarningText(dave, "dave"), "Account 'dave' has used 95% of its allocation (973 KB of 1 MB).");
  EXPECT_EQ(AllocationWarningText(dave, "a&amp;b"), "Account 'a&amp;b' has used 95% of its allocation (973 KB of 1 MB).");
}

TEST(RowTextTest, LoginTimeIsLocalCalendarTimeOrADash) {
  EXPECT_EQ(LoginTimeText(std::nullopt), "-");
  // 2023-11-14 22:13:27 UTC; zones move hours and minutes, never the seconds.
  const std::string text = LoginTimeText(std::int64_t{1'700'000'007} * 1'000'000'000 + 999'999'999);
  ASSERT_EQ(text.size(), 19u) << text;
  EXPECT_EQ(text.substr(0, 8), "2023-11-");
  EXPECT_EQ(text.substr(16), ":27");
  EXPECT_EQ(text[10], ' ');
}

TEST(SizeTextTest, UnitsAndOneDecimalBelowTen) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1 KB"},
      {256 * 1024, "256 KB"},
      {1'258'291, "1.2 MB"},
      {std::uint64_t{2} << 30, "2 GB"},
      {std::uint64_t{1288490189}, "1.2 GB"},
      {std::uint64_t{15} << 40, "15 TB"},
      {std::uint64_t{9000} << 40, "9000 TB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(SizeText(bytes), text) << bytes;
}

}  // namespace
}  // namespace quillon::control
