#include "admin/admin_session.h"

#include <gtest/gtest.h>

#include <string>

#include "support/manual_clock.h"

namespace quillon::admin {
namespace {

TEST(AdminSessionTest, IdsAreFortyNineDigitsAndExpireAfterTwoHours) {
  testing::ManualClock clock;
  AdminSession session(clock);
  EXPECT_FALSE(session.Accept(""));
  const std::string id = session.LogIn();
  ASSERT_EQ(id.size(), AdminSession::kIdDigits);
  EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_NE(session.LogIn(), id);  // a new login replaces the id
  const std::string current = session.LogIn();
  EXPECT_FALSE(session.Accept(id));
  clock.Advance(AdminSession::kExpiryMs);
  EXPECT_TRUE(session.Accept(current));  // exactly two hours: still fine, and refreshed
  clock.Advance(AdminSession::kExpiryMs + 1000);
  EXPECT_FALSE(session.Accept(current));
  EXPECT_FALSE(session.IsLoggedIn());
  clock.Advance(1);
  EXPECT_FALSE(session.Accept(current));  // stays invalid
  const std::string again = session.LogIn();
  session.LogOut();
  EXPECT_FALSE(session.Accept(again));
}

}  // namespace
}  // namespace quillon::admin
