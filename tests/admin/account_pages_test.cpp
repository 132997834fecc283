// The account and group pages, the virtual-folder and copy pages and the
// folder browser, driven request by request through the service's handler
// with templates that show each placeholder between bars.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "admin/folder_browser.h"
#include "admin/remote_admin_service.h"
#include "support/admin_fixture.h"

namespace quillon::admin {
namespace {

using http::EncodeUrl;
using http::EscapeHtml;
using testing::AdminAnswer;
using testing::WriteWholeFile;

class AccountPagesTest : public testing::AdminServiceFixture {
 protected:
  void SetUp() override {
    AdminServiceFixture::SetUp();
    Template("_accountgen.html", "<!--USER-->|<!--USEFILEWRITE-->|<!--GROUPOPTIONSLIST_INEDIT-->");
    Template("_groupgen.html", "<!--USER-->|<!--GROUPOPTIONSLIST_INEDIT-->");
    Template("_accountfolders.html", "<!--PATH-->|<!--VIRTUALFOLDEROPTIONSLIST-->");
    Template("_accountlimits.html", "<!--UPLOADSPEED-->|<!--DOWNLOADCREDITS-->|<!--CURRENTCREDITS-->");
    Template("_accountvf.html", "<!--MSG1-->|<!--NAME-->|<!--PATH-->|<!--USEFILEREAD-->|<!--VISIBLE-->");
    Template("_accountcopy.html", "<!--CURRENTNAME-->|<!--COPYMSG-->|<!--PROCESSACCOUNTCOPY-->");
    Template("_browse.html", "<!--FULLPATH-->|<!--FULLPATHJAVASCRIPT-->|<!--UP1-->|<!--LIST-->");
    std::filesystem::create_directories(dir_.File("root/pub"));
    std::filesystem::create_directories(dir_.File("other"));
  }

