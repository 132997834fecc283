#include "ftp/tls_config.h"

namespace quillon::ftp {

bool TlsConfig::Configure(const settings::ExtraSettings& extra, std::string* error) {
  Rules rules;
  rules.mode = extra.Tls();
  rules.data_required = extra.TlsDataRequired();
  rules.reuse_required = extra.TlsSessionReuseRequired();
  rules.admin = extra.AdminTls();
  bool ok = true;
  if (rules.mode != Mode::kOff || rules.admin) {
    if (extra.TlsCertificate().empty() || extra.TlsKey().empty()) {
      *error = "TLS is on but tls_certificate or tls_key is not set in quillon.conf";
      ok = false;
    } else {
      rules.context = platform::TlsContext::Create(
          extra.TlsCertificate(), extra.TlsKey(),
          extra.TlsOnly13() ? platform::TlsVersion::k1_3 : platform::TlsVersion::k1_2, error);
      ok = rules.context != nullptr;
    }
    if (!ok) rules = Rules{};
  }
  runtime::CriticalSection::Guard guard(lock_);
  rules_ = std::move(rules);
  return ok;
}

TlsConfig::Rules TlsConfig::Get() const {
  runtime::CriticalSection::Guard guard(lock_);
  return rules_;
}

}  // namespace quillon::ftp
