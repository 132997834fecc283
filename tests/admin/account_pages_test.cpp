// The account and group pages, the virtual-folder and copy pages and the
// folder browser, driven request by request through the service's handler
// with templates that show each placeholder between bars.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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
    Template("_accountgen.html", "<!--USER-->|<!--USEFILEWRITE-->|<!--GROUPOPTIONSLIST_INEDIT-->"
             "<!--USERERROR--><!--PASSERROR--><!--GROUPERROR-->");
    Template("_groupgen.html", "<!--USER-->|<!--GROUPOPTIONSLIST_INEDIT--><!--USERERROR--><!--GROUPERROR-->");
    Template("_accountfolders.html", "<!--PATH-->|<!--VIRTUALFOLDEROPTIONSLIST-->"
             "<!--PATHERROR--><!--STARTDIRERROR--><!--SELECTEDERROR-->");
    Template("_groupfolders.html", "<!--PATH--><!--PATHERROR--><!--SELECTEDERROR-->");
    Template("_accountlimits.html", "<!--UPLOADSPEED-->|<!--DOWNLOADCREDITS-->|<!--CURRENTCREDITS-->"
             "<!--MAXSIZEERROR--><!--UPLOADSPEEDERROR--><!--DOWNLOADSPEEDERROR--><!--MAXUSERSERROR-->"
             "<!--UPLOADCREDITSERROR--><!--DOWNLOADCREDITSERROR--><!--CURRENTCREDITSERROR-->");
    Template("_accountvf.html", "<!--MSG1-->|<!--NAME-->|<!--PATH-->|<!--USEFILEREAD-->|<!--VISIBLE-->|<!--MAXSIZE-->"
             "<!--NAMEERROR--><!--PATHERROR--><!--MAXSIZEERROR-->");
    Template("_groupvf.html", "<!--PATHERROR-->");
    Template("_accountcopy.html", "<!--CURRENTNAME-->|<!--COPYMSG-->|<!--PROCESSACCOUNTCOPY-->");
    Template("_browse.html", "<!--FULLPATH-->|<!--FULLPATHJAVASCRIPT-->|<!--UP1-->|<!--LIST-->");
    Template("_confirm.html",
             "<!--CONFIRMTITLE-->|<!--CONFIRMMESSAGE-->|<!--CONFIRMACTION-->|<!--CONFIRMFIELDS-->|"
             "<!--CONFIRMBUTTONNAME-->|<!--CONFIRMBUTTON-->|<!--CONFIRMCANCEL-->");
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

  // A limit whose box is off and whose field the page disabled (not sent)
  // keeps its value; a limit that is on must still send its field.
  Edit("robert");
  EXPECT_TRUE(Post("/_processaccountlimits",
                   "maxsize=0&downloadspeed=0&maxusers=0&uploadcredits=2&downloadcredits=-3&currentcredits=50&"
                   "buttonupdate=1")
                  .Redirects(Back("_accounts")));
  EXPECT_FALSE(Stored("robert").mUseMaxUploadSpeed);
  EXPECT_EQ(Stored("robert").mMaxUploadSpeed, 64u);
  Edit("robert");
  EXPECT_FALSE(Post("/_processaccountlimits",
                    "useuploadspeed=1&maxsize=0&downloadspeed=0&maxusers=0&uploadcredits=2&downloadcredits=-3&"
                    "currentcredits=50&buttonupdate=1")
                   .Redirects(Back("_accounts")));
  EXPECT_FALSE(Stored("robert").mUseMaxUploadSpeed);

  // A new account needs its password; the cancel leaves through the list page.
  EXPECT_TRUE(Post("/_processaccountselection?mode=account", "buttonadd=1").Redirects(Back("_editgen")));
  EXPECT_TRUE(Post("/_processaccountgen", "user=carol&buttonupdate=1")
                  .ShowsBeside("pass", "You have not given a password."));
  EXPECT_TRUE(Post("/_processaccountgen", "user=carol&buttoncancel=1").Redirects(Back("_accounts")));
  EXPECT_TRUE(Post("/_processaccountgen", "user=carol&changepass=1&pass=pw&buttonupdate=1").Redirects(Back("_accounts")));
  EXPECT_EQ(Stored("carol").Password(), "pw");

  EXPECT_TRUE(Post("/_processaccountselection?mode=account", "buttonedit=1")
                  .Redirects(Error("Please select an account/group from the list.")));
  EXPECT_TRUE(Post("/_processaccountselection?mode=account", "selected=nobody&buttonedit=1")
                  .Redirects(Error("Unable to retrieve account.")));
  EXPECT_TRUE(Post("/_processaccountselection?mode=account", "selected=carol&buttondelete=1&confirmed=1")
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
  EXPECT_EQ(Get("/_editvf?name=%2Fpub&msg1=Editing").body, "Editing|/pub|" + pub + "|checked||0");
  EXPECT_TRUE(Post("/_processaccountvf", "originalname=/gone&name=/x&path=" + pub + "&maxsize=0&buttonok=1")
                  .Redirects(Error("Unable to update the virtual folder.")));
  // A refusal shows the form again as typed, the message beside its field.
  const AdminAnswer missing = Post("/_processaccountvf", "name=/x&path=/no/such/folder&maxsize=0&usefileread=1&buttonok=1");
  EXPECT_TRUE(missing.ShowsBeside("path", "The path does not exist.")) << missing.body;
  EXPECT_EQ(missing.body.substr(0, 30), "|/x|/no/such/folder|checked||0");
  EXPECT_TRUE(Post("/_processaccountvf", "name=/x&path=" + pub + "&maxsize=&usemaxsize=1&buttonok=1")
                  .ShowsBeside("maxsize", "Please specify a maximum size greater than 0."));
  EXPECT_TRUE(Post("/_processaccountvf", "name=&path=" + pub + "&maxsize=0&buttonok=1")
                  .ShowsBeside("name", "You have not given a name for the folder."));
  EXPECT_TRUE(Post("/_processaccountvf", "name=/x&path=x").Redirects(Back("_editfolders")));  // no OK: cancel
  // "Limit the size" off with its field disabled: the edited folder keeps its size.
  ASSERT_TRUE(Post("/_processaccountvf", "originalname=/pub&name=/pub&path=" + pub + "&maxsize=7&usemaxsize=1&buttonok=1")
                  .Redirects(Back("_editfolders")));
  ASSERT_TRUE(Post("/_processaccountvf", "originalname=/pub&name=/pub&path=" + pub + "&usefileread=1&buttonok=1")
                  .Redirects(Back("_editfolders")));
  EXPECT_EQ(Get("/_editvf?name=%2Fpub").body, "|/pub|" + pub + "|checked||7");

  // A second folder of a name the record has is refused, in any case, new or renamed onto it.
  const std::string taken = "Sorry that folder name already exists, please choose another name.";
  EXPECT_TRUE(Post("/_processaccountvf", "originalname=&name=/PUB&path=" + dir_.File("root") + "&maxsize=0&buttonok=1")
                  .ShowsBeside("name", taken));
  EXPECT_TRUE(Post("/_processaccountvf", "originalname=&name=/two&path=" + pub + "&maxsize=0&buttonok=1")
                  .Redirects(Back("_editfolders")));
  EXPECT_TRUE(Post("/_processaccountvf", "originalname=/two&name=/pub&path=" + pub + "&maxsize=0&buttonok=1")
                  .ShowsBeside("name", taken));
  EXPECT_TRUE(Post("/_processaccountvf", "originalname=/two&name=/Two&path=" + pub + "&maxsize=0&buttonok=1")
                  .Redirects(Back("_editfolders")));  // its own name in another case
  EXPECT_EQ(Get("/_editfolders").body,
            "|<option value=\"/pub\">/pub</option>\r\n<option value=\"/Two\">/Two</option>\r\n");
  EXPECT_EQ(Get("/_editvf?name=%2Fpub").body, "|/pub|" + pub + "|checked||7");  // the first is unchanged
  ASSERT_TRUE(Post("/_processaccountfolders", FoldersForm("selected=/Two&buttondelete=1&confirmed=1"))
                  .Redirects(Back("_editfolders")));

  EXPECT_TRUE(Post("/_processaccountfolders", FoldersForm("buttonupdate=1")).Redirects(Back("_accounts")));
  ASSERT_EQ(Stored("bob").FolderCount(), 1u);
  Edit("bob");
  EXPECT_TRUE(Post("/_processaccountfolders", FoldersForm("buttondelete=1"))
                  .Redirects(Error("Please select a virtual folder.")));
  EXPECT_TRUE(Post("/_processaccountfolders", FoldersForm("selected=/pub&buttondelete=1&confirmed=1"))
                  .Redirects(Back("_editfolders")));
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
                  .ShowsBeside("path", "You are not allowed access to that path."));
  EXPECT_TRUE(Post("/_processaccountfolders", "path=" + dir_.File("other") + "&userootfolder=1&startdir=&buttonupdate=1")
                  .ShowsBeside("path", "You are not allowed access to the root path."));
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
  const std::string root_refused = Error("You are not allowed access to the root path.");
  const std::string path_refused = Error("You are not allowed access to that path.");
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
    const AdminAnswer reply = Post(edit.process, edit.form);
    if (edit.answer == path_refused && std::string_view(edit.process) == "/_processaccountvf") {
      EXPECT_TRUE(reply.ShowsBeside("path", "You are not allowed access to that path.")) << edit.what;
    } else if (edit.answer == root_refused) {
      EXPECT_TRUE(reply.ShowsBeside("path", "You are not allowed access to the root path.")) << edit.what;
    } else {
      EXPECT_TRUE(reply.Redirects(edit.answer)) << edit.what;
    }
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
                  .Redirects(Error("The user/login contains some illegal characters. Only A-Z, a-z,"
                                   " 0-9, '_', '-', '@' and '.' are allowed.")));
  EXPECT_TRUE(Post("/_processaccountcopy", "newname=").Redirects(Error("Please specify a valid user/login.")));
  EXPECT_TRUE(Post("/_processaccountcopy", "newname=Bob").Redirects(Error("The user/login already exists.")));
  EXPECT_TRUE(Post("/_processaccountcopy", "newname=bobby").Redirects(Back("_accounts")));
  EXPECT_EQ(Stored("bobby").RootFolder(), Stored("bob").RootFolder());
  // The copy source is used up.
  EXPECT_TRUE(Post("/_processaccountcopy", "newname=bobby2").Redirects(Error("Unable to retrieve group.")));
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

