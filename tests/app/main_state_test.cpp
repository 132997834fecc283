#include "app/main_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "accounts/account_store.h"
#include "admin/remote_admin_service.h"
#include "control/control_channel.h"
#include "ftp/ftp_server.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "runtime/tcp_socket.h"
#include "support/free_port.h"
#include "support/failing_writer.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"
#include "fileutil/file_writer.h"

namespace quillon::app {
namespace {

struct Box {
  std::string text;
  std::string caption;
};

// Answers questions from a script and keeps every box shown.
class ScriptedPrompter final : public Prompter {
 public:
  std::vector<Box> told;
  std::vector<Box> asked;
  std::vector<bool> answers;  // taken front first; Yes when none are left
  std::function<void()> on_ask;

  void Tell(const std::string& text, const std::string& caption, Icon) override {
    told.push_back({text, caption});
  }
  bool Ask(const std::string& text, const std::string& caption, Icon) override {
    asked.push_back({text, caption});
    if (on_ask) on_ask();
    if (answers.empty()) return true;
    const bool answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
};

class RecordingView final : public MainView {
 public:
  StatusPanel panel;
  int welcomes = 0;
  bool service_button = true;

  void ShowStatus(const StatusPanel& shown) override { panel = shown; }
  void ShowStartServiceButton(bool shown) override { service_button = shown; }
  void ShowWelcome() override { ++welcomes; }
};

class MainStateTest : public ::testing::Test {
 protected:
  MainStateTest() {
    for (const char* folder : {"config", "logs", "accountlogs", "temp", "remoteadmin"})
      std::filesystem::create_directories(dir_.File(folder));
    clock_.SetSleepAdvances(true);
  }

  // A stored configuration: FTP and the remote admin on the given ports.
  void Configure(std::uint32_t ftp_port, bool use_remote_admin, std::uint32_t admin_port) {
    ftp::FtpServer server(clock_, dir_.Path());
    [[maybe_unused]] const bool loaded = server.Load();  // defaults
    {
      settings::ServerSettings& settings = server.Settings();
      runtime::CriticalSection::Guard guard(settings.Lock());
      settings.mPort = ftp_port;
      settings.mAutoActivate = true;
      settings.mUseRA = use_remote_admin;
      settings.mRAPort = admin_port;
    }
    ASSERT_TRUE(server.Save());
  }

  std::unique_ptr<MainState> MakeState(fileutil::FileWriter* writer = nullptr) {
    return std::make_unique<MainState>(clock_, dir_.Path(), prompter_, view_,
                                       [] { return false; }, writer);
  }

