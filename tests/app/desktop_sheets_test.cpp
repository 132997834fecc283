#include <gtest/gtest.h>

#include "accounts/account_store.h"
#include "admin/remote_admin_service.h"
#include "app/activity_view.h"
#include "app/password_box.h"
#include "app/record_list.h"
#include "app/server_app.h"
#include "app/settings_sheet.h"
#include "app/update_run.h"
#include "platform/fs.h"
#include "support/free_port.h"
#include "support/ftp_server_fixture.h"
#include "support/wait.h"

namespace quillon::app {
namespace {

using accounts::AccountRecord;

class RecordingPrompter final : public Prompter {
 public:
  std::vector<std::string> told;
  bool answer = true;
  void Tell(const std::string& text, const std::string&, Icon) override { told.push_back(text); }
  bool Ask(const std::string& text, const std::string&, Icon) override {
    told.push_back(text);
    return answer;
  }
};

class DesktopSheetsTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    platform::SetEnvironmentValue("QUILLON_SERVICE_DIR", dir_.File("services"));
    remote_admin_ = std::make_unique<admin::RemoteAdminService>(*server_, clock_, dir_.Path());
    services_ = std::make_unique<ServiceManager>(dir_.File("quillon-ftp-server"));
    testing::WriteWholeFile(dir_.File("quillon-ftp-server"), "program");
    sheet_ = std::make_unique<SettingsSheet>(*server_, *remote_admin_, prompter_, *services_);
  }
  void TearDown() override {
    sheet_.reset();
    remote_admin_.reset();
    FtpServerFixture::TearDown();
  }

  // A form that passes every check: on a port nobody listens on.
  SettingsForm GoodForm() {
    SettingsForm form = sheet_->Read();
    form.port = testing::UnusedPort();
    return form;
  }

  RecordingPrompter prompter_;
  std::unique_ptr<admin::RemoteAdminService> remote_admin_;
  std::unique_ptr<ServiceManager> services_;
  std::unique_ptr<SettingsSheet> sheet_;
};

TEST_F(DesktopSheetsTest, SettingsChecksComeInTheirOrder) {
  EXPECT_EQ(SettingsSheet::ReadNumberBox(""), 0u);
  EXPECT_EQ(SettingsSheet::ReadNumberBox("99999999999"), 0xFFFFFFFFu);

  struct Case {
    const char* refusal;
    std::function<void(SettingsForm&)> change;
  };
  const std::string existing = dir_.Path();
  const Case cases[] = {
      {"Please give a welcome message.", [](SettingsForm& f) { f.welcome.clear(); }},
      {"The welcome message contains some illegal characters.\nIllegal characters include:: "
       "\"*:,;'?<>,|",
       [](SettingsForm& f) { f.welcome = "Hello, world"; }},
      {"Please specify a FTP port value between 1 and 65535.", [](SettingsForm& f) { f.port = 65536; }},
      {"Please specify a maximum download speed greater than 0.",
       [](SettingsForm& f) { f.use_max_download = true, f.max_download_kb = 0; }},
      {"Please specify an idle time-out value greater than or equal to 5.",
       [](SettingsForm& f) { f.idle_timeout = SettingsSheet::ReadNumberBox(""); }},
      {"Please give a password for Remote Admin.",
       [](SettingsForm& f) { f.use_remote_admin = true, f.remote_admin_password.clear(); }},
      {"The Remote Admin port and FTP port are both the same.",
       [](SettingsForm& f) {
         f.use_remote_admin = true, f.remote_admin_password = "pw", f.remote_admin_port = f.port;
       }},
      {"The Remote Admin folder is not valid (ie. x:\\xxx or \\\\pc1\\shared).",
       [](SettingsForm& f) {
         f.use_remote_admin = true, f.remote_admin_password = "pw", f.remote_admin_port = 1;
         f.remote_admin_fixed = true, f.remote_admin_folder = "/";
       }},
      {"The Remote Admin is not valid (ie. x:\\xxx or \\\\pc1\\shared).",
       [](SettingsForm& f) {
         f.use_remote_admin = true, f.remote_admin_password = "pw", f.remote_admin_port = 1;
         f.remote_admin_fixed = true, f.remote_admin_folder = "relative/folder";
       }},
      {"The Remote Admin folder does not exist.",
       [&existing](SettingsForm& f) {
         f.use_remote_admin = true, f.remote_admin_password = "pw", f.remote_admin_port = 1;
         f.remote_admin_fixed = true, f.remote_admin_folder = existing + "/missing";
       }},
      // Checked with the remote admin off too.
      {"The Remote Admin password contains some illegal characters.\nIllegal characters include: "
       "\";><",
       [](SettingsForm& f) { f.use_remote_admin = false, f.remote_admin_password = "a;b"; }},
  };
  for (const Case& c : cases) {
    SettingsForm form = GoodForm();
    ASSERT_EQ(sheet_->Refusal(&form), "") << c.refusal;
    c.change(form);
    EXPECT_EQ(sheet_->Refusal(&form), c.refusal);
    EXPECT_FALSE(sheet_->Ok(form));
    EXPECT_EQ(prompter_.told.back(), c.refusal);
  }
}

