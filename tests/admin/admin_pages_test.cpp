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
#include "support/wait.h"

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
             "<!--TLS-->|<!--TLSCERTIFICATE-->|<!--ADMINTLS-->"
             "<!--WELCOMEMSGERROR--><!--HELPMSGERROR--><!--PORTERROR--><!--IDLEERROR--><!--UPLOADSPEEDERROR-->"
             "<!--DOWNLOADSPEEDERROR--><!--MAXUSERSERROR--><!--MAXUSERSPERIPERROR-->");
    Template("_genips.html", "server|<!--USESAFE-->|<!--USEBLOCKED-->|<!--SAFEOPTIONSLIST-->|<!--BLOCKEDOPTIONSLIST-->");
    Template("_accountips.html", "account|<!--BLOCKEDOPTIONSLIST-->");
    Template("_confirm.html",
             "<!--CONFIRMTITLE-->|<!--CONFIRMMESSAGE-->|<!--CONFIRMACTION-->|<!--CONFIRMFIELDS-->|"
             "<!--CONFIRMBUTTONNAME-->|<!--CONFIRMBUTTON-->|<!--CONFIRMCANCEL-->");
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

  // Only the action that applies: deactivating, which asks first.
  Template("_status.html", "<!--SERVICEACTION-->");
  const std::string deactivate = Get("/_status").body;
  EXPECT_EQ(deactivate.rfind("<form method=\"post\" action=\"_activate?id=" + id_ + "&action=stop\">", 0), 0u);
  EXPECT_NE(deactivate.find("onclick=\"if (!confirm('Deactivate the FTP server?"), std::string::npos);
  EXPECT_EQ(deactivate.find("Activate</a>"), std::string::npos);
  // A link or a form without the confirmation shows the confirmation page.
  const std::string asked = "Deactivating the Server|Deactivate the FTP server? It stops listening, and the 1 "
                            "connected session(s) are disconnected.|_activate?id=" + id_ +
                            "&amp;action=stop||buttondeactivate|Deactivate|_status?id=" + id_;
  EXPECT_EQ(Get("/_activate?action=stop").body, asked);
  EXPECT_EQ(Post("/_activate?action=stop", "buttondeactivate=1&confirmed=").body, asked);
  EXPECT_TRUE(Post("/_activate?action=stop", "buttondeactivate=1&confirmed=1&buttoncancel=1")
                  .Redirects(Back("_status")));
  EXPECT_TRUE(server_->IsActive());
  EXPECT_TRUE(Request("POST /_activate?action=stop&id=1", "confirmed=1").Redirects("/badlogin.html"));
  EXPECT_TRUE(server_->IsActive());
  EXPECT_TRUE(Post("/_activate?action=stop", "buttondeactivate=1&confirmed=1").Redirects(Back("_status")));
  EXPECT_FALSE(server_->IsActive());
  EXPECT_EQ(Get("/_status").body, "<a class=\"button\" href=\"_activate?id=" + id_ + "&action=start\">Activate</a>");

  // Start with the port taken by another listener fails with the engine's text.
  ChangeSettings([](settings::ServerSettings& s) { s.mRAPort = 0; });
  ASSERT_TRUE(service_->Start());
  ChangeSettings([this](settings::ServerSettings& s) { s.mPort = service_->LocalPort(); });
  EXPECT_TRUE(Get("/_activate?action=start")
                  .Redirects(Error("Unable to open the FTP Port (already in use)")));
  EXPECT_TRUE(Get("/_activate").Redirects(Error("Incomplete Form")));
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
  EXPECT_TRUE(Post("/_acknowledgedamage", "").Redirects(Error("Incomplete Form")));
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

