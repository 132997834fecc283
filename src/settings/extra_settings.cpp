#include "settings/extra_settings.h"

#include <algorithm>
#include <optional>
#include <iterator>
#include <string_view>

#include "fileutil/file_handle.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"

namespace quillon::settings {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// A line's key and value; false for a line that is no setting.
bool SplitLine(std::string_view line, std::string* key, std::string* value) {
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return false;
  *key = std::string(Trim(line.substr(0, equals)));
  *value = std::string(Trim(line.substr(equals + 1)));
  return !key->empty();
}

// A user name as the system's user database writes them.
bool IsUserName(std::string_view name) {
  if (name.empty() || name.size() > 32 || name.front() == '-') return false;
  for (char ch : name) {
    const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                       (ch >= '0' && ch <= '9') || ch == '_' || ch == '-' || ch == '.';
    if (!plain) return false;
  }
  return true;
}

// Plain digits up to `most`.
bool ReadNumber(std::string_view text, std::uint64_t most, std::uint64_t* value) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t number = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    number = number * 10 + static_cast<std::uint64_t>(ch - '0');
  }
  if (number > most) return false;
  *value = number;
  return true;
}

// An IPv4 address or a host name: letters, digits, '-' and '.', at most 253.
bool IsHostName(std::string_view name) {
  if (name.empty() || name.size() > 253 || name.front() == '-' || name.front() == '.') return false;
  for (char ch : name) {
    const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                       (ch >= '0' && ch <= '9') || ch == '-' || ch == '.';
    if (!plain) return false;
  }
  return true;
}

// A file path: absolute, printable, at most 4096 bytes (empty: none).
bool IsFilePath(std::string_view path) {
  if (path.empty()) return true;
  if (path.size() > 4096 || path.front() != '/') return false;
  for (char ch : path)
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) return false;
  return true;
}

// One of two words: *second is true for the second one.
bool ReadChoice(std::string_view value, const char* first, const char* second, bool* is_second) {
  if (value != first && value != second) return false;
  *is_second = value == second;
  return true;
}

constexpr const char* kTlsModes[] = {"off", "optional", "required"};
// The event keys, in the order of ExtraSettings::Event.
constexpr const char* kEventKeys[] = {"on_upload", "on_download", "on_login", "on_delete"};

