#include "admin/remote_admin_service.h"

#include "control/settings_control.h"
#include "http/http_response.h"
#include "platform/fs.h"
#include "fileutil/file_handle.h"
#include "fileutil/paths.h"

namespace quillon::admin {

namespace {
using http::BuiltInNotFoundPage;
using http::HttpRequest;
using http::HttpServer;
constexpr std::uint32_t kHighestPort = 65535;
}  // namespace

RemoteAdminService::RemoteAdminService(ftp::FtpServer& server, platform::Clock& clock,
                                       const std::string& program_folder)
    : server_(server),
      handler_(server, clock, program_folder),
      status_pages_(handler_),
      settings_pages_(handler_),
      ip_pages_(handler_),
      log_viewer_(handler_, program_folder),
      account_pages_(handler_),
      record_extra_pages_(handler_),
      folder_browser_(handler_),
      metrics_page_(handler_, server),
      api_endpoint_(handler_, server, *this, program_folder),
      http_(std::make_unique<HttpServer>(handler_, handler_.LogFile(), clock,
                                         program_folder + "/temp")) {
  // The update button of an account's or group's IP page stores the record.
  ip_pages_.SetRecordStore(
      [this](HttpRequest& request, const std::string& id) { account_pages_.Store(request, id); });
  const std::string not_found = handler_.Folder() + "/error404.html";
  if (fileutil::FileExists(not_found)) return;
  // Without the file the built-in page is served, so a failed write is only
  // cleaned up.
  fileutil::FileHandle file;
  const std::string page = BuiltInNotFoundPage();
  if (file.Open(not_found, fileutil::FileHandle::Mode::kWriteOrCreate) && !file.WriteAll(page.data(), page.size())) {
    file.Close();
    [[maybe_unused]] const bool removed = platform::RemoveFile(not_found, nullptr);
  }
}

RemoteAdminService::~RemoteAdminService() { Stop(); }

std::uint32_t RemoteAdminService::ReadPort() { return control::SettingsControl(server_).Read().remote_admin_port; }

bool RemoteAdminService::Start() {
  if (http_->IsRunning()) return true;
  std::shared_ptr<const platform::TlsContext> tls;
  if (!TakeTlsContext(&tls)) return false;
  http_->SetTlsContext(std::move(tls));
  TakeListenAddresses();
  const std::uint32_t port = ReadPort();
  return port <= kHighestPort && http_->Start(static_cast<std::uint16_t>(port));
}

void RemoteAdminService::TakeListenAddresses() {
  std::vector<std::string> addresses;
  {
    settings::ServerSettings& settings = server_.Settings();
    runtime::CriticalSection::Guard guard(settings.Lock());
    addresses = settings.Extra().ListenAddresses();
  }
  http_->SetListenAddresses(std::move(addresses));
  TakeProxyRules();
}

void RemoteAdminService::TakeProxyRules() {
  bool on = false;
  runtime::IpRangeList trusted;
  {
    settings::ServerSettings& settings = server_.Settings();
    runtime::CriticalSection::Guard guard(settings.Lock());
    on = settings.Extra().ProxyProtocol();
    trusted = settings.Extra().ProxyTrusted();
  }
  http_->SetProxyRules(on, std::move(trusted));
}

bool RemoteAdminService::TakeTlsContext(std::shared_ptr<const platform::TlsContext>* context) {
  std::string error;
  if (control::SettingsControl(server_).AdminTlsContext(context, &error)) return true;
  [[maybe_unused]] const bool written = handler_.LogFile().WriteLine(error);
  return false;
}

std::string RemoteAdminService::PortPermissionReason() {
  return ftp::errors::PortPermissionReason(http_->OpenErrorNumber(), ReadPort());
}

bool RemoteAdminService::ReloadTls() {
  TakeProxyRules();
  if (!http_->IsRunning()) return true;
  std::shared_ptr<const platform::TlsContext> tls;
  if (!TakeTlsContext(&tls)) return false;
  http_->SetTlsContext(std::move(tls));
  return true;
}

void RemoteAdminService::Stop() {
  // A wrong-password pause would hold its connection (and this stop) for 5 s.
  handler_.SetStopping(true);
  http_->Stop();
  handler_.SetStopping(false);
}

bool RemoteAdminService::ApplyPortChange() {
  if (!http_->IsRunning()) return false;
  TakeListenAddresses();
  const std::uint32_t port = ReadPort();
  if (port <= kHighestPort && http_->ChangePort(static_cast<std::uint16_t>(port))) return true;
  Stop();
  return false;
}

void RemoteAdminService::LoadLogStartValue() {
  handler_.LogFile().SetNumber(control::SettingsControl(server_).AdminLogNumber());
}

void RemoteAdminService::StoreLogStartValue() {
  control::SettingsControl(server_).StoreAdminLogNumber(handler_.LogFile().Number());
}

}  // namespace quillon::admin
