#include "accounts/effective_record.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace quillon::accounts {
namespace {

class EffectiveRecordTest : public ::testing::Test {
 protected:
  AccountRecord Account(std::string_view group = "") {
    AccountRecord r;
    r.SetName("bob");
    r.SetPassword("pw");
    if (!group.empty()) {
      r.mInGroup = true;
      r.SetGroup(group);
    }
    return r;
  }
  AccountRecord Group(std::string_view name, std::string_view parent = "") {
    AccountRecord g;
    g.SetName(name);
    if (!parent.empty()) {
      g.mInGroup = true;
      g.SetGroup(parent);
    }
    return g;
  }
  bool Resolve(const AccountRecord& account, EffectiveRecord* out) {
    accounts_.AddOrUpdate(account);
    return ResolveEffectiveRecord(accounts_, groups_, "BOB", "pw", out);
  }

  testing::TempDir dir_;
  AccountStore accounts_{dir_.File("accounts.dta")};
  AccountStore groups_{dir_.File("groups.dta")};
};

TEST_F(EffectiveRecordTest, LimitsTakeTheTighterValue) {
  AccountRecord group = Group("staff");
  group.mUseMaxUploadSpeed = true;
  group.mMaxUploadSpeed = 50;
  groups_.AddOrUpdate(group);

  AccountRecord account = Account("staff");
  account.mUseMaxUploadSpeed = true;
  account.mMaxUploadSpeed = 100;
  EffectiveRecord out;
  ASSERT_TRUE(Resolve(account, &out));
  EXPECT_TRUE(out.mUseMaxUploadSpeed);
  EXPECT_EQ(out.mMaxUploadSpeed, 50u);

  account.mUseMaxUploadSpeed = false;
  ASSERT_TRUE(Resolve(account, &out));
  EXPECT_TRUE(out.mUseMaxUploadSpeed);
  EXPECT_EQ(out.mMaxUploadSpeed, 50u);

  group.mUseMaxUploadSpeed = false;
  groups_.AddOrUpdate(group);
  account.mUseMaxUploadSpeed = true;
  ASSERT_TRUE(Resolve(account, &out));
  EXPECT_EQ(out.mMaxUploadSpeed, 100u);

  // Stored records are untouched by the merge.
  AccountRecord stored;
  ASSERT_TRUE(accounts_.GetCopy("bob", &stored));
  EXPECT_EQ(stored, account);
}

TEST_F(EffectiveRecordTest, RightsFlagsCreditsAndFolders) {
  AccountRecord group = Group("staff");
  group.mRights = kFolderView | kFileRead;
  group.mUseCredits = true;
  group.mUploadCredits = 2;
  group.mDownloadCredits = -3;
  group.mCurrentCredits = 9999;
  group.mUseRootFolder = true;
  group.SetRootFolder("/srv/group");
  group.mUseStartDir = true;
  group.SetStartDir("/pub");
  group.mAllowPassChange = true;
  group.mAlwaysAllowLogin = true;
  group.mUseLogs = true;
  VirtualFolder shared;
  shared.SetName("/MUSIC");
  shared.SetPath("/srv/group-music");
  group.AddOrReplaceFolder(shared);
  VirtualFolder extra;
  extra.SetName("/pub");
  extra.SetPath("/srv/pub");
  group.AddOrReplaceFolder(extra);
  groups_.AddOrUpdate(group);

  AccountRecord account = Account("staff");
  account.mRights = kAllRights;
  account.mCurrentCredits = 500;
  account.mUseRootFolder = true;
  account.SetRootFolder("/srv/bob");
  VirtualFolder own;
  own.SetName("/music");
  own.SetPath("/srv/bob-music");
  account.AddOrReplaceFolder(own);

  EffectiveRecord out;
  ASSERT_TRUE(Resolve(account, &out));
  EXPECT_EQ(out.mRights, kFolderView | kFileRead);
  EXPECT_TRUE(out.mUseCredits);
  EXPECT_EQ(out.mUploadCredits, 2);
  EXPECT_EQ(out.mDownloadCredits, -3);
  EXPECT_EQ(out.mCurrentCredits, 500u);
  EXPECT_EQ(out.RootFolder(), "/srv/group");
  EXPECT_EQ(out.StartDir(), "/pub");
  EXPECT_FALSE(out.mAllowPassChange);  // needs both
  EXPECT_FALSE(out.mAlwaysAllowLogin);  // never from the group
  EXPECT_FALSE(out.mUseLogs);
  EXPECT_EQ(out.Name(), "bob");
  ASSERT_EQ(out.FolderCount(), 2u);
  EXPECT_EQ(out.FolderAt(0).Path(), "/srv/group-music");  // the group's replaces the account's
  EXPECT_EQ(out.FolderAt(1).Name(), "/pub");
}

TEST_F(EffectiveRecordTest, SafeListsIntersectAndBlockedListsUnite) {
  AccountRecord group = Group("staff");
  group.mUseSafeIPs = true;
  group.mSafeIPs.AddRange({10, 0, 0, 128}, {10, 0, 1, 255});
  group.mUseBlockIPs = true;
  group.mBlockIPs.AddAddress({1, 1, 1, 1});
  group.mBlockIPs.AddAddress({2, 2, 2, 2});
  groups_.AddOrUpdate(group);

  AccountRecord account = Account("staff");
  account.mUseSafeIPs = true;
  account.mSafeIPs.AddRange({10, 0, 0, 0}, {10, 0, 0, 255});
  account.mUseBlockIPs = true;
  account.mBlockIPs.AddAddress({1, 1, 1, 1});
  EffectiveRecord out;
  ASSERT_TRUE(Resolve(account, &out));
  EXPECT_EQ(out.mSafeIPs.Count(), 1u);
  EXPECT_EQ(out.mSafeIPs.EntryText(0), "10.0.0.128-10.0.0.255");
  EXPECT_EQ(out.mBlockIPs.Count(), 2u);
  EXPECT_EQ(out.mBlockIPs.EntryText(1), "2.2.2.2");

  account.mUseSafeIPs = account.mUseBlockIPs = false;
  ASSERT_TRUE(Resolve(account, &out));
  EXPECT_TRUE(out.mUseSafeIPs);
  EXPECT_EQ(out.mSafeIPs, group.mSafeIPs);
  EXPECT_EQ(out.mBlockIPs, group.mBlockIPs);
}

TEST_F(EffectiveRecordTest, DisabledGroupsMissingGroupsAndLoops) {
  AccountRecord disabled = Group("off");
  disabled.mEnabled = false;
  groups_.AddOrUpdate(disabled);
  EffectiveRecord out;
  EXPECT_FALSE(Resolve(Account("off"), &out));
  EXPECT_EQ(out, AccountRecord());

  // A deleted group: the account keeps its own settings.
  AccountRecord orphan = Account("deleted");
  orphan.mRights = kAllRights;
  ASSERT_TRUE(Resolve(orphan, &out));
  EXPECT_EQ(out.mRights, kAllRights);

  // A in B, B in A: the chain stops after its bounded number of merges.
  AccountRecord a = Group("A", "B");
  a.mUseMaxUsers = true;
  a.mMaxUsers = 4;
  groups_.AddOrUpdate(a);
  groups_.AddOrUpdate(Group("B", "A"));
  ASSERT_TRUE(Resolve(Account("A"), &out));
  EXPECT_EQ(out.mMaxUsers, 4u);
  EXPECT_TRUE(out.mInGroup);

  // A chain of groups climbs to the top.
  AccountRecord top = Group("top");
  top.mUseMaxSize = true;
  top.mMaxSize = 10;
  groups_.AddOrUpdate(top);
  groups_.AddOrUpdate(Group("middle", "top"));
  ASSERT_TRUE(Resolve(Account("middle"), &out));
  EXPECT_EQ(out.mMaxSize, 10u);
  EXPECT_FALSE(out.mInGroup);

  EXPECT_FALSE(ResolveEffectiveRecord(accounts_, groups_, "bob", "wrong", &out));
}

}  // namespace
}  // namespace quillon::accounts
