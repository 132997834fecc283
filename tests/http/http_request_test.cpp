#include "http/http_request.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::http {
namespace {

class HttpRequestTest : public ::testing::Test {
 protected:
  // A request built from header lines (the request line first).
  std::unique_ptr<HttpRequest> Parse(std::initializer_list<std::string_view> lines) {
    auto request = std::make_unique<HttpRequest>("127.0.0.1", "40000", dir_.Path(), clock_);
    for (std::string_view line : lines) request->ParseHeaderLine(line);
    request->HeadersEnded();
    return request;
  }

  std::unique_ptr<HttpRequest> Post(const std::string& type, const std::string& body,
                                    std::size_t length_override = SIZE_MAX) {
    const std::size_t length = length_override == SIZE_MAX ? body.size() : length_override;
    auto request = Parse({"POST /_form HTTP/1.1", "Host: x", "Content-Type: " + type,
                          "Content-Length: " + std::to_string(length)});
    EXPECT_TRUE(request->FeedBody(body.data(), body.size()));
    return request;
  }

  testing::ManualClock clock_;
  testing::TempDir dir_;
};

TEST_F(HttpRequestTest, RequestLinesAndPaths) {
  auto request = Parse({"get /x HTTP/1.1", "Host: example"});
  EXPECT_EQ(request->GetMethod(), HttpRequest::Method::kGet);
  EXPECT_EQ(request->Path(), "/x");
  EXPECT_TRUE(request->IsValid());
  EXPECT_TRUE(request->IsComplete());

  struct Case {
    const char* line;
    const char* path;
  } cases[] = {
      {"GET /a/b/ HTTP/1.1", "/a/b/"},
      {"GET / HTTP/1.1", "/"},
      {"GET /%41b%2fc HTTP/1.1", "/Ab%2fc"},
      {"GET /../../etc/passwd HTTP/1.1", "/etc/passwd"},
      {"GET /a/%2E%2E/%2E%2E/b HTTP/1.1", "/b"},
      {"GET /x%0D%0Ay HTTP/1.1", "/x##y"},
      {"GET /x%00y HTTP/1.1", "/x#y"},
      {"HEAD /index.html HTTP/1.0", "/index.html"},
      {"GET /%4 HTTP/1.1", "/%4"},
  };
  for (const Case& c : cases) {
    auto parsed = Parse({c.line, "Host: h"});
    EXPECT_EQ(parsed->Path(), c.path) << c.line;
  }
}

TEST_F(HttpRequestTest, InvalidRequests) {
  EXPECT_FALSE(Parse({"GET /x HTTP/1.1"})->IsValid());  // no Host
  EXPECT_FALSE(Parse({"PUT /x HTTP/1.1", "Host: h"})->IsValid());
  EXPECT_FALSE(Parse({"GET /x HXXP/1.1", "Host: h"})->IsValid());
  EXPECT_FALSE(Parse({"GET /", "Host: h"})->IsValid());  // a line shorter than 14
  EXPECT_FALSE(Parse({"GET /no-space-at-all", "Host: h"})->IsValid());
  EXPECT_TRUE(Parse({"GET /x HTTP/1.1 extra", "Host: h"})->IsValid());  // other lengths pass
  auto post = Parse({"POST /x HTTP/1.1", "Host: h"});
  EXPECT_FALSE(post->IsComplete());
  EXPECT_TRUE(post->PostCannotComplete());
}

TEST_F(HttpRequestTest, QueryParameters) {
  auto request = Parse({"GET /_page?msg1=Hello+World%21&id=123&a%3D1=2&tail HTTP/1.1", "Host: h"});
  ASSERT_TRUE(request->HasQuery());
  ASSERT_NE(request->QueryParam("msg1"), nullptr);
  EXPECT_EQ(*request->QueryParam("msg1"), "Hello World!");
  EXPECT_EQ(*request->QueryParam("id"), "123");
  ASSERT_NE(request->QueryParam("a%3D1"), nullptr);  // names are not decoded
  EXPECT_EQ(*request->QueryParam("a%3D1"), "2");
  EXPECT_EQ(request->QueryParam("tail"), nullptr);
  EXPECT_EQ(request->QueryParam("ID"), nullptr);  // names compare exactly
  EXPECT_EQ(request->Path(), "/_page");

  auto plus = Parse({"GET /?pass=a%2Bb+c HTTP/1.1", "Host: h"});
  EXPECT_EQ(*plus->QueryParam("pass"), "a+b c");  // an encoded plus stays a plus, as in a body
}

TEST_F(HttpRequestTest, HeaderPrefixesIncludeTheBlank) {
  auto request = Parse({"GET / HTTP/1.1", "host: lower", "content-length: 5",
                        "If-Modified-Since: Sat, 05 Dec 2026 04:07:09 GMT"});
  EXPECT_EQ(request->Host(), "lower");
  EXPECT_EQ(request->ContentLength(), 5);
  EXPECT_EQ(request->IfModifiedSince(), "Sat, 05 Dec 2026 04:07:09 GMT");
  auto tight = Parse({"GET / HTTP/1.1", "Host: h", "Content-Length:5"});
  EXPECT_EQ(tight->ContentLength(), -1);
}

TEST_F(HttpRequestTest, BearerTokensAreTakenFromTheFirstAuthorizationHeaderOnly) {
  const std::string token = "qt_" + std::string(43, 'x');
  struct Case {
    std::vector<std::string> headers;
    bool has_authorization;
    std::string bearer;
  };
  const Case cases[] = {
      {{}, false, ""},
      {{"Authorization: Bearer " + token}, true, token},
      {{"authorization:bearer  " + token + " \t"}, true, token},  // names and schemes ignore case
      {{"AUTHORIZATION: BEARER " + token}, true, token},
      {{"Authorization: Basic YWxpY2U6cHc="}, true, ""},          // another scheme: offered, no token
      {{"Authorization: Bearer"}, true, ""},
      {{"Authorization: Bearer " + std::string(257, 'a')}, true, ""},  // too long to be one
      {{"Authorization: Bearer " + std::string(256, 'a')}, true, std::string(256, 'a')},
      {{"Authorization: Basic x", "Authorization: Bearer " + token}, true, ""},  // the first counts
      {{"X-Authorization: Bearer " + token}, false, ""},
  };
  for (const Case& c : cases) {
    auto request = std::make_unique<HttpRequest>("127.0.0.1", "40000", dir_.Path(), clock_);
    request->ParseHeaderLine("GET /metrics HTTP/1.1");
    request->ParseHeaderLine("Host: x");
    for (const std::string& header : c.headers) request->ParseHeaderLine(header);
    request->HeadersEnded();
    SCOPED_TRACE(c.headers.empty() ? "(none)" : c.headers.front());
    EXPECT_EQ(request->HasAuthorization(), c.has_authorization);
    EXPECT_EQ(request->BearerToken(), c.bearer);
    EXPECT_TRUE(request->IsComplete());
  }
}

TEST_F(HttpRequestTest, UrlEncodedBodies) {
  const std::string body = "user=bob&pass=a%2Bb&note=one+two%2G%2&x&empty=&" +
                           std::string(40, 'n') + "=long&lost";
  auto request = Post("application/x-www-form-urlencoded", body + "IGNORED", body.size());
  ASSERT_TRUE(request->IsComplete());
  EXPECT_TRUE(request->IsUrlEncoded());
  std::string value;
  ASSERT_TRUE(request->FormFieldValue("pass", &value, 100));
  EXPECT_EQ(value, "a+b");
  ASSERT_TRUE(request->FormFieldValue("note", &value, 100));
  EXPECT_EQ(value, "one two##x");  // a bad pair gives '#', even one holding '&'
  ASSERT_TRUE(request->FormFieldValue("user", &value, 3));
  EXPECT_EQ(value, "bo");  // capacity - 1 bytes
  EXPECT_TRUE(request->FormFieldExists("empty"));
  EXPECT_TRUE(request->FormFieldExists(std::string(29, 'n')));  // names are cut to 29
  EXPECT_FALSE(request->FormFieldExists("lost"));  // still naming itself at the end
  EXPECT_FALSE(request->FormFieldValue("missing", &value, 100));
  EXPECT_EQ(value, "");
}

TEST_F(HttpRequestTest, MultipartBodies) {
  const std::string body =
      "--XyZ\r\n"
      "Content-Disposition: form-data; name=\"title\"\r\n"
      "\r\n"
      "Report\r\n"
      "--XyZ\r\n"
      "Content-Disposition: form-data; name=\"upload\";\r\n"
      " filename=\"C:\\docs\\notes.txt\"\r\n"
      "Content-Type: text/plain\r\n"
      "\r\n"
      "line one\r\nline two\r\n"
      "--XyZ--\r\n";
  auto request = Post("multipart/form-data; boundary=\"XyZ\"", body);
  ASSERT_TRUE(request->IsComplete());
  EXPECT_EQ(request->Boundary(), "--XyZ");
  ASSERT_EQ(request->Parts().size(), 2u);
  EXPECT_EQ(request->Parts()[0].name, "title");
  EXPECT_EQ(request->PartContent(request->Parts()[0]), "Report");
  EXPECT_EQ(request->Parts()[1].name, "upload");
  EXPECT_EQ(request->Parts()[1].file_name, "notes.txt");
  EXPECT_EQ(request->PartContent(request->Parts()[1]), "line one\r\nline two");

  // Without a closing boundary the last part ends at the Content-Length,
  // less its last 2 bytes.
  const std::string open =
      "--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nabcdef";
  auto unterminated = Post("multipart/form-data; boundary=b", open);
  ASSERT_TRUE(unterminated->IsComplete());
  ASSERT_EQ(unterminated->Parts().size(), 1u);
  EXPECT_EQ(unterminated->PartContent(unterminated->Parts()[0]), "abcd");

  // A header line of 1024 bytes fails the request.
  HttpRequest request2("127.0.0.1", "1", dir_.Path(), clock_);
  request2.ParseHeaderLine("POST /x HTTP/1.1");
  request2.ParseHeaderLine("Host: h");
  request2.ParseHeaderLine("Content-Type: multipart/form-data; boundary=b");
  request2.ParseHeaderLine("Content-Length: 5000");
  const std::string flood = "--b\r\n" + std::string(1100, 'h');
  EXPECT_FALSE(request2.FeedBody(flood.data(), flood.size()));
}

TEST_F(HttpRequestTest, AnEmptyLineEndsPartHeadersAfterAnOpenDisposition) {
  const std::string body =
      "--b\r\nContent-Disposition: form-data; name=\"f\";\r\n\r\ncontent\r\n--b--\r\n";
  auto request = Post("multipart/form-data; boundary=b", body);
  ASSERT_TRUE(request->IsComplete());
  ASSERT_EQ(request->Parts().size(), 1u);
  EXPECT_EQ(request->Parts()[0].name, "f");
  EXPECT_EQ(request->PartContent(request->Parts()[0]), "content");
}

TEST_F(HttpRequestTest, BodiesWithMoreEntriesThanAFormAreRefused) {
  // (A url-encoded flood is the form body's own test.)
  std::string parts;
  for (std::size_t i = 0; i <= HttpRequest::kMaxFormEntries; ++i)
    parts += "--b\r\nContent-Disposition: form-data; name=\"p\"\r\n\r\nx\r\n";
  parts += "--b--\r\n";
  auto many = Post("multipart/form-data; boundary=b", parts);
  EXPECT_TRUE(many->IsRefused());
  EXPECT_FALSE(many->IsComplete());
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Path()));  // its body file is gone

  auto just = Post("application/x-www-form-urlencoded", "a=1&b=2");
  EXPECT_FALSE(just->IsRefused());
  EXPECT_TRUE(just->IsComplete());
}

