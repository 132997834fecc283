#include "admin/template_scanner.h"

#include <gtest/gtest.h>

#include <string>

#include "admin/admin_session.h"
#include "support/manual_clock.h"

namespace quillon::admin {
namespace {

// The template with every placeholder written as [NAME].
std::string Scan(std::string_view text) {
  TemplateScanner scanner(text);
  std::string out, literal, name;
  for (int guard = 0; guard < 1000; ++guard) {
    literal.clear();
    scanner.Next(&literal, &name);
    out += literal;
    if (name.empty()) break;
    out += "[" + name + "]";
  }
  return out;
}

TEST(TemplateScannerTest, BothMarkerFormsAndWhatIsLeftAsText) {
  EXPECT_EQ(Scan("a<!--ID-->b"), "a[ID]b");
  EXPECT_EQ(Scan("go ####MENULINK#### now"), "go [MENULINK] now");
  EXPECT_EQ(Scan("<!-- ID -->"), "<!-- ID -->");  // a blank after the opener
  EXPECT_EQ(Scan("<!---->x"), "<!---->x");
  EXPECT_EQ(Scan("#####x"), "#####x");  // a fifth '#' may not start a name
  EXPECT_EQ(Scan("<p>a # b ## c</p>"), "<p>a # b ## c</p>");
  EXPECT_EQ(Scan("<!-ID-->"), "<!-ID-->");  // broken opener
  EXPECT_EQ(Scan("x<!--END"), "x[END]");   // runs to the end of the text
  EXPECT_EQ(Scan("<!--A--><!--B-->"), "[A][B]");
  EXPECT_EQ(Scan("<!--A-x>rest"), "[A]rest");  // the closer is skipped unchecked
  EXPECT_EQ(Scan("<!--" + std::string(150, 'N') + "-->z"), "[BADFLAG]z");
  EXPECT_EQ(Scan("<!--" + std::string(99, 'N') + "-->"), "[" + std::string(99, 'N') + "]");
  EXPECT_EQ(Scan(""), "");
  EXPECT_EQ(Scan("<!--"), "<!--");
}

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