  // A free port below the kernel's ephemeral range (32768 and up by
  // default), so no test running alongside can be handed it by a port 0
  // bind between this check and the server's own listen.
  testing::ManualClock clock_;
  testing::TempDir dir_;
  ScriptedPrompter prompter_;
  RecordingView view_;
};

TEST_F(MainStateTest, FirstStartWritesDefaultsAndWelcomesWithoutAQuestion) {
  auto state = MakeState();
  ASSERT_TRUE(state->Open());
  EXPECT_TRUE(prompter_.asked.empty());
  EXPECT_EQ(view_.welcomes, 1);
  for (const char* file : {"loaded.dta", "settings.dta", "accounts.dta", "groups.dta"})
    EXPECT_TRUE(std::filesystem::exists(dir_.File("config/") + file)) << file;
  EXPECT_FALSE(view_.service_button);
  // Port 21 is the default. Whether it could be opened (as root, with no
  // other server, or a test running beside this one, on it) decides which
  // the activation on load brings: the port, or the error box.
  if (view_.panel.status == "Activated - Operating on port 21") {
    EXPECT_EQ(view_.panel.activate_caption, "&Deactivate");
    EXPECT_TRUE(prompter_.told.empty());
  } else {
    EXPECT_EQ(view_.panel.status, "Deactivated");
    EXPECT_EQ(view_.panel.activate_caption, "&Activate");
    ASSERT_EQ(prompter_.told.size(), 1u);
    EXPECT_EQ(prompter_.told[0].caption, "Initialisation Error");
  }
  state->Close();

  // The next start loads what the first wrote: no welcome, no question.
  RecordingView second_view;
  MainState second(clock_, dir_.Path(), prompter_, second_view, [] { return true; });
  ASSERT_TRUE(second.Open());
  EXPECT_EQ(second_view.welcomes, 0);
  EXPECT_TRUE(second_view.service_button);
  EXPECT_TRUE(prompter_.asked.empty());
}

TEST_F(MainStateTest, DecliningAfterALoadErrorWritesNothing) {
  Configure(testing::UnusedPort(), false, 0);
  testing::WriteWholeFile(dir_.File("config/loaded.dta"), "");
  std::filesystem::remove(dir_.File("config/settings.dta"));
  const std::string accounts = testing::ReadWholeFile(dir_.File("config/accounts.dta"));
  const auto accounts_time = std::filesystem::last_write_time(dir_.File("config/accounts.dta"));

  prompter_.answers = {false};
  auto state = MakeState();
  EXPECT_FALSE(state->Open());
  ASSERT_EQ(prompter_.asked.size(), 1u);
  EXPECT_EQ(prompter_.asked[0].caption, "Warning");
  EXPECT_NE(prompter_.asked[0].text.find("permantly loose"), std::string::npos);
  state->Close();
  EXPECT_FALSE(std::filesystem::exists(dir_.File("config/settings.dta")));
  EXPECT_EQ(std::filesystem::last_write_time(dir_.File("config/accounts.dta")), accounts_time);
  EXPECT_EQ(view_.welcomes, 0);

  // Yes writes the defaults for what failed and goes on.
  prompter_.answers = {true};
  auto again = MakeState();
  ASSERT_TRUE(again->Open());
  EXPECT_TRUE(std::filesystem::exists(dir_.File("config/settings.dta")));
  EXPECT_EQ(testing::ReadWholeFile(dir_.File("config/accounts.dta")), accounts);
}

TEST_F(MainStateTest, TakenPortsAndPausedUpdates) {
  runtime::TcpSocket taken;
  ASSERT_TRUE(taken.ListenOn(0));
  Configure(taken.LocalPort(), false, 0);
  auto state = MakeState();
  ASSERT_TRUE(state->Open());
  ASSERT_EQ(prompter_.told.size(), 1u);
  EXPECT_EQ(prompter_.told[0].text, "Unable to open the FTP Port (already in use)");
  EXPECT_EQ(prompter_.told[0].caption, "Initialisation Error");
  EXPECT_EQ(view_.panel.status, "Deactivated");
  EXPECT_EQ(view_.panel.users, "-");
  EXPECT_EQ(view_.panel.activate_caption, "&Activate");

  state->PauseUpdates();
  state->RefreshStatus();
  for (const std::string* field : {&view_.panel.status, &view_.panel.users, &view_.panel.data_in,
                                   &view_.panel.data_out, &view_.panel.remote_admin})
    EXPECT_EQ(*field, "Updates Paused");
  state->FinishSettings();
  EXPECT_EQ(view_.panel.status, "Deactivated");
}

TEST_F(MainStateTest, ATakenRemoteAdminPortLeavesFtpActive) {
  runtime::TcpSocket taken;
  ASSERT_TRUE(taken.ListenOn(0));
  const std::uint16_t ftp_port = testing::UnusedPort();
  Configure(ftp_port, true, taken.LocalPort());
  auto state = MakeState();
  ASSERT_TRUE(state->Open());
  ASSERT_EQ(prompter_.told.size(), 1u);
  EXPECT_EQ(prompter_.told[0].caption, "Remote Admin Initialisation Error");
  EXPECT_EQ(view_.panel.status, "Activated - Operating on port " + std::to_string(ftp_port));
  EXPECT_EQ(view_.panel.remote_admin, "-");

  // Deactivating asks first: No leaves the server serving.
  prompter_.answers = {false};
  state->ToggleActivate();
  ASSERT_EQ(prompter_.asked.size(), 1u);
  EXPECT_EQ(prompter_.asked[0].caption, "Deactivating the Server");
  EXPECT_EQ(prompter_.asked[0].text,
            "Deactivate the FTP server? It stops listening, and the 0 connected session(s) are disconnected.");
  EXPECT_EQ(view_.panel.status, "Activated - Operating on port " + std::to_string(ftp_port));
  // Yes: the toggle stops both; activating again retries the remote admin
  // without a question.
  state->ToggleActivate();
  EXPECT_EQ(view_.panel.status, "Deactivated");
  taken.Close();
  state->ToggleActivate();
  EXPECT_EQ(prompter_.told.size(), 1u);
  EXPECT_EQ(prompter_.asked.size(), 2u);
  EXPECT_EQ(view_.panel.remote_admin, "0 connections, 0 KB sent");
  EXPECT_TRUE(state->RemoteAdmin().IsRunning());
  // The Settings button clears the four FTP fields and leaves the remote admin's.
  state->PauseUpdates();
  for (const std::string* field : {&view_.panel.status, &view_.panel.users, &view_.panel.data_in,
                                   &view_.panel.data_out})
    EXPECT_EQ(*field, "");
  EXPECT_EQ(view_.panel.remote_admin, "0 connections, 0 KB sent");
  state->RefreshStatus();
  EXPECT_EQ(view_.panel.remote_admin, "Updates Paused");
  state->FinishSettings();
  EXPECT_EQ(view_.panel.remote_admin, "0 connections, 0 KB sent");
  state->Close();
  EXPECT_FALSE(state->RemoteAdmin().IsRunning());
  EXPECT_FALSE(state->Server().IsActive());
}

TEST_F(MainStateTest, ClosingAsksToRetryWhileTheSaveFails) {
  Configure(testing::UnusedPort(), false, 0);
  testing::FailingWriter writer(false);
  auto state = MakeState(&writer);
  ASSERT_TRUE(state->Open());

  writer.failing = true;
  state->SaveAfterDialog();
  ASSERT_EQ(prompter_.told.size(), 1u);
  EXPECT_EQ(prompter_.told[0].caption, "Warning");
  EXPECT_NE(prompter_.told[0].text.find("open the settings dialog"), std::string::npos);

  prompter_.answers = {true, false};  // retry once, then give up
  state->Close();
  ASSERT_EQ(prompter_.asked.size(), 2u);
  EXPECT_NE(prompter_.asked[0].text.find("Do you wish to retry?"), std::string::npos);
  state->Close();  // runs once
  EXPECT_EQ(prompter_.asked.size(), 2u);

  // A save that works on the retry ends the questions.
  ScriptedPrompter patient;
  RecordingView view;
  testing::FailingWriter flaky(false);
  MainState other(clock_, dir_.Path(), patient, view, [] { return false; }, &flaky);
  ASSERT_TRUE(other.Open());
  flaky.failing = true;
  patient.on_ask = [&flaky] { flaky.failing = false; };
  other.Close();
  EXPECT_EQ(patient.asked.size(), 1u);
  EXPECT_FALSE(flaky.failing);
}

TEST_F(MainStateTest, ADamagedFileIsNoticedUntilAcknowledged) {
  Configure(testing::UnusedPort(), false, 0);
  auto clean = MakeState();
  ASSERT_TRUE(clean->Open());
  EXPECT_EQ(view_.panel.notice, "");
  clean->Close();
  clean.reset();

  accounts::AccountStore store(dir_.File("config/accounts.dta"));
  for (const char* name : {"alice", "bob"}) {
    accounts::AccountRecord record;
    record.SetName(name);
    store.AddOrUpdate(record);
  }
  const std::string damaged = store.Serialise().substr(0, store.Serialise().size() - 1);
  testing::WriteWholeFile(dir_.File("config/accounts.dta"), damaged);
  clock_.SetWallTimeNs(1'796'751'000'000'000'000);  // 2026-12-08 17:30:00 UTC
  auto state = MakeState();
  ASSERT_TRUE(state->Open());
  const std::string notice =
      "Damaged file: config/accounts.dta: 1 of 2 records read; the original is kept as "
      "config/accounts.dta.damaged-20261208-173000.";
  EXPECT_EQ(view_.panel.notice, notice);
  state->PauseUpdates();
  EXPECT_EQ(view_.panel.notice, notice);
  state->FinishSettings();  // saves over the damaged file
  EXPECT_EQ(view_.panel.notice, notice);
  EXPECT_EQ(testing::ReadWholeFile(dir_.File("config/accounts.dta.damaged-20261208-173000")),
            damaged);

  state->AcknowledgeNotice();
  EXPECT_EQ(view_.panel.notice, "");
  state->RefreshStatus();
  EXPECT_EQ(view_.panel.notice, "");
}

TEST_F(MainStateTest, StartServiceAndQuitQuestions) {
  Configure(testing::UnusedPort(), false, 0);
  auto state = MakeState();
  ASSERT_TRUE(state->Open());
  prompter_.answers = {false, false, true};
  EXPECT_FALSE(state->AskQuit());
  EXPECT_FALSE(state->AskStartService());
  EXPECT_FALSE(state->RestartAsService());
  EXPECT_TRUE(state->AskStartService());
  EXPECT_TRUE(state->RestartAsService());
  EXPECT_EQ(prompter_.asked[0].caption, "Quit");
  EXPECT_EQ(prompter_.asked[1].caption, "Start NT Service");
}

// The desktop's state hands its settings sheet the services of the running
// program, and the "Start NT Service" button follows what the sheet did.
TEST_F(MainStateTest, TheSheetInstallsTheRunningProgramsServiceForTheButton) {
  platform::SetEnvironmentValue("QUILLON_SERVICE_DIR", dir_.File("services"));
  const std::uint16_t port = testing::UnusedPort();
  Configure(port, false, 0);
  MainState state(clock_, dir_.Path(), prompter_, view_);
  ASSERT_TRUE(state.Open());
  EXPECT_FALSE(view_.service_button);
  for (const bool install : {true, false}) {
    state.PauseUpdates();
    {
      SettingsSheet sheet = state.Settings();
      SettingsForm form = sheet.Read();
      form.run_as_service = install;
      ASSERT_TRUE(sheet.Ok(form)) << (prompter_.told.empty() ? "" : prompter_.told.back().text);
    }
    state.FinishSettings();
    EXPECT_EQ(view_.service_button, install);
    EXPECT_EQ(ServiceManager(platform::ProgramPath()).Exists(kServiceName), install);
  }
  EXPECT_EQ(view_.panel.status, "Activated - Operating on port " + std::to_string(port));
  state.Close();
}

TEST_F(MainStateTest, TheSetupToolReachesTheOpenWindowsServerUntilItCloses) {
  Configure(testing::UnusedPort(), false, 0);
  auto state = MakeState();
  ASSERT_TRUE(state->Open());
  platform::SystemClock clock;
  const std::string socket = dir_.File("config/control.sock");
  control::CommandResult reply;
  std::string error;
  ASSERT_TRUE(control::SendControlRequest(clock, socket, {"set", "mMaxUsers", "4"}, &reply, &error)) << error;
  EXPECT_EQ(reply.code, 0) << reply.err;
  {
    settings::ServerSettings& settings = state->Server().Settings();
    runtime::CriticalSection::Guard guard(settings.Lock());
    EXPECT_EQ(settings.mMaxUsers, 4u);  // the window's own settings, not a copy
  }
  state->Close();
  EXPECT_FALSE(control::SendControlRequest(clock, socket, {"get", "mMaxUsers"}, &reply, &error));
}

}  // namespace
}  // namespace quillon::app
