#include "control/settings_file.h"

#include <utility>

namespace quillon::control {

namespace {
using Guard = runtime::CriticalSection::Guard;
using settings::ExtraSettings;
}  // namespace

SettingsFile::SettingsFile(platform::Clock& clock, std::string path) : settings_(clock, std::move(path)) {}

bool SettingsFile::Load(std::optional<fileutil::DamageReport>* damage) {
  Guard guard(settings_.Lock());
  const bool loaded = settings_.Load();
  if (damage != nullptr) *damage = settings_.Damage();
  return loaded;
}

SettingsSnapshot SettingsFile::Read() const {
  Guard guard(settings_.Lock());
  return SettingsControl::ReadLocked(settings_);
}

bool SettingsFile::WriteFirst(std::uint32_t ftp_port, std::uint32_t admin_port, const std::string& password) {
  Guard guard(settings_.Lock());
  // Only quillon.conf's choices matter (the password's form): whatever
  // settings there were are replaced.
  [[maybe_unused]] const bool had_settings = settings_.Load();
  settings_.ResetToDefaults();
  settings_.mPort = ftp_port;
  settings_.mUseRA = true;
  settings_.mRAPort = admin_port;
  std::string unhashed;
  return settings_.SetAdminPassword(password, &unhashed) && settings_.Save();
}

bool SettingsFile::Get(const std::string& key, std::string* value, std::string* message) {
  Guard guard(settings_.Lock());
  if (ExtraSettings::IsKnownKey(key)) return settings_.Extra().Get(key, value);
  return settings_.GetAsText(key, value, message);
}

bool SettingsFile::Set(const std::string& key, const std::string& value, std::string* message) {
  Guard guard(settings_.Lock());
  if (ExtraSettings::IsKnownKey(key)) return settings_.Extra().Set(key, value, message);
  return settings_.SetFromText(key, value, message);
}

bool SettingsFile::SaveFileOf(const std::string& key) {
  Guard guard(settings_.Lock());
  return ExtraSettings::IsKnownKey(key) ? settings_.SaveExtra() : settings_.Save();
}

bool SettingsFile::TlsIsOff() const {
  Guard guard(settings_.Lock());
  return settings_.Extra().Tls() == ExtraSettings::TlsMode::kOff;
}

}  // namespace quillon::control