TEST_F(DesktopSheetsTest, OkStoresTheValuesAndTheService) {
  SettingsForm form = GoodForm();
  form.banned = "exe, com";
  form.use_remote_admin = true;
  form.remote_admin_password = "pw";
  form.remote_admin_port = 1;
  form.remote_admin_fixed = true;
  form.remote_admin_folder = dir_.Path() + "//";
  form.run_as_service = true;
  ASSERT_TRUE(sheet_->Ok(form)) << (prompter_.told.empty() ? "" : prompter_.told.back());
  {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    EXPECT_EQ(server_->Settings().mBadExts.Items(), (std::vector<std::string>{"exe", "com"}));
    EXPECT_EQ(server_->Settings().mRAFixToDir, dir_.Path());
    EXPECT_EQ(server_->Settings().mPort, form.port);
  }
  EXPECT_TRUE(services_->Exists(kServiceName));
  EXPECT_TRUE(sheet_->Read().run_as_service);
  form.run_as_service = false;
  ASSERT_TRUE(sheet_->Ok(form));
  EXPECT_FALSE(services_->Exists(kServiceName));

  runtime::IpRangeList list;
  const std::string upper = "10.0.0.1";
  EXPECT_FALSE(SettingsSheet::AddToList(prompter_, &list, "10.0.0.300", nullptr));
  EXPECT_EQ(prompter_.told.back(), "That is not a valid IP address.");
  EXPECT_FALSE(SettingsSheet::AddToList(prompter_, &list, "10.0.0.9", &upper));
  EXPECT_EQ(prompter_.told.back(), "The 'Upper IP' was lower than the 'Lower IP'.");
  EXPECT_TRUE(SettingsSheet::AddToList(prompter_, &list, "10.0.0.0", &upper));
  SettingsSheet::BlockAll(&list);
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_TRUE(list.Contains(runtime::IpRangeList::ParseAddress("255.255.255.255")));
}

