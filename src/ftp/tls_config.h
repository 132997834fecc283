// The TLS rules and certificate the server offers its clients, taken from
// the settings when the service activates. Sessions take a copy when they
// begin; the certificate stays loaded as long as a copy holds it.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/privileged_reader.h"
#include "platform/tls.h"
#include "runtime/critical_section.h"
#include "settings/extra_settings.h"

namespace quillon::ftp {

class TlsConfig {
 public:
  using Mode = settings::ExtraSettings::TlsMode;

  struct Rules {
    Mode mode = Mode::kOff;
    bool data_required = false;   // transfers only over PROT P
    bool reuse_required = true;   // PROT P connections resume the control session
    bool data_at_connect = true;  // PROT P handshakes answered before the transfer command
    bool admin = false;           // the remote admin speaks HTTPS
    std::shared_ptr<const platform::TlsContext> context;  // null when TLS is off
  };

  // Loads the certificate and key the settings name when TLS is on for FTP
  // or the remote admin. False with *error (and TLS off) when they cannot be
  // used.
  [[nodiscard]] bool Configure(const settings::ExtraSettings& extra, std::string* error);
  // The rules the settings want, with the certificate and key as read by
  // the caller (a reload). False with *error when TLS is on for FTP or the
  // remote admin and they cannot be used; nothing is installed either way.
  [[nodiscard]] static bool Build(const settings::ExtraSettings& extra,
                                  const platform::FileContent& certificate,
                                  const platform::FileContent& key, Rules* rules, std::string* error);
  // Puts rules made by Build in place for the sessions that begin from now on.
  void Install(Rules rules);
  Rules Get() const;

 private:
  mutable runtime::CriticalSection lock_;
  Rules rules_;  // guarded by lock_
};

}  // namespace quillon::ftp
