// A real HTTP server process for interoperability tests with browsers'
// stand-ins (curl, Python's urllib). Usage: e2e_http_server <folder>
// Serves <folder>/remoteadmin, echoes forms at /_echo, redirects /_go to
// /index.html; prints "PORT <n>" and serves until its input closes.
#include <filesystem>
#include <iostream>
#include <string>

#include "http/http_server.h"
#include "platform/clock.h"
#include "platform/net.h"

namespace {

using namespace quillon;

class EchoHandler : public http::RequestHandler {
 public:
  explicit EchoHandler(std::string root) : root_(std::move(root)) {}
  void HandleRequest(http::HttpRequest& request) override {
    http::HttpResponse& response = request.Response();
    response.SetNotFoundPage(root_ + "/error404.html");
    if (request.Path() == "/_go") {
      response.Redirect("/index.html", request.GetMethod() == http::HttpRequest::Method::kPost);
    } else if (request.Path() == "/_echo") {
      std::string body;
      for (const char* name : {"user", "note"}) {
        std::string value;
        if (request.FormFieldValue(name, &value, 1000)) body += std::string(name) + "=" + value + "\n";
      }
      for (const auto& part : request.Parts())
        body += "part " + part.name + " (" + part.file_name + ")=" + request.PartContent(part) + "\n";
      if (const std::string* q = request.QueryParam("q")) body += "q=" + *q + "\n";
      response.SendPage(body, "txt");
    } else {
      response.ServeStatic(root_, request.Path(), request.IfModifiedSince());
    }
  }

 private:
  const std::string root_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: e2e_http_server <folder>\n";
    return 2;
  }
  const std::string folder = argv[1];
  for (const char* sub : {"remoteadmin", "temp", "logs"})
    std::filesystem::create_directories(std::filesystem::path(folder) / sub);
  platform::StartNetworking();
  platform::SystemClock clock;
  settings::LogFile log(clock);
  log.SetPrefix(folder + "/logs/remoteadmin_");
  EchoHandler handler(folder + "/remoteadmin");
  http::HttpServer server(handler, log, clock, folder + "/temp");
  if (!server.Start(0)) {
    std::cerr << "cannot listen\n";
    return 1;
  }
  std::cout << "PORT " << server.LocalPort() << std::endl;
  std::string ignored;
  while (std::getline(std::cin, ignored)) {
  }
  server.Stop();
  return 0;
}
