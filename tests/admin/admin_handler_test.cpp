#include "admin/admin_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "admin/remote_admin_service.h"
#include "control/settings_control.h"
#include "platform/tls.h"
#include "support/admin_fixture.h"
#include "support/loopback_client.h"
#include "support/tls_client.h"
#include "support/wait.h"

namespace quillon::admin {
namespace {

using http::BuiltInNotFoundPage;
using http::HttpRequest;
using http::HttpServer;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

using Answer = testing::AdminAnswer;

class AdminHandlerTest : public testing::AdminFixture {
 protected:
  void SetUp() override {
    AdminFixture::SetUp();
    WriteWholeFile(dir_.File("remoteadmin/index.html"), "index page");
    WriteWholeFile(dir_.File("remoteadmin/_menu.html"), "menu <!--LOGOUTLINK--> end");
    handler_ = std::make_unique<AdminHandler>(*server_, clock_, dir_.Path());
  }

  AdminHandler& Handler() override { return *handler_; }

  std::string AdminLog() const { return ReadWholeFile(dir_.File("logs/remoteadmin_0.txt")); }

  std::unique_ptr<AdminHandler> handler_;
};

TEST_F(AdminHandlerTest, LoginGivesA49DigitIdThatExpiresAfterTwoHours) {
  const std::string id = LogIn();
  ASSERT_EQ(id.size(), 49u);
  EXPECT_NE(AdminLog().find("127.0.0.1 -> Logged In"), std::string::npos);

  Answer menu = Request("GET /_menu?id=" + id);
  EXPECT_EQ(menu.header.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(menu.body, "menu _logout?id=" + id + " end");

  // Each accepted request restarts the two hours.
  clock_.Advance(7'200'000);
  EXPECT_EQ(Request("GET /_menu?id=" + id).body, menu.body);
  clock_.Advance(7'200'001);
  EXPECT_TRUE(Request("GET /_menu?id=" + id).Redirects("/badlogin.html"));
  clock_.Advance(1);
  EXPECT_TRUE(Request("GET /_menu?id=" + id).Redirects("/badlogin.html"));

  // A second login replaces the id; logout ends the session.
  const std::string second = LogIn();
  EXPECT_NE(second, id);
  EXPECT_TRUE(Request("GET /_menu?id=" + id).Redirects("/badlogin.html"));
  EXPECT_TRUE(Request("GET /_logout?id=" + second).Redirects("/loggedout.html"));
  EXPECT_TRUE(Request("GET /_menu?id=" + second).Redirects("/badlogin.html"));
}

TEST_F(AdminHandlerTest, AnIdNeverComesBackWhenTheTickWraps) {
  const std::string id = LogIn();
  // 2^32 ms later the 32-bit tick reads as it did at the login.
  clock_.Advance(0x8000'0000u);
  clock_.Advance(0x8000'0000u);
  EXPECT_TRUE(Request("GET /_menu?id=" + id).Redirects("/badlogin.html"));
}

TEST_F(AdminHandlerTest, OnlyFormRoutesTakeBodies) {
  auto post = [](const char* path) {
    return std::string("POST ") + path + " HTTP/1.1";
  };
  HttpRequest login("127.0.0.1", "1", dir_.File("temp"), clock_);
  login.ParseHeaderLine(post("/_LOGIN"));
  EXPECT_TRUE(handler_->TakesBody(login));
  HttpRequest menu("127.0.0.1", "1", dir_.File("temp"), clock_);
  menu.ParseHeaderLine(post("/_menu"));
  EXPECT_FALSE(handler_->TakesBody(menu));
  HttpRequest page("127.0.0.1", "1", dir_.File("temp"), clock_);
  page.ParseHeaderLine(post("/index.html"));
  EXPECT_FALSE(handler_->TakesBody(page));
}

TEST_F(AdminHandlerTest, WrongPasswordsWaitFiveSecondsOneAtATime) {
  clock_.SetSleepAdvances(true);
  std::uint32_t start = clock_.TickMs();
  Answer answer = Request("POST /_login", "pass=wrong6");
  EXPECT_TRUE(answer.Redirects("/badlogin.html"));
  EXPECT_GE(clock_.TickMs() - start, 5000u);
  EXPECT_NE(AdminLog().find("127.0.0.1 -> Login Failure: Password Length=[6]"), std::string::npos);

  // Parallel guesses queue behind one another.
  start = clock_.TickMs();
  std::thread other([this] { Request("POST /_login", "pass=guess"); });
  Request("POST /_login", "pass=other");
  other.join();
  EXPECT_GE(clock_.TickMs() - start, 10'000u);
  EXPECT_EQ(clock_.MaxConcurrentSleepers(), 1);

  // No pass field: no pause; the right password is case-sensitive.
  start = clock_.TickMs();
  EXPECT_TRUE(Request("POST /_login", "password=letmein").Redirects("/badlogin.html"));
  EXPECT_EQ(clock_.TickMs(), start);
  EXPECT_TRUE(Request("POST /_login", "pass=LetMeIn").Redirects("/badlogin.html"));
}

// Runs `end` when the scope ends, also when a failed assertion leaves it
// early (threads still running must be ended and joined).
template <typename End>
struct AtScopeEnd {
  End end;
  ~AtScopeEnd() { end(); }
};

void JoinAll(std::vector<std::thread>& threads) {
  for (auto& thread : threads)
    if (thread.joinable()) thread.join();
}

// Counts the lines of the admin log that hold `text`.
int CountLines(const std::string& log, const std::string& text) {
  int count = 0;
  for (std::size_t at = 0; (at = log.find(text, at)) != std::string::npos; at += text.size()) ++count;
  return count;
}

const std::string kWrongPost =
    "POST /_login HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
    "Content-Length: 10\r\n\r\npass=wrong";
const std::string kRightPost =
    "POST /_login HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
    "Content-Length: 12\r\n\r\npass=letmein";

TEST_F(AdminHandlerTest, ABurstOfWrongPasswordsLeavesTheAdminAnswering) {
  clock_.SetSleepAdvances(true);  // each 50 ms pause step takes 1 ms
  ChangeSettings([](settings::ServerSettings& s) { s.mRAPort = 0; });
  RemoteAdminService service(*server_, clock_, dir_.Path());
  ASSERT_TRUE(service.Start());
  const std::uint16_t port = service.LocalPort();
  // As many guesses as one address may have connections.
  std::atomic<int> wrong{0}, busy{0};
  std::vector<std::thread> guessers;
  AtScopeEnd join{[&] { JoinAll(guessers); }};
  for (std::uint32_t i = 0; i < HttpServer::kMaxPerAddress; ++i) {
    guessers.emplace_back([&] {
      testing::LoopbackClient client;
      if (!client.Connect(port, 2000, 2) || !client.Send(kWrongPost)) return;
      const std::string answer = client.Receive(SIZE_MAX, 20'000);
      if (answer.find("/badlogin.html") != std::string::npos) ++wrong;
      if (answer.rfind("HTTP/1.1 503 ", 0) == 0) ++busy;
    });
  }
  // Meanwhile a page is answered at once.
  testing::LoopbackClient page;
  ASSERT_TRUE(page.Connect(port));
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(page.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_NE(page.Receive(SIZE_MAX, 5000).find("index page"), std::string::npos);
  // Well under the seconds the queued guesses take; loose for loaded machines.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  JoinAll(guessers);
  // Every guess is answered; only those compared are called wrong.
  EXPECT_EQ(wrong + busy, static_cast<int>(HttpServer::kMaxPerAddress));
  EXPECT_GE(wrong, 1);
  EXPECT_EQ(CountLines(AdminLog(), "127.0.0.2 -> Login Failure"), wrong.load());
  EXPECT_EQ(CountLines(AdminLog(), "127.0.0.2 -> Login Not Checked: Server Busy"), busy.load());
  EXPECT_EQ(clock_.MaxConcurrentSleepers(), 1);  // one pause at a time for the address
  EXPECT_FALSE(handler_->Session().IsLoggedIn());
}

TEST_F(AdminHandlerTest, GuessesFromOneAddressNeverDelayOrFailTheRightPasswordFromAnother) {
  // Real time: the pauses last their five seconds.
  platform::SystemClock real;
  ChangeSettings([](settings::ServerSettings& s) { s.mRAPort = 0; });
  RemoteAdminService service(*server_, real, dir_.Path());
  ASSERT_TRUE(service.Start());
  const std::uint16_t port = service.LocalPort();
  constexpr int kGuessers = 6;
  std::mutex answers_lock;
  std::vector<std::string> answers;
  std::vector<std::thread> guessers;
  AtScopeEnd stop{[&] {
    service.Stop();  // cuts the pause and the waits short
    JoinAll(guessers);
  }};
  for (int i = 0; i < kGuessers; ++i) {
    guessers.emplace_back([&] {
      testing::LoopbackClient client;
      std::string answer = "(no connection)";
      if (client.Connect(port, 2000, 2) && client.Send(kWrongPost)) answer = client.Receive(SIZE_MAX, 30'000);
      std::lock_guard<std::mutex> guard(answers_lock);
      answers.push_back(answer);
    });
  }
  // One guess pauses, two wait their turn: the others are answered at once.
  const int waiting = 1 + AdminHandler::kMaxWaitingGuesses;
  ASSERT_TRUE(testing::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> guard(answers_lock);
        return answers.size() == static_cast<std::size_t>(kGuessers - waiting);
      },
      20'000));
  {
    std::lock_guard<std::mutex> guard(answers_lock);
    for (const std::string& answer : answers) {
      // Not compared, so not called wrong.
      EXPECT_EQ(answer.rfind("HTTP/1.1 503 Service Unavailable\r\nRetry-After: 5\r\n", 0), 0u) << answer;
      EXPECT_EQ(answer.find("/badlogin.html"), std::string::npos);
    }
  }
  // The administrator at another address gets in within the one pause.
  testing::LoopbackClient admin;
  ASSERT_TRUE(admin.Connect(port));
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(admin.Send(kRightPost));
  const std::string answer = admin.Receive(SIZE_MAX, 10'000);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(7));
  EXPECT_NE(answer.find("URL=_menu?id="), std::string::npos) << answer;
  EXPECT_TRUE(service.Handler().Session().IsLoggedIn());

  service.Stop();  // cuts the pause and the waits short
  JoinAll(guessers);
  const std::string log = ReadWholeFile(dir_.File("logs/remoteadmin_0.txt"));
  EXPECT_EQ(CountLines(log, "127.0.0.1 -> Logged In"), 1);
  // The one password compared is the only one that can have been called wrong.
  EXPECT_LE(CountLines(log, "127.0.0.2 -> Login Failure"), 1);
  int called_wrong = 0;
  for (const std::string& guess : answers) called_wrong += guess.find("/badlogin.html") != std::string::npos;
  EXPECT_LE(called_wrong, CountLines(log, "127.0.0.2 -> Login Failure"));
  // The pause cut short still holds back the address's next check.
  EXPECT_EQ(service.Handler().GuessAddressCount(), 1u);
}

// A clock whose sleeps last until the test opens its gate; from then on each
// sleep moves the clock on by its length.
class GatedClock final : public platform::Clock {
 public:
  std::uint32_t TickMs() override { return static_cast<std::uint32_t>(now_.load()); }
  std::uint64_t MonotonicMs() override { return now_.load(); }
  std::int64_t WallTimeNs() override { return 0; }
  void SleepMs(std::uint32_t ms) override {
    std::unique_lock<std::mutex> lock(lock_);
    ++sleepers_;
    opened_.wait(lock, [this] { return open_; });
    --sleepers_;
    now_ += ms;
  }
  void Open() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      open_ = true;
    }
    opened_.notify_all();
  }
  int Sleepers() {
    std::lock_guard<std::mutex> guard(lock_);
    return sleepers_;
  }

 private:
  std::atomic<std::uint64_t> now_{1'000'000};
  std::mutex lock_;
  std::condition_variable opened_;
  bool open_ = false;  // guarded by lock_
  int sleepers_ = 0;   // guarded by lock_
};

TEST_F(AdminHandlerTest, EveryAddressPausesAloneAndTheAddressesTrackedAreBounded) {
  GatedClock gate;
  AdminHandler handler(*server_, gate, dir_.Path());
  constexpr std::size_t kFull = AdminHandler::kMaxGuessAddresses;
  // A wrong password from each of as many addresses as are tracked: all
  // are compared and pause side by side.
  std::vector<Answer> answers(kFull);
  std::vector<std::thread> guessers;
  AtScopeEnd open{[&] {
    gate.Open();
    JoinAll(guessers);
  }};
  for (std::size_t i = 0; i < kFull; ++i) {
    guessers.emplace_back([&, i] {
      const std::string peer = "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
      answers[i] = RequestTo(handler, peer, "POST /_login", "pass=wrong");
    });
  }
  ASSERT_TRUE(testing::WaitUntil([&] { return gate.Sleepers() == static_cast<int>(kFull); }, 30'000));
  EXPECT_EQ(handler.GuessAddressCount(), kFull);

  // One address more: not tracked, its password is not checked (the right
  // one does not get in, and is not called wrong).
  const Answer built_in = RequestTo(handler, "10.9.9.9", "POST /_login", "pass=letmein");
  EXPECT_TRUE(built_in.IsBusy()) << built_in.header;
  EXPECT_NE(built_in.body.find("Error 503"), std::string::npos);
  WriteWholeFile(dir_.File("remoteadmin/busy.html"), "busy page");
  const Answer own_page = RequestTo(handler, "10.9.9.9", "POST /_login", "pass=letmein");
  EXPECT_TRUE(own_page.IsBusy()) << own_page.header;
  EXPECT_EQ(own_page.body, "busy page");
  EXPECT_FALSE(handler.Session().IsLoggedIn());
  EXPECT_EQ(handler.GuessAddressCount(), kFull);

  gate.Open();
  JoinAll(guessers);
  for (const Answer& answer : answers) EXPECT_TRUE(answer.Redirects("/badlogin.html"));
  // Nothing is kept once the pauses are over; the address gets in now.
  EXPECT_EQ(handler.GuessAddressCount(), 0u);
  const std::string log = AdminLog();
  EXPECT_EQ(CountLines(log, "-> Login Failure"), static_cast<int>(kFull));
  EXPECT_EQ(CountLines(log, "10.9.9.9 -> Login Not Checked: Server Busy"), 2);
  EXPECT_NE(RequestTo(handler, "10.9.9.9", "POST /_login", "pass=letmein").body.find("URL=_menu?id="),
            std::string::npos);
  EXPECT_EQ(handler.GuessAddressCount(), 0u);
}

TEST_F(AdminHandlerTest, TheAdminKeepsSpeakingOnlyHttpsWhenTheFtpSideLosesItsCertificate) {
  std::string error;
  ASSERT_TRUE(platform::WriteSelfSignedCertificate("127.0.0.1", dir_.File("config/cert.pem"),
                                                   dir_.File("config/key.pem"), &error))
      << error;
  ChangeSettings([this](settings::ServerSettings& s) {
    s.mRAPort = 0;
    std::string message;
    EXPECT_TRUE(s.Extra().Set("admin_tls", "on", &message)) << message;
    EXPECT_TRUE(s.Extra().Set("tls_certificate", dir_.File("config/cert.pem"), &message)) << message;
    EXPECT_TRUE(s.Extra().Set("tls_key", dir_.File("config/key.pem"), &message)) << message;
  });
  port_ = Start();
  RemoteAdminService service(*server_, clock_, dir_.Path());
  ASSERT_TRUE(service.Start());
  std::uint16_t port = service.LocalPort();
  const auto expect_https_only = [&](const std::string& when) {
    testing::TlsClient secure;
    ASSERT_TRUE(secure.Connect(port)) << when;
    ASSERT_TRUE(secure.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n")) << when;
    const std::string page = secure.ReceiveAll();
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << when << "\n" << page;
    EXPECT_NE(page.find("index page"), std::string::npos) << when;
    testing::LoopbackClient plain;
    ASSERT_TRUE(plain.Connect(port)) << when;
    ASSERT_TRUE(plain.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n")) << when;
    const std::string redirect = plain.Receive(SIZE_MAX, 5000);
    EXPECT_EQ(redirect.rfind("HTTP/1.1 307 ", 0), 0u) << when << "\n" << redirect;
    EXPECT_NE(redirect.find("Location: https://127.0.0.1:" + std::to_string(port) + "/\r\n"), std::string::npos)
        << when << "\n" << redirect;
    EXPECT_EQ(redirect.find("index page"), std::string::npos) << when;
  };
  expect_https_only("at the start");

  struct Failure {
    const char* what;
    std::function<void()> cause;
    std::function<void()> mend;
  };
  runtime::TcpSocket taken;
  const Failure failures[] = {
      {"the FTP port is taken",
       [&] {
         ASSERT_TRUE(taken.ListenOn(0));
         ChangeSettings([&](settings::ServerSettings& s) { s.mPort = taken.LocalPort(); });
       },
       [&] {
         taken.Close();
         ChangeSettings([](settings::ServerSettings& s) { s.mPort = 0; });
       }},
      {"the key cannot be read any more",
       [&] { std::filesystem::rename(dir_.File("config/key.pem"), dir_.File("config/key.old")); },
       [&] { std::filesystem::rename(dir_.File("config/key.old"), dir_.File("config/key.pem")); }},
  };
  for (const Failure& failure : failures) {
    server_->Deactivate();
    failure.cause();
    EXPECT_FALSE(server_->Activate(&error)) << failure.what;
    expect_https_only(std::string("after a failed activation: ") + failure.what);
    failure.mend();
  }
  EXPECT_EQ(server_->Tls().Get().context, nullptr);  // the FTP side has none now

  // Restarted, the admin takes the certificate afresh; without one it does not start.
  service.Stop();
  ASSERT_TRUE(service.Start());
  port = service.LocalPort();
  expect_https_only("after a restart");
  service.Stop();
  std::filesystem::remove(dir_.File("config/key.pem"));
  EXPECT_FALSE(service.Start());
  EXPECT_FALSE(service.IsRunning());
}

TEST_F(AdminHandlerTest, AnEmptyAdminPasswordLetsNobodyIn) {
  ChangeSettings([](settings::ServerSettings& s) { s.mRAPass.clear(); });
  EXPECT_TRUE(Request("POST /_login", "pass=").Redirects("/badlogin.html"));
  EXPECT_FALSE(handler_->Session().IsLoggedIn());
}

TEST_F(AdminHandlerTest, AHashedStoreKeepsTheAdminPasswordOnlyAsItsHash) {
  std::string message;
  ChangeSettings([&](settings::ServerSettings& s) {
    EXPECT_TRUE(s.Extra().Set("password_storage", "hashed", &message)) << message;
  });
  auto field = [this] {
    std::string stored;
    ChangeSettings([&](settings::ServerSettings& s) { stored = s.mRAPass; });
    return stored;
  };
  auto complement = [](std::string text) {
    for (char& ch : text) ch = static_cast<char>(~ch);
    return text;
  };
  const control::SettingsControl control(*server_);

  // A password stored as it was before logs in, and becomes its hash at that
  // login: the saved file then holds neither it nor its complement.
  ASSERT_EQ(field(), "letmein");
  EXPECT_EQ(LogIn().size(), 49u);
  const std::string hash = field();
  EXPECT_EQ(hash.rfind("$y$", 0), 0u) << hash;
  const std::string file = ReadWholeFile(dir_.File("config/settings.dta"));
  EXPECT_NE(file.find(hash), std::string::npos);
  EXPECT_EQ(file.find("letmein"), std::string::npos);
  EXPECT_EQ(file.find(complement("letmein")), std::string::npos);
  EXPECT_EQ(LogIn().size(), 49u);
  EXPECT_EQ(field(), hash) << "a hash is not made again";
  EXPECT_FALSE(control.AdminPasswordMatches(hash)) << "the hash itself is no password";
  EXPECT_FALSE(control.AdminPasswordMatches("letmei"));

  // Set by name (the set-up tool, the JSON interface) or through the
  // settings sheet, a new password is stored as its hash at once; the hash
  // handed back unchanged stays as it is.
  ChangeSettings([&](settings::ServerSettings& s) {
    EXPECT_TRUE(s.SetFromText("mRAPass", "$tarts-like-a-hash", &message)) << message;
  });
  EXPECT_NE(field(), "$tarts-like-a-hash");
  EXPECT_TRUE(control.AdminPasswordMatches("$tarts-like-a-hash"));
  control::SettingsControl editor(*server_);
  control::SettingsSnapshot values = editor.Read();
  const std::string before = values.remote_admin_password;
  editor.Store(values, control::SettingsScope::kAll);
  EXPECT_EQ(field(), before);
  values.remote_admin_password = "sheet-pass";
  editor.Store(values, control::SettingsScope::kAll);
  EXPECT_EQ(field().rfind("$y$", 0), 0u);
  EXPECT_TRUE(control.AdminPasswordMatches("sheet-pass"));
  EXPECT_FALSE(control.AdminPasswordMatches("$tarts-like-a-hash"));

  // Scrambled (the default), a password is kept as typed, as before.
  ChangeSettings([&](settings::ServerSettings& s) {
    EXPECT_TRUE(s.Extra().Set("password_storage", "scrambled", &message)) << message;
    EXPECT_TRUE(s.SetFromText("mRAPass", "plain-pass", &message)) << message;
  });
  EXPECT_EQ(field(), "plain-pass");
  EXPECT_TRUE(control.AdminPasswordMatches("plain-pass"));
}

TEST_F(AdminHandlerTest, RouterChecksMethodIdAndPath) {
  std::string reached;
  handler_->AddRoute(HttpRequest::Method::kGet, "/_status",
                     [&](HttpRequest& request, const std::string& id) {
                       reached = id;
                       request.Response().SendPage("status");
                     });
  const std::string id = LogIn();

  // Paths compare without regard to case; the id compares exactly.
  EXPECT_EQ(Request("GET /_STATUS?id=" + id).body, "status");
  EXPECT_EQ(reached, id);
  EXPECT_TRUE(Request("GET /_status?id=" + id + "0").Redirects("/badlogin.html"));
  EXPECT_TRUE(Request("GET /_status?id=" + id.substr(1)).Redirects("/badlogin.html"));

  const std::string not_found = "HTTP/1.1 404 Not Found";
  EXPECT_EQ(Request("GET /_status").header.substr(0, 22), not_found);
  EXPECT_EQ(Request("GET /_logout").header.substr(0, 22), not_found);
  EXPECT_EQ(Request("POST /_status?id=" + id, "a=1").header.substr(0, 22), not_found);
  EXPECT_EQ(Request("GET /_nosuchpage?id=" + id).header.substr(0, 22), not_found);
  EXPECT_EQ(Request("HEAD /_menu?id=" + id).header.substr(0, 24), "HTTP/1.1 400 Bad Request");

  // Static files and plain pages (a name in capitals finds the lower-case file).
  EXPECT_EQ(Request("GET /").body, "index page");
  EXPECT_EQ(Request("GET /index.html").body, "index page");
  EXPECT_EQ(Request("GET /_MENU?id=" + id).body, "menu _logout?id=" + id + " end");
  EXPECT_EQ(Request("GET /missing.html").header.substr(0, 22), not_found);
}

TEST_F(AdminHandlerTest, TemplatesExpandBothMarkerFormsAndEscapeUserText) {
  accounts::AccountRecord odd;
  odd.SetName("a<b>\"c\"");
  server_->Accounts().AddOrUpdate(odd);
  WriteWholeFile(dir_.File("remoteadmin/_page.html"),
                 "x<!--ID-->y|<!-- ID-->|####MENULINK####|a<!--NOSUCH-->b|<!-x|##x|"
                 "<!--MSG1-->|<!--MSG2-->|<!--CURRENTACCOUNTCOUNT-->/<!--MAXACCOUNTS-->|"
                 "<!--ADDIPMSG-->|<!--ACCOUNTSOPTIONSLIST-->|<!--OWN-->");
  const std::string id = LogIn();
  const std::string body =
      Request("GET /_page?id=" + id + "&msg1=%3Cscript%3Ealert(1)%3C/script%3E&msg2=a%26quot%3Bb")
          .body;
  EXPECT_EQ(body, "x" + id + "y|<!-- ID-->|_menu?id=" + id +
                      "|ab|<!-x|##x|&lt;script&gt;alert(1)&lt;/script&gt;|a&quot;b|2/Unlimited|"
                      "Adding to the Blocked IP's...|"
                      "<option value=\"a&lt;b&gt;&quot;c&quot;\">a&lt;b&gt;&quot;c&quot;</option>\r\n"
                      "<option value=\"bob\">bob</option>\r\n|");

  // The page frame hands unknown names to the page's own filler.
  AdminHandler::PageFiller filler = [](std::string_view name, std::string* out) {
    if (name == "OWN") *out += "own";
  };
  handler_->AddRoute(HttpRequest::Method::kGet, "/_own",
                     [&](HttpRequest& request, const std::string& page_id) {
                       handler_->Page(request, page_id, "_page.html", &filler);
                     });
  const std::string own = Request("GET /_own?id=" + id).body;
  EXPECT_TRUE(own.ends_with("</option>\r\n|own")) << own;
}

TEST_F(AdminHandlerTest, AccountListClearsTheEditState) {
  {
    EditState& edit = handler_->Edit();
    runtime::CriticalSection::Guard guard(edit.Lock());
    edit.add_to_safe = true;
    edit.edited_name = "bob";
    edit.safe_ips.AddAddress({10, 0, 0, 1});
  }
  WriteWholeFile(dir_.File("remoteadmin/_accounts.html"), "<!--ADDIPMSG-->|<!--ACCOUNTSOPTIONSLIST-->");
  const std::string id = LogIn();
  EXPECT_EQ(Request("GET /_accounts?id=" + id).body,
            "Adding to the Safe IP's...|<option value=\"bob\">bob</option>\r\n");
  EditState& edit = handler_->Edit();
  runtime::CriticalSection::Guard guard(edit.Lock());
  EXPECT_FALSE(edit.add_to_safe);
  EXPECT_EQ(edit.edited_name, "");
  EXPECT_EQ(edit.safe_ips.Count(), 0u);
}

TEST_F(AdminHandlerTest, FormFrameCancelsRequiresFieldsAndWantsUrlEncodedBodies) {
  std::string saved;
  handler_->AddRoute(HttpRequest::Method::kPost, "/_processthing",
                     [&](HttpRequest& request, const std::string& id) {
                       if (!handler_->OpenForm(request, id, "_menu")) return;
                       std::string value;
                       if (!handler_->RequiredField(request, id, "value", &value, 100)) return;
                       saved = value;
                       request.Response().Redirect("_menu?id=" + id, true);
                     });
  const std::string id = LogIn();
  const std::string target = "/_processthing?id=" + id;
  EXPECT_TRUE(Request("POST " + target, "value=1&buttoncancel=Cancel").Redirects("_menu?id=" + id));
  EXPECT_TRUE(Request("POST " + target, "other=1")
                  .Redirects("_error?id=" + id + "&msg1=Incomplete%20Form"));
  EXPECT_EQ(saved, "");
  EXPECT_EQ(Request("POST " + target, "value=1", "text/plain").header.substr(0, 22),
            "HTTP/1.1 404 Not Found");
  EXPECT_TRUE(Request("POST " + target, "value=7").Redirects("_menu?id=" + id));
  EXPECT_EQ(saved, "7");
}

TEST_F(AdminHandlerTest, ServiceWritesTheNotFoundPageAndFollowsThePortSetting) {
  ChangeSettings([](settings::ServerSettings& s) {
    s.mRAPort = 0;
    s.mRALogStartVal = 4;
  });
  {
    RemoteAdminService service(*server_, clock_, dir_.Path());
    EXPECT_EQ(ReadWholeFile(dir_.File("remoteadmin/error404.html")), BuiltInNotFoundPage());
    service.LoadLogStartValue();
    EXPECT_EQ(service.Handler().LogFile().Number(), 4u);
    service.Handler().LogFile().SetNumber(6);
    service.StoreLogStartValue();

    EXPECT_FALSE(service.ApplyPortChange());  // not running
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.Start());
    const std::uint16_t port = service.LocalPort();
    EXPECT_TRUE(service.IsPortAvailable(port));
    testing::LoopbackClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_NE(client.Receive(SIZE_MAX, 5000).find("index page"), std::string::npos);

    // A taken port stops the service.
    runtime::TcpSocket taken;
    ASSERT_TRUE(taken.ListenOn(0));
    ChangeSettings([&](settings::ServerSettings& s) { s.mRAPort = taken.LocalPort(); });
    EXPECT_FALSE(service.IsPortAvailable(taken.LocalPort()));
    EXPECT_FALSE(service.ApplyPortChange());
    EXPECT_FALSE(service.IsRunning());
  }
  runtime::CriticalSection::Guard guard(server_->Settings().Lock());
  EXPECT_EQ(server_->Settings().mRALogStartVal, 6u);

  // An administrator's own page is kept.
  WriteWholeFile(dir_.File("remoteadmin/error404.html"), "mine");
  RemoteAdminService again(*server_, clock_, dir_.Path());
  EXPECT_EQ(ReadWholeFile(dir_.File("remoteadmin/error404.html")), "mine");
}

}  // namespace
}  // namespace quillon::admin
