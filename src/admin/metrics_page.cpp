#include "admin/metrics_page.h"

#include <algorithm>
#include <optional>

#include "admin/metrics_text.h"
#include "control/record_control.h"
#include "platform/process.h"

namespace quillon::admin {

namespace {

using Grant = AdminHandler::TokenGrant;
using Direction = access::ServerCounters::Direction;

constexpr const char* kResults[] = {"completed", "stopped", "failed"};

struct DirectionName {
  Direction direction;
  const char* name;
};
constexpr DirectionName kDirections[] = {{Direction::kUpload, "upload"}, {Direction::kDownload, "download"}};

}  // namespace

MetricsPage::MetricsPage(AdminHandler& handler, ftp::FtpServer& server) : server_(server) {
  handler.AddApiRoute(kPath, false, [this](http::HttpRequest& request, Grant grant) { Serve(request, grant); });
}

bool MetricsPage::FromAllowedAddress(const http::HttpRequest& request) {
  const std::optional<runtime::IpAddress> address = runtime::IpAddress::Parse(request.PeerIp());
  if (!address) return false;
  settings::ServerSettings& settings = server_.Settings();
  runtime::CriticalSection::Guard guard(settings.Lock());
  return settings.Extra().MetricsAllow().Contains(*address);
}

void MetricsPage::Serve(http::HttpRequest& request, Grant grant) {
  http::HttpResponse& response = request.Response();
  if (grant == Grant::kBusy) {
    response.Busy();
    return;
  }
  const bool allowed = AdminHandler::GrantAllows(grant, false) || (grant == Grant::kNone && FromAllowedAddress(request));
  if (!allowed) {
    response.Unauthorised();
    return;
  }
  response.SendData(Collect(server_), MetricsText::kContentType);
}

std::string MetricsPage::Collect(ftp::FtpServer& server) {
  access::AuthManager& auth = server.Auth();
  const access::ServerCounters& counters = auth.Counters();
  MetricsText text;

  // Sessions: those not logged in yet, and the logged-in ones moving a file or not.
  const std::uint32_t connected = auth.ConnectedCount();
  const std::uint32_t logged_in = auth.LoggedInCount();
  std::uint64_t transferring = 0, rate_in = 0, rate_out = 0;
  for (const access::ActivitySnapshot& session : auth.SnapshotSessions()) {
    if (session.transfer_state != access::TransferState::kRunning) continue;
    ++transferring;
    (session.transfer_upload ? rate_in : rate_out) += session.transfer_rate;
  }
  transferring = std::min<std::uint64_t>(transferring, logged_in);
  text.Family("quillon_sessions", "gauge", "FTP sessions now, by state.");
  text.Sample("quillon_sessions", std::uint64_t{connected > logged_in ? connected - logged_in : 0u},
              {{"state", "logging_in"}});
  text.Sample("quillon_sessions", logged_in - transferring, {{"state", "idle"}});
  text.Sample("quillon_sessions", transferring, {{"state", "transferring"}});

  text.Family("quillon_logins_total", "counter", "Successful FTP logins.");
  text.Sample("quillon_logins_total", counters.Logins());
  text.Family("quillon_login_failures_total", "counter", "Refused FTP logins.");
  text.Sample("quillon_login_failures_total", counters.FailedLogins());
  text.Family("quillon_antihammer_blocks_total", "counter", "Addresses blocked for too many failed logins.");
  text.Sample("quillon_antihammer_blocks_total", auth.Tracker().BlocksBegun());
  text.Family("quillon_antihammer_blocked_addresses", "gauge", "Addresses blocked now.");
  text.Sample("quillon_antihammer_blocked_addresses", std::uint64_t{auth.Tracker().BlockedCount()});

  text.Family("quillon_received_bytes_total", "counter", "File bytes received by uploads.");
  text.Sample("quillon_received_bytes_total", counters.TransferBytes(Direction::kUpload));
  text.Family("quillon_sent_bytes_total", "counter", "File bytes sent by downloads.");
  text.Sample("quillon_sent_bytes_total", counters.TransferBytes(Direction::kDownload));
  text.Family("quillon_transfers_total", "counter", "File transfers that ended, by direction and result.");
  for (const DirectionName& direction : kDirections)
    for (int result = 0; result < access::ServerCounters::kResults; ++result)
      text.Sample("quillon_transfers_total", counters.TransfersEnded(direction.direction, result),
                  {{"direction", direction.name}, {"result", kResults[result]}});
  text.Family("quillon_transfer_rate_bytes_per_second", "gauge", "Rate of the running file transfers, by direction.");
  text.Sample("quillon_transfer_rate_bytes_per_second", rate_in, {{"direction", "upload"}});
  text.Sample("quillon_transfer_rate_bytes_per_second", rate_out, {{"direction", "download"}});
  text.Family("quillon_passive_ports_in_use", "gauge", "Passive data ports open now.");
  text.Sample("quillon_passive_ports_in_use", std::uint64_t{server.PassivePortsInUse()});

  fileutil::FolderSizeCache& cache = auth.Cache();
  text.Family("quillon_folder_size_cache_entries", "gauge", "Folders whose size is cached.");
  text.Sample("quillon_folder_size_cache_entries", std::uint64_t{cache.EntryCount()});
  text.Family("quillon_folder_size_cache_hits_total", "counter", "Folder sizes found in the cache.");
  text.Sample("quillon_folder_size_cache_hits_total", cache.Hits());
  text.Family("quillon_folder_size_cache_misses_total", "counter", "Folder sizes that had to be measured.");
  text.Sample("quillon_folder_size_cache_misses_total", cache.Misses());

  text.Family("quillon_tls_handshakes_total", "counter", "TLS handshakes of control and data connections that succeeded.");
  text.Sample("quillon_tls_handshakes_total", counters.TlsHandshakes());
  text.Family("quillon_tls_handshake_failures_total", "counter", "TLS handshakes that failed.");
  text.Sample("quillon_tls_handshake_failures_total", counters.TlsFailures());

  ftp::EventRunner& events = server.Events();
  text.Family("quillon_event_programs_running", "gauge", "Event programs running now.");
  text.Sample("quillon_event_programs_running", std::uint64_t{events.RunningCount()});
  text.Family("quillon_events_dropped_total", "counter", "Events dropped because too many programs ran.");
  text.Sample("quillon_events_dropped_total", events.DroppedCount());

  platform::ProcessUsage usage;
  if (platform::ReadProcessUsage(&usage)) {
    text.Family("quillon_process_cpu_seconds_total", "counter", "Processor time the server has used.");
    text.Sample("quillon_process_cpu_seconds_total", usage.cpu_seconds);
    text.Family("quillon_process_resident_memory_bytes", "gauge", "Memory the server holds resident.");
    text.Sample("quillon_process_resident_memory_bytes", usage.resident_bytes);
  }

  // Only sizes the cache holds: a scrape never walks a folder.
  text.Family("quillon_account_used_bytes", "gauge", "Used space of each account with an allocation, as cached.");
  for (const control::RecordRow& row : control::RecordControl(server, control::RecordKind::kAccount).Rows()) {
    if (row.allocation_bytes == 0 || !row.used_known) continue;
    text.Sample("quillon_account_used_bytes", row.used_bytes, {{"account", row.name}});
  }
  return text.Text();
}

}  // namespace quillon::admin
