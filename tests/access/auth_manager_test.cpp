#include "access/auth_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/manual_clock.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "accountfs/file_transfer.h"
#include "platform/event.h"
#include "fileutil/file_writer.h"

namespace quillon::access {
namespace {

using accounts::AccountRecord;
using testing::TempDir;

constexpr runtime::IpAddress kClient{192, 168, 1, 10};

// Counts the saves of the account store. With `hold_first` the first save
// waits (a bounded while) until the test releases it, so that requests
// arrive while it runs.
class CountingWriter : public fileutil::FileWriter {
 public:
  std::atomic<int> saves{0};
  std::atomic<bool> hold_first{false};
  platform::Event release;

 protected:
  bool WriteContents(fileutil::FileHandle& file, std::string_view bytes) override {
    if (++saves == 1 && hold_first) release.Wait(5000);
    return FileWriter::WriteContents(file, bytes);
  }
};

class AuthManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.File("root"));
    std::filesystem::create_directories(dir_.File("logs"));
    testing::WriteWholeFile(dir_.File("root/file.bin"), std::string(64 * 1024, 'f'));
    accounts_.AddOrUpdate(Account("bob", "pw"));
  }

  AccountRecord Account(std::string_view name, std::string_view password) {
    AccountRecord record;
    record.SetName(name);
    record.SetPassword(password);
    record.mRights = accounts::kAllRights;
    record.mUseRootFolder = true;
    record.SetRootFolder(dir_.File("root"));
    return record;
  }

  // Distinct keys stand for distinct sessions.
  SessionEndpoint Session(int n, runtime::IpAddress address = kClient) {
    return SessionEndpoint{&keys_[n], address, static_cast<std::uint16_t>(40000 + n)};
  }

  ActiveAccount* Login(int n, std::string_view name = "bob", std::string_view password = "pw",
                       runtime::IpAddress address = kClient) {
    return auth_.Login(Session(n, address), name, password, &activity_[n], &message_);
  }

  // The balance accounts.dta holds for `name`; none while it holds no such account.
  std::optional<std::uint32_t> StoredCredits(std::string_view name) {
    accounts::AccountStore reread(dir_.File("accounts.dta"));
    AccountRecord stored;
    if (!reread.Load() || !reread.GetCopy(name, &stored)) return std::nullopt;
    return stored.mCurrentCredits;
  }

  void AddBobWith500Credits() {
    AccountRecord rich = Account("bob", "pw");
    rich.mUseCredits = true;
    rich.mCurrentCredits = 500;
    accounts_.AddOrUpdate(rich);
  }

  template <typename Change>
  void Settings(Change change) {
    runtime::CriticalSection::Guard guard(settings_.Lock());
    change(settings_);
  }

  testing::ManualClock clock_;
  TempDir dir_;
  CountingWriter writer_;
  accounts::AccountStore accounts_{dir_.File("accounts.dta"), &writer_};
  accounts::AccountStore groups_{dir_.File("groups.dta")};
  settings::ServerSettings settings_{clock_, dir_.File("settings.dta")};
  AuthManager auth_{accounts_, groups_, settings_, clock_, dir_.File("logs")};
  int keys_[16] = {};
  ActivityRecord activity_[16];
  std::string message_;
};

TEST_F(AuthManagerTest, MaxUsersRefusesEvenASafeAddress) {
  Settings([](settings::ServerSettings& s) {
    s.mMaxUsers = 2;
    s.mUseSafeIPs = true;
    s.mSafeIPs.AddAddress(kClient);
  });
  ASSERT_NE(Login(0), nullptr);
  ASSERT_NE(Login(1), nullptr);
  EXPECT_EQ(auth_.LoggedInCount(), 2u);
  EXPECT_FALSE(auth_.AdmitConnection(kClient, &message_));
  EXPECT_EQ(message_, "Maximum sessions reached, please try again later");
  EXPECT_TRUE(auth_.Admit(kClient, true, &message_));  // the light check ignores limits
}

