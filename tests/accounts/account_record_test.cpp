#include "accounts/account_record.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "accounts/account_store.h"
#include "support/temp_dir.h"

namespace quillon::accounts {
namespace {

using testing::TempDir;

AccountRecord Named(std::string_view name, std::string_view password) {
  AccountRecord record;
  record.SetName(name);
  record.SetPassword(password);
  return record;
}

VirtualFolder Folder(std::string_view name, std::string_view path = "/") {
  VirtualFolder folder;
  folder.SetName(name);
  folder.SetPath(path);
  return folder;
}

TEST(AccountRecordTest, LoginMatchingRules) {
  AccountRecord anonymous = Named("AnonYmous", "");
  EXPECT_TRUE(anonymous.IsAnonymous());
  EXPECT_TRUE(anonymous.MatchLogin("anonymous", "guest@example.com"));
  EXPECT_FALSE(anonymous.MatchLogin("anonymou", "x"));
  anonymous.SetPassword("secret");
  EXPECT_FALSE(anonymous.IsAnonymous());
  EXPECT_FALSE(anonymous.MatchLogin("anonymous", "guest@example.com"));
  EXPECT_TRUE(anonymous.MatchLogin("ANONYMOUS", "secret"));

  const AccountRecord bob = Named("Bob", "Secret");
  EXPECT_TRUE(bob.MatchLogin("bob", "Secret"));
  EXPECT_FALSE(bob.MatchLogin("bob", "secret"));
  EXPECT_TRUE(bob.MatchName("BOB"));
  EXPECT_EQ(bob.SortName(), "Bob");
}

TEST(AccountRecordTest, HashedPasswordsMatchOnlyThroughTheirHash) {
  std::string error;
  AccountRecord bob = Named("bob", "");
  ASSERT_TRUE(bob.SetNewPassword("Secret", true, &error)) << error;
  ASSERT_TRUE(bob.HasPasswordHash());
  EXPECT_NE(bob.Password(), "Secret");
  EXPECT_TRUE(bob.MatchLogin("BOB", "Secret"));
  EXPECT_FALSE(bob.MatchLogin("bob", "secret"));
  EXPECT_FALSE(bob.MatchLogin("carol", "Secret"));
  // The hash typed as a password is no password.
  EXPECT_FALSE(bob.MatchLogin("bob", bob.Password()));
  EXPECT_TRUE(bob.MatchStoredPassword("bob", bob.Password()));
  EXPECT_FALSE(bob.MatchStoredPassword("bob", "Secret"));

  // A field beginning with "$" that is no hash of anything never matches.
  const AccountRecord damaged = Named("dave", "$plain");
  EXPECT_FALSE(damaged.MatchLogin("dave", "$plain"));

  struct Case {
    const char* password;
    bool hashed;
    bool stored_as_hash;
  } const cases[] = {
      {"plain", false, false},
      {"plain", true, true},
      // Without hashing, a password beginning with "$" would read as a hash.
      {"$dollar", false, true},
      {"", true, false},
  };
  for (const Case& c : cases) {
    AccountRecord carol = Named("carol", "old");
    ASSERT_TRUE(carol.SetNewPassword(c.password, c.hashed, &error)) << error;
    EXPECT_EQ(carol.HasPasswordHash(), c.stored_as_hash) << c.password;
    EXPECT_TRUE(carol.MatchLogin("carol", c.password)) << c.password;
    EXPECT_FALSE(carol.MatchLogin("carol", "old")) << c.password;
  }

  // An anonymous account keeps its empty password and takes any.
  AccountRecord anonymous = Named("anonymous", "");
  ASSERT_TRUE(anonymous.SetNewPassword("", true, &error));
  EXPECT_TRUE(anonymous.IsAnonymous());
  EXPECT_TRUE(anonymous.MatchLogin("anonymous", "guest@example.com"));
}

TEST(AccountRecordTest, SettersKeepFieldWidths) {
  AccountRecord record;
  record.SetName(std::string(150, 'n'));
  record.SetPassword(std::string(150, 'p'));
  record.SetRootFolder("/" + std::string(300, 'r'));
  record.SetGroup(std::string(120, 'g'));
  EXPECT_EQ(record.Name().size(), 99u);
  EXPECT_EQ(record.Password().size(), 99u);
  EXPECT_EQ(record.RootFolder().size(), 260u);
  EXPECT_EQ(record.Group().size(), 99u);
  record.Reset();
  EXPECT_EQ(record, AccountRecord());
  EXPECT_EQ(record.mRights, kFolderView | kFileRead);
  EXPECT_EQ(record.mDownloadCredits, -1);
}

TEST(AccountRecordTest, FoldersAreReplacedByNameAndSortedLongestFirst) {
  AccountRecord record;
  VirtualFolder music = Folder("/music", "/srv/a");
  record.AddOrReplaceFolder(music);
  record.AddOrReplaceFolder(Folder("/pub", "/srv/pub"));
  record.AddOrReplaceFolder(Folder("/Music", "/srv/b"));
  record.AddOrReplaceFolder(Folder("/music2", "/srv/c"));
  ASSERT_EQ(record.FolderCount(), 3u);
  EXPECT_EQ(record.FolderAt(0).Name(), "/Music");  // replaced in place
  EXPECT_EQ(record.FolderAt(0).Path(), "/srv/b");
  EXPECT_EQ(record.FolderAt(2).Name(), "/music2");
  EXPECT_EQ(record.FindFolder("/MUSIC2"), 2);
  EXPECT_EQ(record.FindFolder("/none"), -1);

  AccountRecord copy = record;  // deep copy
  copy.FolderAt(0).SetPath("/elsewhere");
  EXPECT_EQ(record.FolderAt(0).Path(), "/srv/b");

  record.AddOrReplaceFolder(Folder("/pub/music"));
  record.AddOrReplaceFolder(Folder("/abc"));
  record.SortVirtualFolders();
  std::vector<std::string> order;
  for (const VirtualFolder& folder : record.VirtualFolders()) order.push_back(folder.Name());
  // Longest first; of equal lengths the later one leads.
  EXPECT_EQ(order, (std::vector<std::string>{"/pub/music", "/music2", "/Music", "/abc", "/pub"}));
  record.RemoveFolder(0);
  EXPECT_EQ(record.FolderAt(0).Name(), "/music2");
}

TEST(VirtualFolderTest, ValidationChecksInOrderAndNormalisesTheName) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string path;
    bool use_max;
    const char* message;
  } cases[] = {
      {"", dir.Path(), false, "You have not given a name for the folder."},
      {"/a:b", dir.Path(), false, "The name contains some illegal characters. "},
      {"/a*", "", false, "The name contains some illegal characters. "},
      {"/music", "", false, "You have not given a path for the folder."},
      {"/music", "relative/path", false, "The path is not valid (ie. x:\\xxx or \\\\pc1\\shared)."},
      {"/music", "/", false, "The path is not valid (ie. x:\\xxx or \\\\pc1\\shared)."},
      {"/music", dir.File("missing"), false, "The path does not exist."},
      {"/music", dir.Path(), true, "Please specify a maximum size greater than 0."},
      {"/", dir.Path(), false, "The name you have specified is incorrect."},
      {"\\", dir.Path(), false, "The name you have specified is incorrect."},
      {"/..", dir.Path(), false, "The name you have specified is incorrect."},
  };
  for (const Case& c : cases) {
    VirtualFolder folder = Folder(c.name, c.path);
    folder.mUseMaxSize = c.use_max;
    std::string message;
    EXPECT_FALSE(folder.Validate(&message)) << c.name;
    EXPECT_EQ(message, c.message) << c.name << " " << c.path;
  }

