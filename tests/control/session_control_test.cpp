// The sessions' control: the reason rule every face shares, what a request
// queues for the session, and the reason kept as the next default.
#include "control/session_control.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/ftp_server_fixture.h"
#include "support/wait.h"

namespace quillon::control {
namespace {

class SessionControlTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    control_.emplace(*server_);
  }

  static constexpr std::uint32_t kSession = 7;
  std::optional<SessionControl> control_;  // made once the fixture's server exists
};

TEST_F(SessionControlTest, ReasonWithAForbiddenCharacterChangesNothing) {
  const std::string stop_default = control_->LastReason(SessionActionKind::kStopTransfer);
  ASSERT_EQ(control_->Request(kSession, SessionActionKind::kKick, "Kept"), SessionRequestResult::kQueued);
  ASSERT_TRUE(server_->Auth().TakeSessionAction(kSession).has_value());
  for (const char forbidden : std::string("\"*:;'?><,|\t\r\n")) {
    const std::string reason = std::string("bad ") + forbidden + " reason";
    SCOPED_TRACE(reason);
    EXPECT_FALSE(SessionControl::ReasonIsAllowed(reason));
    for (const SessionActionKind kind : {SessionActionKind::kKick, SessionActionKind::kStopTransfer}) {
      EXPECT_EQ(control_->Request(kSession, kind, reason), SessionRequestResult::kReasonHasIllegalChars);
    }
    EXPECT_FALSE(server_->Auth().TakeSessionAction(kSession).has_value());
    EXPECT_EQ(control_->LastReason(SessionActionKind::kKick), "Kept");
    EXPECT_EQ(control_->LastReason(SessionActionKind::kStopTransfer), stop_default);
  }
  // Characters outside the set pass, an empty reason too.
  for (const std::string reason : {"", "Back at 8 (maybe) - sorry!", "path/to\\file & more"})
    EXPECT_TRUE(SessionControl::ReasonIsAllowed(reason)) << reason;
}

TEST_F(SessionControlTest, RequestQueuesItsKindAndKeepsTheReasonForThatKindOnly) {
  const std::string kick_default = control_->LastReason(SessionActionKind::kKick);
  ASSERT_NE(kick_default, "Disk full");
  ASSERT_EQ(control_->Request(kSession, SessionActionKind::kStopTransfer, "Disk full"),
            SessionRequestResult::kQueued);
  std::optional<access::SessionAction> queued = server_->Auth().TakeSessionAction(kSession);
  ASSERT_TRUE(queued.has_value());
  EXPECT_EQ(queued->kind, SessionActionKind::kStopTransfer);
  EXPECT_EQ(queued->reason, "Disk full");
  EXPECT_FALSE(server_->Auth().TakeSessionAction(kSession + 1).has_value());
  EXPECT_EQ(control_->LastReason(SessionActionKind::kStopTransfer), "Disk full");
  EXPECT_EQ(control_->LastReason(SessionActionKind::kKick), kick_default);

  // The session gets the whole reason; the default keeps what the settings hold.
  const std::string long_reason(settings::ServerSettings::kReasonCapacity + 10, 'x');
  ASSERT_EQ(control_->Request(kSession, SessionActionKind::kKick, long_reason),
            SessionRequestResult::kQueued);
  EXPECT_EQ(server_->Auth().TakeSessionAction(kSession)->reason, long_reason);
  EXPECT_EQ(control_->LastReason(SessionActionKind::kKick),
            long_reason.substr(0, settings::ServerSettings::kReasonCapacity - 1));
  EXPECT_EQ(control_->LastReason(SessionActionKind::kStopTransfer), "Disk full");
}

TEST_F(SessionControlTest, ListFollowsASessionUntilItIsKicked) {
  EXPECT_TRUE(control_->List().empty());
  port_ = Start();
  auto client = LoggedIn();
  std::vector<access::ActivitySnapshot> sessions;
  ASSERT_TRUE(testing::WaitUntil([&] { return !(sessions = control_->List()).empty(); }));
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].user_name, "bob");
  EXPECT_EQ(sessions[0].peer_address, "127.0.0.1");

  ASSERT_EQ(control_->Request(sessions[0].session_id, SessionActionKind::kKick, "Closing now"),
            SessionRequestResult::kQueued);
  EXPECT_NE(client->Reply(5000).find("Closing now"), std::string::npos);
  EXPECT_TRUE(testing::WaitUntil([&] { return control_->List().empty(); }));
}