TEST_F(AccountPagesTest, TheTableNarrowsByFilterAndShowsEachRecordsFacts) {
  Template("_accounts.html", "<!--FILTER-->|<!--RECORDSTABLE-->");
  Template("_groups.html", "<!--RECORDSTABLE-->");
  accounts::AccountRecord bob = Stored("bob");
  bob.SetRootFolder(dir_.File("root/R&D"));
  bob.mUseMaxSize = true;
  bob.mMaxSize = 2;
  bob.mUseCredits = true;
  bob.mCurrentCredits = 40;
  ASSERT_TRUE(server_->Accounts().AddOrUpdate(bob));
  std::filesystem::create_directories(dir_.File("root/R&D"));
  WriteWholeFile(dir_.File("root/R&D/a.bin"), std::string(512 * 1024, 'x'));
  const fileutil::FolderSizeCache::Hold hold = server_->Auth().Cache().Acquire(dir_.File("root/R&D"));
  ASSERT_TRUE(hold);
  bob.SetName("carol");
  bob.mUseRootFolder = false;
  bob.mUseMaxSize = false;
  bob.mUseCredits = false;
  bob.mEnabled = false;
  ASSERT_TRUE(server_->Accounts().AddOrUpdate(bob));

  const std::string all = Get("/_accounts").body;
  EXPECT_NE(all.find("<th scope=\"row\">bob</th><td>Yes</td><td>-</td><td class=\"path\">" +
                     dir_.File("root/R&amp;D") + "</td><td>512 KB (25%)</td><td>2 MB</td><td>40</td><td>0</td><td>-</td>"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("<th scope=\"row\">carol</th><td>No</td><td>-</td><td class=\"path\">-</td><td>-</td>"
                     "<td>None</td><td>-</td><td>0</td><td>-</td>"),
            std::string::npos)
      << all;
  // The filter narrows the rows and comes back escaped in its box.
  const std::string narrowed = Get("/_accounts?filter=CAR%22").body;
  EXPECT_EQ(narrowed.substr(0, narrowed.find('|')), "CAR&quot;");
  EXPECT_NE(narrowed.find("No accounts match the filter."), std::string::npos);
  const std::string carol = Get("/_accounts?filter=CAR").body;
  EXPECT_NE(carol.find("value=\"carol\""), std::string::npos);
  EXPECT_EQ(carol.find("value=\"bob\""), std::string::npos);
  // Groups have no sessions or last login columns.
  server_->Groups().AddOrUpdate(Stored("carol"));
  EXPECT_NE(Get("/_groups").body.find("<td>None</td><td>-</td></tr>"), std::string::npos);
}

TEST_F(AccountPagesTest, BulkChangesTheCheckedRecordsOnlyAndSaves) {
  for (const char* name : {"carol", "dave", "erin"}) {
    accounts::AccountRecord record = Stored("bob");
    record.SetName(name);
    ASSERT_TRUE(server_->Accounts().AddOrUpdate(record));
  }
  EXPECT_TRUE(Post("/_processrecordbulk?mode=account", "buttondisable=1")
                  .Redirects(Error("Please select one or more accounts from the list.")));
  EXPECT_TRUE(Post("/_processrecordbulk?mode=account", "pick=carol&pick=DAVE&pick=gone&buttondisable=1")
                  .Redirects(Back("_accounts")));
  EXPECT_TRUE(server_->Accounts().Load());  // saved at once
  EXPECT_FALSE(Stored("carol").mEnabled);
  EXPECT_FALSE(Stored("dave").mEnabled);
  EXPECT_TRUE(Stored("erin").mEnabled);
  EXPECT_TRUE(Stored("bob").mEnabled);
  EXPECT_TRUE(Post("/_processrecordbulk?mode=account", "pick=dave&buttonenable=1").Redirects(Back("_accounts")));
  EXPECT_TRUE(Stored("dave").mEnabled);
  // Cancel and a form without a button change nothing.
  EXPECT_TRUE(Post("/_processrecordbulk?mode=account", "pick=erin&buttoncancel=1").Redirects(Back("_accounts")));
  EXPECT_TRUE(Post("/_processrecordbulk?mode=account", "pick=erin").Redirects(Back("_accounts")));
  EXPECT_TRUE(server_->Accounts().Exists("erin"));
  EXPECT_TRUE(Post("/_processrecordbulk?mode=account", "pick=erin&pick=carol&buttondelete=1&confirmed=1")
                  .Redirects(Back("_accounts")));
  EXPECT_TRUE(server_->Accounts().Load());
  EXPECT_FALSE(server_->Accounts().Exists("erin"));
  EXPECT_FALSE(server_->Accounts().Exists("carol"));
  EXPECT_TRUE(server_->Accounts().Exists("dave"));
  server_->Groups().AddOrUpdate(Stored("dave"));
  EXPECT_TRUE(Post("/_processrecordbulk?mode=group", "pick=dave&buttondisable=1").Redirects(Back("_groups")));
  accounts::AccountRecord group;
  ASSERT_TRUE(server_->Groups().GetCopy("dave", &group));
  EXPECT_FALSE(group.mEnabled);
  EXPECT_TRUE(Stored("dave").mEnabled);  // the account of that name is untouched
}

TEST_F(AccountPagesTest, LimitsTabAndStatusShowTheUsedShareOfTheAllocation) {
  Template("_accountlimits.html", "<!--USEDSPACE-->");
  Template("_status.html", "<!--ALLOCATIONWARNINGS-->");
  Edit("bob");
  EXPECT_EQ(Get("/_editlimits").body, "Used: not measured yet (no allocation)");
  EXPECT_TRUE(Post("/_processaccountlimits",
                   "maxsize=1&usemaxsize=1&uploadspeed=0&downloadspeed=0&maxusers=0&uploadcredits=0&"
                   "downloadcredits=0&currentcredits=0&buttonupdate=1")
                  .Redirects(Back("_accounts")));
  WriteWholeFile(dir_.File("root/a.bin"), std::string(973 * 1024, 'x'));
  const fileutil::FolderSizeCache::Hold hold = server_->Auth().Cache().Acquire(dir_.File("root"));
  ASSERT_TRUE(hold);
  Edit("bob");
  EXPECT_EQ(Get("/_editlimits").body, "Used: 973 KB of 1 MB (95%)");
  EXPECT_EQ(Get("/_status").body,
            "<p class=\"notice error allocation\">Account 'bob' has used 95% of its allocation (973 KB of 1 MB).</p>\r\n");
  server_->Auth().Cache().SubtractBytes(hold, 100 * 1024);
  EXPECT_EQ(Get("/_status").body, "");  // 85%: no warning
}

}  // namespace
}  // namespace quillon::admin