TEST_F(DesktopSheetsTest, AHashedAdminPasswordIsShownAsSetAndKeptUntilRetyped) {
  std::string message;
  {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    ASSERT_TRUE(server_->Settings().Extra().Set("password_storage", "hashed", &message));
    ASSERT_TRUE(server_->Settings().SetFromText("mRAPass", "first-pass", &message)) << message;
  }
  auto stored = [this] {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    return server_->Settings().mRAPass;
  };
  const std::string hash = stored();
  ASSERT_EQ(hash.rfind("$", 0), 0u);

  SettingsForm form = GoodForm();
  EXPECT_EQ(form.remote_admin_password, kHashedPasswordShown) << "the hash is never shown";
  form.use_remote_admin = true;
  ASSERT_TRUE(sheet_->Ok(form)) << (prompter_.told.empty() ? "" : prompter_.told.back());
  EXPECT_EQ(stored(), hash);
  form.remote_admin_password = "second-pass";
  ASSERT_TRUE(sheet_->Ok(form));
  EXPECT_NE(stored(), hash);
  EXPECT_TRUE(control::SettingsControl(*server_).AdminPasswordMatches("second-pass"));

  // A password kept as typed is shown as it is, as before.
  EXPECT_EQ(PasswordShown("typed"), "typed");
  EXPECT_EQ(PasswordFromBox(kHashedPasswordShown, "typed"), kHashedPasswordShown);
  EXPECT_EQ(PasswordFromBox("", hash), "");
}

TEST_F(DesktopSheetsTest, AccountListRenamesCopiesDeletesAndChecksFolders) {
  RecordList accounts(*server_, false, prompter_);
  EXPECT_EQ(accounts.Caption(), "Accounts (1)");
  AccountRecord bob;
  ASSERT_TRUE(accounts.TakeForEdit("bob", &bob));
  bob.SetName("robert");
  ASSERT_TRUE(accounts.AcceptEdited(bob, "bob"));
  ASSERT_TRUE(accounts.Store(bob, "bob"));
  EXPECT_EQ(accounts.Names(), std::vector<std::string>{"robert"});

  EXPECT_FALSE(accounts.Copy("robert", "bad name"));
  EXPECT_NE(prompter_.told.back().find("illegal characters"), std::string::npos);
  EXPECT_FALSE(accounts.Copy("robert", "ROBERT"));
  EXPECT_EQ(prompter_.told.back(), "The user/login already exists.");
  ASSERT_TRUE(accounts.Copy("robert", "carol"));
  EXPECT_EQ(accounts.Names(), (std::vector<std::string>{"carol", "robert"}));

  prompter_.answer = false;
  EXPECT_FALSE(accounts.Delete("carol"));
  prompter_.answer = true;
  EXPECT_TRUE(accounts.Delete("carol"));
  EXPECT_EQ(prompter_.told.back(), "Are you sure you want to delete this account?");
  EXPECT_EQ(accounts.Names(), std::vector<std::string>{"robert"});

  accounts::VirtualFolder music;
  music.SetName("music");
  music.SetPath(dir_.Path());
  AccountRecord record = RecordList::NewRecord();
  ASSERT_TRUE(accounts.AcceptFolder(&record, music, std::nullopt));
  accounts::VirtualFolder films = music;
  films.SetName("films");
  ASSERT_TRUE(accounts.AcceptFolder(&record, films, std::nullopt));
  EXPECT_FALSE(accounts.AcceptFolder(&record, music, std::nullopt));  // a second "music"
  EXPECT_EQ(prompter_.told.back(), "Sorry that folder name already exists, please choose another name.");
  films.SetName("MUSIC");
  EXPECT_FALSE(accounts.AcceptFolder(&record, films, 1));  // renamed onto another
  music.SetName("Music");
  EXPECT_TRUE(accounts.AcceptFolder(&record, music, 0));  // its own name in another case
  EXPECT_EQ(record.FolderCount(), 2u);
  EXPECT_EQ(record.FolderAt(0).Name(), "/Music");
}

