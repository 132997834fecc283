// A settings file edited while no server runs on it: the set-up tool's
// commands and the desktop's look at an installed service's settings. It
// holds its own settings, so what it changes reaches the disk only through
// its saves.
//
// Thread-safety: one thread at a time; the settings lock is taken inside.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "control/settings_control.h"
#include "settings/server_settings.h"

namespace quillon::platform {
class Clock;
}

namespace quillon::control {

class SettingsFile {
 public:
  // `path` is the settings.dta; quillon.conf lies beside it.
  SettingsFile(platform::Clock& clock, std::string path);

  // Loads both files; false when settings.dta is missing or unreadable.
  // *damage (may be null) receives what the load found damaged and kept aside.
  [[nodiscard]] bool Load(std::optional<fileutil::DamageReport>* damage = nullptr);
  SettingsSnapshot Read() const;
  // The defaults, with the FTP port and the remote admin in use on
  // `admin_port` with `password` (hashed when quillon.conf says so); saved.
  // False when the password could not be hashed or the save failed.
  [[nodiscard]] bool WriteFirst(std::uint32_t ftp_port, std::uint32_t admin_port,
                                const std::string& password);

  // A key of quillon.conf or of settings.dta as text. False with *message
  // for an unknown key or a value the key cannot take.
  [[nodiscard]] bool Get(const std::string& key, std::string* value, std::string* message);
  [[nodiscard]] bool Set(const std::string& key, const std::string& value, std::string* message);
  // Saves the file that holds `key`; false when it cannot be written.
  [[nodiscard]] bool SaveFileOf(const std::string& key);
  bool TlsIsOff() const;
  // The settings themselves, for a caller that edits them under their lock.
  settings::ServerSettings& Settings() { return settings_; }

 private:
  mutable settings::ServerSettings settings_;
};

}  // namespace quillon::control
