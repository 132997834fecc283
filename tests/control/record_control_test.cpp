// The records' control: the refusals every face shares, the live balance an
// edit keeps, copies, and records another face removed during an edit.
#include "control/record_control.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quillon::control
