#include "ftp/session_messages.h"

#include <gtest/gtest.h>

namespace quillon::ftp {
namespace {

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(SessionMessagesTest, PlainAccountGetsThreeLines) {
  SessionStatus status;
  status.server_users = 4;
  status.account_sessions = 2;
  status.directory = "/pub";
  EXPECT_EQ(Joined(SessionMessageBlock(211, status)),
            "211-There are currently 4 users logged onto this server.\n"
            "211-There are currently 2 users logged onto this account.\n"
            "211 You are currently in directory '/pub'.\n");
}

TEST(SessionMessagesTest, AllocationAndCreditLines) {
  SessionStatus status;
  status.server_users = 1;
  status.account_sessions = 1;
  status.use_max_size = true;
  status.free_bytes = 1500;
  status.use_credits = true;
  status.credits = 4000000000u;
  status.download_ratio = -3;
  status.upload_ratio = 2;
  status.directory = "/";
  EXPECT_EQ(Joined(SessionMessageBlock(230, status)),
            "230-There are currently 1 users logged onto this server.\n"
            "230-There are currently 1 users logged onto this account.\n"
            "230-You have 1 KB of account allocation left.\n"
            "230-You have 4000000000 transfer credits remaining.\n"
            "230-You loose 3 credits per KB downloaded.\n"
            "230-You gain 2 credits per KB uploaded.\n"
            "230 You are currently in directory '/'.\n");

  const struct {
    int ratio;
    const char* download;
    const char* upload;
  } ratios[] = {
      {1, "230-You gain 1 credit per KB downloaded.", "230-You gain 1 credit per KB uploaded."},
      {0, "230-Your credits are not affected by downloads.",
       "230-Your credits are not affected by uploads."},
      {-1, "230-You loose 1 credit per KB downloaded.", "230-You loose 1 credit per KB uploaded."},
  };
  for (const auto& r : ratios) {
    status.download_ratio = r.ratio;
    status.upload_ratio = r.ratio;
    const std::vector<std::string> lines = SessionMessageBlock(230, status);
    EXPECT_EQ(lines[4], r.download);
    EXPECT_EQ(lines[5], r.upload);
  }
}

}  // namespace
}  // namespace quillon::ftp
