#include "ftp/tls_config.h"

#include <functional>

namespace quillon::ftp {

namespace {

using MakeContext = std::function<std::unique_ptr<platform::TlsContext>(
    const settings::ExtraSettings& extra, platform::TlsVersion minimum, std::string* error)>;

// The rules of `extra`, with the context `make` loads when TLS is on for
// FTP, the implicit TLS port or the remote admin. False with *error (and TLS off) when it cannot.
bool MakeRules(const settings::ExtraSettings& extra, const MakeContext& make, TlsConfig::Rules* out,
               std::string* error) {
  TlsConfig::Rules rules;
  rules.mode = extra.Tls();
  rules.data_required = extra.TlsDataRequired();
  rules.reuse_required = extra.TlsSessionReuseRequired();
  rules.data_at_connect = extra.TlsDataHandshakeAtConnect();
  rules.admin = extra.AdminTls();
  bool ok = true;
  if (rules.mode != TlsConfig::Mode::kOff || rules.admin || extra.ImplicitTlsPort() != 0) {
    if (extra.TlsCertificate().empty() || extra.TlsKey().empty()) {
      *error = "TLS is on but tls_certificate or tls_key is not set in quillon.conf";
      ok = false;
    } else {
      rules.context =
          make(extra, extra.TlsOnly13() ? platform::TlsVersion::k1_3 : platform::TlsVersion::k1_2, error);
      ok = rules.context != nullptr;
    }
    if (!ok) rules = TlsConfig::Rules{};
  }
  *out = std::move(rules);
  return ok;
}

}  // namespace

bool TlsConfig::Configure(const settings::ExtraSettings& extra, std::string* error) {
  Rules rules;
  const bool ok = MakeRules(
      extra,
      [](const settings::ExtraSettings& settings, platform::TlsVersion minimum, std::string* why) {
        return platform::TlsContext::Create(settings.TlsCertificate(), settings.TlsKey(), minimum, why);
      },
      &rules, error);
  Install(std::move(rules));
  return ok;
}

bool TlsConfig::Build(const settings::ExtraSettings& extra, const platform::FileContent& certificate,
                      const platform::FileContent& key, Rules* rules, std::string* error) {
  return MakeRules(
      extra,
      [&](const settings::ExtraSettings& settings, platform::TlsVersion minimum,
          std::string* why) -> std::unique_ptr<platform::TlsContext> {
        // The files read must be the ones the settings name.
        for (const platform::FileContent* file : {&certificate, &key}) {
          if (file->read) continue;
          *why = file->error.empty() ? "the TLS certificate and key were not read" : file->error;
          return nullptr;
        }
        if (certificate.path != settings.TlsCertificate() || key.path != settings.TlsKey()) {
          *why = "the TLS certificate and key read are not those quillon.conf names";
          return nullptr;
        }
        return platform::TlsContext::CreateFromPem(certificate.bytes, certificate.path, key.bytes,
                                                   key.path, minimum, why);
      },
      rules, error);
}

void TlsConfig::Install(Rules rules) {
  runtime::CriticalSection::Guard guard(lock_);
  rules_ = std::move(rules);
}

TlsConfig::Rules TlsConfig::Get() const {
  runtime::CriticalSection::Guard guard(lock_);
  return rules_;
}

}  // namespace quillon::ftp
