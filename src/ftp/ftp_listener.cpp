#include "ftp/ftp_listener.h"

#include <algorithm>

#include "ftp/ftp_session.h"
#include "platform/thread.h"

namespace quillon::ftp {

FtpListener::FtpListener(access::AuthManager& auth, settings::LogFile& log,
                         settings::TransferLogFile& xferlog, PassiveConfig& passive,
                         PreloginLimit& prelogin, const TlsConfig& tls, EventRunner& events,
                         platform::Clock& clock, std::atomic<std::uint32_t>& last_session_id, bool implicit_tls)
    : ConnectionListener(kDefaultCap, clock),
      auth_(auth),
      log_(log),
      xferlog_(xferlog),
      passive_(passive),
      prelogin_(prelogin),
      tls_(tls),
      events_(events),
      clock_(clock),
      last_session_id_(last_session_id),
      implicit_tls_(implicit_tls) {}

FtpListener::~FtpListener() { Stop(); }

void FtpListener::WakeSessions() {
  ForEachConnection([](runtime::TcpConnection& connection) {
    static_cast<FtpSession&>(connection).Wake();
  });
}

std::unique_ptr<runtime::TcpConnection> FtpListener::CreateConnection(
    std::unique_ptr<runtime::LineSocket> accepted) {
  const std::uint64_t idle_ms = std::uint64_t{auth_.IdleTimeOutSeconds()} * 1000;
  const auto capped = static_cast<std::uint32_t>(std::min<std::uint64_t>(idle_ms, UINT32_MAX));
  return std::make_unique<FtpSession>(std::move(accepted), auth_, log_, xferlog_, passive_, prelogin_, tls_,
                                      events_, clock_, capped, ++last_session_id_, implicit_tls_);
}

void FtpListener::OnAcceptFailure(int error) {
  [[maybe_unused]] bool written =
      log_.WriteLine(platform::ErrorText("Accepting connections failed", error));
}

}  // namespace quillon::ftp