TEST_F(AdminPagesTest, ActivityRowsShowTheTransferItsRateAndTimes) {
  EXPECT_EQ(StatusPages::Duration(0), "0:00");
  EXPECT_EQ(StatusPages::Duration(65'999), "1:05");
  EXPECT_EQ(StatusPages::Duration(3'600'000 + 62'000), "1:01:02");
  EXPECT_EQ(StatusPages::Rate(0), "0.0 KB/s");
  EXPECT_EQ(StatusPages::Rate(51'200), "50.0 KB/s");

  access::ActivitySnapshot session;
  session.user_name = "bob";
  session.peer_address = "127.0.0.1";
  session.session_id = 3;
  session.connected_ms = 125'000;
  EXPECT_EQ(StatusPages::TransferText(session), "");  // no transfer yet
  std::string row = StatusPages::ActivityRow(session, "42");
  EXPECT_NE(row.find("<div class=\"session\" data-session=\"3\">"), std::string::npos);
  EXPECT_NE(row.find(">2:05</font>"), std::string::npos);

  session.transfer_state = access::TransferState::kRunning;
  session.transfer_bytes = 300 * 1024;
  session.transfer_size_known = true;
  session.transfer_size = 2000 * 1024;
  session.transfer_ms = 4200;
  session.transfer_rate = 64 * 1024 + 512;
  EXPECT_EQ(StatusPages::TransferText(session),
            "<span class=\"rate\">64.5 KB/s</span><br>300 of 2000 KB<br><span class=\"muted\">0:04</span>");
  row = StatusPages::ActivityRow(session, "42");
  EXPECT_NE(row.find(">" + StatusPages::TransferText(session) + "</font>"), std::string::npos);

  session.transfer_size_known = false;
  session.transfer_state = access::TransferState::kStopped;
  EXPECT_EQ(StatusPages::TransferText(session),
            "<span class=\"state-stopped\">Stopped</span><br>300 KB<br><span class=\"muted\">0:04</span>");
  session.transfer_state = access::TransferState::kFailed;
  EXPECT_TRUE(StatusPages::TransferText(session).starts_with("<span class=\"state-stopped\">Failed</span><br>300 KB"));
  session.transfer_state = access::TransferState::kCompleted;
  EXPECT_EQ(StatusPages::TransferText(session), "Done<br>300 KB<br><span class=\"muted\">0:04</span>");
}

// The live part of the status page: a fragment of its own that the page's
// script fetches, and the same text inside the page.
TEST_F(AdminPagesTest, TheLiveFragmentHoldsTheTotalsAndTheSessions) {
  Template("_statuslive.html",
           "<!--USERSCOUNT-->|<!--RATEIN-->|<!--RATEOUT-->|<!--ACTIVITYLIST-->|<!--STATUSLIVE-->");
  Template("_status.html", "<!--OVERALLSTATUS-->[<!--STATUSLIVE-->]<!--STATUSLIVELINK-->");
  EXPECT_EQ(Get("/_statuslive").body, "-|-|-||");
  EXPECT_EQ(Get("/_status").body, "Deactivated[-|-|-||]_statuslive?id=" + id_);
  EXPECT_TRUE(Request("GET /_statuslive?id=1").Redirects("/badlogin.html"));
  EXPECT_TRUE(Request("GET /_statuslive").IsNotFound());

  port_ = Start();
  auto client = LoggedIn();
  clock_.Advance(61'000);
  // The page holds the fragment as it is when the page is made. The
  // session's activity may turn from "Logged In" to "Idle" between two
  // reads (once), so the two are read again until they agree.
  std::string fragment, page;
  const auto expected_page = [&] {
    return "Activated - Operating on port " + std::to_string(port_) + "[" + fragment + "]_statuslive?id=" + id_;
  };
  EXPECT_TRUE(testing::WaitUntil([&] {
    fragment = Get("/_STATUSLIVE").body;
    page = Get("/_status").body;
    return page == expected_page();
  })) << page << "\n" << expected_page();
  EXPECT_EQ(fragment.rfind("1|0.0 KB/s|0.0 KB/s|<div class=\"session\" data-session=\"", 0), 0u) << fragment;
  EXPECT_NE(fragment.find("&user=bob&ip=127.0.0.1&mode=kick\">Kick</a>"), std::string::npos);
  EXPECT_NE(fragment.find(">1:01</font>"), std::string::npos) << fragment;  // connected
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
  EXPECT_TRUE(Post(process, "buttonok=1").Redirects(Error("Incomplete Form")));
  EXPECT_TRUE(Post(process, "actionreason=one%3Btwo")
                  .Redirects(Error("The reason cannot contain the following characters: "
                                   "&quot;*:,;'?&gt;&lt;,|")));
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
  EXPECT_TRUE(Post(process, "actionreason=Again").Redirects(Error("Your changes have taken effect but failed to be saved to the hard "
      "drive. If this message continues, you should check the applications "
      "'config' folder and ensure all files within are not set to read only.")));
  EXPECT_TRUE(server_->Auth().TakeSessionAction(77).has_value());
}

// A refused reason shows its message, not a 404: the message travels
// percent-encoded whole, so its "?", "&", "#", "%" and "+" cannot end the
// value or lose the session id, and the error page shows it as written.
TEST_F(AdminPagesTest, TheErrorPageShowsARefusedReasonAsWritten) {
  Template("_error.html", "<!--MSG1-->");
  for (const char* mode : {"kick", "stop", "block"}) {
    SCOPED_TRACE(mode);
    const AdminAnswer refused =
        Post(std::string("/_processsessionaction?sessionid=5&mode=") + mode, "actionreason=Why%3F+Because");
    const std::string location = "_error?id=" + id_ +
                                 "&msg1=The%20reason%20cannot%20contain%20the%20following%20characters%3A%20"
                                 "%26quot%3B%2A%3A%2C%3B%27%3F%26gt%3B%26lt%3B%2C%7C";
    ASSERT_TRUE(refused.Redirects(location)) << refused.body;
    const AdminAnswer shown = Request("GET /" + location);
    EXPECT_FALSE(shown.IsNotFound());
    EXPECT_EQ(shown.body, "The reason cannot contain the following characters: &quot;*:,;&#39;?&gt;&lt;,|");
  }

  const std::string odd = "100% sure? a+b & c#d = \xC3\xA9 \"q\" <b>";
  Handler().AddRoute(HttpRequest::Method::kGet, "/_testerror",
                     [this, &odd](HttpRequest& request, const std::string& id) {
                       Handler().ErrorRedirect(request, id, odd);
                     });
  const AdminAnswer sent = Get("/_testerror");
  const std::string location = "_error?id=" + id_ +
                               "&msg1=100%25%20sure%3F%20a%2Bb%20%26%20c%23d%20%3D%20%C3%A9%20%22q%22%20%3Cb%3E";
  ASSERT_TRUE(sent.Redirects(location)) << sent.header;
  EXPECT_EQ(Request("GET /" + location).body, "100% sure? a+b &amp; c#d = \xC3\xA9 &quot;q&quot; &lt;b&gt;");
}

TEST_F(AdminPagesTest, BlockIpKicksTheSessionAndBlocksItsAddress) {
  Template("_sessionaction.html",
           "<!--ACTIONTITLE-->|<!--ACTIONMESSAGE-->|<!--ACTIONREASON-->|<!--PROCESSSESSIONACTION-->|"
           "<!--ACTIONNOTE-->");
  ChangeSettings([](settings::ServerSettings& s) { s.mKickReason = "Bye"; });
  const std::string page = Get("/_sessionaction?sessionid=7&mode=block&user=bob&ip=1.2.3.4").body;
  EXPECT_EQ(page.substr(0, page.find("|<p")),
            "Blocking an IP|Kicking user 'bob' (session ID 7) and blocking IP 1.2.3.4...|Bye|"
            "_processsessionaction?id=" + id_ + "&sessionid=7&mode=block");
  EXPECT_NE(page.find("switched on if they are off"), std::string::npos);

  // The same checks as a kick: the session id in the query, the form, the reason.
  const std::string process = "/_processsessionaction?sessionid=77&mode=block";
  EXPECT_TRUE(Request("POST " + process + "&id=1", "actionreason=x").Redirects("/badlogin.html"));
  EXPECT_TRUE(Post(process, "actionreason=x&buttoncancel=1").Redirects(Back("_status")));
  EXPECT_TRUE(Post(process, "buttonok=1").Redirects(Error("Incomplete Form")));
  EXPECT_TRUE(Post(process, "actionreason=one%3Btwo")
                  .Redirects(Error("The reason cannot contain the following characters: "
                                   "&quot;*:,;'?&gt;&lt;,|")));
  EXPECT_TRUE(Post(process, "actionreason=Bye")
                  .Redirects(Error("The session has ended: its IP was not blocked.")));

  port_ = Start();
  auto client = LoggedIn();
  std::vector<access::ActivitySnapshot> sessions;
  ASSERT_TRUE(testing::WaitUntil([&] { return !(sessions = server_->SessionList()).empty(); }));
  const std::string session = std::to_string(sessions[0].session_id);
  EXPECT_NE(Get("/_status").body.find("&user=bob&ip=127.0.0.1&mode=block\">Block&nbsp;IP</a>"),
            std::string::npos);
  EXPECT_TRUE(Post("/_processsessionaction?mode=block&sessionid=" + session, "actionreason=No+more")
                  .Redirects(Back("_status")));
  EXPECT_NE(client->Reply(5000).find("No more"), std::string::npos);
  ChangeSettings([](settings::ServerSettings& s) {
    EXPECT_TRUE(s.mUseBlockIPs);
    EXPECT_TRUE(s.mBlockIPs.Contains({127, 0, 0, 1}));
  });
  EXPECT_NE(ReadWholeFile(dir_.File("logs/remoteadmin_0.txt"))
                .find("127.0.0.1 -> IP Blocked: IP=[127.0.0.1], User=[bob], Session ID=[" + session + "]"),
            std::string::npos);
  // Saved: the stored settings hold the address.
  EXPECT_TRUE(server_->Load());
  ChangeSettings([](settings::ServerSettings& s) { EXPECT_TRUE(s.mBlockIPs.Contains({127, 0, 0, 1})); });
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

  // Each refusal shows the form again, its text beside the field (as the
  // page writes it: apostrophes as references).
  struct Refusal {
    std::string change;
    std::string field;
    std::string message;
  };
  const std::string port_range = "Please specify a FTP port value between 1 and 65535.";
  const Refusal refusals[] = {
      {"welcomemsg=&", "welcomemsg", "Please give a welcome message."},
      {"welcomemsg=Hi%2C+all&", "welcomemsg",
       "The welcome message contains some illegal characters. Illegal characters "
       "include: &quot;*:,;&#39;?&lt;&gt;,|"},
      {"helpmsg=%7C&", "helpmsg",
       "The help message contains some illegal characters. Illegal characters "
       "include: &quot;*:,;&#39;?&lt;&gt;,|"},
      {"port=0&", "port", port_range},
      {"port=65536&", "port", port_range},
      {"port=-21&", "port", port_range},
      {"port=abc&", "port", port_range},
      {"useuploadspeed=1&", "uploadspeed", "Please specify an maximum upload speed greater than 0."},
      {"usemaxusersperip=on&", "maxusersperip", "Please specify a maximum number of users per IP greater than 0."},
      {"idle=4&", "idle", "Please specify an idle time-out value greater than or equal to 5."},
  };
  for (const Refusal& refusal : refusals) {
    // The first of two equal fields counts, so the change goes first.
    const AdminAnswer answer = Post("/_processgensettings", refusal.change + SettingsForm(""));
    EXPECT_TRUE(answer.ShowsBeside(refusal.field, refusal.message)) << refusal.change << "\n" << answer.body;
    EXPECT_EQ(answer.body.find("role=\"alert\""), answer.body.rfind("role=\"alert\"")) << "one field at a time";
  }
  // The form comes back as typed: a text no number field holds included.
  const AdminAnswer typed = Post("/_processgensettings", "port=abc&welcomemsg=Hey+%3Cyou%3E&" + SettingsForm(""));
  EXPECT_EQ(typed.body.rfind("Hey &lt;you&gt;|abc|300|0||", 0), 0u) << typed.body;
  EXPECT_TRUE(Post("/_processgensettings", "welcomemsg=x").Redirects(Error("Incomplete Form")));
  EXPECT_TRUE(Post("/_processgensettings", "buttoncancel=1").Redirects(Back("_menu")));
  ChangeSettings([](settings::ServerSettings& s) { EXPECT_EQ(s.mWelcomeMsg, "Hi \"you\""); });

  // The service's own port counts as free; a port another listener holds does not.
  port_ = Start();
  ASSERT_TRUE(service_->Start());
  const std::string taken = std::to_string(service_->LocalPort());
  EXPECT_TRUE(Post("/_processgensettings", "port=" + taken + "&" + SettingsForm(""))
                  .ShowsBeside("port", "The FTP port is already in use."));
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

TEST_F(AdminPagesTest, NumbersOutsideTheirFieldsAreRefusedNeverWrapped) {
  struct Case {
    std::string change;  // goes first: the first of two equal fields counts
    std::string message;
  };
  // The field a change names: its refusal shows beside it.
  const auto field_of = [](const std::string& change) { return change.substr(0, change.find('=')); };
  Template("_accountlimits.html",
           "<!--MAXSIZE-->|<!--UPLOADSPEED-->|<!--DOWNLOADSPEED-->|<!--MAXUSERS-->|<!--UPLOADCREDITS-->|"
           "<!--DOWNLOADCREDITS-->|<!--CURRENTCREDITS-->|<!--USEUPLOADSPEED-->|"
           "<!--MAXSIZEERROR--><!--UPLOADSPEEDERROR--><!--DOWNLOADSPEEDERROR--><!--MAXUSERSERROR-->"
           "<!--UPLOADCREDITSERROR--><!--DOWNLOADCREDITSERROR--><!--CURRENTCREDITSERROR-->");
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
    EXPECT_TRUE(Post("/_processgensettings", c.change + "&" + SettingsForm("")).ShowsBeside(field_of(c.change), c.message))
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
    const AdminAnswer reply = Post("/_processaccountlimits", c.change + "&useuploadspeed=on&" + limits);
    EXPECT_TRUE(reply.ShowsBeside(field_of(c.change), c.message)) << c.change;
    // The tab as typed: the refused text, the other numbers and the boxes.
    const std::string typed = c.change.substr(c.change.find('=') + 1);
    EXPECT_NE(reply.body.find(typed), std::string::npos) << c.change;
    EXPECT_NE(reply.body.find("|1|"), std::string::npos) << c.change;
    EXPECT_NE(reply.body.find("|checked|"), std::string::npos) << c.change;
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
  Template("_accountvf.html", "<!--MAXSIZE--><!--MAXSIZEERROR-->");
  for (const char* size : {"4294967297", "-1"}) {
    const AdminAnswer reply = Post("/_processaccountvf", "originalname=&name=pub&path=" + dir_.File("pub") +
                                                             "&maxsize=" + size + "&buttonok=1");
    EXPECT_TRUE(reply.ShowsBeside("maxsize", "Please specify a maximum size greater than 0.")) << size;
    EXPECT_EQ(reply.body.find(size), 0u) << "the typed size is shown again";
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
  // A refusal shows the add page of the list's mode again, as typed.
  Template("_genaddip.html", "server add|<!--LOWER-->|<!--UPPER-->|<!--LOWERERROR--><!--UPPERERROR-->");
  Template("_accountaddip.html", "account add|<!--LOWER-->|<!--UPPER-->|<!--LOWERERROR--><!--UPPERERROR-->");
  const AdminAnswer reversed = Post(add_ip, "lower=10.0.0.9&upper=10.0.0.1&buttonaddrange=1");
  EXPECT_TRUE(reversed.ShowsBeside("upper", "The &#39;Upper IP&#39; was lower than the &#39;Lower IP&#39;."));
  EXPECT_EQ(reversed.body.rfind("server add|10.0.0.9|10.0.0.1|", 0), 0u) << reversed.body;
  const AdminAnswer bad_lower = Post(add_ip, "lower=10.0.0.256%22%3E&upper=10.0.0.1");
  EXPECT_TRUE(bad_lower.ShowsBeside("lower", "The lower IP is not a valid IP."));
  EXPECT_EQ(bad_lower.body.rfind("server add|10.0.0.256&quot;&gt;||", 0), 0u) << "typed text is escaped";
  EXPECT_TRUE(Post(add_ip, "lower=10.0.0.1&upper=x&buttonaddrange=1")
                  .ShowsBeside("upper", "The upper IP is not a valid IP."));
  EXPECT_TRUE(Post(add_ip, "upper=10.0.0.1&buttonaddrange=1").Redirects(Error("Incomplete Form")));
  EXPECT_TRUE(Post(add_ip, "lower=10.0.0.1&upper=10.0.0.9&buttonaddrange=1").Redirects(Back("_ips")));
  EXPECT_TRUE(Post(add_ip, "lower=1.1.1.1&buttoncancel=1").Redirects(Back("_ips")));

  // Leaving through a tab keeps the work lists but stores nothing.
  EXPECT_TRUE(Post("/_processips", "usesafe=1&tablimits.x=3&tablimits.y=4").Redirects(Back("_editlimits")));
  EXPECT_NE(Get("/_ips").body.find("<option value=\"10.0.0.1-10.0.0.9\">"), std::string::npos);
  ChangeSettings([](settings::ServerSettings& s) { EXPECT_EQ(s.mBlockIPs.Count(), 0u); });

  EXPECT_TRUE(Post("/_processips", "buttondeletesafe=1").Redirects(Error("Please select an IP / IP Range.")));
  EXPECT_TRUE(Post("/_processips", "selectedsafe=10.0.0.1&buttondeletesafe=1").Redirects(Back("_ips")));
  // "Block all" asks first: the confirmation keeps the switches as the form had them.
  EXPECT_EQ(Post("/_processips", "useblocked=1&buttonblockall=1").body,
            "Blocking All IPs|Add the range 0.0.0.0 - 255.255.255.255 to the blocked IPs? Once updated, no "
            "address may connect unless the safe IPs let it.|_processips?id=" + id_ +
                "|<input type=\"hidden\" name=\"useblocked\" value=\"on\">\r\n|buttonblockall|Block all|"
                "_ips?id=" + id_);
  EXPECT_EQ(Get("/_ips").body.find("0.0.0.0-255.255.255.255"), std::string::npos);
  EXPECT_FALSE(Post("/_processips", "useblocked=1&buttonblockall=1&confirmed=").Redirects(Back("_ips")));
  EXPECT_TRUE(Post("/_processips", "useblocked=on&buttonblockall=1&confirmed=1").Redirects(Back("_ips")));
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
  EXPECT_EQ(Post(add_ip, "lower=1.2.3&buttonaddsingle=1").body,
            "account add|1.2.3||<p class=\"field-error\" id=\"lower-error\" role=\"alert\">"
            "The lower IP is not a valid IP.</p>");
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
                  .Redirects(Error("Unable to change the FTP Port (already in use). The "
                                   "FTP Server has now deactivated.")));
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
