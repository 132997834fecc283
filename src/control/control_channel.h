// The running server's local control socket, config/control.sock, and the
// set-up tool's end of it. The tool sends its argument vector; the server
// runs it with ConfigCommands on its live objects and answers with the exit
// code and the texts to print, or, for the request "reload", calls the
// reload it was given (quillon.conf, which root writes, read again).
//
// Only root and the server's own user are answered: the socket file is made
// owner-only and every connection's peer is checked with the kernel's word
// (SO_PEERCRED); anyone else is closed on without an answer. One request per
// connection, each bounded in size and time, read and answered on its own
// thread (at most kMaxConnections at once, further ones are closed at once),
// so a client that stalls holds only its own thread, never the FTP server
// or another tool. Commands run one at a time.
//
// Encoding: each field as its length in decimal, ':' and its bytes. A
// request is its arguments; a reply is the exit code, standard output and
// standard error.
//
// Thread-safety: Start and Stop from the owner's thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "control/config_commands.h"
#include "platform/local_socket.h"
#include "platform/thread.h"
#include "runtime/worker_thread.h"

namespace quillon::platform {
class Clock;
}

namespace quillon::control {

// The socket's file name in config/.
inline constexpr const char* kControlSocketFile = "control.sock";
// The request that asks a running server to read quillon.conf again.
inline constexpr const char* kReloadRequest = "reload";

std::string EncodeFields(const std::vector<std::string>& fields);
// False for bytes that are not whole fields.
[[nodiscard]] bool DecodeFields(std::string_view bytes, std::vector<std::string>* fields);
std::string EncodeReply(const CommandResult& result);
[[nodiscard]] bool DecodeReply(std::string_view bytes, CommandResult* result);

class ControlService final : public runtime::WorkerThread {
 public:
  // Reads quillon.conf (and what hangs on it) again; false with *report
  // when that could not be done.
  using Reload = std::function<bool(std::string* report)>;
  // Runs one command; the service's default runs ConfigCommands on the server.
  using Runner = std::function<CommandResult(const std::vector<std::string>& args)>;

  static constexpr std::size_t kMaxRequestBytes = 64 * 1024;
  // How long a client may take to send its request, and to take its reply.
  static constexpr std::uint32_t kTransferMs = 5000;
  static constexpr std::size_t kMaxConnections = 4;

  // Commands run on `server` (with `remote_admin`, may be null, for the
  // remote admin port's check).
  ControlService(platform::Clock& clock, ftp::FtpServer& server, RemoteAdminListener* remote_admin,
                 Reload reload);
  // Commands run by `runner` (tests).
  ControlService(platform::Clock& clock, Runner runner, Reload reload);
  ~ControlService() override;

  // Listens at `path` (owner-only) and starts serving. False with *error.
  [[nodiscard]] bool Start(const std::string& path, std::string* error);
  // Stops serving, waits for the connections in hand, removes the socket file.
  void Stop();

 private:
  struct Connection {
    platform::LocalSocket socket;
    platform::NativeThread thread;
    std::atomic<bool> done{false};
    ControlService* owner = nullptr;
  };
  static void ConnectionEntry(void* connection);
  void ThreadBody() override;
  void Serve(Connection& connection);
  // Joins the connections that ended (all when `all`).
  void Reap(bool all);

  platform::Clock& clock_;
  Runner runner_;
  Reload reload_;
  std::string path_;
  platform::LocalListener listener_;
  std::list<std::unique_ptr<Connection>> connections_;  // the accept thread's, then Stop's
  std::mutex command_lock_;                             // one command (or reload) at a time
};

// The tool's end: sends `args` to the socket at `path` and waits up to
// kReplyMs for the answer. False with *error when the socket cannot be
// reached or gave no whole answer.
inline constexpr std::uint32_t kReplyMs = 60000;
[[nodiscard]] bool SendControlRequest(platform::Clock& clock, const std::string& path,
                                      const std::vector<std::string>& args, CommandResult* reply,
                                      std::string* error);

}  // namespace quillon::control
