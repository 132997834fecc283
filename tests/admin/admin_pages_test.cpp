// The remote admin's page families (status, settings, IP lists, log viewer)
// driven request by request through the service's handler, with templates
// that show each placeholder between bars.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "admin/remote_admin_service.h"
#include "admin/status_pages.h"
#include "platform/fs.h"
#include "support/free_port.h"
#include "support/admin_fixture.h"

namespace quillon::admin {
namespace {

using http::EscapeHtml;
using http::HttpRequest;
using testing::AdminAnswer;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

class AdminPagesTest : public testing::AdminServiceFixture {
 protected:
  void SetUp() override {
    AdminServiceFixture::SetUp();
    Template("_status.html",
             "<!--OVERALLSTATUS-->|<!--USERSCOUNT-->|<!--DATAINKB-->|<!--DATAOUTKB-->|<!--ACTIVITYLIST-->");
    Template("_sessionaction.html",
             "<!--ACTIONTITLE-->|<!--ACTIONMESSAGE-->|<!--ACTIONREASON-->|<!--PROCESSSESSIONACTION-->");
    Template("_gensettings.html",
             "<!--WELCOMEMSG-->|<!--PORT-->|<!--IDLE-->|<!--UPLOADSPEED-->|<!--USEUPLOADSPEED-->|"
             "<!--USETIMEOUTSTOP-->|<!--BANNEDFILES-->|<!--PASSIVEPORTS-->|<!--PASSIVEADDRESS-->|"
             "<!--TLS-->|<!--TLSCERTIFICATE-->|<!--ADMINTLS-->");
    Template("_genips.html", "server|<!--USESAFE-->|<!--USEBLOCKED-->|<!--SAFEOPTIONSLIST-->|<!--BLOCKEDOPTIONSLIST-->");
    Template("_accountips.html", "account|<!--BLOCKEDOPTIONSLIST-->");
  }

  // A valid settings form with one field replaced or added.
  std::string SettingsForm(const std::string& extra) {
    return "welcomemsg=Hello+there&helpmsg=Ask+away&bannedfiles=exe%2Cbat&port=" +
           std::to_string(server_->IsActive() ? server_->GetStatus().port : spare_port_) +
           "&idle=300&uploadspeed=0&downloadspeed=0&maxusers=0&maxusersperip=0&" + extra;
  }

