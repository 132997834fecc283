#include "control/control_channel.h"

#include <utility>

#include "platform/clock.h"

namespace quillon::control {

namespace {

// The most bytes a reply may have: listings of many accounts fit.
constexpr std::size_t kMaxReplyBytes = 16 << 20;

}  // namespace

std::string EncodeFields(const std::vector<std::string>& fields) {
  std::string bytes;
  for (const std::string& field : fields) bytes += std::to_string(field.size()) + ":" + field;
  return bytes;
}

bool DecodeFields(std::string_view bytes, std::vector<std::string>* fields) {
  fields->clear();
  while (!bytes.empty()) {
    const std::size_t colon = bytes.find(':');
    if (colon == 0 || colon == std::string_view::npos || colon > 8) return false;
    std::size_t length = 0;
    for (char digit : bytes.substr(0, colon)) {
      if (digit < '0' || digit > '9') return false;
      length = length * 10 + static_cast<std::size_t>(digit - '0');
    }
    bytes.remove_prefix(colon + 1);
    if (length > bytes.size()) return false;
    fields->emplace_back(bytes.substr(0, length));
    bytes.remove_prefix(length);
  }
  return true;
}

std::string EncodeReply(const CommandResult& result) {
  return EncodeFields({std::to_string(result.code), result.out, result.err});
}

bool DecodeReply(std::string_view bytes, CommandResult* result) {
  std::vector<std::string> fields;
  if (!DecodeFields(bytes, &fields) || fields.size() != 3 || fields[0].empty() || fields[0].size() > 3 ||
      fields[0].find_first_not_of("0123456789") != std::string::npos)
    return false;
  result->code = std::stoi(fields[0]);
  result->out = std::move(fields[1]);
  result->err = std::move(fields[2]);
  return true;
}

ControlService::ControlService(platform::Clock& clock, ftp::FtpServer& server, RemoteAdminListener* remote_admin,
                               Reload reload)
    : ControlService(
          clock,
          [&server, remote_admin](const std::vector<std::string>& args) {
            LiveTarget target(server, remote_admin);
            return ConfigCommands(target).Run(args);
          },
          std::move(reload)) {}

ControlService::ControlService(platform::Clock& clock, Runner runner, Reload reload)
    : clock_(clock), runner_(std::move(runner)), reload_(std::move(reload)) {}

ControlService::~ControlService() { Stop(); }

bool ControlService::Start(const std::string& path, std::string* error) {
  if (!listener_.Listen(path, 0600, error)) return false;
  path_ = path;
  if (WorkerThread::Start()) return true;
  listener_.Close();
  platform::RemoveSocketFile(path_);
  *error = "the control socket's thread could not be started";
  return false;
}

void ControlService::Stop() {
  WorkerThread::Stop(kStopWaitMs);
  Reap(true);
  listener_.Close();
  // The file stays when this process may no longer remove it (a server that
  // changed its user): the next start replaces it.
  if (!path_.empty()) platform::RemoveSocketFile(path_);
  path_.clear();
}

void ControlService::ThreadBody() {
  while (!StopRequested()) {
    Reap(false);
    platform::LocalSocket socket;
    if (!listener_.Accept(&socket, StopEvent(), platform::kWaitForever)) continue;
    if (connections_.size() >= kMaxConnections) continue;  // closed at once: too many in hand
    auto connection = std::make_unique<Connection>();
    connection->socket = std::move(socket);
    connection->owner = this;
    std::string error;
    if (!connection->thread.Start(&ControlService::ConnectionEntry, connection.get(), 0, &error)) continue;
    connections_.push_back(std::move(connection));
  }
}

void ControlService::Reap(bool all) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (all || (*it)->done.load()) {
      (*it)->thread.Join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void ControlService::ConnectionEntry(void* argument) {
  auto* connection = static_cast<Connection*>(argument);
  connection->owner->Serve(*connection);
  connection->socket.Close();
  connection->done.store(true);
}

void ControlService::Serve(Connection& connection) {
  platform::LocalSocket& socket = connection.socket;
  std::uint32_t uid = 0;
  if (!socket.PeerUserId(&uid) || (uid != 0 && uid != platform::EffectiveUserId())) return;
  std::string bytes;
  std::vector<std::string> args;
  if (!socket.ReceiveAll(&bytes, kMaxRequestBytes, clock_, kTransferMs) || !DecodeFields(bytes, &args)) return;
  CommandResult result;
  if (args.size() == 1 && args[0] == kReloadRequest) {
    std::lock_guard<std::mutex> guard(command_lock_);
    std::string report;
    const bool reloaded = reload_(&report);
    result.code = reloaded ? CommandResult::kDone : CommandResult::kRefused;
    (reloaded ? result.out : result.err) = report.empty() ? "" : report + "\n";
  } else if (ConfigCommands::Handles(args)) {
    std::lock_guard<std::mutex> guard(command_lock_);
    result = runner_(args);
  } else {
    result.code = CommandResult::kBadUsage;
  }
  [[maybe_unused]] const bool sent = socket.SendAll(EncodeReply(result), clock_, kTransferMs);
}

bool SendControlRequest(platform::Clock& clock, const std::string& path, const std::vector<std::string>& args,
                        CommandResult* reply, std::string* error) {
  platform::LocalSocket socket;
  if (!socket.Connect(path, error)) return false;
  if (!socket.SendAll(EncodeFields(args), clock, ControlService::kTransferMs)) {
    *error = "the request could not be sent";
    return false;
  }
  socket.EndSending();
  std::string bytes;
  if (!socket.ReceiveAll(&bytes, kMaxReplyBytes, clock, kReplyMs) || !DecodeReply(bytes, reply)) {
    *error = "no answer came";
    return false;
  }
  return true;
}

}  // namespace quillon::control