TEST_F(HttpRequestTest, ADiscardedBodyIsReadButNeitherStoredNorParsed) {
  auto request = Parse({"POST /_menu HTTP/1.1", "Host: x",
                        "Content-Type: application/x-www-form-urlencoded", "Content-Length: 9"});
  request->DiscardBody();
  ASSERT_TRUE(request->FeedBody("user=", 5));
  EXPECT_FALSE(request->IsComplete());
  ASSERT_TRUE(request->FeedBody("bob!", 4));
  EXPECT_TRUE(request->IsComplete());
  EXPECT_FALSE(request->FormFieldExists("user"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Path()));
}

TEST_F(HttpRequestTest, OtherBodiesAndTheBodyFileLifetime) {
  std::string file;
  {
    auto request = Post("application/octet-stream", "raw bytes");
    ASSERT_TRUE(request->IsComplete());
    file = request->BodyFileName();
    EXPECT_EQ(testing::ReadWholeFile(file), "raw bytes");
  }
  EXPECT_FALSE(std::filesystem::exists(file));
  auto empty = Parse({"POST /x HTTP/1.1", "Host: h", "Content-Type: text/plain",
                      "Content-Length: 0"});
  EXPECT_TRUE(empty->IsComplete());
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Path()));
}

}  // namespace
}  // namespace quillon::http