TEST_F(SessionControlTest, KickAndBlockKicksTheSessionAndBlocksItsAddress) {
  const auto blocked = [this] {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    return std::make_pair(server_->Settings().mUseBlockIPs, server_->Settings().mBlockIPs.Serialise());
  };
  const auto before = blocked();
  ASSERT_FALSE(before.first);
  // No such session, or a reason it may not carry: nothing changes.
  EXPECT_EQ(control_->KickAndBlock(kSession, "Bye").result, BlockResult::kSessionGone);
  EXPECT_EQ(blocked(), before);

  port_ = Start();
  auto client = LoggedIn();
  std::optional<access::ActivitySnapshot> session;
  ASSERT_TRUE(testing::WaitUntil([&] {
    const std::vector<access::ActivitySnapshot> sessions = control_->List();
    if (!sessions.empty()) session = control_->Find(sessions[0].session_id);
    return session.has_value();
  }));
  EXPECT_EQ(session->user_name, "bob");
  EXPECT_FALSE(control_->Find(session->session_id + 1000).has_value());
  EXPECT_EQ(control_->KickAndBlock(session->session_id, "Go; away").result,
            BlockResult::kReasonHasIllegalChars);
  EXPECT_EQ(blocked(), before);
  EXPECT_FALSE(server_->Auth().TakeSessionAction(session->session_id).has_value());

  const BlockOutcome outcome = control_->KickAndBlock(session->session_id, "Banned now");
  EXPECT_EQ(outcome.result, BlockResult::kBlocked);
  EXPECT_EQ(outcome.address, "127.0.0.1");
  EXPECT_EQ(outcome.user, "bob");
  EXPECT_TRUE(outcome.list_was_off);
  EXPECT_FALSE(outcome.safe_listed);
  EXPECT_NE(client->Reply(5000).find("Banned now"), std::string::npos);
  EXPECT_TRUE(testing::WaitUntil([&] { return control_->List().empty(); }));
  EXPECT_EQ(control_->LastReason(SessionActionKind::kKick), "Banned now");
  {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    EXPECT_TRUE(server_->Settings().mUseBlockIPs);
    ASSERT_EQ(server_->Settings().mBlockIPs.Count(), 1u);
    EXPECT_EQ(server_->Settings().mBlockIPs.EntryText(0), "127.0.0.1");
  }

  // Let in through the safe list, the address can be blocked again without
  // a second entry, and the outcome says the safe list admits it.
  ChangeSettings([](settings::ServerSettings& s) {
    s.mUseSafeIPs = true;
    s.mSafeIPs.AddAddress({127, 0, 0, 1});
  });
  auto again = LoggedIn();
  ASSERT_TRUE(testing::WaitUntil([&] { return !control_->List().empty(); }));
  const BlockOutcome second = control_->KickAndBlock(control_->List().at(0).session_id, "Again");
  EXPECT_EQ(second.result, BlockResult::kBlocked);
  EXPECT_FALSE(second.list_was_off);
  EXPECT_TRUE(second.safe_listed);
  runtime::CriticalSection::Guard guard(server_->Settings().Lock());
  EXPECT_EQ(server_->Settings().mBlockIPs.Count(), 1u);
}

TEST_F(SessionControlTest, BlockingAnIpv6SessionBlocksItsSlash64) {
  port_ = Start();
  testing::FtpClient client;
  ASSERT_EQ(client.ConnectIpv6(port_).substr(0, 4), "220 ");
  ASSERT_EQ(client.Login("bob", "secret").substr(0, 4), "230-");
  ASSERT_TRUE(testing::WaitUntil([&] { return !control_->List().empty(); }));
  const BlockOutcome outcome = control_->KickAndBlock(control_->List().at(0).session_id, "Gone");
  EXPECT_EQ(outcome.result, BlockResult::kBlocked);
  EXPECT_EQ(outcome.address, "::1");
  runtime::CriticalSection::Guard guard(server_->Settings().Lock());
  ASSERT_EQ(server_->Settings().mBlockIPs.Count(), 1u);
  EXPECT_EQ(server_->Settings().mBlockIPs.EntryText(0), "::/64");
  EXPECT_TRUE(server_->Settings().mBlockIPs.Serialise().empty());  // nothing in settings.dta's IPv4 form
}

}  // namespace
}  // namespace quillon::control
