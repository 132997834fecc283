#include "admin/http_server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_client.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace quillon::admin {
namespace {

using testing::LoopbackClient;
using testing::ReadWholeFile;
using testing::WaitUntil;
using testing::WriteWholeFile;

// The headers every answer carries: no framing, no type sniffing, no
// Referer (the session id travels in URLs).
const std::string kGuards =
    "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n";
// ...and every answer but a static file (or its 304) is kept by no cache.
const std::string kNoStore = "Cache-Control: no-store\r\n";

// Static files from "remoteadmin", and a few pages under "/_".
class TestHandler : public RequestHandler {
 public:
  explicit TestHandler(std::string root) : root_(std::move(root)) {}

  void HandleRequest(HttpRequest& request) override {
    HttpResponse& response = request.Response();
    response.SetNotFoundPage(root_ + "/error404.html");
    const std::string& path = request.Path();
    if (path == "/_go") {
      response.Redirect("_menu?msg=Saved and done", request.GetMethod() == HttpRequest::Method::kPost);
    } else if (path == "/_echo") {
      std::string user, pass, body = "fields:";
      if (request.FormFieldValue("user", &user, 100)) body += " user=" + user;
      if (request.FormFieldValue("pass", &pass, 100)) body += " pass=" + pass;
      for (const auto& part : request.Parts())
        body += " part " + part.name + "=" + request.PartContent(part);
      if (const std::string* q = request.QueryParam("q")) body += " q=" + *q;
      response.SendPage(body);
    } else if (path == "/_silent") {
      // no response: the connection closes without an answer
    } else {
      response.ServeStatic(root_, path, request.IfModifiedSince());
    }
  }

 private:
  const std::string root_;
};

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.File("remoteadmin"));
    std::filesystem::create_directories(dir_.File("temp"));
    WriteWholeFile(dir_.File("remoteadmin/index.html"), "<html>index</html>");
    WriteWholeFile(dir_.File("remoteadmin/logo.PNG"), "png");
    WriteWholeFile(dir_.File("remoteadmin/UPPER.HTML"), "upper");
    log_.SetPrefix(dir_.File("remoteadmin_"));
    ASSERT_TRUE(server_.Start(0));
    port_ = server_.LocalPort();
  }

  // Sends a raw request and returns everything until the server closes.
  std::string Exchange(const std::string& request) {
    LoopbackClient client;
    EXPECT_TRUE(client.Connect(port_));
    EXPECT_TRUE(client.Send(request));
    return client.Receive(SIZE_MAX, 5000);
  }

  static std::string Body(const std::string& response) {
    const std::size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
  }

  testing::ManualClock clock_{1000, 1796443629LL * 1'000'000'000};
  testing::TempDir dir_;
  TestHandler handler_{dir_.File("remoteadmin")};
  settings::LogFile log_{clock_};
  HttpServer server_{handler_, log_, clock_, dir_.File("temp")};
  std::uint16_t port_ = 0;
};

