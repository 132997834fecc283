// An in-process FTP server (FtpServerFixture) with a remote-admin handler
// that tests drive request by request, without sockets. The administrator's
// password is "letmein".
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "admin/admin_handler.h"
#include "admin/remote_admin_service.h"
#include "http/http_request.h"
#include "support/ftp_server_fixture.h"

namespace quillon::testing {

// One answer: its header and its whole body.
struct AdminAnswer {
  std::string header;
  std::string body;
  bool Redirects(const std::string& target) const {
    return header.find("Location: " + target + "\r\n") != std::string::npos ||
           body.find("URL=" + target + "\"") != std::string::npos;
  }
  // The form shown again with `message` (as the page escapes it) beside
  // the field named `field`.
  bool ShowsBeside(const std::string& field, const std::string& message) const {
    return header.rfind("HTTP/1.1 200", 0) == 0 &&
           body.find("<p class=\"field-error\" id=\"" + field + "-error\" role=\"alert\">" + message + "</p>") !=
               std::string::npos;
  }
  bool IsNotFound() const { return header.rfind("HTTP/1.1 404", 0) == 0; }
  // The password was not checked: the server asks the browser to try again.
  bool IsBusy() const {
    return header.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0) == 0 &&
           header.find("\r\nRetry-After: 5\r\n") != std::string::npos;
  }
};

class AdminFixture : public FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    std::filesystem::create_directories(dir_.File("remoteadmin"));
    ChangeSettings([](settings::ServerSettings& s) { s.mRAPass = "letmein"; });
  }

  virtual admin::AdminHandler& Handler() = 0;

  // Runs one request through the handler: a GET, HEAD or POST line such as
  // "GET /_menu?id=1"; a POST carries `form` url-encoded.
  AdminAnswer Request(const std::string& line, const std::string& form = {},
                      const char* type = "application/x-www-form-urlencoded") {
    return RequestTo(Handler(), "127.0.0.1", line, form, type);
  }
  // As Request, to `handler` from the peer address `peer`.
  AdminAnswer RequestTo(admin::AdminHandler& handler, const std::string& peer, const std::string& line,
                        const std::string& form = {},
                        const char* type = "application/x-www-form-urlencoded") {
    http::HttpRequest request(peer, "5000", dir_.File("temp"), clock_);
    request.ParseHeaderLine(line + " HTTP/1.1");
    request.ParseHeaderLine("Host: 127.0.0.1");
    if (line.rfind("POST", 0) == 0) {
      request.ParseHeaderLine(std::string("Content-Type: ") + type);
      request.ParseHeaderLine("Content-Length: " + std::to_string(form.size()));
    }
    request.HeadersEnded();
    if (!form.empty()) {
      EXPECT_TRUE(request.FeedBody(form.data(), form.size()));
    }
    handler.HandleRequest(request);
    AdminAnswer answer;
    http::HttpResponse& response = request.Response();
    EXPECT_TRUE(response.IsReady()) << line;
    answer.header = response.Header();
    char piece[4096];
    std::size_t length = 0;
    while (response.NextBodyPiece(piece, sizeof piece, &length) && length > 0)
      answer.body.append(piece, length);
    return answer;
  }

  // Logs in and returns the new session id.
  std::string LogIn() {
    const AdminAnswer answer = Request("POST /_login", "pass=letmein");
    std::smatch match;
    const std::regex pattern("URL=_menu\\?id=([0-9]+)\"");
    if (!std::regex_search(answer.body, match, pattern)) {
      ADD_FAILURE() << answer.body;
      return {};
    }
    return match[1];
  }
};

// The whole remote admin (the service's handler with every page family),
// logged in, with templates the test writes.
class AdminServiceFixture : public AdminFixture {
 protected:
  void SetUp() override {
    AdminFixture::SetUp();
    service_ = std::make_unique<admin::RemoteAdminService>(*server_, clock_, dir_.Path());
    id_ = LogIn();
  }

  void TearDown() override {
    service_.reset();
    AdminFixture::TearDown();
  }

  admin::AdminHandler& Handler() override { return service_->Handler(); }

  void Template(const std::string& name, const std::string& text) {
    WriteWholeFile(dir_.File("remoteadmin/" + name), text);
  }
  // Requests with the session id added to the query.
  AdminAnswer Get(const std::string& path_and_query) {
    const char* separator = path_and_query.find('?') == std::string::npos ? "?" : "&";
    return Request("GET " + path_and_query + separator + "id=" + id_);
  }
  AdminAnswer Post(const std::string& path, const std::string& form) {
    const char* separator = path.find('?') == std::string::npos ? "?" : "&";
    return Request("POST " + path + separator + "id=" + id_, form);
  }
  // The error page showing `message` (as written in the code), and a page of the admin.
  std::string Error(const std::string& message) { return "_error?id=" + id_ + "&msg1=" + Encoded(message); }
  // `text` percent-encoded as RFC 3986 has it for a query value: every byte
  // but letters, digits and "-._~" as "%XX" with upper-case digits.
  static std::string Encoded(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
      const auto byte = static_cast<unsigned char>(ch);
      if (std::isalnum(byte) != 0 || ch == '-' || ch == '.' || ch == '_' || ch == '~') {
        out.push_back(ch);
      } else {
        out += {'%', kHex[byte >> 4], kHex[byte & 15]};
      }
    }
    return out;
  }
  std::string Back(const std::string& page) { return page + "?id=" + id_; }

  std::unique_ptr<admin::RemoteAdminService> service_;
  std::string id_;
};

}  // namespace quillon::testing