TEST_F(DesktopSheetsTest, KickReasonsAreCheckedKeptAndSessionsFollowed) {
  port_ = Start();
  ActivityView activity(*server_, prompter_);
  auto client = LoggedIn();
  std::vector<ActivityRow> rows;
  ASSERT_TRUE(testing::WaitUntil([&] { return !(rows = activity.Rows()).empty(); }));
  EXPECT_EQ(rows[0].user, "bob");
  const std::uint32_t session = rows[0].session_id;
  EXPECT_EQ(ActivityView::RowOf(rows, session), std::optional<std::size_t>(0));

  EXPECT_FALSE(activity.Kick(session, "no: colons"));
  EXPECT_EQ(prompter_.told.back(), "The reason cannot contain the following characters: \"*:,;'?<>,|");
  EXPECT_FALSE(activity.StopTransfer(session, "no, commas"));
  EXPECT_EQ(prompter_.told.back(), "The reason cannot contain the following characters: \"*:,;'?<<,|");
  ASSERT_TRUE(activity.Kick(session, "Closing for the night"));
  EXPECT_NE(client->Reply(5000).find("Closing for the night"), std::string::npos);
  ASSERT_TRUE(testing::WaitUntil([&] { return activity.Rows().empty(); }));
  EXPECT_FALSE(ActivityView::RowOf(activity.Rows(), session));

  // The reason is offered again, also after a restart.
  EXPECT_EQ(activity.KickReason(), "Closing for the night");
  ASSERT_TRUE(server_->Save());
  ftp::FtpServer restarted(clock_, dir_.Path());
  ASSERT_TRUE(restarted.Load());
  EXPECT_EQ(ActivityView(restarted, prompter_).KickReason(), "Closing for the night");
}

TEST_F(DesktopSheetsTest, AccountTableFiltersAndBulkChangesAskFirst) {
  RecordList accounts(*server_, false, prompter_);
  for (const char* name : {"carol", "Caroline"}) ASSERT_TRUE(accounts.Copy("bob", name));
  UpdateAccount("carol", [](AccountRecord& carol) {
    carol.mUseMaxSize = true;
    carol.mMaxSize = 1;
    carol.mUseCredits = true;
    carol.mCurrentCredits = 40;
  });
  // The row of the one record named `name` exactly.
  const auto row_of = [&accounts](const std::string& name) {
    for (const control::RecordRow& row : accounts.Rows(name))
      if (row.name == name) return row;
    ADD_FAILURE() << name;
    return control::RecordRow{};
  };
  EXPECT_EQ(accounts.Columns().size(), 9u);
  const std::vector<control::RecordRow> rows = accounts.Rows("CAR");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(accounts.Caption("CAR", rows.size()), "Accounts (2 of 3)");
  EXPECT_EQ(accounts.Caption("", 3), "Accounts (3)");
  EXPECT_EQ(accounts.Cells(row_of("carol")),
            (std::vector<std::string>{"carol", "Yes", "-", dir_.File("root"), "-", "1 MB", "40", "0", "-"}));
  EXPECT_EQ(accounts.Cells(row_of("Caroline"))[5], "None");
  EXPECT_EQ(accounts.Cells(row_of("Caroline"))[6], "-");  // no credits in use

  // None picked: refused, nothing asked.
  prompter_.told.clear();
  EXPECT_FALSE(accounts.SetEnabled({}, false));
  EXPECT_FALSE(accounts.DeleteSelected({}));
  EXPECT_EQ(prompter_.told, std::vector<std::string>(2, "Please select one or more accounts from the list."));
  // Disabling asks; No changes nothing, Yes disables the rows picked only.
  prompter_.answer = false;
  EXPECT_FALSE(accounts.SetEnabled({"carol", "Caroline"}, false));
  EXPECT_EQ(prompter_.told.back(), "Are you sure you want to disable the selected accounts?");
  EXPECT_TRUE(row_of("carol").enabled);
  prompter_.answer = true;
  EXPECT_TRUE(accounts.SetEnabled({"carol", "Caroline", "gone"}, false));
  for (const control::RecordRow& row : accounts.Rows("")) EXPECT_EQ(row.enabled, row.name == "bob") << row.name;
  // Enabling takes nothing away and is not asked.
  const std::size_t said = prompter_.told.size();
  EXPECT_TRUE(accounts.SetEnabled({"carol"}, true));
  EXPECT_EQ(prompter_.told.size(), said);
  EXPECT_TRUE(row_of("carol").enabled);
  EXPECT_FALSE(row_of("Caroline").enabled);

  prompter_.answer = false;
  EXPECT_FALSE(accounts.DeleteSelected({"carol", "Caroline"}));
  EXPECT_EQ(prompter_.told.back(), "Are you sure you want to delete the selected accounts?");
  EXPECT_EQ(accounts.Names().size(), 3u);
  prompter_.answer = true;
  EXPECT_TRUE(accounts.DeleteSelected({"carol", "Caroline"}));
  EXPECT_EQ(accounts.Names(), std::vector<std::string>{"bob"});

  // Groups are worded as groups and have no session columns.
  RecordList groups(*server_, true, prompter_);
  EXPECT_EQ(groups.Columns().size(), 7u);
  EXPECT_FALSE(groups.SetEnabled({}, true));
  EXPECT_EQ(prompter_.told.back(), "Please select one or more groups from the list.");
  EXPECT_EQ(groups.Caption("x", 0), "Groups (0 of 0)");
}

