// The control socket: requests answered in their encoding, the reload
// callback, and clients that stall, send too much or send nonsense, none of
// which holds another client up.
#include "control/control_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/local_socket.h"
#include "support/temp_dir.h"

namespace quillon::control {
namespace {

TEST(ControlEncodingTest, FieldsAndRepliesSurviveTheirEncodingAndBrokenBytesAreRefused) {
  const std::vector<std::string> fields = {"account", "", "with:colon", std::string("nul\0byte", 8)};
  std::vector<std::string> decoded;
  ASSERT_TRUE(DecodeFields(EncodeFields(fields), &decoded));
  EXPECT_EQ(decoded, fields);
  for (const char* broken : {"5:abc", "x:abc", ":abc", "3abc", "999999999:a", "-1:a"}) {
    SCOPED_TRACE(broken);
    EXPECT_FALSE(DecodeFields(broken, &decoded));
  }
  CommandResult reply{1, "out\n", "err\n"}, back;
  ASSERT_TRUE(DecodeReply(EncodeReply(reply), &back));
  EXPECT_EQ(back.code, 1);
  EXPECT_EQ(back.out, "out\n");
  EXPECT_EQ(back.err, "err\n");
  EXPECT_FALSE(DecodeReply(EncodeFields({"1", "out"}), &back));
  EXPECT_FALSE(DecodeReply(EncodeFields({"one", "", ""}), &back));
}

class ControlServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("control.sock");
    std::string error;
    ASSERT_TRUE(service_.Start(path_, &error)) << error;
  }
  void TearDown() override { service_.Stop(); }

  bool Ask(const std::vector<std::string>& args, CommandResult* reply) {
    std::string error;
    return SendControlRequest(clock_, path_, args, reply, &error);
  }

  platform::SystemClock clock_;
  testing::TempDir dir_;
  std::string path_;
  std::atomic<int> reloads_{0};
  ControlService service_{clock_,
                          [](const std::vector<std::string>& args) {
                            CommandResult result;
                            for (const std::string& arg : args) result.out += "[" + arg + "]";
                            result.code = args.size() == 2 ? 0 : 1;
                            return result;
                          },
                          [this](std::string* report) {
                            ++reloads_;
                            *report = "the files are damaged";
                            return false;
                          }};
};

TEST_F(ControlServiceTest, CommandsAndReloadAreAnsweredAndOthersAreBadUsage) {
  CommandResult reply;
  ASSERT_TRUE(Ask({"get", "mPort"}, &reply));
  EXPECT_EQ(reply.code, 0);
  EXPECT_EQ(reply.out, "[get][mPort]");
  ASSERT_TRUE(Ask({"account", "set", "bob"}, &reply));
  EXPECT_EQ(reply.code, 1);
  ASSERT_TRUE(Ask({kReloadRequest}, &reply));
  EXPECT_EQ(reply.code, 1);
  EXPECT_EQ(reply.err, "the files are damaged\n");
  EXPECT_EQ(reloads_.load(), 1);
  // Only the configuration commands run here: never init, update or service.
  ASSERT_TRUE(Ask({"init", "--force"}, &reply));
  EXPECT_EQ(reply.code, CommandResult::kBadUsage);
  EXPECT_EQ(reply.out, "");
}

TEST_F(ControlServiceTest, StalledOversizedAndBrokenRequestsHoldNobodyUp) {
  platform::SystemClock clock;
  // Connected, and nothing sent: the next client is answered all the same.
  std::string error;
  platform::LocalSocket stalled;
  ASSERT_TRUE(stalled.Connect(path_, &error)) << error;
  CommandResult reply;
  ASSERT_TRUE(Ask({"get", "mPort"}, &reply));
  EXPECT_EQ(reply.out, "[get][mPort]");

  // Too much, and bytes that are no request: closed on without an answer.
  platform::LocalSocket oversized;
  ASSERT_TRUE(oversized.Connect(path_, &error)) << error;
  [[maybe_unused]] const bool sent =
      oversized.SendAll(std::string(ControlService::kMaxRequestBytes + 1, 'x'), clock, 10000);
  oversized.EndSending();
  std::string answer = "unchanged";
  [[maybe_unused]] const bool ended = oversized.ReceiveAll(&answer, 1024, clock, 30000);
  EXPECT_EQ(answer, "");
  platform::LocalSocket broken;
  ASSERT_TRUE(broken.Connect(path_, &error)) << error;
  ASSERT_TRUE(broken.SendAll("7:acc", clock, 10000));
  broken.EndSending();
  answer = "unchanged";
  EXPECT_TRUE(broken.ReceiveAll(&answer, 1024, clock, 30000));
  EXPECT_EQ(answer, "");

  // The stalled client is still connected, not yet timed out: the others
  // did not wait for it.
  std::string nothing;
  EXPECT_FALSE(stalled.ReceiveAll(&nothing, 1024, clock, 0));
}

TEST(ControlServicePlaceTest, ALinkInTheSocketsPlaceIsReplacedAndWhatItNamesLeftAlone) {
  testing::TempDir dir;
  platform::SystemClock clock;
  const std::string target = dir.File("elsewhere");
  { std::ofstream(target) << "kept"; }
  std::filesystem::create_symlink(target, dir.File("control.sock"));
  ControlService service(clock, [](const std::vector<std::string>&) { return CommandResult{0, "ok", ""}; },
                         [](std::string*) { return true; });
  std::string error;
  ASSERT_TRUE(service.Start(dir.File("control.sock"), &error)) << error;
  EXPECT_TRUE(std::filesystem::is_socket(std::filesystem::symlink_status(dir.File("control.sock"))));
  EXPECT_TRUE(std::filesystem::is_regular_file(target));
  CommandResult reply;
  ASSERT_TRUE(SendControlRequest(clock, dir.File("control.sock"), {"get", "mPort"}, &reply, &error)) << error;
  EXPECT_EQ(reply.out, "ok");
  service.Stop();
}

TEST_F(ControlServiceTest, TheSocketIsOwnerOnlyAndGoneAfterTheStop) {
  EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  service_.Stop();
  EXPECT_FALSE(std::filesystem::exists(path_));
  CommandResult reply;
  EXPECT_FALSE(Ask({"get", "mPort"}, &reply));
}

}  // namespace
}  // namespace quillon::control