TEST_F(AuthManagerTest, SafeListBeatsTheBlockedListAndUsersPerAddressCount) {
  Settings([](settings::ServerSettings& s) {
    s.mUseBlockIPs = true;
    s.mBlockIPs.AddRange({192, 168, 0, 0}, {192, 168, 255, 255});
  });
  EXPECT_FALSE(auth_.AdmitConnection(kClient, &message_));
  EXPECT_EQ(message_, "Access disallowed, your IP is blocked");
  Settings([](settings::ServerSettings& s) {
    s.mUseSafeIPs = true;
    s.mSafeIPs.AddAddress(kClient);
  });
  EXPECT_TRUE(auth_.AdmitConnection(kClient, &message_));
  EXPECT_EQ(auth_.ConnectedCount(), 1u);
  auth_.ConnectionEnded();
  EXPECT_EQ(auth_.ConnectedCount(), 0u);

  Settings([](settings::ServerSettings& s) {
    s.mUseMaxUsersPerIP = true;
    s.mMaxUsersPerIP = 1;
  });
  ASSERT_NE(Login(0), nullptr);
  EXPECT_EQ(Login(1), nullptr);
  EXPECT_EQ(message_, "Maximum sessions reached, please try again later");
  EXPECT_NE(Login(2, "bob", "pw", {10, 0, 0, 1}), nullptr);
}

TEST_F(AuthManagerTest, FifthWrongPasswordBlocksTheAddressForTenMinutes) {
  Settings([](settings::ServerSettings& s) { s.mAntiHammering = true; });
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Login(0, "bob", "wrong"), nullptr);
    EXPECT_EQ(message_, "Incorrect user name or password");
  }
  EXPECT_FALSE(auth_.AdmitConnection(kClient, &message_));
  EXPECT_EQ(message_, "Access disallowed (too many login failures)");
  EXPECT_EQ(Login(0), nullptr);
  EXPECT_TRUE(auth_.AdmitConnection({10, 1, 1, 1}, &message_));

  clock_.Advance(600'000);
  auth_.Tracker().Sweep();
  EXPECT_TRUE(auth_.AdmitConnection(kClient, &message_));
  EXPECT_NE(Login(0), nullptr);
}

TEST_F(AuthManagerTest, AnIpv6ClientCountsByItsSlash64) {
  const auto v6 = [](const char* text) { return *runtime::IpAddress::Parse(text); };
  const runtime::IpAddress first = v6("2001:db8:1:2::10"), second = v6("2001:db8:1:2:ffff::99");
  const runtime::IpAddress neighbour = v6("2001:db8:1:3::10");
  Settings([](settings::ServerSettings& s) {
    s.mAntiHammering = true;
    s.mUseMaxUsersPerIP = true;
    s.mMaxUsersPerIP = 1;
  });
  // One session per /64: the second address of it is the same client.
  ASSERT_NE(Login(0, "bob", "pw", first), nullptr);
  EXPECT_EQ(Login(1, "bob", "pw", second), nullptr);
  EXPECT_EQ(message_, "Maximum sessions reached, please try again later");
  EXPECT_NE(Login(2, "bob", "pw", neighbour), nullptr);

  // Five wrong passwords from two addresses of one /64 ban the whole /64.
  Settings([](settings::ServerSettings& s) { s.mUseMaxUsersPerIP = false; });
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Login(3 + i, "bob", "wrong", i % 2 == 0 ? first : second), nullptr);
  EXPECT_FALSE(auth_.AdmitConnection(v6("2001:db8:1:2::1234"), &message_));
  EXPECT_EQ(message_, "Access disallowed (too many login failures)");
  EXPECT_TRUE(auth_.AdmitConnection(neighbour, &message_));
  auth_.ConnectionEnded();

  // The lists take IPv6 prefixes.
  Settings([&](settings::ServerSettings& s) {
    s.mAntiHammering = false;
    s.mUseBlockIPs = true;
    s.mBlockIPs.AddRange(v6("2001:db8:1::"), v6("2001:db8:1:ffff:ffff:ffff:ffff:ffff"));
  });
  EXPECT_FALSE(auth_.AdmitConnection(neighbour, &message_));
  EXPECT_EQ(message_, "Access disallowed, your IP is blocked");
  EXPECT_TRUE(auth_.AdmitConnection(v6("2001:db8:2::1"), &message_));
  auth_.ConnectionEnded();
}

