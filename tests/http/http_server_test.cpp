#include "http/http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
#include "support/tls_client.h"
#include "support/wait.h"

namespace quillon::http {
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
    } else if (path == "/_hold") {
      // Answers once the test lets it: a whole request the server works on.
      ++held;
      while (!release_held.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      response.SendPage("held");
    } else {
      response.ServeStatic(root_, path, request.IfModifiedSince());
    }
  }

  std::atomic<int> held{0};
  std::atomic<bool> release_held{false};

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

  void TearDown() override { handler_.release_held = true; }

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
    // Spread over addresses: one address holds only a few connections.
    ASSERT_TRUE(clients.back()->Connect(port_, 2000, static_cast<std::uint8_t>(2 + i / 5)));
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

// `count` silent clients from 127.0.0.<from>, each connected.
std::vector<std::unique_ptr<LoopbackClient>> SilentClients(std::uint16_t port, std::uint32_t count,
                                                           std::uint8_t from) {
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (std::uint32_t i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<LoopbackClient>());
    EXPECT_TRUE(clients.back()->Connect(port, 2000, from)) << int{from} << " " << i;
  }
  return clients;
}

// Sends GET / from 127.0.0.1 and says whether the page came within `limit`.
bool PageComesWithin(std::uint16_t port, std::chrono::milliseconds limit) {
  LoopbackClient client;
  const auto started = std::chrono::steady_clock::now();
  if (!client.Connect(port) || !client.Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n")) return false;
  const std::string answer = client.Receive(SIZE_MAX, 10'000);
  return answer.find("<html>index</html>") != std::string::npos &&
         std::chrono::steady_clock::now() - started < limit;
}

TEST_F(HttpServerTest, SilentPeersOfTwoAddressesLeaveTheAdminReachable) {
  auto second = SilentClients(port_, HttpServer::kAdminCap / 2, 2);
  auto third = SilentClients(port_, HttpServer::kAdminCap / 2, 3);
  EXPECT_TRUE(PageComesWithin(port_, std::chrono::seconds(2)));
  // Each address keeps its first few; the rest are closed at once.
  for (auto* clients : {&second, &third}) {
    for (std::size_t i = HttpServer::kMaxPerAddress; i < clients->size(); ++i)
      EXPECT_TRUE((*clients)[i]->WaitForClose(3000)) << i;
    EXPECT_TRUE((*clients)[HttpServer::kMaxPerAddress - 1]->StaysSilent(200));
  }
  EXPECT_TRUE(WaitUntil([&] { return server_.ConnectionCount() == 2 * HttpServer::kMaxPerAddress; }));
}

TEST_F(HttpServerTest, WhenEverySlotIsTakenTheOldestSilentConnectionGivesWay) {
  // A request the handler works on: it never gives way.
  LoopbackClient working;
  ASSERT_TRUE(working.Connect(port_));
  ASSERT_TRUE(working.Send("GET /_hold HTTP/1.1\r\nHost: h\r\n\r\n"));
  ASSERT_TRUE(WaitUntil([&] { return handler_.held == 1; }));
  // Silent peers of many addresses: more than the slots left.
  const std::uint32_t addresses = HttpServer::kAdminCap / HttpServer::kMaxPerAddress + 1;
  std::vector<std::unique_ptr<LoopbackClient>> silent;
  for (std::uint32_t a = 0; a < addresses; ++a) {
    for (auto& client : SilentClients(port_, HttpServer::kMaxPerAddress, static_cast<std::uint8_t>(10 + a)))
      silent.push_back(std::move(client));
  }
  const std::size_t surplus = silent.size() + 1 - HttpServer::kAdminCap;
  // The oldest silent ones gave way, in the order they came; the slots stay full.
  for (std::size_t i = 0; i < surplus; ++i) EXPECT_TRUE(silent[i]->WaitForClose(5000)) << i;
  EXPECT_TRUE(WaitUntil([&] { return server_.ConnectionCount() == HttpServer::kAdminCap; }));
  EXPECT_FALSE(silent[surplus]->WaitForClose(200));

  // A browser still gets its page at once, in place of the next oldest.
  EXPECT_TRUE(PageComesWithin(port_, std::chrono::seconds(2)));
  EXPECT_TRUE(silent[surplus]->WaitForClose(3000));
  EXPECT_TRUE(silent[surplus + 1]->StaysSilent(200));
  EXPECT_TRUE(silent.back()->StaysSilent(200));
  EXPECT_TRUE(WaitUntil([&] { return server_.ConnectionCount() == HttpServer::kAdminCap - 1; }));
  handler_.release_held = true;
  EXPECT_EQ(Body(working.Receive(SIZE_MAX, 5000)), "held");
}

// This server's certificate, made for 127.0.0.1.
std::shared_ptr<const platform::TlsContext> TestCertificate(const testing::TempDir& dir) {
  std::string error;
  EXPECT_TRUE(platform::WriteSelfSignedCertificate("127.0.0.1", dir.File("cert.pem"), dir.File("key.pem"), &error))
      << error;
  return platform::TlsContext::Create(dir.File("cert.pem"), dir.File("key.pem"), platform::TlsVersion::k1_2, &error);
}

TEST_F(HttpServerTest, APeerThatDoesNotBeginItsRequestOrHandshakeSoonIsDropped) {
  HttpServer secure(handler_, log_, clock_, dir_.File("temp"));
  const auto certificate = TestCertificate(dir_);
  ASSERT_NE(certificate, nullptr);
  secure.SetTlsContext(certificate);
  ASSERT_TRUE(secure.Start(0));
  // The first bytes of a ClientHello: a handshake record that never ends.
  const std::string half_hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  struct Case {
    const char* what;
    bool tls;
    std::string bytes;
    std::uint32_t dropped_after_ms;
  };
  const Case cases[] = {
      {"silent", false, "", HttpConnection::kFirstByteLimitMs},
      {"silent on the HTTPS port", true, "", HttpConnection::kFirstByteLimitMs},
      {"half a ClientHello", true, half_hello, HttpConnection::kTlsHandshakeLimitMs},
      {"a request begun", false, "GET /index.h", HttpConnection::kRequestTimeLimitMs},
      {"a plain request begun on the HTTPS port", true, "GET /index.h", HttpConnection::kRequestTimeLimitMs},
  };
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (const Case& c : cases) {
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(clients.back()->Connect(c.tls ? secure.LocalPort() : port_)) << c.what;
    if (!c.bytes.empty()) {
      ASSERT_TRUE(clients.back()->Send(c.bytes)) << c.what;
    }
  }
  // Over TLS: the handshake is done, the request never comes.
  testing::TlsClient after_handshake;
  ASSERT_TRUE(after_handshake.Connect(secure.LocalPort()));
  ASSERT_TRUE(WaitUntil([&] { return server_.ConnectionCount() == 2 && secure.ConnectionCount() == 4; }));

  // Each connection looks at the clock at least once a second: after the
  // first client's 1.5 s, the others need not wait long.
  const auto expect_open = [&](std::uint32_t limit_ms) {
    int wait_ms = 1500;
    for (std::size_t i = 0; i < clients.size(); ++i) {
      if (cases[i].dropped_after_ms < limit_ms) continue;
      EXPECT_TRUE(clients[i]->StaysSilent(wait_ms)) << cases[i].what;
      wait_ms = 100;
    }
  };
  clock_.Advance(HttpConnection::kFirstByteLimitMs - 1);
  expect_open(HttpConnection::kFirstByteLimitMs);
  EXPECT_EQ(secure.ConnectionCount(), 4u);
  clock_.Advance(1);
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (cases[i].dropped_after_ms == HttpConnection::kFirstByteLimitMs) {
      EXPECT_TRUE(clients[i]->WaitForClose(5000)) << cases[i].what;
    }
  }
  expect_open(HttpConnection::kRequestTimeLimitMs);
  // The wait for the request over TLS began when the server ended the
  // handshake, which may be a little after the client did: by the next 5 s
  // it is over.
  clock_.Advance(HttpConnection::kFirstByteLimitMs - 1);
  EXPECT_TRUE(WaitUntil([&] { return secure.ConnectionCount() == 1; })) << secure.ConnectionCount();
  EXPECT_EQ(after_handshake.ReceiveAll(5000), "");  // closed without an answer
  // A request begun has the whole request's time.
  expect_open(HttpConnection::kRequestTimeLimitMs);
  clock_.Advance(HttpConnection::kRequestTimeLimitMs - 2 * HttpConnection::kFirstByteLimitMs + 1);
  for (std::size_t i = 0; i < clients.size(); ++i) EXPECT_TRUE(clients[i]->WaitForClose(5000)) << cases[i].what;
  EXPECT_TRUE(WaitUntil([&] { return server_.ConnectionCount() == 0 && secure.ConnectionCount() == 0; }));
}

TEST_F(HttpServerTest, PlainRequestsGoToHttpsOnTheServersOwnAddressWithTheirPathEncoded) {
  HttpServer secure(handler_, log_, clock_, dir_.File("temp"));
  secure.SetTlsContext(TestCertificate(dir_));
  ASSERT_TRUE(secure.Start(0));
  const std::string here = "https://127.0.0.1:" + std::to_string(secure.LocalPort());
  struct Case {
    std::string target;
    std::string host;
    std::string location;
  };
  const Case cases[] = {
      {"/", "127.0.0.1", here + "/"},
      // The browser's Host never chooses where the session id goes.
      {"/_menu?id=1234", "evil.example", here + "/_menu?id=1234"},
      {"/_menu?id=1234", "evil.example:443", here + "/_menu?id=1234"},
      // Path bytes travel percent-encoded (decoded and normalised first).
      {"/caf%C3%A9/a%22b%3Cc%3E", "h", here + "/caf%C3%A9/a%22b%3Cc%3E"},
      {"/x\xff\"<y>/../z%0D%0ASet-Cookie:%20a=b", "h", here + "/z%23%23Set-Cookie%3A%20a%3Db"},
      {"/\xff%3F", "h", here + "/%FF%3F"},
      {"/%3f", "h", here + "/%253f"},  // lower-case hex is no escape here: the '%' is sent encoded
      // The query keeps its URL characters and escapes; nothing else gets through raw.
      {"/_x?id=5&msg1=Saved%20it&q=a\"b<c>\x01", "h", here + "/_x?id=5&msg1=Saved%20it&q=a%22b%3Cc%3E%01"},
  };
  for (const Case& c : cases) {
    LoopbackClient client;
    ASSERT_TRUE(client.Connect(secure.LocalPort()));
    ASSERT_TRUE(client.Send("GET " + c.target + " HTTP/1.1\r\nHost: " + c.host + "\r\n\r\n"));
    const std::string answer = client.Receive(SIZE_MAX, 5000);
    const std::size_t at = answer.find("\r\nLocation: ");
    ASSERT_NE(at, std::string::npos) << c.target << "\n" << answer;
    EXPECT_EQ(answer.substr(at + 12, answer.find("\r\n", at + 12) - at - 12), c.location) << c.target;
    EXPECT_EQ(answer.find("evil"), std::string::npos) << c.target;
    // A plain answer cannot set the HTTPS rule; browsers ignore it there.
    EXPECT_EQ(answer.find("Strict-Transport-Security"), std::string::npos) << c.target;
  }
}

TEST_F(HttpServerTest, AnswersOverTlsTellTheBrowserToStayOnHttps) {
  HttpServer secure(handler_, log_, clock_, dir_.File("temp"));
  secure.SetTlsContext(TestCertificate(dir_));
  ASSERT_TRUE(secure.Start(0));
  const std::string hsts = "\r\nStrict-Transport-Security: max-age=31536000\r\n";
  for (const char* request : {"GET / HTTP/1.1\r\nHost: h\r\n\r\n", "GET /missing HTTP/1.1\r\nHost: h\r\n\r\n",
                              "GET /_go HTTP/1.1\r\nHost: h\r\n\r\n", "GET / HTTP/1.1\r\n\r\n"}) {
    testing::TlsClient client;
    ASSERT_TRUE(client.Connect(secure.LocalPort()));
    ASSERT_TRUE(client.Send(request));
    const std::string answer = client.ReceiveAll();
    const std::string header = answer.substr(0, answer.find("\r\n\r\n") + 2);
    EXPECT_NE(header.find(hsts), std::string::npos) << request << "\n" << header;
    EXPECT_EQ(Exchange(request).find("Strict-Transport-Security"), std::string::npos) << request;
  }
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
}  // namespace quillon::http

namespace quillon::http {
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
      {"busy", [](HttpResponse& r) { r.Busy(); }, false},
      {"own busy page", [&](HttpResponse& r) { r.Busy(dir.File("error404.html")); }, false},
  };
  const std::string hsts = "Strict-Transport-Security: max-age=31536000\r\n";
  for (const bool over_tls : {false, true}) {
  for (const Kind& kind : kinds) {
    HttpResponse response(clock);
    response.SetStrictTransportSecurity(over_tls);
    kind.build(response);
    ASSERT_TRUE(response.IsReady()) << kind.what;
    const std::string& header = response.Header();
    // Over TLS the HTTPS rule comes right after the guard headers.
    EXPECT_NE(header.find("\r\n" + kGuards + (over_tls ? hsts : "")), std::string::npos) << kind.what << "\n" << header;
    EXPECT_EQ(header.find("Strict-Transport-Security") != std::string::npos, over_tls) << kind.what;
    EXPECT_EQ(header.find("\r\n" + kNoStore) != std::string::npos, !kind.cacheable) << kind.what << "\n" << header;
    EXPECT_TRUE(header.ends_with("Connection: close\r\n\r\n")) << kind.what;
    // With "nosniff" an answer without a type would show as text (a refresh
    // page would not lead on); a 304 keeps the type of the stored copy.
    EXPECT_EQ(header.find("\r\nContent-Type: ") != std::string::npos, kind.what != std::string("not modified"))
        << kind.what << "\n" << header;
    // A busy answer says when to come back.
    const bool busy = std::string_view(kind.what).ends_with("busy page") || kind.what == std::string("busy");
    EXPECT_EQ(header.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0) == 0, busy) << kind.what;
    EXPECT_EQ(header.find("\r\nRetry-After: 5\r\n") != std::string::npos, busy) << kind.what;
    EXPECT_EQ(response.GetKind() == HttpResponse::Kind::kBusy, busy) << kind.what;
  }
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
}  // namespace quillon::http