TEST_F(DesktopSheetsTest, EditorShowsUsedSpaceAndAsksBeforeDeletingAFolder) {
  RecordList accounts(*server_, false, prompter_);
  UpdateAccount("bob", [](AccountRecord& bob) {
    bob.mUseMaxSize = true;
    bob.mMaxSize = 1;
  });
  AccountRecord bob;
  ASSERT_TRUE(accounts.TakeForEdit("bob", &bob));
  EXPECT_EQ(accounts.UsedSpace(bob), "Used: not measured yet of 1 MB");
  ActivityView activity(*server_, prompter_);
  EXPECT_TRUE(activity.AllocationWarnings().empty());
  testing::WriteWholeFile(dir_.File("root/a.bin"), std::string(973 * 1024, 'x'));
  const fileutil::FolderSizeCache::Hold hold = server_->Auth().Cache().Acquire(dir_.File("root"));
  ASSERT_TRUE(hold);
  EXPECT_EQ(accounts.UsedSpace(bob), "Used: 973 KB of 1 MB (95%)");
  EXPECT_EQ(activity.AllocationWarnings(),
            std::vector<std::string>{"Account 'bob' has used 95% of its allocation (973 KB of 1 MB)."});
  server_->Auth().Cache().SubtractBytes(hold, 100 * 1024);
  EXPECT_TRUE(activity.AllocationWarnings().empty());  // 85%

  accounts::VirtualFolder music;
  music.SetName("music");
  music.SetPath(dir_.Path());
  ASSERT_TRUE(accounts.AcceptFolder(&bob, music, std::nullopt));
  prompter_.answer = false;
  EXPECT_FALSE(accounts.DeleteFolder(&bob, 0));
  EXPECT_EQ(prompter_.told.back(), "Are you sure you want to delete this virtual folder?");
  EXPECT_EQ(bob.FolderCount(), 1u);
  prompter_.answer = true;
  EXPECT_FALSE(accounts.DeleteFolder(&bob, 1));  // no such folder: not asked
  EXPECT_TRUE(accounts.DeleteFolder(&bob, 0));
  EXPECT_EQ(bob.FolderCount(), 0u);
}