TEST_F(AuthManagerTest, NothingIsRecordedWithoutAntiHammeringOrForEmptyPasswords) {
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Login(0, "bob", "wrong"), nullptr);
  Settings([](settings::ServerSettings& s) { s.mAntiHammering = true; });
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Login(0, "bob", ""), nullptr);
    EXPECT_EQ(message_, "Incorrect user name or password");
  }
  EXPECT_TRUE(auth_.AdmitConnection(kClient, &message_));
}

TEST_F(AuthManagerTest, AccountSessionLimitsAndOwnLists) {
  AccountRecord limited = Account("carol", "pw");
  limited.mUseMaxUsers = true;
  limited.mMaxUsers = 1;
  accounts_.AddOrUpdate(limited);
  ActiveAccount* first = Login(0, "carol");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Login(1, "carol"), nullptr);
  EXPECT_EQ(message_, "Access disallowed (too many sessions or blocked IP)");

  limited.SetName("dave");
  limited.mAlwaysAllowLogin = true;
  accounts_.AddOrUpdate(limited);
  ActiveAccount* dave = Login(2, "dave");
  ASSERT_NE(dave, nullptr);
  EXPECT_EQ(Login(3, "DAVE"), dave);  // one shared object per account
  EXPECT_EQ(dave->SessionCount(), 2u);

  AccountRecord blocked = Account("erin", "pw");
  blocked.mUseBlockIPs = true;
  blocked.mBlockIPs.AddAddress(kClient);
  accounts_.AddOrUpdate(blocked);
  EXPECT_EQ(Login(4, "erin"), nullptr);
  EXPECT_EQ(message_, "Access disallowed (too many sessions or blocked IP)");
  EXPECT_NE(Login(5, "erin", "pw", {10, 0, 0, 2}), nullptr);
}

TEST_F(AuthManagerTest, LastLogoutWritesTheLiveCreditsToTheStoreFile) {
  AddBobWith500Credits();
  ASSERT_TRUE(auth_.Start());
  ActiveAccount* a = Login(0);
  ActiveAccount* b = Login(1);
  ASSERT_EQ(a, b);
  a->SubtractCredits(120);
  std::uint32_t live = 0;
  ASSERT_TRUE(auth_.GetLiveCredits("BOB", &live));
  EXPECT_EQ(live, 380u);
  auth_.Logout(&keys_[0], a);
  EXPECT_EQ(auth_.LoggedInCount(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("accounts.dta")));  // not yet
  ASSERT_TRUE(auth_.SetLiveCredits("bob", 377));
  auth_.Logout(&keys_[1], b);
  EXPECT_EQ(auth_.LoggedInCount(), 0u);
  EXPECT_FALSE(auth_.GetLiveCredits("bob", &live));
  // Saved in the background.
  EXPECT_TRUE(testing::WaitUntil([&] { return StoredCredits("bob") == 377u; }));
}