namespace quillon::admin {
namespace {

// A hidden field of the confirmation page.
std::string Hidden(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + value + "\">\r\n";
}

// Without script a deletion posts no confirmation: the page asks, carrying
// what it deletes, and only its own post (confirmed=1) deletes.
TEST_F(AccountPagesTest, DeletionsAskFirstAndOnlyTheConfirmedPostDeletes) {
  for (const char* name : {"carol", "dave"}) {
    accounts::AccountRecord record = Stored("bob");
    record.SetName(name);
    server_->Accounts().AddOrUpdate(record);
    server_->Groups().AddOrUpdate(record);
  }
  struct Case {
    const char* what;
    std::string path;
    std::string form;
    std::string page;  // the confirmation page expected
    bool account;
    std::vector<std::string> deleted;
  };
  const Case cases[] = {
      {"one account", "/_processaccountselection?mode=account", "selected=carol&buttondelete=1",
       "Deleting an Account|Are you sure you want to delete this account?|_processaccountselection?id=" + id_ +
           "&amp;mode=account|" + Hidden("selected", "carol") + "|buttondelete|Delete|_accounts?id=" + id_,
       true, {"carol"}},
      {"checked accounts", "/_processrecordbulk?mode=account", "pick=dave&pick=%3Cbob%3E&buttondelete=1",
       "Deleting Accounts|Are you sure you want to delete the selected accounts?|_processrecordbulk?id=" + id_ +
           "&amp;mode=account|" + Hidden("pick", "dave") + Hidden("pick", "&lt;bob&gt;") +
           "|buttondelete|Delete|_accounts?id=" + id_,
       true, {"dave"}},
      {"one group", "/_processaccountselection?mode=group", "selected=carol&buttondelete=1",
       "Deleting a Group|Are you sure you want to delete this group?|_processaccountselection?id=" + id_ +
           "&amp;mode=group|" + Hidden("selected", "carol") + "|buttondelete|Delete|_groups?id=" + id_,
       false, {"carol"}},
      {"checked groups", "/_processrecordbulk?mode=group", "pick=dave&buttondelete=1",
       "Deleting Groups|Are you sure you want to delete the selected groups?|_processrecordbulk?id=" + id_ +
           "&amp;mode=group|" + Hidden("pick", "dave") + "|buttondelete|Delete|_groups?id=" + id_,
       false, {"dave"}},
  };
  for (const Case& c : cases) {
    accounts::AccountStore& store = c.account ? server_->Accounts() : server_->Groups();
    EXPECT_EQ(Post(c.path, c.form).body, c.page) << c.what;
    EXPECT_FALSE(Post(c.path, c.form + "&confirmed=").Redirects(Back(c.account ? "_accounts" : "_groups")));
    for (const std::string& name : c.deleted) EXPECT_TRUE(store.Exists(name)) << c.what << ": nothing deleted yet";
    // The page's own post: its hidden fields, confirmed=1 and its button.
    EXPECT_TRUE(Post(c.path, c.form + "&confirmed=1").Redirects(Back(c.account ? "_accounts" : "_groups")))
        << c.what;
    for (const std::string& name : c.deleted) EXPECT_FALSE(store.Exists(name)) << c.what;
  }
  EXPECT_TRUE(server_->Accounts().Exists("bob"));
  // Picking nothing is still told before any question.
  EXPECT_TRUE(Post("/_processrecordbulk?mode=account", "buttondelete=1")
                  .Redirects(Error("Please select one or more accounts from the list.")));

  // A virtual folder: the page carries the tab's fields, which the form
  // stored already, so confirming keeps them.
  Edit("bob");
  ASSERT_TRUE(Post("/_processaccountvf", "originalname=&name=/pub&path=" + dir_.File("root/pub") +
                                             "&maxsize=0&buttonok=1")
                  .Redirects(Back("_editfolders")));
  const std::string root = dir_.File("root");
  const std::string tab = "path=" + EncodeUrl(root) + "&userootfolder=on&startdir=%2Fin&selected=%2Fpub&buttondelete=1";
  EXPECT_EQ(Post("/_processaccountfolders", tab).body,
            "Deleting a Virtual Folder|Are you sure you want to delete this virtual folder?|"
            "_processaccountfolders?id=" + id_ + "|" + Hidden("path", EscapeHtml(root)) + Hidden("startdir", "/in") +
                Hidden("userootfolder", "on") + Hidden("selected", "/pub") + "|buttondelete|Delete|_editfolders?id=" +
                id_);
  {
    runtime::CriticalSection::Guard guard(Handler().Edit().Lock());
    EXPECT_EQ(Handler().Edit().record.FolderCount(), 1u) << "asked, not deleted";
  }
  EXPECT_TRUE(Post("/_processaccountfolders", tab + "&confirmed=1").Redirects(Back("_editfolders")));
  {
    runtime::CriticalSection::Guard guard(Handler().Edit().Lock());
    EXPECT_EQ(Handler().Edit().record.FolderCount(), 0u);
    EXPECT_EQ(Handler().Edit().record.StartDir(), "/in");
  }
}

// The record's check runs on Update from any tab; a refusal about one
// field shows on the tab that holds it, beside it, with nothing stored.
TEST_F(AccountPagesTest, StoreRefusalsShowBesideTheirFieldOnItsTab) {
  accounts::AccountRecord carol = Stored("bob");
  carol.SetName("carol");
  server_->Accounts().AddOrUpdate(carol);
  struct Case {
    const char* what;
    std::string process;  // the tab the update comes from
    std::string form;
    std::string tab_start;  // how the tab's test template begins
    std::string field;
    std::string message;
  };
  const std::string limits = "uploadspeed=0&downloadspeed=0&maxusers=0&uploadcredits=0&downloadcredits=0&currentcredits=0&";
  const Case cases[] = {
      {"name taken", "/_processaccountgen", "user=CAROL&buttonupdate=1", "CAROL|", "user",
       "The user/login already exists."},
      {"no name", "/_processaccountgen", "user=&buttonupdate=1", "|", "user", "You have not given a user login."},
      {"group unknown", "/_processaccountgen", "user=bob&group=nobody&ingroup=on&buttonupdate=1", "bob|", "group",
       "Please select a group."},
      {"root missing, update from the limits tab", "/_processaccountlimits",
       limits + "maxsize=0&buttonupdate=1", "", "", ""},
      {"start folder empty", "/_processaccountfolders",
       "path=" + EncodeUrl(dir_.File("root")) + "&userootfolder=on&startdir=&usestartdir=on&buttonupdate=1",
       dir_.File("root") + "|", "startdir", "You have not given a start directory."},
      {"size of 0 in use", "/_processaccountlimits", limits + "maxsize=0&usemaxsize=on&buttonupdate=1", "0|",
       "maxsize", "The maximum account size must be greater than 0."},
  };
  for (const Case& c : cases) {
    Edit("bob");
    if (c.field.empty()) {
      // The root folder vanished after it was chosen: told beside the root
      // folder, on the folders tab, whichever tab updated.
      ASSERT_TRUE(Post("/_processaccountfolders", "path=" + EncodeUrl(dir_.File("gone")) +
                                                      "&userootfolder=on&startdir=&tablimits.x=1")
                      .Redirects(Back("_editlimits")));
      const AdminAnswer reply = Post(c.process, c.form);
      EXPECT_TRUE(reply.ShowsBeside("path", "The root folder does not exist.")) << c.what << "\n" << reply.body;
      EXPECT_EQ(reply.body.rfind(dir_.File("gone") + "|", 0), 0u) << c.what;
    } else {
      const AdminAnswer reply = Post(c.process, c.form);
      EXPECT_TRUE(reply.ShowsBeside(c.field, c.message)) << c.what << "\n" << reply.body;
      EXPECT_EQ(reply.body.rfind(c.tab_start, 0), 0u) << c.what << ": the tab as typed\n" << reply.body;
    }
    EXPECT_EQ(Stored("bob").RootFolder(), dir_.File("root")) << c.what << ": nothing stored";
    EXPECT_FALSE(Stored("bob").mUseMaxSize) << c.what;
  }
  // A refusal that names a virtual folder shows beside the folder list.
  Edit("bob");
  ASSERT_TRUE(Post("/_processaccountvf", "originalname=&name=/pub&path=" + dir_.File("root/pub") +
                                             "&maxsize=0&buttonok=1")
                  .Redirects(Back("_editfolders")));
  std::filesystem::remove(dir_.File("root/pub"));
  EXPECT_TRUE(Post("/_processaccountfolders", "path=" + EncodeUrl(dir_.File("root")) + "&startdir=&buttonupdate=1")
                  .ShowsBeside("selected", "The folder path for the &#39;/pub&#39; virtual folder does not exist."));
  EXPECT_EQ(Stored("bob").FolderCount(), 0u);
}

}  // namespace
}  // namespace quillon::admin