// Local addresses of either family separated by commas (blanks around them
// ignored), each in its standard text form, at most six; none for an empty
// text. False for anything that is no address.
bool ReadListenAddresses(std::string_view text, std::vector<std::string>* addresses) {
  addresses->clear();
  if (Trim(text).empty()) return true;
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::optional<runtime::IpAddress> address = runtime::IpAddress::Parse(Trim(text.substr(0, comma)));
    if (!address || addresses->size() == 6) return false;
    addresses->push_back(address->Text());
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// Addresses and prefixes of either family ("10.0.0.0/8", "::1",
// "2001:db8::/48") separated by commas (blanks around them ignored) into
// `list`; false for any entry that is none of them.
bool ReadAddressList(std::string_view text, runtime::IpRangeList* list) {
  list->Clear();
  if (Trim(text).empty()) return true;
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::string_view entry = Trim(text.substr(0, comma));
    // Ranges "a-b" are for the IP list pages; here only addresses and prefixes.
    if (entry.find('-') != std::string_view::npos) return false;
    const std::optional<runtime::IpRange> range = runtime::IpRangeList::ParseEntry(entry);
    if (!range) return false;
    list->AddRange(range->first, range->last);
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace

void ExtraSettings::ResetToDefaults() {
  run_as_user_ = kDefaultRunAsUser;
  trash_max_mb_ = kDefaultTrashMaxMb;
  passive_first_ = passive_last_ = 0;
  passive_address_.clear();
  tls_ = TlsMode::kOff;
  tls_certificate_.clear();
  tls_key_.clear();
  tls_only_13_ = tls_data_required_ = admin_tls_ = hash_passwords_ = false;
  tls_reuse_required_ = tls_data_at_connect_ = true;
  prelogin_per_ip_ = kDefaultPreloginPerIp;
  login_timeout_seconds_ = kDefaultLoginTimeoutSeconds;
  passive_per_ip_ = kDefaultPassivePerIp;
  xferlog_.clear();
  log_keep_days_ = kDefaultLogKeepDays;
  metrics_allow_text_.clear();
  metrics_allow_.Clear();
  proxy_protocol_ = false;
  proxy_trusted_text_.clear();
  proxy_trusted_.Clear();
  shared_store_ = false;
  postgres_url_.clear();
  lease_seconds_ = kDefaultLeaseSeconds;
  for (std::string& program : event_programs_) program.clear();
  event_timeout_seconds_ = kDefaultEventTimeoutSeconds;
  event_max_running_ = kDefaultEventMaxRunning;
  listen_addresses_.clear();
  implicit_tls_port_ = 0;
  unknown_.clear();
  skipped_lines_ = 0;
  lines_.clear();
  changed_.clear();
}

bool ExtraSettings::IsKnownKey(const std::string& key) {
  for (const char* known : kKeys)
    if (key == known) return true;
  return false;
}

bool ExtraSettings::Load(const std::string& path, std::string* message) {
  ResetToDefaults();
  if (!fileutil::PathExists(path)) return true;
  std::string text;
  if (!fileutil::ReadWholeFile(path, kMaxFileBytes, &text, platform::Links::kRefuse)) {
    *message = "Unable to read " + path;
    return false;
  }
  return LoadText(text, path, message);
}

bool ExtraSettings::LoadText(const std::string& text, const std::string& name, std::string* message) {
  ResetToDefaults();
  std::string problems;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines_.emplace_back(Trim(std::string_view(text).substr(start, end - start)));
    start = end + 1;
    const std::string& line = lines_.back();
    if (line.empty() || line.front() == '#') continue;
    std::string key, value;
    if (SplitLine(line, &key, &value) && Apply(key, value)) continue;
    ++skipped_lines_;
    problems += (problems.empty() ? "" : ", ") + std::string("line ") + std::to_string(lines_.size()) +
                " is not a valid setting";
  }
  for (const auto& [key, value] : unknown_)
    problems += (problems.empty() ? "" : ", ") + std::string("unknown key ") + key + " is kept but not used";
  if (problems.empty()) return true;
  *message = name + ": " + problems;
  return false;
}

bool ExtraSettings::Apply(const std::string& key, const std::string& value) {
  std::uint64_t number = 0;
  if (key == "run_as_user") {
    if (!IsUserName(value)) return false;
    run_as_user_ = value;
  } else if (key == "trash_max_mb") {
    // At most a million gigabytes.
    if (!ReadNumber(value, std::uint64_t{1} << 30, &number)) return false;
    trash_max_mb_ = number;
  } else if (key == "passive_ports") {
    if (value.empty()) {
      passive_first_ = passive_last_ = 0;
      return true;
    }
    const std::size_t dash = value.find('-');
    std::uint64_t first = 0, last = 0;
    if (dash == std::string::npos ||
        !ReadNumber(Trim(std::string_view(value).substr(0, dash)), 65535, &first) ||
        !ReadNumber(Trim(std::string_view(value).substr(dash + 1)), 65535, &last) || first == 0 ||
        first > last)
      return false;
    passive_first_ = static_cast<std::uint16_t>(first);
    passive_last_ = static_cast<std::uint16_t>(last);
  } else if (key == "passive_address") {
    if (!value.empty() && !IsHostName(value)) return false;
    passive_address_ = value;
  } else if (key == "tls") {
    const auto* found = std::find(std::begin(kTlsModes), std::end(kTlsModes), value);
    if (found == std::end(kTlsModes)) return false;
    tls_ = static_cast<TlsMode>(found - std::begin(kTlsModes));
  } else if (key == "tls_certificate" || key == "tls_key") {
    if (!IsFilePath(value)) return false;
    (key == "tls_key" ? tls_key_ : tls_certificate_) = value;
  } else if (key == "tls_min_version") {
    return ReadChoice(value, "1.2", "1.3", &tls_only_13_);
  } else if (key == "tls_data") {
    return ReadChoice(value, "optional", "required", &tls_data_required_);
  } else if (key == "tls_session_reuse") {
    bool optional = false;
    if (!ReadChoice(value, "required", "optional", &optional)) return false;
    tls_reuse_required_ = !optional;
  } else if (key == "tls_data_handshake") {
    bool at_command = false;
    if (!ReadChoice(value, "connect", "command", &at_command)) return false;
    tls_data_at_connect_ = !at_command;
  } else if (key == "admin_tls") {
    return ReadChoice(value, "off", "on", &admin_tls_);
  } else if (key == "password_storage") {
    return ReadChoice(value, "scrambled", "hashed", &hash_passwords_);
  } else if (key == "prelogin_per_ip") {
    if (!ReadNumber(value, 100'000, &number)) return false;
    prelogin_per_ip_ = static_cast<std::uint32_t>(number);
  } else if (key == "login_timeout") {
    // A day at most; 0 would refuse every login.
    if (!ReadNumber(value, 86'400, &number) || number == 0) return false;
    login_timeout_seconds_ = static_cast<std::uint32_t>(number);
  } else if (key == "passive_per_ip") {
    if (!ReadNumber(value, 100'000, &number)) return false;
    passive_per_ip_ = static_cast<std::uint32_t>(number);
  } else if (key == "xferlog") {
    // Absolute, or relative to the program folder.
    if (!value.empty() && !IsFilePath(value.front() == '/' ? value : "/" + value)) return false;
    xferlog_ = value;
  } else if (key == "log_keep_days") {
    // A hundred years at most.
    if (!ReadNumber(value, 36'500, &number)) return false;
    log_keep_days_ = static_cast<std::uint32_t>(number);
  } else if (key == "listen_addresses") {
    std::vector<std::string> addresses;
    if (!ReadListenAddresses(value, &addresses)) return false;
    listen_addresses_ = std::move(addresses);
  } else if (key == "implicit_tls_port") {
    if (!ReadNumber(value, 65'535, &number)) return false;
    implicit_tls_port_ = static_cast<std::uint16_t>(number);
  } else if (key == "metrics_allow") {
    runtime::IpRangeList list;
    if (value.size() > 4096 || !ReadAddressList(value, &list)) return false;
    metrics_allow_ = std::move(list);
    metrics_allow_text_ = value;
  } else if (key == "proxy_protocol") {
    return ReadChoice(value, "off", "on", &proxy_protocol_);
  } else if (key == "proxy_trusted") {
    runtime::IpRangeList list;
    if (value.size() > 4096 || !ReadAddressList(value, &list)) return false;
    proxy_trusted_ = std::move(list);
    proxy_trusted_text_ = value;
  } else if (key == "account_store") {
    return ReadChoice(value, "files", "postgresql", &shared_store_);
  } else if (key == "postgresql_url") {
    if (value.size() > 4096 ||
        std::any_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
      return false;
    postgres_url_ = value;
  } else if (key == "postgresql_lease_seconds") {
    if (!ReadNumber(value, 3600, &number) || number < 3) return false;
    lease_seconds_ = static_cast<std::uint32_t>(number);
  } else if (const auto* event = std::find(std::begin(kEventKeys), std::end(kEventKeys), key);
             event != std::end(kEventKeys)) {
    if (!IsFilePath(value)) return false;
    event_programs_[event - std::begin(kEventKeys)] = value;
  } else if (key == "event_timeout") {
    // A day at most; 0 would kill every program at once.
    if (!ReadNumber(value, 86'400, &number) || number == 0) return false;
    event_timeout_seconds_ = static_cast<std::uint32_t>(number);
  } else if (key == "event_max_running") {
    if (!ReadNumber(value, 64, &number) || number == 0) return false;
    event_max_running_ = static_cast<std::uint32_t>(number);
  } else {
    unknown_[key] = value;
  }
  return true;
}

bool ExtraSettings::Set(const std::string& key, const std::string& value, std::string* message) {
  if (!IsKnownKey(key)) {
    *message = "Unknown setting " + key;
    return false;
  }
  if (!Apply(key, value)) {
    *message = "The value does not fit " + key;
    return false;
  }
  changed_[key] = value;
  return true;
}

bool ExtraSettings::Get(const std::string& key, std::string* value) const {
  if (key == "run_as_user") {
    *value = run_as_user_;
  } else if (key == "trash_max_mb") {
    *value = std::to_string(trash_max_mb_);
  } else if (key == "passive_ports") {
    *value = passive_first_ == 0 ? "" : fileutil::FormatText("%u-%u", passive_first_, passive_last_);
  } else if (key == "passive_address") {
    *value = passive_address_;
  } else if (key == "tls") {
    *value = kTlsModes[static_cast<int>(tls_)];
  } else if (key == "tls_certificate") {
    *value = tls_certificate_;
  } else if (key == "tls_key") {
    *value = tls_key_;
  } else if (key == "tls_min_version") {
    *value = tls_only_13_ ? "1.3" : "1.2";
  } else if (key == "tls_data") {
    *value = tls_data_required_ ? "required" : "optional";
  } else if (key == "tls_session_reuse") {
    *value = tls_reuse_required_ ? "required" : "optional";
  } else if (key == "tls_data_handshake") {
    *value = tls_data_at_connect_ ? "connect" : "command";
  } else if (key == "admin_tls") {
    *value = admin_tls_ ? "on" : "off";
  } else if (key == "password_storage") {
    *value = hash_passwords_ ? "hashed" : "scrambled";
  } else if (key == "prelogin_per_ip") {
    *value = std::to_string(prelogin_per_ip_);
  } else if (key == "login_timeout") {
    *value = std::to_string(login_timeout_seconds_);
  } else if (key == "passive_per_ip") {
    *value = std::to_string(passive_per_ip_);
  } else if (key == "xferlog") {
    *value = xferlog_;
  } else if (key == "log_keep_days") {
    *value = std::to_string(log_keep_days_);
  } else if (key == "listen_addresses") {
    value->clear();
    for (const std::string& address : listen_addresses_) *value += (value->empty() ? "" : ",") + address;
  } else if (key == "implicit_tls_port") {
    *value = std::to_string(implicit_tls_port_);
  } else if (key == "metrics_allow") {
    *value = metrics_allow_text_;
  } else if (key == "proxy_protocol") {
    *value = proxy_protocol_ ? "on" : "off";
  } else if (key == "proxy_trusted") {
    *value = proxy_trusted_text_;
  } else if (key == "account_store") {
    *value = shared_store_ ? "postgresql" : "files";
  } else if (key == "postgresql_url") {
    *value = postgres_url_;
  } else if (key == "postgresql_lease_seconds") {
    *value = std::to_string(lease_seconds_);
  } else if (const auto* event = std::find(std::begin(kEventKeys), std::end(kEventKeys), key);
             event != std::end(kEventKeys)) {
    *value = event_programs_[event - std::begin(kEventKeys)];
  } else if (key == "event_timeout") {
    *value = std::to_string(event_timeout_seconds_);
  } else if (key == "event_max_running") {
    *value = std::to_string(event_max_running_);
  } else {
    return false;
  }
  return true;
}

bool ExtraSettings::Mentions(const std::string& key) const {
  if (changed_.contains(key)) return true;
  for (const std::string& line : lines_) {
    std::string name, value;
    if (!line.empty() && line.front() != '#' && SplitLine(line, &name, &value) && name == key)
      return true;
  }
  return false;
}

bool ExtraSettings::Save(const std::string& path, fileutil::FileWriter& writer) const {
  std::string text;
  std::map<std::string, bool> written;
  for (const std::string& line : lines_) {
    std::string key, value;
    const bool setting = !line.empty() && line.front() != '#' && SplitLine(line, &key, &value);
    const auto changed = setting ? changed_.find(key) : changed_.end();
    if (changed == changed_.end()) {
      text += line;
    } else {
      text += key + " = " + changed->second;
      written[key] = true;
    }
    text += '\n';
  }
  for (const auto& [key, value] : changed_)
    if (!written.contains(key)) text += key + " = " + value + '\n';
  return writer.ReplaceFile(path, text, fileutil::FileHandle::kOwnerOnlyFile);
}


std::string DescribeChanges(const ExtraSettings& before, const ExtraSettings& after) {
  std::string changes;
  for (const char* key : ExtraSettings::kKeys) {
    std::string old_value, new_value;
    if (!before.Get(key, &old_value) || !after.Get(key, &new_value) || old_value == new_value) continue;
    if (!changes.empty()) changes += "; ";
    changes += std::string(key) + ": " + (old_value.empty() ? "(none)" : old_value) + " -> " +
               (new_value.empty() ? "(none)" : new_value);
    if (std::string_view(key) == "run_as_user") changes += " (needs a restart)";
  }
  return changes;
}

}  // namespace quillon::settings