TEST_F(AuthManagerTest, LiveBalancesReachTheFileEveryMinuteWithoutALogout) {
  AddBobWith500Credits();
  ASSERT_TRUE(auth_.Start());
  ActiveAccount* account = Login(0);
  ASSERT_NE(account, nullptr);
  account->SubtractCredits(120);
  clock_.Advance(60'000);  // a minute
  EXPECT_TRUE(testing::WaitUntil([&] { return StoredCredits("bob") == 380u; }));
  EXPECT_EQ(auth_.LoggedInCount(), 1u);
}

TEST_F(AuthManagerTest, ABurstOfLastLogoutsSavesTheStoreAtMostTwice) {
  constexpr int kAccounts = 12;
  std::vector<ActiveAccount*> logged;
  for (int i = 0; i < kAccounts; ++i) {
    const std::string name = "user" + std::to_string(i);
    accounts_.AddOrUpdate(Account(name, "pw"));
    logged.push_back(Login(i, name));
    ASSERT_NE(logged.back(), nullptr) << name;
    logged.back()->SetCredits(i + 1);
  }
  ASSERT_TRUE(auth_.Start());
  writer_.hold_first = true;
  auth_.Logout(&keys_[0], logged[0]);
  ASSERT_TRUE(testing::WaitUntil([&] { return writer_.saves >= 1; }));
  // The other logouts come while the first save runs.
  for (int i = 1; i < kAccounts; ++i) auth_.Logout(&keys_[i], logged[i]);
  writer_.release.Set();
  // The first save may already hold some of the balances (its write-back
  // copies those of accounts still logged in); the requests during it lead
  // to one more, and the stopped saver makes the count final.
  EXPECT_TRUE(testing::WaitUntil([&] { return writer_.saves >= 2; }));
  auth_.Stop();
  EXPECT_EQ(StoredCredits("user11"), 12u);
  EXPECT_EQ(StoredCredits("user1"), 2u);
  EXPECT_EQ(writer_.saves.load(), 2);
}

std::string Complement(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(~c);
  return out;
}

TEST_F(AuthManagerTest, PasswordChanges) {
  AccountRecord changer = Account("bob", "pw");
  changer.mAllowPassChange = true;
  accounts_.AddOrUpdate(changer);
  ActiveAccount* account = Login(0);
  ASSERT_NE(account, nullptr);
  EXPECT_FALSE(auth_.ChangePassword(account, "new", &message_));
  EXPECT_EQ(message_, "You do not the access rights to perform this action");
  Settings([](settings::ServerSettings& s) { s.mAllowPassChange = true; });
  for (const std::string& bad : {std::string(), std::string("a;b"), std::string("a\"b"),
                                 std::string(99, 'x')}) {
    EXPECT_FALSE(auth_.ChangePassword(account, bad, &message_));
    EXPECT_EQ(message_, "The password contains some illegal characters or is zero length.");
  }
  ASSERT_TRUE(auth_.ChangePassword(account, "fresh", &message_)) << message_;
  EXPECT_EQ(Login(1, "bob", "pw"), nullptr);
  EXPECT_EQ(Login(2, "bob", "fresh"), account);
  AccountRecord stored;
  ASSERT_TRUE(accounts_.GetCopy("bob", &stored));
  EXPECT_EQ(stored.Password(), "fresh");
  // The file gets it soon, while the account is still logged in.
  ASSERT_TRUE(auth_.Start());
  ASSERT_TRUE(auth_.ChangePassword(account, "fresher", &message_)) << message_;
  EXPECT_TRUE(testing::WaitUntil(
      [&] { return testing::ReadWholeFile(dir_.File("accounts.dta")).find(Complement("fresher")) != std::string::npos; }));
}

TEST_F(AuthManagerTest, HashedModeTurnsAScrambledPasswordIntoItsHashAtTheNextLogin) {
  // A store of today's form: the password scrambled in the file.
  ASSERT_TRUE(accounts_.Save());
  ASSERT_NE(testing::ReadWholeFile(dir_.File("accounts.dta")).find(Complement("pw")), std::string::npos);
  std::string error;
  Settings([&](settings::ServerSettings& s) { ASSERT_TRUE(s.Extra().Set("password_storage", "hashed", &error)); });
  ASSERT_TRUE(auth_.Start());

  const int saves_before = writer_.saves;
  EXPECT_EQ(Login(0, "bob", "wrong"), nullptr);
  EXPECT_EQ(message_, "Incorrect user name or password");
  ActiveAccount* account = Login(1);
  ASSERT_NE(account, nullptr);
  AccountRecord stored;
  ASSERT_TRUE(accounts_.GetCopy("bob", &stored));
  EXPECT_TRUE(stored.HasPasswordHash());
  EXPECT_EQ(stored.Password().rfind("$y$", 0), 0u);
  EXPECT_EQ(account->RecordCopy().Password(), stored.Password());  // the live record too

  // The saver writes the hash to the file soon, in place of the scrambled form.
  std::string bytes;
  EXPECT_TRUE(testing::WaitUntil([&] {
    bytes = testing::ReadWholeFile(dir_.File("accounts.dta"));
    return bytes.find(stored.Password()) != std::string::npos;
  }));
  EXPECT_GT(writer_.saves, saves_before);
  EXPECT_EQ(bytes.find(Complement("pw")), std::string::npos);

  // The live account and a fresh look-up both check against the hash.
  EXPECT_EQ(Login(2, "bob", "pw"), account);
  EXPECT_EQ(Login(3, "bob", stored.Password()), nullptr);
  auth_.RefreshActiveAccounts();
  EXPECT_TRUE(account->RecordCopy().mEnabled);
  auth_.Logout(&keys_[1], account);
  auth_.Logout(&keys_[2], account);
  EXPECT_NE(Login(4, "bob", "pw"), nullptr);
  EXPECT_EQ(Login(5, "bob", "wrong"), nullptr);
}

TEST_F(AuthManagerTest, AWrongNameFailsAsLateAsAWrongPasswordAndABannedAddressCostsNoHash) {
  std::string error;
  Settings([&](settings::ServerSettings& s) {
    ASSERT_TRUE(s.Extra().Set("password_storage", "hashed", &error));
    s.mAntiHammering = true;
  });
  AccountRecord hashed = Account("bob", "");
  ASSERT_TRUE(hashed.SetNewPassword("pw", true, &error)) << error;
  accounts_.AddOrUpdate(hashed);
  accounts_.AddOrUpdate(Account("carol", "not-yet-hashed"));
  ASSERT_TRUE(auth_.Start());

  // The fastest of four failed logins each, in ms, taken in turns so that
  // load falls on all three alike: a busy machine only ever adds time, so
  // the fastest is the closest to the real cost.
  const std::string_view names[] = {"bob", "nobody", "carol"};
  const runtime::IpAddress from[] = {{10, 0, 1, 1}, {10, 0, 2, 1}, {10, 0, 3, 1}};
  double fastest_ms[] = {1e9, 1e9, 1e9};
  for (int round = 0; round < 4; ++round) {
    for (int k = 0; k < 3; ++k) {
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(Login(round, names[k], "wrong", from[k]), nullptr) << names[k];
      fastest_ms[k] = std::min(
          fastest_ms[k], std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
  }
  const double wrong_password = fastest_ms[0], no_such_name = fastest_ms[1], not_yet_hashed = fastest_ms[2];
  EXPECT_GT(no_such_name, wrong_password / 2) << "a missing name answers early";
  EXPECT_GT(not_yet_hashed, wrong_password / 2);

  // Five failures ban the address; its next guesses are refused before any
  // hash is checked (the fastest of three, so a busy machine cannot fake it).
  const runtime::IpAddress banned{10, 0, 4, 1};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Login(i, "bob", "wrong", banned), nullptr);
  double fastest = 1e9;
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Login(i, "bob", "pw", banned), nullptr);
    fastest = std::min(fastest, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  EXPECT_LT(fastest, wrong_password / 4);
  EXPECT_NE(Login(5, "bob", "pw", {10, 0, 5, 1}), nullptr);
}

TEST_F(AuthManagerTest, ScrambledModeLeavesThePasswordAsItIs) {
  ASSERT_NE(Login(0), nullptr);
  AccountRecord stored;
  ASSERT_TRUE(accounts_.GetCopy("bob", &stored));
  EXPECT_EQ(stored.Password(), "pw");
}

TEST_F(AuthManagerTest, HashedModeKeepsAnonymousAsItWas) {
  accounts_.AddOrUpdate(Account("anonymous", ""));
  std::string error;
  Settings([&](settings::ServerSettings& s) { ASSERT_TRUE(s.Extra().Set("password_storage", "hashed", &error)); });
  ActiveAccount* account = Login(0, "anonymous", "guest@example.com");
  ASSERT_NE(account, nullptr);
  EXPECT_EQ(Login(1, "Anonymous", "other@example.com"), account);
  EXPECT_EQ(Login(2, "anonymous", ""), nullptr);  // an empty password is refused, as ever
  AccountRecord stored;
  ASSERT_TRUE(accounts_.GetCopy("anonymous", &stored));
  EXPECT_TRUE(stored.Password().empty());
  EXPECT_TRUE(stored.IsAnonymous());
}

TEST_F(AuthManagerTest, HashedModeStoresAChangedPasswordAsItsHash) {
  AccountRecord changer = Account("bob", "pw");
  changer.mAllowPassChange = true;
  accounts_.AddOrUpdate(changer);
  std::string error;
  Settings([&](settings::ServerSettings& s) {
    s.mAllowPassChange = true;
    ASSERT_TRUE(s.Extra().Set("password_storage", "hashed", &error));
  });
  ActiveAccount* account = Login(0);
  ASSERT_NE(account, nullptr);
  ASSERT_TRUE(auth_.ChangePassword(account, "fresh", &message_)) << message_;
  AccountRecord stored;
  ASSERT_TRUE(accounts_.GetCopy("bob", &stored));
  EXPECT_TRUE(stored.HasPasswordHash());
  EXPECT_TRUE(stored.MatchLogin("bob", "fresh"));
  EXPECT_EQ(Login(1, "bob", "pw"), nullptr);
  EXPECT_EQ(Login(2, "bob", "fresh"), account);
  auth_.RefreshActiveAccounts();
  EXPECT_TRUE(account->RecordCopy().mEnabled);
}

TEST_F(AuthManagerTest, AllowancesShareTheAccountAndServerLimits) {
  AccountRecord limited = Account("bob", "pw");
  limited.mUseMaxDownloadSpeed = true;
  limited.mMaxDownloadSpeed = 4;  // 4096 bytes per second
  accounts_.AddOrUpdate(limited);
  Settings([](settings::ServerSettings& s) {
    s.mUseMaxDownloadSpeed = true;
    s.SetMaxDownloadSpeedKb(1);  // 1024 bytes per second
  });
  ActiveAccount* account = Login(0);
  ASSERT_NE(account, nullptr);
  EXPECT_EQ(account->DownloadAllowance(2048), 1024u);  // the server allows less
  EXPECT_EQ(account->DownloadAllowance(2048), 0u);
  clock_.Advance(500);
  // The account's bucket got the refused bytes back, so only the server limits.
  EXPECT_EQ(account->DownloadAllowance(2048), 512u);
  EXPECT_EQ(account->UploadAllowance(9999), 9999u);  // no upload limit at all
}

TEST_F(AuthManagerTest, RefreshStopsWhatTheStoreNoLongerAllows) {
  ActiveAccount* account = Login(0);
  ASSERT_NE(account, nullptr);
  accountfs::FileTransfer* download = account->OpenForDownload("/file.bin", 0, &message_);
  ASSERT_NE(download, nullptr);
  AccountRecord narrowed = Account("bob", "pw");
  narrowed.mRights = accounts::kFolderView;
  accounts_.AddOrUpdate(narrowed);
  auth_.RefreshActiveAccounts();
  char buffer[16];
  std::size_t length = sizeof buffer;
  std::string reason;
  EXPECT_FALSE(download->Read(buffer, &length, &reason));
  account->CloseTransfer(download);

  accounts_.Delete("bob");
  auth_.RefreshActiveAccounts();
  EXPECT_FALSE(account->StillAllowed(kClient));
  EXPECT_EQ(Login(1), nullptr);
}

TEST_F(AuthManagerTest, SnapshotsAndAccountLogs) {
  AccountRecord logged = Account("bob", "pw");
  logged.mUseLogs = true;
  logged.mUseCredits = true;
  logged.mCurrentCredits = 9;
  accounts_.AddOrUpdate(logged);
  activity_[0].SetUser("bob", 17);
  activity_[0].SetActivity("Downloaded", "/file.bin");
  ActiveAccount* account = Login(0);
  ASSERT_NE(account, nullptr);
  const std::vector<ActivitySnapshot> sessions = auth_.SnapshotSessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].session_id, 17u);
  EXPECT_EQ(sessions[0].current_item, "/file.bin");
  EXPECT_EQ(sessions[0].credits, 9u);
  EXPECT_TRUE(sessions[0].use_credits);
  account->WriteAccountLog("192.168.1.10 -> Logged in");
  EXPECT_NE(testing::ReadWholeFile(dir_.File("logs/bob.txt")).find("-> 192.168.1.10 -> Logged in\r\n"),
            std::string::npos);
}

