// The space and credit rules of an account, table by table.
#include "accountfs/quota.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "accountfs/messages.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::accountfs {
namespace {

TEST(QuotaTest, BalancesSaturateAndStopAtZero) {
  EXPECT_EQ(Quota::Added(10, 5), 15u);
  EXPECT_EQ(Quota::Added(4'294'967'290u, 10), 4'294'967'295u);
  EXPECT_EQ(Quota::Added(1, UINT64_MAX), 4'294'967'295u);
  EXPECT_EQ(Quota::Subtracted(10, 4), 6u);
  EXPECT_EQ(Quota::Subtracted(10, 10), 0u);
  EXPECT_EQ(Quota::Subtracted(10, UINT64_MAX), 0u);
}

TEST(QuotaTest, BookingChargesWholeKilobytesAndCarriesTheRest) {
  struct Case {
    std::int32_t rate;
    std::uint32_t balance;
    std::uint64_t bytes;
    std::uint32_t remainder;
    bool ok;
    std::uint32_t balance_after;
    std::uint32_t remainder_after;
  };
  const Case cases[] = {
      {-2, 100, 3000, 0, true, 96, 952},    // 2 KB at 2 credits, 952 bytes carried
      {-2, 100, 100, 952, true, 98, 28},    // the carried bytes complete a KB
      {-1, 3, 5 * 1024, 0, false, 0, 0},    // runs out: balance 0, nothing carried
      {3, 4'294'967'290u, 10 * 1024, 0, true, 4'294'967'295u, 0},  // earns, saturating
      {0, 7, 99 * 1024, 5, true, 7, 5},     // free in this direction
  };
  for (const Case& c : cases) {
    accounts::EffectiveRecord record;
    record.mUseCredits = true;
    record.mDownloadCredits = c.rate;
    record.mCurrentCredits = c.balance;
    std::uint32_t remainder = c.remainder;
    EXPECT_EQ(Quota::Book(&record, false, c.bytes, &remainder), c.ok) << c.rate << " " << c.bytes;
    EXPECT_EQ(record.mCurrentCredits, c.balance_after) << c.rate << " " << c.bytes;
    EXPECT_EQ(remainder, c.remainder_after) << c.rate << " " << c.bytes;
  }
  accounts::EffectiveRecord off;
  off.mCurrentCredits = 5;
  std::uint32_t remainder = 0;
  EXPECT_TRUE(Quota::Book(&off, true, 1 << 20, &remainder));  // credits not in use
  EXPECT_EQ(off.mCurrentCredits, 5u);
}

TEST(QuotaTest, StartingATransferNeedsAndTakesCredits) {
  accounts::EffectiveRecord record;
  record.mUseCredits = true;
  record.mUploadCredits = 1;
  record.mDownloadCredits = -3;
  record.mCurrentCredits = 0;
  AreaLimits root;
  AreaLimits exempt;
  exempt.credit_exempt = true;
  EXPECT_TRUE(Quota::LacksCredits(record, false, root));
  EXPECT_FALSE(Quota::LacksCredits(record, false, exempt));
  EXPECT_FALSE(Quota::LacksCredits(record, true, root));  // uploads earn
  record.mCurrentCredits = 10;
  EXPECT_FALSE(Quota::LacksCredits(record, false, root));
  Quota::ChargeStart(&record, false, root);
  EXPECT_EQ(record.mCurrentCredits, 7u);
  Quota::ChargeStart(&record, false, exempt);
  Quota::ChargeStart(&record, true, root);
  EXPECT_EQ(record.mCurrentCredits, 7u);
}

TEST(QuotaTest, SpaceCountsTheRootAndCountingFoldersAgainstTheAllocation) {
  testing::TempDir dir;
  testing::ManualClock clock;
  fileutil::FolderSizeCache cache(clock);
  std::filesystem::create_directories(dir.File("root"));
  std::filesystem::create_directories(dir.File("shared"));
  std::filesystem::create_directories(dir.File("free"));
  testing::WriteWholeFile(dir.File("root/a.bin"), std::string(600 * 1024, 'a'));
  testing::WriteWholeFile(dir.File("shared/b.bin"), std::string(300 * 1024, 'b'));
  testing::WriteWholeFile(dir.File("free/c.bin"), std::string(900 * 1024, 'c'));
  accounts::EffectiveRecord record;
  record.mUseRootFolder = true;
  record.SetRootFolder(dir.File("root"));
  accounts::VirtualFolder shared;
  shared.SetName("/shared");
  shared.SetPath(dir.File("shared"));
  shared.mUseMaxSize = true;
  shared.mMaxSize = 1;
  record.AppendFolder(shared);
  accounts::VirtualFolder free_folder = shared;
  free_folder.SetName("/free");
  free_folder.SetPath(dir.File("free"));
  free_folder.mCountsTowardsSize = false;
  free_folder.mUseMaxSize = false;
  record.AppendFolder(free_folder);
  const Quota quota(cache);

  EXPECT_EQ(quota.FreeSpace(record), 0u);  // no allocation in use
  record.mUseMaxSize = true;
  record.mMaxSize = 1;
  EXPECT_EQ(quota.FreeSpace(record), 124u * 1024);  // 1 MB - 600 KB - 300 KB

  std::string message;
  const AreaLimits root;
  EXPECT_TRUE(quota.CheckSpace(record, root, std::nullopt, &message));
  EXPECT_TRUE(quota.CheckSpace(record, root, 124u * 1024, &message));
  EXPECT_FALSE(quota.CheckSpace(record, root, 124u * 1024 + 1, &message));
  EXPECT_EQ(message, messages::kNotEnoughSpace);

  AreaLimits limited;  // the shared folder: its own 1 MB, and the account's
  limited.limited_folder = dir.File("shared");
  limited.folder_limit_on = true;
  limited.folder_limit = kMegabyte;
  limited.counts_towards_account = false;
  EXPECT_TRUE(quota.CheckSpace(record, limited, 700u * 1024, &message));
  EXPECT_FALSE(quota.CheckSpace(record, limited, 800u * 1024, &message));
  limited.folder_limit = 300 * 1024;
  EXPECT_FALSE(quota.CheckSpace(record, limited, std::nullopt, &message));
  EXPECT_EQ(message, messages::kAllocationReached);
  limited.limited_folder = dir.File("missing");
  EXPECT_FALSE(quota.CheckSpace(record, limited, 1, &message));
  EXPECT_EQ(message, messages::kResourceError);

  record.mMaxSize = 0;  // an allocation of 0 is used up
  EXPECT_FALSE(quota.CheckSpace(record, root, std::nullopt, &message));
  EXPECT_EQ(message, messages::kAllocationReached);
}

}  // namespace
}  // namespace quillon::accountfs