  // Opens a record of the list page for editing.
  void Edit(const std::string& name, const char* mode = "account") {
    ASSERT_TRUE(Post(std::string("/_processaccountselection?mode=") + mode, "selected=" + name + "&buttonedit=1")
                    .Redirects(Back("_editgen")));
  }
  accounts::AccountRecord Stored(const std::string& name) {
    accounts::AccountRecord record;
    EXPECT_TRUE(server_->Accounts().GetCopy(name, &record)) << name;
    return record;
  }
  // The folders tab's form without a root or start folder, plus `extra`.
  std::string FoldersForm(const std::string& extra) { return "path=&startdir=&" + extra; }
};

TEST_F(AccountPagesTest, TabsWriteTheWorkingCopyAndOneUpdateStoresAll) {
  Edit("bob");
  EXPECT_EQ(Get("/_editgen").body.substr(0, 12), "bob|checked|");
  // General tab: renamed and read-only; then the limits tab.
  EXPECT_TRUE(Post("/_processaccountgen", "user=robert&usefileread=1&usefolderview=1&tablimits.x=2")
                  .Redirects(Back("_editlimits")));
  EXPECT_EQ(Stored("bob").mRights, accounts::kAllRights);  // nothing stored yet
  EXPECT_TRUE(Post("/_processaccountlimits",
                   "maxsize=0&uploadspeed=64&useuploadspeed=1&downloadspeed=0&maxusers=0&uploadcredits=2&"
                   "downloadcredits=-3&currentcredits=50&buttonupdate=1")
                  .Redirects(Back("_accounts")));
  EXPECT_FALSE(server_->Accounts().Exists("bob"));
  const accounts::AccountRecord robert = Stored("robert");
  EXPECT_EQ(robert.mRights, accounts::kFileRead | accounts::kFolderView);
  EXPECT_TRUE(robert.mUseMaxUploadSpeed);
  EXPECT_EQ(robert.mMaxUploadSpeed, 64u);
  EXPECT_EQ(robert.mDownloadCredits, -3);
  EXPECT_EQ(robert.Password(), "secret");  // kept: "changepass" was not sent
  EXPECT_TRUE(std::filesystem::exists(dir_.File("config/accounts.dta")));

  // A new account needs its password; the cancel leaves through the list page.
  EXPECT_TRUE(Post("/_processaccountselection?mode=account", "buttonadd=1").Redirects(Back("_editgen")));
  EXPECT_TRUE(Post("/_processaccountgen", "user=carol&buttonupdate=1")
                  .Redirects(Error("You%20have%20not%20given%20a%20password.")));
  EXPECT_TRUE(Post("/_processaccountgen", "user=carol&buttoncancel=1").Redirects(Back("_accounts")));
  EXPECT_TRUE(Post("/_processaccountgen", "user=carol&changepass=1&pass=pw&buttonupdate=1").Redirects(Back("_accounts")));
  EXPECT_EQ(Stored("carol").Password(), "pw");

  EXPECT_TRUE(Post("/_processaccountselection?mode=account", "buttonedit=1")
                  .Redirects(Error("Please%20select%20an%20account/group%20from%20the%20list.")));
  EXPECT_TRUE(Post("/_processaccountselection?mode=account", "selected=nobody&buttonedit=1")
                  .Redirects(Error("Unable%20to%20retrieve%20account.")));
  EXPECT_TRUE(Post("/_processaccountselection?mode=account", "selected=carol&buttondelete=1")
                  .Redirects(Back("_accounts")));
  EXPECT_FALSE(server_->Accounts().Exists("carol"));
  EXPECT_TRUE(server_->Accounts().Load());  // the deletion was saved at once
  EXPECT_FALSE(server_->Accounts().Exists("carol"));
  EXPECT_TRUE(server_->Accounts().Exists("robert"));
}

TEST_F(AccountPagesTest, VirtualFoldersChangeOnlyTheWorkingCopyUntilUpdate) {
  Edit("bob");
  const std::string pub = dir_.File("root/pub");
  EXPECT_TRUE(Post("/_processaccountfolders", FoldersForm("buttonadd=1"))
                  .Redirects("_editvf?id=" + id_ + "&msg1=Creating%20New%20Virtual%20Folder..."));
  EXPECT_TRUE(Post("/_processaccountvf", "originalname=&name=pub&path=" + pub + "&maxsize=0&usefileread=1&buttonok=1")
                  .Redirects(Back("_editfolders")));
  EXPECT_EQ(Get("/_editfolders").body, "|<option value=\"/pub\">/pub</option>\r\n");
  EXPECT_TRUE(Post("/_processaccountfolders", FoldersForm("selected=/pub&buttonedit=1"))
                  .Redirects("_editvf?id=" + id_ + "&name=%2Fpub&msg1=Editing%20Virtual%20Folder%20'%2Fpub'..."));
  EXPECT_EQ(Get("/_editvf?name=%2Fpub&msg1=Editing").body, "Editing|/pub|" + pub + "|checked|");
  EXPECT_TRUE(Post("/_processaccountvf", "originalname=/gone&name=/x&path=" + pub + "&maxsize=0&buttonok=1")
                  .Redirects(Error("Unable%20to%20update%20the%20virtual%20folder.")));
  EXPECT_TRUE(Post("/_processaccountvf", "name=/x&path=/no/such/folder&maxsize=0&buttonok=1")
                  .Redirects(Error("The%20path%20does%20not%20exist.")));
  EXPECT_TRUE(Post("/_processaccountvf", "name=/x&path=x").Redirects(Back("_editfolders")));  // no OK: cancel

  EXPECT_TRUE(Post("/_processaccountfolders", FoldersForm("buttonupdate=1")).Redirects(Back("_accounts")));
  ASSERT_EQ(Stored("bob").FolderCount(), 1u);
  Edit("bob");
  EXPECT_TRUE(Post("/_processaccountfolders", FoldersForm("buttondelete=1"))
                  .Redirects(Error("Please%20select%20a%20virtual%20folder.")));
  EXPECT_TRUE(Post("/_processaccountfolders", FoldersForm("selected=/pub&buttondelete=1")).Redirects(Back("_editfolders")));
  EXPECT_EQ(Stored("bob").FolderCount(), 1u);
  EXPECT_TRUE(Post("/_processaccountfolders", FoldersForm("buttonupdate=1")).Redirects(Back("_accounts")));
  EXPECT_EQ(Stored("bob").FolderCount(), 0u);
}

TEST_F(AccountPagesTest, TheFixedFolderHoldsForPathsRootsAndTheBrowser) {
  const std::string fixed = dir_.File("root");
  std::filesystem::create_symlink("/etc", dir_.File("root/out"));
  EXPECT_TRUE(FolderBrowser::Allows("", "/etc"));
  EXPECT_TRUE(FolderBrowser::Allows(fixed, fixed));
  EXPECT_TRUE(FolderBrowser::Allows(fixed, fixed + "/pub"));
  EXPECT_TRUE(FolderBrowser::Allows(fixed, fixed + "//pub/"));
  // Dot steps are refused, not normalised: "link/.." is not where the kernel goes.
  EXPECT_FALSE(FolderBrowser::Allows(fixed, fixed + "/pub/."));
  EXPECT_FALSE(FolderBrowser::Allows(fixed, fixed + "/pub/../pub"));
  EXPECT_TRUE(FolderBrowser::Allows("", "/srv/../etc"));  // no limit: any folder
  EXPECT_TRUE(FolderBrowser::Allows(fixed, fixed + "/pub/new"));  // not made yet
  EXPECT_FALSE(FolderBrowser::Allows(fixed, fixed + "2"));
  EXPECT_FALSE(FolderBrowser::Allows(fixed, fixed + "."));
  EXPECT_FALSE(FolderBrowser::Allows(fixed, "/etc"));
  EXPECT_FALSE(FolderBrowser::Allows(fixed, fixed + "/../../etc"));
  EXPECT_FALSE(FolderBrowser::Allows(fixed, fixed + "/out"));
  EXPECT_FALSE(FolderBrowser::Allows(fixed, fixed + "/out/passwd"));
  EXPECT_FALSE(FolderBrowser::Allows("/srv/ftp", "/SRV/ftp/pub"));  // names are case-sensitive

  ChangeSettings([&fixed](settings::ServerSettings& s) {
    s.mRAUseFixToDir = true;
    s.mRAFixToDir = fixed + "/";
  });
  Edit("bob");
  EXPECT_TRUE(Post("/_processaccountvf", "name=/o&path=" + dir_.File("other") + "&maxsize=0&buttonok=1")
                  .Redirects(Error("You%20are%20not%20allowed%20access%20to%20that%20path.")));
  EXPECT_TRUE(Post("/_processaccountfolders", "path=" + dir_.File("other") + "&userootfolder=1&startdir=&buttonupdate=1")
                  .Redirects(Error("You%20are%20not%20allowed%20access%20to%20the%20root%20path.")));
  // The browser started outside shows the fixed folder, its sub-folders and up link.
  const std::string page = Get("/_browse?start=%2Fetc").body;
  EXPECT_EQ(page.rfind(fixed + "/|", 0), 0u) << page;
  EXPECT_NE(page.find("<a href=\"_browse?id=" + id_ + "&start=" + EncodeUrl(fixed + "/pub") + "\">pub</a><br>"),
            std::string::npos);
  EXPECT_EQ(Get("/_browse?start=" + EncodeUrl(fixed + "/..")).body, page);
}

// "<fixed>/<link>/.." reads as the fixed folder itself, but the kernel takes
// it to the parent of the link's target: no edit, copy or group may store it.
TEST_F(AccountPagesTest, TheFixedFolderCannotBeLeftThroughTheParentOfALink) {
  const std::string fixed = dir_.File("root");
  std::filesystem::create_directories(dir_.File("other/inner"));
  std::filesystem::create_symlink(dir_.File("other/inner"), dir_.File("root/lnk"));
  const std::string escape = fixed + "/lnk/..";  // the kernel reaches "other" through it
  ASSERT_TRUE(std::filesystem::equivalent(escape, dir_.File("other")));
  accounts::AccountRecord staff;
  staff.SetName("staff");
  server_->Groups().AddOrUpdate(staff);
  ChangeSettings([&fixed](settings::ServerSettings& s) {
    s.mRAUseFixToDir = true;
    s.mRAFixToDir = fixed;
  });
  const std::string root_refused = Error("You%20are%20not%20allowed%20access%20to%20the%20root%20path.");
  const std::string path_refused = Error("You%20are%20not%20allowed%20access%20to%20that%20path.");
  const auto folders_form = [](const std::string& root) {
    return "path=" + EncodeUrl(root) + "&userootfolder=1&startdir=&buttonupdate=1";
  };
  const auto folder_form = [](const std::string& path) {
    return "originalname=&name=/v&path=" + EncodeUrl(path) + "&maxsize=0&buttonok=1";
  };

  // Edits through the folders tab and the virtual-folder page.
  struct EditCase {
    const char* what;
    const char* mode;
    const char* name;
    const char* process;
    std::string form;
    std::string answer;
  };
  const EditCase edits[] = {
      {"account root", "account", "bob", "/_processaccountfolders", folders_form(escape), root_refused},
      {"account root, dot", "account", "bob", "/_processaccountfolders", folders_form(fixed + "/pub/."),
       root_refused},
      {"group root", "group", "staff", "/_processaccountfolders", folders_form(escape), root_refused},
      {"virtual folder", "account", "bob", "/_processaccountvf", folder_form(escape), path_refused},
      {"group virtual folder", "group", "staff", "/_processaccountvf", folder_form(fixed + "/pub/../lnk/.."),
       path_refused},
      {"account root inside", "account", "bob", "/_processaccountfolders", folders_form(fixed + "/pub"),
       Back("_accounts")},
      {"group root inside", "group", "staff", "/_processaccountfolders", folders_form(fixed + "/pub/"),
       Back("_groups")},
      {"virtual folder inside", "account", "bob", "/_processaccountvf", folder_form(fixed + "/pub"),
       Back("_editfolders")},
  };
  for (const EditCase& edit : edits) {
    Edit(edit.name, edit.mode);
    EXPECT_TRUE(Post(edit.process, edit.form).Redirects(edit.answer)) << edit.what;
  }
  accounts::AccountRecord group;
  ASSERT_TRUE(server_->Groups().GetCopy("staff", &group));
  EXPECT_EQ(group.RootFolder(), fixed + "/pub/");
  EXPECT_EQ(Stored("bob").RootFolder(), fixed + "/pub");
  Edit("bob");
  EXPECT_TRUE(Post("/_processaccountvf", folder_form(fixed + "/pub")).Redirects(Back("_editfolders")));
  EXPECT_TRUE(Post("/_processaccountfolders", folders_form(fixed)).Redirects(Back("_accounts")));
  ASSERT_EQ(Stored("bob").FolderCount(), 1u);
  EXPECT_EQ(Stored("bob").FolderAt(0).Path(), fixed + "/pub");

  // Copies of records stored before the limit (or by the local program).
  struct CopyCase {
    const char* what;
    bool account;
    std::string root;
    std::string folder_path;  // "" for none
    std::string answer;
  };
  const CopyCase copies[] = {
      {"account rooted through the link", true, escape, "", root_refused},
      {"account with a folder through the link", true, fixed, escape, path_refused},
      {"account with a folder outside", true, fixed, dir_.File("other"), path_refused},
      {"group rooted through the link", false, escape, "", root_refused},
      {"group with a folder through the link", false, fixed, escape, path_refused},
      {"account inside", true, fixed + "/pub", fixed + "/pub", Back("_accounts")},
      {"group inside", false, fixed, fixed + "/pub", Back("_groups")},
  };
  int copied = 0;
  for (const CopyCase& copy : copies) {
    accounts::AccountRecord source;
    source.SetName("source");
    source.SetPassword("pw");
    source.mUseRootFolder = true;
    source.SetRootFolder(copy.root);
    if (!copy.folder_path.empty()) {
      accounts::VirtualFolder folder;
      folder.SetName("/v");
      folder.SetPath(copy.folder_path);
      source.AddOrReplaceFolder(folder);
    }
    accounts::AccountStore& store = copy.account ? server_->Accounts() : server_->Groups();
    ASSERT_TRUE(store.AddOrUpdate(source));
    const std::string mode = copy.account ? "account" : "group";
    ASSERT_TRUE(Post("/_processaccountselection?mode=" + mode, "selected=source&buttoncopy=1")
                    .Redirects(Back("_editcopy")));
    const std::string name = "copy" + std::to_string(++copied);
    EXPECT_TRUE(Post("/_processaccountcopy", "newname=" + name).Redirects(copy.answer)) << copy.what;
    EXPECT_EQ(store.Exists(name), copy.answer.rfind("_error", 0) != 0) << copy.what;
    store.Delete("source");
  }
}

TEST_F(AccountPagesTest, TheBrowserEscapesFolderNamesForMarkupScriptsAndLinks) {
  // No "/" in a name: "</script>" is checked on the escaping alone below.
  const std::string odd = "a\"b'c<b>&\\x y#%";
  std::filesystem::create_directories(dir_.File("other") + "/" + odd);
  const std::string page = Get("/_browse?start=" + EncodeUrl(dir_.File("other") + "/" + odd)).body;
  const std::string shown = dir_.File("other") + "/" + odd + "/";
  EXPECT_EQ(page.rfind(EscapeHtml(shown) + "|" + EscapeJavaScript(shown) + "|_browse?id=" + id_ + "&start=" +
                           EncodeUrl(shown + "..") + "|",
                       0),
            0u)
      << page;
  EXPECT_EQ(EscapeJavaScript("a\"b'c</script>&\\x\n"), "a\\x22b\\x27c\\x3C/script\\x3E\\x26\\x5Cx\\x0A");
  const std::string listing = Get("/_browse?start=" + EncodeUrl(dir_.File("other"))).body;
  EXPECT_NE(listing.find("start=" + EncodeUrl(dir_.File("other") + "/" + odd) + "\">" + EscapeHtml(odd) + "</a>"),
            std::string::npos);
  // An empty start lists the file-system root.
  EXPECT_EQ(Get("/_browse?start=").body.rfind("/|/|_browse?id=" + id_ + "&start=%2F..|", 0), 0u);
  EXPECT_EQ(NormaliseDiskPath("x//y/../z/"), "/x/z");
}

TEST_F(AccountPagesTest, PathsAndNamesShowWithAmpersandsAndQuotesEscaped) {
  const std::string odd = dir_.File("root/R&D's <files>");
  std::filesystem::create_directories(odd);
  accounts::AccountRecord bob = Stored("bob");
  bob.SetRootFolder(odd);
  accounts::VirtualFolder folder;
  folder.SetName("/r&d");
  folder.SetPath(odd);
  bob.AddOrReplaceFolder(folder);
  ASSERT_TRUE(server_->Accounts().AddOrUpdate(bob));
  Edit("bob");
  const std::string shown = dir_.File("root/R&amp;D&#39;s &lt;files&gt;");
  struct Shown {
    std::string page;
    std::string text;
  };
  const Shown pages[] = {
      {"/_editfolders", shown + "|<option value=\"/r&amp;d\">/r&amp;d</option>\r\n"},
      {"/_editvf?name=%2Fr%26d&msg1=Editing%20'%2Fr%26d'", "Editing &#39;/r&amp;d&#39;|/r&amp;d|" + shown + "|"},
      {"/_browse?start=" + EncodeUrl(dir_.File("root")),
       "\">R&amp;D&#39;s &lt;files&gt;</a><br>"},
  };
  for (const Shown& page : pages) {
    const std::string body = Get(page.page).body;
    EXPECT_NE(body.find(page.text), std::string::npos) << page.page << "\n" << body;
  }
}

TEST_F(AccountPagesTest, CopiesTakeACheckedNewName) {
  EXPECT_TRUE(Post("/_processaccountselection?mode=account", "selected=BOB&buttoncopy=1").Redirects(Back("_editcopy")));
  EXPECT_EQ(Get("/_editcopy").body, "bob|Copying account 'bob'...|_processaccountcopy?id=" + id_);
  EXPECT_TRUE(Post("/_processaccountcopy", "newname=bo+b")
                  .Redirects(Error("The%20user/login%20contains%20some%20illegal%20characters.%20Only%20A-Z,%20a-z,"
                                   "%200-9,%20'_',%20'-',%20'@'%20and%20'.'%20are%20allowed.")));
  EXPECT_TRUE(Post("/_processaccountcopy", "newname=").Redirects(Error("Please%20specify%20a%20valid%20user/login.")));
  EXPECT_TRUE(Post("/_processaccountcopy", "newname=Bob").Redirects(Error("The%20user/login%20already%20exists.")));
  EXPECT_TRUE(Post("/_processaccountcopy", "newname=bobby").Redirects(Back("_accounts")));
  EXPECT_EQ(Stored("bobby").RootFolder(), Stored("bob").RootFolder());
  // The copy source is used up.
  EXPECT_TRUE(Post("/_processaccountcopy", "newname=bobby2").Redirects(Error("Unable%20to%20retrieve%20group.")));
}

TEST_F(AccountPagesTest, GroupsListOtherGroupsAndAccountsKeepLiveCredits) {
  for (const char* name : {"staff", "guests", "admins"}) {
    accounts::AccountRecord group;
    group.SetName(name);
    server_->Groups().AddOrUpdate(group);
  }
  Edit("guests", "group");
  // The group's own name is left out; the group it is in comes first, selected.
  EXPECT_EQ(Get("/_editgen").body,
            "guests|<option value=\"\"></option>\r\n<option value=\"admins\">admins</option>\r\n"
            "<option value=\"staff\">staff</option>\r\n");
  EXPECT_TRUE(Post("/_processaccountgen", "user=guests&group=staff&ingroup=1&buttonupdate=1").Redirects(Back("_groups")));
  Edit("guests", "group");
  EXPECT_EQ(Get("/_editgen").body.substr(0, 52), "guests|<option value=\"staff\" selected>staff</option>");

  ChangeSettings([](settings::ServerSettings&) {});
  accounts::AccountRecord bob = Stored("bob");
  bob.mUseCredits = true;
  bob.mCurrentCredits = 100;
  server_->Accounts().AddOrUpdate(bob);
  port_ = Start();
  auto client = LoggedIn();
  ASSERT_TRUE(server_->Auth().SetLiveCredits("bob", 555));
  Edit("bob");
  EXPECT_EQ(Get("/_editlimits").body, "0|-1|555");
  EXPECT_TRUE(Post("/_processaccountlimits",
                   "maxsize=0&uploadspeed=0&downloadspeed=0&maxusers=0&uploadcredits=1&downloadcredits=-1&"
                   "currentcredits=777&usecredits=1&buttonupdate=1")
                  .Redirects(Back("_accounts")));
  std::uint32_t live = 0;
  ASSERT_TRUE(server_->Auth().GetLiveCredits("bob", &live));
  EXPECT_EQ(live, 777u);
}

}  // namespace
}  // namespace quillon::admin