// Many sessions of one account log in, move data and log out at once. Run it
// under ThreadSanitizer to check the locking (see the README).
TEST_F(AuthManagerTest, ARightPasswordIsNeverRefusedWhileOtherSessionsOfTheAccountComeAndGo) {
  // The account's last session logging out while a login checks the
  // password against its live record must not turn that login away, nor
  // count as a guess against the address.
  Settings([](settings::ServerSettings& s) { s.mAntiHammering = true; });
  ASSERT_TRUE(auth_.Start());
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::atomic<int> refused{0};
  std::latch start(kThreads);
  std::vector<std::thread> sessions;
  for (int t = 0; t < kThreads; ++t) {
    sessions.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        std::string message;
        ActiveAccount* account = auth_.Login(Session(t), "bob", "pw", &activity_[t], &message);
        if (account == nullptr) {
          ++refused;
          continue;
        }
        auth_.Logout(&keys_[t], account);
      }
    });
  }
  for (auto& session : sessions) session.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_FALSE(auth_.Tracker().IsBlocked(kClient));
  EXPECT_EQ(auth_.LoggedInCount(), 0u);
}

TEST_F(AuthManagerTest, LoginsRacingTheFirstHashShareOneLiveAccount) {
  // Each login checks the scrambled password; the first to finish replaces
  // it by its hash. The others still join that one live account, which
  // counts all their sessions.
  std::string error;
  Settings([&](settings::ServerSettings& s) { ASSERT_TRUE(s.Extra().Set("password_storage", "hashed", &error)); });
  ASSERT_TRUE(auth_.Start());
  constexpr int kThreads = 6;
  std::latch start(kThreads);
  std::vector<ActiveAccount*> logged(kThreads, nullptr);
  std::vector<std::thread> sessions;
  for (int t = 0; t < kThreads; ++t) {
    sessions.emplace_back([&, t] {
      std::string message;
      start.arrive_and_wait();
      logged[t] = auth_.Login(Session(t), "bob", "pw", &activity_[t], &message);
    });
  }
  for (auto& session : sessions) session.join();
  ASSERT_NE(logged[0], nullptr);
  for (ActiveAccount* account : logged) EXPECT_EQ(account, logged[0]);
  EXPECT_EQ(auth_.SessionsOf("bob"), static_cast<std::uint32_t>(kThreads));
  EXPECT_TRUE(logged[0]->RecordCopy().HasPasswordHash());
  for (int t = 0; t < kThreads; ++t) auth_.Logout(&keys_[t], logged[t]);
}

