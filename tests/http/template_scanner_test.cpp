#include "http/template_scanner.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon::http {
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

}  // namespace
}  // namespace quillon::http