  struct Good {
    const char* name;
    const char* stored;
  } good[] = {
      {"music\\live\\", "/music/live"},
      {"/pub/./x/../music/", "/pub/music"},
      {"ab", "/ab"},
      // Every other component is a name, as clients will write it.
      {"/pub/aux", "/pub/aux"},
      {"/con", "/con"},
      {"/.well-known", "/.well-known"},
      {"/pub/.../x", "/pub/.../x"},
      {"/songs  ", "/songs  "},
  };
  for (const Good& g : good) {
    VirtualFolder folder = Folder(g.name, dir.Path());
    std::string message;
    ASSERT_TRUE(folder.Validate(&message)) << g.name << ": " << message;
    EXPECT_EQ(folder.Name(), g.stored);
    EXPECT_EQ(folder.NameLength(), std::string(g.stored).size());
  }
}

class RecordValidationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AccountRecord staff = Named("staff", "");
    groups_.AddOrUpdate(staff);
    accounts_.AddOrUpdate(Named("taken", "pw"));
  }

  // A valid account to spoil one field at a time.
  AccountRecord Good() const {
    AccountRecord record = Named("bob", "pw");
    record.mUseRootFolder = true;
    record.SetRootFolder(dir_.Path());
    return record;
  }

  std::string Check(const AccountRecord& record, bool is_group = false,
                    std::string_view previous = "") {
    std::string message;
    const AccountStore& kind = is_group ? groups_ : accounts_;
    if (record.Validate(previous, is_group, kind, groups_, &message)) return "ok";
    return message;
  }

  TempDir dir_;
  AccountStore accounts_{dir_.File("accounts.dta")};
  AccountStore groups_{dir_.File("groups.dta")};
};

