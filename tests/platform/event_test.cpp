#include "platform/event.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/net.h"

namespace quillon::platform {
namespace {

bool DescriptorReadable(const Event& event) {
  PollItem item;
  item.descriptor = event.PollDescriptor();
  item.want_read = true;
  return Poll(&item, 1, 0) == 1 && item.readable;
}

TEST(EventTest, ManualResetStaysSetAndItsDescriptorFollows) {
  Event event;
  ASSERT_TRUE(event.IsValid());
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(DescriptorReadable(event));
  event.Set();
  event.Set();  // setting twice needs one reset only
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(DescriptorReadable(event));
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.IsSet());  // waiting does not consume it
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(DescriptorReadable(event));
  EXPECT_FALSE(event.Wait(5));
}

TEST(EventTest, WaitWakesWhenAnotherThreadSets) {
  Event event;
  std::thread setter([&] { event.Set(); });
  EXPECT_TRUE(event.Wait(5000));
  setter.join();
}

}  // namespace
}  // namespace quillon::platform