TEST_F(AuthManagerTest, ConcurrentSessionsOfOneAccount) {
  AccountRecord shared = Account("bob", "pw");
  shared.mUseCredits = true;
  shared.mDownloadCredits = 1;
  shared.mUseMaxDownloadSpeed = true;
  shared.mMaxDownloadSpeed = 1'000'000;
  accounts_.AddOrUpdate(shared);
  ASSERT_TRUE(auth_.Start());
  std::atomic<int> transferred{0};
  std::vector<std::thread> sessions;
  for (int t = 0; t < 6; ++t) {
    sessions.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        std::string message;
        ActiveAccount* account =
            auth_.Login(Session(t), "bob", "pw", &activity_[t], &message);
        if (account == nullptr) continue;
        accountfs::FileTransfer* download = account->OpenForDownload("/file.bin", 0, &message);
        if (download != nullptr) {
          char buffer[2048];
          std::string reason;
          while (!download->IsFinished()) {
            std::size_t length = account->DownloadAllowance(sizeof buffer);
            if (!download->Read(buffer, &length, &reason)) break;
            transferred += static_cast<int>(length);
          }
          account->CloseTransfer(download);
        }
        activity_[t].SetCounters(round, round);
        auth_.SnapshotSessions();
        auth_.Logout(&keys_[t], account);
      }
    });
  }
  std::thread refresher([&] {
    for (int i = 0; i < 20; ++i) auth_.RefreshActiveAccounts();
  });
  for (auto& session : sessions) session.join();
  refresher.join();
  EXPECT_EQ(auth_.LoggedInCount(), 0u);
  EXPECT_GT(transferred.load(), 0);
  AccountRecord stored;
  ASSERT_TRUE(accounts_.GetCopy("bob", &stored));
  EXPECT_GT(stored.mCurrentCredits, 0u);
}

}  // namespace
}  // namespace quillon::access