TEST_F(DesktopSheetsTest, BlockIpKicksTheSessionAndBlocksItsAddress) {
  port_ = Start();
  ActivityView activity(*server_, prompter_);
  auto client = LoggedIn();
  std::vector<ActivityRow> rows;
  ASSERT_TRUE(testing::WaitUntil([&] { return !(rows = activity.Rows()).empty(); }));
  const std::uint32_t session = rows[0].session_id;
  const auto blocked = [this] {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    return server_->Settings().mUseBlockIPs ? server_->Settings().mBlockIPs.Serialise() : std::string();
  };
  const std::string before = blocked();

  EXPECT_FALSE(activity.BlockIp(session, "no: colons"));
  EXPECT_EQ(prompter_.told.back(), "The reason cannot contain the following characters: \"*:,;'?<>,|");
  EXPECT_FALSE(activity.BlockIp(session + 1000, "Gone"));
  EXPECT_EQ(prompter_.told.back(), "The session has ended: its IP was not blocked.");
  EXPECT_EQ(blocked(), before);

  const std::size_t said = prompter_.told.size();
  ASSERT_TRUE(activity.BlockIp(session, "Banned"));
  EXPECT_EQ(prompter_.told.size(), said);  // nothing to add
  EXPECT_NE(client->Reply(5000).find("Banned"), std::string::npos);
  {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    EXPECT_TRUE(server_->Settings().mUseBlockIPs);
    ASSERT_EQ(server_->Settings().mBlockIPs.Count(), 1u);
    EXPECT_EQ(server_->Settings().mBlockIPs.EntryText(0), "127.0.0.1");
  }
  EXPECT_EQ(activity.KickReason(), "Banned");

  // Let in by the safe list, the address is blocked all the same and the
  // administrator learns why it still connects.
  ChangeSettings([](settings::ServerSettings& s) {
    s.mUseSafeIPs = true;
    s.mSafeIPs.AddAddress({127, 0, 0, 1});
  });
  auto again = LoggedIn();
  ASSERT_TRUE(testing::WaitUntil([&] { return !(rows = activity.Rows()).empty(); }));
  EXPECT_TRUE(activity.BlockIp(rows[0].session_id, "Again"));
  EXPECT_EQ(prompter_.told.back(),
            "The session was kicked and its IP added to the blocked IPs, but the IP is also on the safe IPs, "
            "which are in use and let it connect.");
}

TEST(ActivityRowTest, ARowShowsTheTransferItsRateAndTimes) {
  access::ActivitySnapshot session;
  session.session_id = 4;
  session.user_name = "bob";
  session.connected_ms = 3'725'000;
  session.bytes_sent = 300 * 1024;
  EXPECT_EQ(ActivityView::RowFor(session).connected, "1:02:05");
  EXPECT_EQ(ActivityView::RowFor(session).transfer, "");
  EXPECT_EQ(ActivityView::RowFor(session).kb_out, "300");
  session.transfer_state = access::TransferState::kRunning;
  session.transfer_bytes = 300 * 1024;
  session.transfer_size_known = true;
  session.transfer_size = 2000 * 1024;
  session.transfer_ms = 4200;
  session.transfer_rate = 64 * 1024 + 512;
  EXPECT_EQ(ActivityView::RowFor(session).transfer, "64.5 KB/s, 300 of 2000 KB, 0:04");
  session.transfer_state = access::TransferState::kStopped;
  session.transfer_size_known = false;
  EXPECT_EQ(ActivityView::RowFor(session).transfer, "Stopped, 300 KB, 0:04");
  session.transfer_state = access::TransferState::kCompleted;
  EXPECT_EQ(ActivityView::RowFor(session).transfer, "Done, 300 KB, 0:04");
}

// An update that cannot reach its server ends in the failed state, and its
// button then closes the dialog without the text meant for an installed one.
TEST(UpdateRunTest, AnUnreachableServerEndsTheRunWithoutTheFinishText) {
  testing::TempDir dir;
  const std::uint16_t port = testing::UnusedPort();
  update::Updater::Job job = UpdateJob(dir.File("quillon-ftp-server"));
  job.source = *update::SourceFromUrl("http://127.0.0.1:" + std::to_string(port) + "/");
  platform::SystemClock clock;
  RecordingPrompter prompter;
  UpdateRun run(clock, job);
  ASSERT_TRUE(run.Start());
  ASSERT_TRUE(testing::WaitUntil([&] { return run.Describe().ended; }));
  EXPECT_EQ(run.Describe().status, "Error occured while updating.");
  run.Close(prompter);
  EXPECT_TRUE(prompter.told.empty());
}

}  // namespace
}  // namespace quillon::app