TEST_F(HttpServerTest, StaticFilesWithDatesAndNotModified) {
  std::filesystem::last_write_time(
      dir_.File("remoteadmin/index.html"),
      std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  const std::string response = Exchange("get / HTTP/1.1\r\nHost: here\r\n\r\n");
  ASSERT_EQ(response.rfind("HTTP/1.1 200 OK\r\nDate: Sat, 05 Dec 2026 04:07:09 GMT\r\n", 0), 0u)
      << response;
  EXPECT_NE(response.find("\r\nServer: Quillon FTP Server 1.03 by Marrowind\r\n"), std::string::npos);
  EXPECT_NE(response.find("\r\nContent-Type: text/html\r\nContent-Length: 18\r\n" + kGuards +
                          "Connection: close\r\n\r\n<html>index</html>"),
            std::string::npos);
  const std::size_t at = response.find("Last-Modified: ");
  ASSERT_NE(at, std::string::npos);
  const std::string modified = response.substr(at + 15, response.find("\r\n", at) - at - 15);
  EXPECT_EQ(modified.substr(modified.size() - 4), " GMT");

  const std::string again =
      Exchange("GET /index.html HTTP/1.1\r\nHost: here\r\nIf-Modified-Since: " + modified + "\r\n\r\n");
  EXPECT_EQ(again.rfind("HTTP/1.1 304 Not Modified\r\n" + kGuards + "Connection: close\r\n\r\n<HTML>", 0), 0u);
  EXPECT_NE(again.find("The page as not been modified."), std::string::npos);
}

TEST_F(HttpServerTest, TypesAreCaseSensitiveAndHeadHasNoBody) {
  WriteWholeFile(dir_.File("remoteadmin/site.css"), "body{}");
  EXPECT_NE(Exchange("GET /site.css HTTP/1.1\r\nHost: h\r\n\r\n").find("Content-Type: text/css"),
            std::string::npos);
  EXPECT_NE(Exchange("GET /logo.PNG HTTP/1.1\r\nHost: h\r\n\r\n").find("Content-Type: application/zip"),
            std::string::npos);
  EXPECT_NE(Exchange("GET /UPPER.HTML HTTP/1.1\r\nHost: h\r\n\r\n").find("Content-Type: application/zip"),
            std::string::npos);
  const std::string head = Exchange("HEAD /index.html HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_NE(head.find("Content-Length: 18\r\n"), std::string::npos);
  EXPECT_EQ(Body(head), "");
}

TEST_F(HttpServerTest, NotFoundPages) {
  const std::string builtin = Exchange("GET /missing.html HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_EQ(builtin.rfind("HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n" + kGuards + kNoStore +
                              "Connection: close\r\n\r\n",
                          0),
            0u);
  EXPECT_NE(Body(builtin).find("<!-" + std::string(567, '*') + "-!>"), std::string::npos);
  EXPECT_EQ(Body(builtin), BuiltInNotFoundPage());

  WriteWholeFile(dir_.File("remoteadmin/error404.html"), "custom 404");
  const std::string custom = Exchange("GET /missing.html HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(custom.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
  EXPECT_NE(custom.find("Content-Type: text/html"), std::string::npos);
  EXPECT_EQ(Body(custom), "custom 404");
  // A path cannot climb out of the folder.
  EXPECT_EQ(Body(Exchange("GET /../../etc/passwd HTTP/1.1\r\nHost: h\r\n\r\n")), "custom 404");
}

TEST_F(HttpServerTest, RedirectsAfterGetAndPost) {
  const std::string get = Exchange("GET /_go HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(get.rfind("HTTP/1.1 307 Temporary Redirect\r\nLocation: _menu?msg=Saved%20and%20done\r\n"
                      "Content-Type: text/html\r\n" + kGuards + kNoStore + "Connection: close\r\n\r\n",
                      0),
            0u)
      << get;
  const std::string post = Exchange(
      "POST /_go HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok");
  EXPECT_EQ(post,
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n" + kGuards + kNoStore +
                "Connection: close\r\n\r\n<HTML><HEAD><meta HTTP-EQUIV=\"refresh\" "
            "content=\"0;URL=_menu?msg=Saved%20and%20done\"></HEAD><BODY></BODY></HTML>");
}

TEST_F(HttpServerTest, BadRequestsAreAnsweredAtOnce) {
  EXPECT_EQ(Exchange("GET /index.html HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
  EXPECT_EQ(Exchange("BREW /pot HTTP/1.1\r\nHost: h\r\n\r\n").rfind("HTTP/1.1 400 Bad Request\r\n", 0),
            0u);
  // A POST without Content-Type or Content-Length is not left waiting.
  EXPECT_EQ(Exchange("POST /_echo HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n\r\n")
                .rfind("HTTP/1.1 400 Bad Request\r\n", 0),
            0u);
  EXPECT_EQ(Exchange("POST /_echo HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\n\r\n")
                .rfind("HTTP/1.1 400 Bad Request\r\n", 0),
            0u);
  // A handler that answers nothing closes the connection without an answer.
  EXPECT_EQ(Exchange("GET /_silent HTTP/1.1\r\nHost: h\r\n\r\n"), "");
}

TEST_F(HttpServerTest, FormsArriveDecoded) {
  const std::string form = "user=bob&pass=a%2Bb";
  std::string response = Exchange("POST /_echo?q=x+y HTTP/1.1\r\nHost: h\r\nContent-Type: "
                                  "application/x-www-form-urlencoded\r\nContent-Length: " +
                                  std::to_string(form.size()) + "\r\n\r\n" + form);
  EXPECT_EQ(Body(response), "fields: user=bob pass=a+b q=x y");
  EXPECT_NE(response.find("Content-Length: 31\r\n"), std::string::npos) << response;
  const std::string multipart =
      "--sep\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nfirst\r\n--sep--\r\n";
  response = Exchange("POST /_echo HTTP/1.1\r\nHost: h\r\nContent-Type: multipart/form-data; "
                      "boundary=sep\r\nContent-Length: " +
                      std::to_string(multipart.size()) + "\r\n\r\n" + multipart);
  EXPECT_EQ(Body(response), "fields: part a=first");
  const std::string empty = Exchange(
      "POST /_echo HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(Body(empty), "fields:");
  EXPECT_TRUE(WaitUntil([&] { return std::filesystem::is_empty(dir_.File("temp")); }));
}

TEST_F(HttpServerTest, OversizedBodiesAreDroppedWithoutAnAnswer) {
  LoopbackClient client;
  ASSERT_TRUE(client.Connect(port_));
  const std::size_t size = HttpServer::kMaxBodyBytes + 1;
  ASSERT_TRUE(client.Send("POST /_echo HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\n"
                          "Content-Length: " + std::to_string(size) + "\r\n\r\n"));
  client.Send(std::string(size, 'b'));  // the server may close before all of it is taken
  EXPECT_TRUE(client.WaitForClose());
  EXPECT_TRUE(WaitUntil([&] { return std::filesystem::is_empty(dir_.File("temp")); }));
}

TEST_F(HttpServerTest, LogLines) {
  Exchange("GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_TRUE(WaitUntil([&] {
    return ReadWholeFile(dir_.File("remoteadmin_0.txt")).find("Response: OK") != std::string::npos;
  }));
  EXPECT_EQ(ReadWholeFile(dir_.File("remoteadmin_0.txt")),
            "Sat, 05 Dec 2026 04:07:09 -> 127.0.0.1 -> Connection Accepted.\r\n"
            "Sat, 05 Dec 2026 04:07:09 -> 127.0.0.1 -> GET /index.html HTTP/1.1\r\n"
            "Sat, 05 Dec 2026 04:07:09 -> 127.0.0.1 -> Response: OK\r\n");
}

TEST(WithoutSessionIdsTest, BlanksEveryIdParameter) {
  const std::string id(49, '7');
  EXPECT_EQ(WithoutSessionIds("GET /_menu?id=" + id + " HTTP/1.1"), "GET /_menu?id=\xE2\x80\xA6 HTTP/1.1");
  EXPECT_EQ(WithoutSessionIds("GET /_x?a=1&id=" + id + "&b=2 HTTP/1.1"),
            "GET /_x?a=1&id=\xE2\x80\xA6&b=2 HTTP/1.1");
  EXPECT_EQ(WithoutSessionIds("GET /_x?valid=1&kid=2 HTTP/1.1"), "GET /_x?valid=1&kid=2 HTTP/1.1");
  EXPECT_EQ(WithoutSessionIds("GET /id=5 HTTP/1.1"), "GET /id=5 HTTP/1.1");
  EXPECT_EQ(WithoutSessionIds("GET /_x?id="), "GET /_x?id=\xE2\x80\xA6");
}

TEST_F(HttpServerTest, TheLogNeverHoldsASessionIdOrAForgedLine) {
  const std::string id(49, '3');
  Exchange("GET /_go?id=" + id + " HTTP/1.1\r\nHost: h\r\n\r\n");
  Exchange("GET /index.html\nSat, 05 Dec 2026 04:07:09 -> 6.6.6.6 -> forged HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_TRUE(WaitUntil([&] {
    return ReadWholeFile(dir_.File("remoteadmin_0.txt")).find("forged") != std::string::npos;
  }));
  const std::string log = ReadWholeFile(dir_.File("remoteadmin_0.txt"));
  EXPECT_EQ(log.find(id), std::string::npos);
  EXPECT_NE(log.find("GET /_go?id=\xE2\x80\xA6 HTTP/1.1"), std::string::npos) << log;
  EXPECT_NE(log.find("GET /index.html\\x0ASat, 05 Dec 2026"), std::string::npos) << log;
  EXPECT_EQ(log.find("\nSat, 05 Dec 2026 04:07:09 -> 6.6.6.6"), std::string::npos);
  EXPECT_EQ(std::filesystem::status(dir_.File("remoteadmin_0.txt")).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif

// Resident memory at its highest so far in this process, in KiB.
long PeakResidentKib() {
  const std::string status = ReadWholeFile("/proc/self/status");
  const std::size_t at = status.find("VmHWM:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

TEST_F(HttpServerTest, FormFloodsAreRefusedWithoutGrowingTheServer) {
  std::string flood;
  for (std::size_t i = 0; i < 1'048'576 / 2; ++i) flood += "=&";
  const std::string head = "POST /_echo HTTP/1.1\r\nHost: h\r\nContent-Type: "
                           "application/x-www-form-urlencoded\r\nContent-Length: " +
                           std::to_string(flood.size()) + "\r\n\r\n";
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(clients.back()->Connect(port_));
  }
  std::vector<std::thread> senders;
  for (auto& client : clients)
    senders.emplace_back([&client, &head, &flood] { client->Send(head + flood); });
  for (auto& sender : senders) sender.join();
  for (auto& client : clients) {
    const std::string answer = client->Receive(SIZE_MAX, 5000);
    EXPECT_EQ(answer.rfind("HTTP/1.1 400 ", 0), 0u) << answer.substr(0, 40);
  }
  // The sanitizers' own memory would hide the server's.
  if (!kUnderSanitizer) {
    EXPECT_LT(PeakResidentKib(), 64 * 1024);
  }
  EXPECT_TRUE(WaitUntil([&] { return std::filesystem::is_empty(dir_.File("temp")); }));
  // A form of ordinary size still arrives.
  EXPECT_NE(Exchange("POST /_echo HTTP/1.1\r\nHost: h\r\nContent-Type: "
                     "application/x-www-form-urlencoded\r\nContent-Length: 8\r\n\r\nuser=bob")
                .find("fields: user=bob"),
            std::string::npos);
}

TEST_F(HttpServerTest, SlowAndSprawlingRequestsCannotHoldTheSlots) {
  // More than 100 header lines: 400 at once.
  std::string sprawl = "GET /index.html HTTP/1.1\r\nHost: h\r\n";
  for (int i = 0; i < 100; ++i) sprawl += "X-Filler: " + std::to_string(i) + "\r\n";
  EXPECT_EQ(Exchange(sprawl + "\r\n").rfind("HTTP/1.1 400 ", 0), 0u);

  // A request still not whole after 30 s is dropped, even while lines trickle in.
  ASSERT_TRUE(WaitUntil([&] { return server_.ConnectionCount() == 0; }));
  LoopbackClient trickler;
  ASSERT_TRUE(trickler.Connect(port_));
  ASSERT_TRUE(trickler.Send("GET /index.html HTTP/1.1\r\n"));
  ASSERT_TRUE(WaitUntil([&] { return server_.ConnectionCount() == 1; }));
  clock_.Advance(HttpConnection::kRequestTimeLimitMs - 1);
  ASSERT_TRUE(trickler.Send("X-Filler: 1\r\n"));
  EXPECT_FALSE(trickler.WaitForClose(200));
  clock_.Advance(1);
  EXPECT_TRUE(trickler.WaitForClose(3000));

  // One address holds at most half of the slots; the others stay free.
  std::vector<std::unique_ptr<LoopbackClient>> idle;
  for (std::uint32_t i = 0; i < HttpServer::kMaxPerAddress; ++i) {
    idle.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(idle.back()->Connect(port_));
  }
  ASSERT_TRUE(WaitUntil([&] { return server_.ConnectionCount() == HttpServer::kMaxPerAddress; }));
  LoopbackClient one_more;
  ASSERT_TRUE(one_more.Connect(port_));
  EXPECT_TRUE(one_more.WaitForClose(3000));
  EXPECT_EQ(server_.ConnectionCount(), HttpServer::kMaxPerAddress);
  idle.clear();
  ASSERT_TRUE(WaitUntil([&] { return server_.ConnectionCount() == 0; }));
  EXPECT_NE(Exchange("GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n").find("<html>index</html>"),
            std::string::npos);
}

TEST_F(HttpServerTest, RandomRequestsLeaveTheServerWorking) {
  std::mt19937 random(7088);
  const std::string seeds[] = {
      "GET / HTTP/1.1\r\nHost: h\r\n\r\n",
      "POST /_echo HTTP/1.1\r\nHost: h\r\nContent-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: 11\r\n\r\na=1&b=%41+c",
      "POST /_echo HTTP/1.1\r\nHost: h\r\nContent-Type: multipart/form-data; boundary=q\r\n"
      "Content-Length: 60\r\n\r\n--q\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nv\r\n--q--",
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  int sent = 0;
  for (; sent < 2000 && std::chrono::steady_clock::now() < deadline; ++sent) {
    std::string request = seeds[random() % 3];
    const int mutations = 1 + static_cast<int>(random() % 8);
    for (int m = 0; m < mutations && !request.empty(); ++m) {
      const std::size_t at = random() % request.size();
      switch (random() % 3) {
        case 0: request[at] = static_cast<char>(random() % 256); break;
        case 1: request.erase(at, 1 + random() % 4); break;
        default: request.insert(at, std::string(1 + random() % 3, static_cast<char>(random() % 256)));
      }
    }
    LoopbackClient client;
    ASSERT_TRUE(client.Connect(port_));
    client.Send(request);
    // Bodies cut short would wait for the idle time-out: hang up instead.
    client.Receive(SIZE_MAX, 20);
  }
  EXPECT_GT(sent, 200);
  const std::string after = Exchange("GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(after.rfind("HTTP/1.1 200 OK", 0), 0u);
  EXPECT_TRUE(WaitUntil([&] { return std::filesystem::is_empty(dir_.File("temp")); }, 10'000));
}

}  // namespace
}  // namespace quillon::admin

namespace quillon::admin {
namespace {

TEST(HttpResponseTest, DirectoryIndexListsFoldersThenFiles) {
  testing::ManualClock clock;
  testing::TempDir dir;
  std::filesystem::create_directories(dir.File("logs/old"));
  testing::WriteWholeFile(dir.File("logs/ftp_0.txt"), "12345");
  testing::WriteWholeFile(dir.File("logs/<b>.txt"), "");
  HttpResponse response(clock);
  EXPECT_FALSE(response.DirectoryIndex(dir.File("missing"), "", "x", "../"));
  ASSERT_TRUE(response.DirectoryIndex(dir.File("logs"), "id=7", "Logs <all>", "../?id=7"));
  EXPECT_EQ(response.Header(),
            "HTTP/1.1 200 OK\r\nServer: Quillon FTP Server 1.03 by Marrowind\r\nAccept-Ranges: "
            "bytes\r\nContent-Type: text/html\r\n" + kGuards + kNoStore + "Connection: close\r\n\r\n");
  const std::string& body = response.BodyText();
  EXPECT_EQ(body.rfind("<HTML><HEAD><TITLE>Contents of Logs &lt;all&gt;</TITLE>", 0), 0u);
  EXPECT_NE(body.find("<pre>  <a href=\"../?id=7\"><- Up 1 Level</a>\r\n"), std::string::npos);
  const std::size_t folder = body.find("  DIR     ");
  const std::size_t file = body.find("  FILE    ");
  ASSERT_NE(folder, std::string::npos);
  ASSERT_NE(file, std::string::npos);
  EXPECT_LT(folder, file);  // folders first
  EXPECT_EQ(body.find("\">./</a>"), std::string::npos);  // "." and ".." are left out
  EXPECT_NE(body.find("<a href=\"old/?id=7\">old/</a>\r\n"), std::string::npos);
  const std::size_t line = body.find("<a href=\"ftp_0.txt?id=7\">ftp_0.txt</a>\r\n");
  ASSERT_NE(line, std::string::npos);
  // Type, date and size are padded to 49 characters before the anchor.
  const std::size_t start = body.rfind("\r\n", line) + 2;
  EXPECT_EQ(line - start, 49u);
  EXPECT_EQ(body.substr(start, 10), "  FILE    ");
  EXPECT_EQ(body.substr(start + 35, 5), "   5 ");  // date (25 characters), blanks, size
  EXPECT_NE(body.find("&lt;b&gt;.txt</a>"), std::string::npos);  // names are escaped
  const std::string footer =
      "</pre><hr width=\"95%\"><p>Quillon FTP Server 1.03 by Marrowind</p></BODY></HTML>";
  EXPECT_EQ(body.substr(body.size() - footer.size()), footer);
}

TEST(HttpResponseTest, EveryAnswerCarriesTheGuardHeadersAndOnlyStaticFilesMayBeCached) {
  testing::ManualClock clock;
  testing::TempDir dir;
  std::filesystem::create_directories(dir.File("logs"));
  testing::WriteWholeFile(dir.File("logs/ftp_0.txt"), "log");
  testing::WriteWholeFile(dir.File("style.css"), "body{}");
  testing::WriteWholeFile(dir.File("error404.html"), "custom 404");
  struct Kind {
    const char* what;
    std::function<void(HttpResponse&)> build;
    bool cacheable;
  };
  const Kind kinds[] = {
      {"page", [](HttpResponse& r) { r.SendPage("<p>page</p>"); }, false},
      {"index", [&](HttpResponse& r) { EXPECT_TRUE(r.DirectoryIndex(dir.File("logs"), "id=1", "logs/", "../")); },
       false},
      {"log file", [&](HttpResponse& r) { EXPECT_TRUE(r.SendFile(dir.File("logs/ftp_0.txt"), 200, false)); }, false},
      {"static file", [&](HttpResponse& r) { r.ServeStatic(dir.Path(), "/style.css", ""); }, true},
      {"not modified", [](HttpResponse& r) { r.NotModified(); }, true},
      {"missing static file", [&](HttpResponse& r) { r.ServeStatic(dir.Path(), "/none.css", ""); }, false},
      {"own not-found page", [&](HttpResponse& r) { r.NotFound(dir.File("error404.html")); }, false},
      {"built-in not-found page", [](HttpResponse& r) { r.NotFound(); }, false},
      {"bad request", [](HttpResponse& r) { r.BadRequest(); }, false},
      {"redirect", [](HttpResponse& r) { r.Redirect("_menu?id=1", false); }, false},
      {"redirect after a post", [](HttpResponse& r) { r.Redirect("_menu?id=1", true); }, false},
  };
  for (const Kind& kind : kinds) {
    HttpResponse response(clock);
    kind.build(response);
    ASSERT_TRUE(response.IsReady()) << kind.what;
    const std::string& header = response.Header();
    EXPECT_NE(header.find("\r\n" + kGuards), std::string::npos) << kind.what << "\n" << header;
    EXPECT_EQ(header.find("\r\n" + kNoStore) != std::string::npos, !kind.cacheable) << kind.what << "\n" << header;
    EXPECT_TRUE(header.ends_with("Connection: close\r\n\r\n")) << kind.what;
    // With "nosniff" an answer without a type would show as text (a refresh
    // page would not lead on); a 304 keeps the type of the stored copy.
    EXPECT_EQ(header.find("\r\nContent-Type: ") != std::string::npos, kind.what != std::string("not modified"))
        << kind.what << "\n" << header;
  }
}

TEST(HttpResponseTest, AFileThatGrowsIsSentUpToItsSizeAtOpen) {
  testing::ManualClock clock;
  testing::TempDir dir;
  const std::string path = dir.File("remoteadmin_0.txt");
  testing::WriteWholeFile(path, std::string(40000, 'a'));
  HttpResponse response(clock);
  ASSERT_TRUE(response.SendFile(path, 200, false));
  EXPECT_NE(response.Header().find("Content-Length: 40000\r\n"), std::string::npos);
  // The request that reads the log adds a line to it while it is sent.
  std::ofstream(path, std::ios::app) << "127.0.0.1 -> Response: OK\r\n";
  std::string body;
  char piece[16384];
  std::size_t length = 0;
  while (response.NextBodyPiece(piece, sizeof piece, &length) && length > 0) body.append(piece, length);
  EXPECT_EQ(body, std::string(40000, 'a'));
}

}  // namespace
}  // namespace quillon::admin