  const std::uint16_t spare_port_ = testing::UnusedPort();
};

TEST_F(AdminPagesTest, StatusShowsTheServiceAndItsSessions) {
  EXPECT_EQ(Get("/_status").body, "Deactivated|-|-|-|");

  port_ = Start();
  auto client = LoggedIn();
  const std::string page = Get("/_STATUS").body;
  EXPECT_EQ(page.rfind("Activated - Operating on port " + std::to_string(port_) + "|1|0 KB|", 0), 0u)
      << page;
  EXPECT_NE(page.find("<a href=\"_sessionaction?id=" + id_ + "&sessionid="), std::string::npos);
  EXPECT_NE(page.find("&user=bob&ip=127.0.0.1&mode=kick\">Kick</a>"), std::string::npos);
  EXPECT_NE(page.find("size=\"2\">bob (<i>"), std::string::npos);

  // Start with the port taken by another listener fails with the engine's text.
  EXPECT_TRUE(Get("/_activate?action=stop").Redirects(Back("_status")));
  EXPECT_FALSE(server_->IsActive());
  ChangeSettings([](settings::ServerSettings& s) { s.mRAPort = 0; });
  ASSERT_TRUE(service_->Start());
  ChangeSettings([this](settings::ServerSettings& s) { s.mPort = service_->LocalPort(); });
  EXPECT_TRUE(Get("/_activate?action=start")
                  .Redirects(Error("Unable%20to%20open%20the%20FTP%20Port%20(already%20in%20use)")));
  EXPECT_TRUE(Get("/_activate").Redirects(Error("Incomplete%20Form")));
  ChangeSettings([](settings::ServerSettings& s) { s.mPort = 0; });
  EXPECT_TRUE(Get("/_activate?action=go").Redirects(Back("_status")));
  EXPECT_TRUE(server_->IsActive());
}

TEST_F(AdminPagesTest, DamagedFileNoticesShowUntilAcknowledged) {
  Template("_status.html", "<!--DAMAGENOTICES-->|<!--OVERALLSTATUS-->");
  WriteWholeFile(dir_.File("config/groups.dta"), "QFS");  // a header cut short
  EXPECT_FALSE(server_->Load());
  const std::string notice =
      "<form method=\"post\" action=\"_acknowledgedamage?id=" + id_ +
      "\" class=\"notice error\" role=\"alert\">\r\n<p>Damaged file: config/groups.dta: the header "
      "is cut short, no records read; the original is kept as "
      "config/groups.dta.damaged-19700101-000000.</p>\r\n<button type=\"submit\" name=\"notice\" "
      "value=\"1\">Acknowledge</button>\r\n</form>\r\n|Deactivated";
  EXPECT_EQ(Get("/_status").body, notice);

  // Cancelled, another session's, or an unknown number: the notice stays.
  EXPECT_TRUE(Post("/_acknowledgedamage", "notice=1&buttoncancel=1").Redirects(Back("_status")));
  EXPECT_TRUE(Request("POST /_acknowledgedamage?id=1", "notice=1").Redirects("/badlogin.html"));
  EXPECT_TRUE(Post("/_acknowledgedamage", "notice=2").Redirects(Back("_status")));
  EXPECT_TRUE(Post("/_acknowledgedamage", "").Redirects(Error("Incomplete%20Form")));
  EXPECT_EQ(Get("/_status").body, notice);

  EXPECT_TRUE(Post("/_acknowledgedamage", "notice=1").Redirects(Back("_status")));
  EXPECT_EQ(Get("/_status").body, "|Deactivated");
  EXPECT_NE(ReadWholeFile(dir_.File("logs/remoteadmin_0.txt"))
                .find("127.0.0.1 -> Damaged File Acknowledged: File=[config/groups.dta]"),
            std::string::npos);
}

TEST_F(AdminPagesTest, ActivityRowsShowClientTextAsText) {
  access::ActivitySnapshot session;
  session.user_name = "bob";
  session.peer_address = "127.0.0.1";
  session.activity = "Downloading";
  session.current_item = "/pub/<img src=x onerror=alert(1)>\".txt";
  session.bytes_received = 3 * 1024 + 5;
  session.bytes_sent = 2048;
  session.session_id = 17;
  const std::string row = StatusPages::ActivityRow(session, "42");
  EXPECT_EQ(row.find("<img"), std::string::npos);
  EXPECT_NE(row.find(">/pub/&lt;img src=x onerror=alert(1)&gt;&quot;.txt<"), std::string::npos);
  EXPECT_NE(row.find(">3</font>"), std::string::npos);
  EXPECT_NE(row.find(">2</font>"), std::string::npos);
  EXPECT_NE(row.find("size=\"2\"></font>"), std::string::npos);  // no credits in use

  session.user_name = "a b&c";
  session.use_credits = true;
  session.credits = 900;
  const std::string odd = StatusPages::ActivityRow(session, "42");
  EXPECT_NE(odd.find("sessionid=17&user=a%20b%26c&ip=127.0.0.1&mode=stop"), std::string::npos);
  EXPECT_NE(odd.find(">900</font>"), std::string::npos);
}

TEST_F(AdminPagesTest, SessionActionsQueueWithACheckedReason) {
  ChangeSettings([](settings::ServerSettings& s) { s.mKickReason = "Bye \"now\""; });
  EXPECT_TRUE(Get("/_sessionaction?sessionid=7&mode=kick&user=bob").IsNotFound());
  EXPECT_EQ(Get("/_sessionaction?sessionid=7&mode=kick&user=%3Cb%3E&ip=1.2.3.4").body,
            "Kicking a Session|Kicking user '&lt;b&gt;' (session ID 7 and IP 1.2.3.4)...|Bye "
            "&quot;now&quot;|_processsessionaction?id=" + id_ + "&sessionid=7&mode=kick");
  EXPECT_EQ(Get("/_sessionaction?sessionid=7&mode=x&user=bob&ip=1.2.3.4").body.substr(0, 20),
            "Stopping a Transfer|");

  const std::string process = "/_processsessionaction?sessionid=77&mode=kick";
  EXPECT_TRUE(Post(process, "actionreason=x&buttoncancel=1").Redirects(Back("_status")));
  EXPECT_TRUE(Post(process, "buttonok=1").Redirects(Error("Incomplete%20Form")));
  EXPECT_TRUE(Post(process, "actionreason=one%3Btwo")
                  .Redirects(Error("The%20reason%20cannot%20contain%20the%20following%20characters:%20"
                                   "%26quot;*:,;'%3F%26gt;%26lt;,|")));
  EXPECT_FALSE(server_->Auth().TakeSessionAction(77).has_value());

  EXPECT_TRUE(Post(process, "actionreason=Server+maintenance").Redirects(Back("_status")));
  const auto action = server_->Auth().TakeSessionAction(77);
  ASSERT_TRUE(action.has_value());
  EXPECT_EQ(action->kind, access::SessionActionKind::kKick);
  EXPECT_EQ(action->reason, "Server maintenance");
  EXPECT_NE(Get("/_sessionaction?sessionid=8&mode=kick&user=bob&ip=1.2.3.4").body.find("|Server maintenance|"),
            std::string::npos);
  EXPECT_NE(ReadWholeFile(dir_.File("config/settings.dta")).find("Server maintenance"), std::string::npos);

  EXPECT_TRUE(Post("/_processsessionaction?sessionid=78&mode=stop", "actionreason=Later")
                  .Redirects(Back("_status")));
  ChangeSettings([](settings::ServerSettings& s) { EXPECT_EQ(s.mStopReason, "Later"); });
  EXPECT_EQ(server_->Auth().TakeSessionAction(78)->kind, access::SessionActionKind::kStopTransfer);

  // A failed save still queues and says so.
  std::filesystem::remove_all(dir_.File("config"));
  WriteWholeFile(dir_.File("config"), "not a folder");
  EXPECT_TRUE(Post(process, "actionreason=Again").Redirects(Error(
      "Your%20changes%20have%20taken%20effect%20but%20failed%20to%20be%20saved%20to%20the%20hard%20"
      "drive.%20If%20this%20message%20continues,%20you%20should%20check%20the%20applications%20"
      "'config'%20folder%20and%20ensure%20all%20files%20within%20are%20not%20set%20to%20read%20only.")));
  EXPECT_TRUE(server_->Auth().TakeSessionAction(77).has_value());
}

TEST_F(AdminPagesTest, GeneralSettingsAreCheckedInOrderThenAppliedAndSaved) {
  ChangeSettings([this](settings::ServerSettings& s) {
    s.mWelcomeMsg = "Hi \"you\"";
    s.mPort = spare_port_;
    s.mIdleTimeOut = 600;
    s.SetMaxUploadSpeedKb(64);
    s.mUseMaxUploadSpeed = true;
    s.mBlockTimeOutStopping = false;
  });
  EXPECT_EQ(Get("/_gensettings").body, "Hi &quot;you&quot;|" + std::to_string(spare_port_) +
                                           "|600|64|checked||exe,pif,scr,com,bat|-|-|off|-|off");
  ChangeSettings([](settings::ServerSettings& s) {
    std::string message;
    EXPECT_TRUE(s.Extra().Set("passive_ports", "50000-50100", &message));
    EXPECT_TRUE(s.Extra().Set("tls", "required", &message));
    EXPECT_TRUE(s.Extra().Set("tls_certificate", "/etc/ssl/<b>.pem", &message));
  });
  const std::string page = Get("/_gensettings").body;
  EXPECT_TRUE(page.ends_with(",bat|50000-50100|-|required|/etc/ssl/&lt;b&gt;.pem|off")) << page;
  ChangeSettings([](settings::ServerSettings& s) {
    std::string message;
    EXPECT_TRUE(s.Extra().Set("tls", "off", &message));
  });

  struct Refusal {
    std::string change;
    std::string message;
  };
  const Refusal refusals[] = {
      {"welcomemsg=&", "Please%20give%20a%20welcome%20message."},
      {"welcomemsg=Hi%2C+all&",
       "The%20welcome%20message%20contains%20some%20illegal%20characters.%20Illegal%20characters%20"
       "include:%20%26quot%3B*%3A,%3B'%3F%26lt%3B%26gt%3B,|"},
      {"helpmsg=%7C&", "The%20help%20message%20contains"},
      {"port=0&", "Please%20specify%20a%20FTP%20port%20value%20between%201%20and%2065535."},
      {"port=65536&", "Please%20specify%20a%20FTP%20port"},
      {"port=-21&", "Please%20specify%20a%20FTP%20port"},
      {"port=abc&", "Please%20specify%20a%20FTP%20port"},
      {"useuploadspeed=1&", "Please%20specify%20an%20maximum%20upload%20speed%20greater%20than%200."},
      {"usemaxusersperip=on&", "Please%20specify%20a%20maximum%20number%20of%20users%20per%20IP"},
      {"idle=4&", "Please%20specify%20an%20idle%20time-out%20value%20greater%20than%20or%20equal%20to%205."},
  };
  for (const Refusal& refusal : refusals) {
    // The first of two equal fields counts, so the change goes first.
    const AdminAnswer answer = Post("/_processgensettings", refusal.change + SettingsForm(""));
    EXPECT_NE(answer.body.find("URL=" + Error(refusal.message)), std::string::npos)
        << refusal.change << "\n" << answer.body;
  }
  EXPECT_TRUE(Post("/_processgensettings", "welcomemsg=x").Redirects(Error("Incomplete%20Form")));
  EXPECT_TRUE(Post("/_processgensettings", "buttoncancel=1").Redirects(Back("_menu")));
  ChangeSettings([](settings::ServerSettings& s) { EXPECT_EQ(s.mWelcomeMsg, "Hi \"you\""); });

  // The service's own port counts as free; a port another listener holds does not.
  port_ = Start();
  ASSERT_TRUE(service_->Start());
  const std::string taken = std::to_string(service_->LocalPort());
  EXPECT_TRUE(Post("/_processgensettings", "port=" + taken + "&" + SettingsForm(""))
                  .Redirects(Error("The%20FTP%20port%20is%20already%20in%20use.")));
  EXPECT_TRUE(Post("/_processgensettings", "idle=5&" + SettingsForm("usestoptimeout=1"))
                  .Redirects(Back("_menu")));
  ChangeSettings([this](settings::ServerSettings& s) {
    EXPECT_EQ(s.mWelcomeMsg, "Hello there");
    EXPECT_EQ(s.mPort, port_);
    EXPECT_EQ(s.mIdleTimeOut, 5u);
    EXPECT_FALSE(s.mUseMaxUploadSpeed);  // a speed of 0 is fine while its limit is off
    EXPECT_TRUE(s.mBlockTimeOutStopping);
    EXPECT_TRUE(s.mBadExts.Contains("BAT"));
  });
  EXPECT_TRUE(server_->IsActive());
  EXPECT_NE(ReadWholeFile(dir_.File("config/settings.dta")).find("Hello there"), std::string::npos);
}

// What the browser shows for a refusal: the message as it travels.
std::string Travelling(std::string message) {
  for (std::size_t at = 0; (at = message.find(' ', at)) != std::string::npos;) message.replace(at, 1, "%20");
  return message;
}

TEST_F(AdminPagesTest, NumbersOutsideTheirFieldsAreRefusedNeverWrapped) {
  struct Case {
    std::string change;  // goes first: the first of two equal fields counts
    std::string message;
  };
  const std::string port = "Please specify a FTP port value between 1 and 65535.";
  const std::string idle = "Please specify an idle time-out value greater than or equal to 5.";
  const std::string upload = "Please specify an maximum upload speed greater than 0.";
  const std::string download = "Please specify an maximum download speed greater than 0.";
  const std::string users = "Please specify a maximum number of users greater than 0.";
  const std::string per_ip = "Please specify a maximum number of users per IP greater than 0.";
  const Case settings_cases[] = {
      {"idle=4294967301", idle},          // 2^32 + 5 would be 5
      {"idle=-1", idle},                  // would be 4294967295
      {"idle=99999999999999999999", idle},
      {"port=4294967317", port},          // would be 21
      {"uploadspeed=4294967297", upload},  // would be 1, even with the limit off
      {"downloadspeed=-1", download},
      {"maxusers=-1", users},
      {"maxusers=4294967296", users},     // would be 0: no limit
      {"maxusersperip=-3", per_ip},
  };
  ChangeSettings([](settings::ServerSettings& s) { s.mIdleTimeOut = 300; s.mMaxUsers = 7; });
  for (const Case& c : settings_cases) {
    EXPECT_TRUE(Post("/_processgensettings", c.change + "&" + SettingsForm("")).Redirects(Error(Travelling(c.message))))
        << c.change;
  }
  ChangeSettings([](settings::ServerSettings& s) {
    EXPECT_EQ(s.mIdleTimeOut, 300u);
    EXPECT_EQ(s.mMaxUsers, 7u);
    EXPECT_EQ(s.mMaxUsersPerIP, 0u);
  });
  // The largest numbers the fields hold are kept as they are.
  EXPECT_TRUE(Post("/_processgensettings", "idle=4294967295&maxusers=+4294967295&" + SettingsForm(""))
                  .Redirects(Back("_menu")));
  ChangeSettings([](settings::ServerSettings& s) {
    EXPECT_EQ(s.mIdleTimeOut, 4294967295u);
    EXPECT_EQ(s.mMaxUsers, 4294967295u);
  });

  // An account's limits tab: the record keeps its values.
  ASSERT_TRUE(Post("/_processaccountselection?mode=account", "selected=bob&buttonedit=1").Redirects(Back("_editgen")));
  const std::string limits =
      "maxsize=1&uploadspeed=1&downloadspeed=1&maxusers=1&uploadcredits=1&downloadcredits=1&currentcredits=1&"
      "buttonupdate=1";
  const Case limit_cases[] = {
      {"maxsize=4294967297", "The maximum account size must be greater than 0."},
      {"maxsize=-1", "The maximum account size must be greater than 0."},
      {"uploadspeed=-1", "The maximum upload speed must be greater than 0."},
      {"downloadspeed=99999999999", "The maximum download speed must be greater than 0."},
      {"maxusers=-1", "The maximum users must be greater than 0."},
      {"uploadcredits=2147483648", "The credits per uploaded KB must be between -2147483648 and 2147483647."},
      {"downloadcredits=-2147483649", "The credits per downloaded KB must be between -2147483648 and 2147483647."},
      {"currentcredits=-1", "The current credits must be between 0 and 4294967295."},
      {"currentcredits=4294967296", "The current credits must be between 0 and 4294967295."},
  };
  accounts::AccountRecord before;
  ASSERT_TRUE(server_->Accounts().GetCopy("bob", &before));
  for (const Case& c : limit_cases) {
    EXPECT_TRUE(Post("/_processaccountlimits", c.change + "&" + limits).Redirects(Error(Travelling(c.message))))
        << c.change;
    runtime::CriticalSection::Guard guard(Handler().Edit().Lock());
    EXPECT_EQ(Handler().Edit().record.mMaxSize, before.mMaxSize) << c.change;
    EXPECT_EQ(Handler().Edit().record.mCurrentCredits, before.mCurrentCredits) << c.change;
  }
  accounts::AccountRecord after;
  ASSERT_TRUE(server_->Accounts().GetCopy("bob", &after));
  EXPECT_EQ(after.mMaxUsers, before.mMaxUsers);
  EXPECT_EQ(after.mUploadCredits, before.mUploadCredits);
  // The ends of each range are kept.
  EXPECT_TRUE(Post("/_processaccountlimits",
                   "uploadcredits=-2147483648&downloadcredits=2147483647&currentcredits=4294967295&maxsize=4294967295&" +
                       limits)
                  .Redirects(Back("_accounts")));
  ASSERT_TRUE(server_->Accounts().GetCopy("bob", &after));
  EXPECT_EQ(after.mUploadCredits, INT32_MIN);
  EXPECT_EQ(after.mDownloadCredits, INT32_MAX);
  EXPECT_EQ(after.mCurrentCredits, UINT32_MAX);
  EXPECT_EQ(after.mMaxSize, UINT32_MAX);

  // A virtual folder's size: nothing is added.
  ASSERT_TRUE(Post("/_processaccountselection?mode=account", "selected=bob&buttonedit=1").Redirects(Back("_editgen")));
  std::filesystem::create_directories(dir_.File("pub"));
  for (const char* size : {"4294967297", "-1"}) {
    EXPECT_TRUE(Post("/_processaccountvf", "originalname=&name=pub&path=" + dir_.File("pub") + "&maxsize=" + size +
                                               "&buttonok=1")
                    .Redirects(Error(Travelling("Please specify a maximum size greater than 0."))))
        << size;
  }
  {
    runtime::CriticalSection::Guard guard(Handler().Edit().Lock());
    EXPECT_EQ(Handler().Edit().record.FolderCount(), after.FolderCount());
  }

  // A session id no session can have names none (4294967373 would be 77).
  EXPECT_TRUE(Get("/_sessionaction?sessionid=4294967373&mode=kick&user=bob&ip=1.2.3.4").IsNotFound());
  EXPECT_TRUE(Post("/_processsessionaction?sessionid=4294967373&mode=kick", "actionreason=Bye").IsNotFound());
  EXPECT_TRUE(Post("/_processsessionaction?sessionid=-1&mode=kick", "actionreason=Bye").IsNotFound());
  EXPECT_FALSE(server_->Auth().TakeSessionAction(77).has_value());
  EXPECT_FALSE(server_->Auth().TakeSessionAction(UINT32_MAX).has_value());
}

TEST_F(AdminPagesTest, ServerIpListsAreEditedInTheWorkListsUntilUpdate) {
  ChangeSettings([](settings::ServerSettings& s) {
    s.mSafeIPs.AddAddress({10, 0, 0, 1});
    s.mUseSafeIPs = true;
  });
  EXPECT_TRUE(Get("/_genips").Redirects(Back("_ips")));
  EXPECT_EQ(Get("/_ips").body, "server|checked||<option value=\"10.0.0.1\">10.0.0.1</option>\r\n|");

  const std::string add_ip = "/_processaddip";
  EXPECT_TRUE(Post("/_processips", "usesafe=1&buttonaddblocked=1").Redirects(Back("_genaddip")));
  EXPECT_TRUE(Post(add_ip, "lower=10.0.0.9&upper=10.0.0.1&buttonaddrange=1")
                  .Redirects(Error("The%20'Upper%20IP'%20was%20lower%20than%20the%20'Lower%20IP'.")));
  EXPECT_TRUE(Post(add_ip, "lower=10.0.0.256").Redirects(Error("The%20lower%20IP%20is%20not%20a%20valid%20IP.")));
  EXPECT_TRUE(Post(add_ip, "lower=10.0.0.1&upper=x&buttonaddrange=1")
                  .Redirects(Error("The%20upper%20IP%20is%20not%20a%20valid%20IP.")));
  EXPECT_TRUE(Post(add_ip, "lower=10.0.0.1&upper=10.0.0.9&buttonaddrange=1").Redirects(Back("_ips")));
  EXPECT_TRUE(Post(add_ip, "lower=1.1.1.1&buttoncancel=1").Redirects(Back("_ips")));

  // Leaving through a tab keeps the work lists but stores nothing.
  EXPECT_TRUE(Post("/_processips", "usesafe=1&tablimits.x=3&tablimits.y=4").Redirects(Back("_editlimits")));
  EXPECT_NE(Get("/_ips").body.find("<option value=\"10.0.0.1-10.0.0.9\">"), std::string::npos);
  ChangeSettings([](settings::ServerSettings& s) { EXPECT_EQ(s.mBlockIPs.Count(), 0u); });

  EXPECT_TRUE(Post("/_processips", "buttondeletesafe=1").Redirects(Error("Please%20select%20an%20IP%20/%20IP%20Range.")));
  EXPECT_TRUE(Post("/_processips", "selectedsafe=10.0.0.1&buttondeletesafe=1").Redirects(Back("_ips")));
  EXPECT_TRUE(Post("/_processips", "useblocked=1&buttonblockall=1").Redirects(Back("_ips")));
  EXPECT_TRUE(Post("/_processips", "useblocked=1&buttonupdate=1").Redirects(Back("_menu")));
  ChangeSettings([](settings::ServerSettings& s) {
    EXPECT_FALSE(s.mUseSafeIPs);
    EXPECT_EQ(s.mSafeIPs.Count(), 0u);
    EXPECT_TRUE(s.mUseBlockIPs);
    ASSERT_EQ(s.mBlockIPs.Count(), 2u);
    EXPECT_EQ(s.mBlockIPs.EntryText(1), "0.0.0.0-255.255.255.255");
  });
  EXPECT_TRUE(Post("/_processips", "buttoncancel=1").Redirects(Back("_menu")));

  // An account's lists use the account's page; the update is the record's store step.
  {
    EditState& edit = Handler().Edit();
    runtime::CriticalSection::Guard guard(edit.Lock());
    edit.ClearLocked();
    edit.account_mode = true;
  }
  EXPECT_EQ(Get("/_ips").body, "account|");
  EXPECT_TRUE(Post("/_processips", "buttonaddsafe=1").Redirects(Back("_accountaddip")));
  EXPECT_TRUE(Post("/_processips", "buttoncancel=1").Redirects(Back("_accounts")));
  bool stored = false;
  service_->Ips().SetRecordStore([&stored](HttpRequest&, const std::string&) { stored = true; });
  Post("/_processips", "buttonupdate=1");
  EXPECT_TRUE(stored);
}

TEST_F(AdminPagesTest, AFailedPortChangeStopsTheServiceAndSaysSo) {
  port_ = Start();
  ASSERT_TRUE(service_->Start());
  ChangeSettings([this](settings::ServerSettings& s) { s.mPort = service_->LocalPort(); });
  EXPECT_TRUE(Get("/_genips").Redirects(Back("_ips")));
  EXPECT_TRUE(Post("/_processips", "buttonupdate=1")
                  .Redirects(Error("Unable%20to%20change%20the%20FTP%20Port%20(already%20in%20use).%20The%20"
                                   "FTP%20Server%20has%20now%20deactivated.")));
  EXPECT_FALSE(server_->IsActive());
}

TEST_F(AdminPagesTest, TheLogViewerMapsItsTwoFoldersOnly) {
  std::filesystem::create_directories(dir_.File("logs/old"));
  WriteWholeFile(dir_.File("logs/ftp_0.txt"), "line one\r\nline two\r\n");
  WriteWholeFile(dir_.File("logs/a+b&c #1%.txt"), "odd");
  WriteWholeFile(dir_.File("logs/it's <b>.txt"), "quoted");
  WriteWholeFile(dir_.File("logs/old/ftp_9.txt"), "older");
  std::filesystem::create_directories(dir_.File("accountlogs/archive"));

  const std::string listing = Get("/_viewlogs/system/").body;
  EXPECT_NE(listing.find("<TITLE>Contents of logs/</TITLE>"), std::string::npos);
  EXPECT_NE(listing.find("<a href=\"/_logs?id=" + id_ + "\"><- Up 1 Level</a>"), std::string::npos);
  const std::size_t folder = listing.find("<a href=\"old/?id=" + id_ + "\">old/</a>");
  const std::size_t file = listing.find("<a href=\"ftp_0.txt?id=" + id_ + "\">ftp_0.txt</a>");
  ASSERT_NE(folder, std::string::npos);
  ASSERT_NE(file, std::string::npos);
  EXPECT_LT(folder, file);
  EXPECT_NE(listing.find("<a href=\"a%2Bb%26c%20%231%25.txt?id=" + id_ + "\">a+b&amp;c #1%.txt</a>"),
            std::string::npos);

  const AdminAnswer log = Get("/_viewlogs/System/ftp_0.txt");
  EXPECT_NE(log.header.find("Content-Type: text/plain\r\nContent-Length: 20\r\n"), std::string::npos);
  EXPECT_EQ(log.header.find("Date:"), std::string::npos);
  EXPECT_EQ(log.body, "line one\r\nline two\r\n");
  EXPECT_NE(listing.find("\">it&#39;s &lt;b&gt;.txt</a>"), std::string::npos) << listing;
  EXPECT_EQ(Get("/_viewlogs/system/a%2Bb%26c%20%231%25.txt").body, "odd");
  EXPECT_EQ(Get("/_viewlogs/system/old/../ftp_0.txt").body, log.body);
  EXPECT_NE(Get("/_viewlogs/system/old/").body.find("<a href=\"../?id=" + id_ + "\">"), std::string::npos);
  EXPECT_NE(Get("/_viewlogs/accounts/").body.find("<a href=\"archive/?id=" + id_ + "\">archive/</a>"),
            std::string::npos);
  EXPECT_NE(Get("/_viewlogs/accounts/archive/").body.find("<a href=\"../?id="), std::string::npos);

  EXPECT_TRUE(Get("/_viewlogs/other/").IsNotFound());
  EXPECT_TRUE(Get("/_viewlogs/system/missing/").IsNotFound());
  EXPECT_TRUE(Get("/_viewlogs/system/missing.txt").IsNotFound());
  // Climbing out is resolved before the mapping: what is left is no log path.
  EXPECT_TRUE(Get("/_viewlogs/system/../../config/settings.dta").IsNotFound());
}

// A link or other non-file planted in the log folders must neither be
// listed nor followed: it could name any file the server can read.
TEST_F(AdminPagesTest, TheLogViewerShowsAndSendsRegularFilesOnly) {
  WriteWholeFile(dir_.File("secret.txt"), "top secret");
  std::filesystem::create_directories(dir_.File("logs/old"));
  std::filesystem::create_directories(dir_.File("accountlogs"));
  WriteWholeFile(dir_.File("logs/ftp_0.txt"), "log line");
  WriteWholeFile(dir_.File("logs/old/ftp_1.txt"), "older line");
  std::filesystem::create_symlink(dir_.File("secret.txt"), dir_.File("logs/shadow.txt"));
  std::filesystem::create_symlink(dir_.File("secret.txt"), dir_.File("logs/old/inner.txt"));
  std::filesystem::create_symlink(dir_.File("secret.txt"), dir_.File("accountlogs/bob.txt"));
  std::filesystem::create_symlink(dir_.Path(), dir_.File("logs/outside"));
  std::filesystem::create_symlink(dir_.File("missing.txt"), dir_.File("logs/dangling.txt"));
  ASSERT_TRUE(platform::MakeFifo(dir_.File("logs/pipe.txt")));

  const std::string listing = Get("/_viewlogs/system/").body;
  EXPECT_NE(listing.find(">ftp_0.txt</a>"), std::string::npos) << listing;
  EXPECT_NE(listing.find(">old/</a>"), std::string::npos) << listing;
  for (const char* hidden : {">shadow.txt<", ">outside/<", ">outside<", ">dangling.txt<", ">pipe.txt<"})
    EXPECT_EQ(listing.find(hidden), std::string::npos) << hidden;
  EXPECT_EQ(Get("/_viewlogs/system/old/").body.find(">inner.txt<"), std::string::npos);
  EXPECT_EQ(Get("/_viewlogs/accounts/").body.find(">bob.txt<"), std::string::npos);

  const char* const refused[] = {
      "/_viewlogs/system/shadow.txt",        "/_viewlogs/system/old/inner.txt",
      "/_viewlogs/accounts/bob.txt",         "/_viewlogs/system/outside/",
      "/_viewlogs/system/outside/secret.txt", "/_viewlogs/system/outside/logs/ftp_0.txt",
      "/_viewlogs/system/dangling.txt",      "/_viewlogs/system/pipe.txt",
  };
  for (const char* path : refused) {
    const AdminAnswer answer = Get(path);
    EXPECT_TRUE(answer.IsNotFound()) << path;
    EXPECT_EQ(answer.body.find("top secret"), std::string::npos) << path;
  }
  EXPECT_EQ(Get("/_viewlogs/system/ftp_0.txt").body, "log line");
  EXPECT_EQ(Get("/_viewlogs/system/old/ftp_1.txt").body, "older line");
}

// Every text that comes from outside (settings, records, file names, the
// query) is written with "&" and "'" escaped too; the entities of the fixed
// refusal texts that travel in the query reach the page as entities.
TEST_F(AdminPagesTest, TextFromOutsideIsEscapedWhileFixedMessagesKeepTheirEntities) {
  struct Escape {
    std::string text;
    std::string shown;
  };
  const Escape escapes[] = {
      {"Tom & Jerry's", "Tom &amp; Jerry&#39;s"},
      {"<a href=\"x\">", "&lt;a href=&quot;x&quot;&gt;"},
      {"&amp;", "&amp;amp;"},
      {"plain", "plain"},
  };
  for (const Escape& escape : escapes) EXPECT_EQ(EscapeHtml(escape.text), escape.shown) << escape.text;

  Template("_error.html", "<!--MSG1-->|<!--MSG2-->");
  struct Message {
    std::string query;
    std::string shown;
  };
  const Message messages[] = {
      {"msg1=a%26b%27c", "a&amp;b&#39;c|"},
      {"msg1=%3Cb%3E&msg2=x%26y", "&lt;b&gt;|x&amp;y"},
      // The refusal texts carry these entities on purpose.
      {"msg1=" + std::string("The%20reason%20cannot%20contain%20the%20following%20characters:%20"
                             "%26quot;*:,;'%3F%26gt;%26lt;,|"),
       "The reason cannot contain the following characters: &quot;*:,;&#39;?&gt;&lt;,||"},
      {"msg1=%26quot%3B%26%2339%3B%26%23x41%3B%26nbsp%3B", "&quot;&#39;&#x41;&nbsp;|"},
      {"msg1=%26quot%26%3B%26%23%3B%26%23xZ%3B", "&amp;quot&amp;;&amp;#;&amp;#xZ;|"},
  };
  for (const Message& message : messages)
    EXPECT_EQ(Get("/_error?" + message.query).body, message.shown) << message.query;

  // A welcome message and an extra setting as the settings page shows them.
  ChangeSettings([](settings::ServerSettings& s) {
    s.mWelcomeMsg = "Fish & Chips";
    std::string message;
    EXPECT_TRUE(s.Extra().Set("tls_certificate", "/etc/ssl/it's&more.pem", &message));
  });
  const std::string page = Get("/_gensettings").body;
  EXPECT_EQ(page.rfind("Fish &amp; Chips|", 0), 0u) << page;
  EXPECT_NE(page.find("|/etc/ssl/it&#39;s&amp;more.pem|"), std::string::npos) << page;
}

}  // namespace
}  // namespace quillon::admin