TEST_F(RecordValidationTest, NamesAndPasswords) {
  EXPECT_EQ(Check(Good()), "ok");
  AccountRecord r = Good();
  r.SetName("");
  EXPECT_EQ(Check(r), "You have not given a user login.");
  EXPECT_EQ(Check(r, true), "You have not given a group name.");
  for (const char* bad : {"bo b", "bob\xA3", "bob\xAC", "a/b", "a\\b", "x`y", "t\tab", "q?"}) {
    r.SetName(bad);
    EXPECT_EQ(Check(r),
              "The user login contains some illegal characters. Only A-Z, a-z, 0-9, '_', '-', "
              "'@' and '.' are allowed.")
        << bad;
  }
  r.SetName("Jos\xE9_b-o@b.x");
  EXPECT_EQ(Check(r), "ok");

  r = Good();
  for (const char* bad : {"p\"w", "p;w", "p>w", "p<w", "p\rw"}) {
    r.SetPassword(bad);
    EXPECT_EQ(Check(r), "The password contains some illegal characters.") << bad;
  }
  r.SetPassword(std::string(99, 'p'));
  EXPECT_EQ(Check(r), "The password contains some illegal characters.");
  r.SetPassword(std::string(98, 'p'));
  EXPECT_EQ(Check(r), "ok");
  r.SetPassword("");
  EXPECT_EQ(Check(r), "You have not given a password.");
  EXPECT_EQ(Check(r, true), "ok");  // groups have no password
  r.SetName("Anonymous");
  EXPECT_EQ(Check(r), "ok");
}

TEST_F(RecordValidationTest, GroupsFoldersAndLimits) {
  AccountRecord r = Good();
  r.mInGroup = true;
  r.SetGroup("nobody");
  EXPECT_EQ(Check(r), "Please select a group.");
  r.SetGroup("STAFF");
  EXPECT_EQ(Check(r), "ok");
  AccountRecord group = Named("staff", "");
  group.mInGroup = true;
  group.SetGroup("staff");
  EXPECT_EQ(Check(group, true, "staff"),
            "Please select a valid group (groups cannot be part of them selves).");

  r = Good();
  r.SetRootFolder("x");
  EXPECT_EQ(Check(r), "The root folder is not valid (ie. x:\\xxx or \\\\pc1\\shared).");
  r.SetRootFolder("srv/ftp");
  EXPECT_EQ(Check(r), "The root folder is not valid (ie. x:\\xxx or \\\\pc1\\shared).");
  r.SetRootFolder(dir_.File("missing"));
  EXPECT_EQ(Check(r), "The root folder does not exist.");
  r.mUseRootFolder = false;
  EXPECT_EQ(Check(r), "ok");

  r = Good();
  r.AddOrReplaceFolder(Folder("/music", dir_.File("gone")));
  EXPECT_EQ(Check(r), "The folder path for the '/music' virtual folder does not exist.");

  r = Good();
  r.mUseStartDir = true;
  EXPECT_EQ(Check(r), "You have not given a start directory.");
  r.mUseStartDir = false;
  r.SetStartDir("/pub?");
  EXPECT_EQ(Check(r), "The start directory contains some illegal characters. ");

  r = Good();
  r.SetName("Taken");
  EXPECT_EQ(Check(r), "The user/login already exists.");
  EXPECT_EQ(Check(r, false, "TAKEN"), "ok");  // editing that same account
  AccountRecord g = Named("Staff", "");
  EXPECT_EQ(Check(g, true), "The group name already exists.");

  struct Limit {
    bool AccountRecord::*use;
    const char* message;
  } limits[] = {
      {&AccountRecord::mUseMaxSize, "The maximum account size must be greater than 0."},
      {&AccountRecord::mUseMaxUploadSpeed, "The maximum upload speed must be greater than 0."},
      {&AccountRecord::mUseMaxDownloadSpeed, "The maximum download speed must be greater than 0."},
      {&AccountRecord::mUseMaxUsers, "The maximum users must be greater than 0."},
  };
  for (const Limit& limit : limits) {
    r = Good();
    r.*limit.use = true;
    EXPECT_EQ(Check(r), limit.message);
  }
}

}  // namespace
}  // namespace quillon::accounts
