// The FTP engine's connection listener: one FtpSession per accepted control
// connection, numbered from 1 by a counter the server's listeners share;
// ids are never reused while the server lives. A listener for implicit TLS
// makes sessions that speak TLS from the first byte.
//
// Thread-safety: as ConnectionListener. The session id counter belongs to
// the listener thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "access/auth_manager.h"
#include "ftp/event_runner.h"
#include "ftp/passive_config.h"
#include "ftp/prelogin_limit.h"
#include "ftp/tls_config.h"
#include "platform/clock.h"
#include "runtime/connection_listener.h"
#include "settings/log_file.h"

namespace quillon::ftp {

class FtpListener final : public runtime::ConnectionListener {
 public:
  static constexpr std::uint32_t kDefaultCap = 10'000;

  FtpListener(access::AuthManager& auth, settings::LogFile& log, settings::TransferLogFile& xferlog,
              PassiveConfig& passive,
              PreloginLimit& prelogin, const TlsConfig& tls, EventRunner& events, platform::Clock& clock,
              std::atomic<std::uint32_t>& last_session_id, bool implicit_tls = false);
  ~FtpListener() override;

  // Makes every waiting session look at its state at once.
  void WakeSessions();

 protected:
  std::unique_ptr<runtime::TcpConnection> CreateConnection(
      std::unique_ptr<runtime::LineSocket> accepted) override;
  void OnAcceptFailure(int error) override;

 private:
  access::AuthManager& auth_;
  settings::LogFile& log_;
  settings::TransferLogFile& xferlog_;
  PassiveConfig& passive_;
  PreloginLimit& prelogin_;
  const TlsConfig& tls_;
  EventRunner& events_;
  platform::Clock& clock_;
  std::atomic<std::uint32_t>& last_session_id_;
  const bool implicit_tls_;
};

}  // namespace quillon::ftp
