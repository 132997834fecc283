// Settings beyond the fixed keys of the settings file, in their own file
// ("config/quillon.conf"): one "key = value" per line, "#" begins a comment
// line, blanks around keys and values are ignored. A missing file means the
// defaults. A line that is no setting, or a value that does not fit its key,
// is reported with its line number and skipped; the other lines apply.
// Unknown keys are kept (with their text) but change nothing. Saving keeps
// every line as it was except those of the keys that were set.
//
// Keys:
//   run_as_user      the user a server started as root serves as, once its
//                    ports are open ("nobody"; "root" keeps root)
//   trash_max_mb     most megabytes the trash keeps before the oldest
//                    deleted files go for good (1024; 0: no limit)
//   passive_ports    the ports PASV and EPSV listen on, "first-last" (empty:
//                    any free port)
//   passive_address  the IPv4 address or host name passive replies give
//                    clients outside the private ranges (empty: the control
//                    connection's own address)
//   tls              "off", "optional" (AUTH TLS offered) or "required"
//                    (no login before AUTH TLS) ("off")
//   tls_certificate  the PEM certificate chain file for TLS ("")
//   tls_key          the PEM private key file for TLS ("")
//   tls_min_version  "1.2" or "1.3" ("1.2")
//   tls_data         "optional" or "required" (transfers only with PROT P
//                    once TLS is on) ("optional")
//   tls_session_reuse "required" (a protected data connection must resume
//                    its control connection's TLS session, or that of
//                    another control connection of the same account from
//                    the same address) or "optional" ("required")
//   tls_data_handshake "connect" (a protected passive data connection's
//                    handshake is answered as soon as the client starts it,
//                    before its transfer command) or "command" (only once
//                    the transfer command came) ("connect")
//   prelogin_per_ip  connections one client address may hold before they
//                    log in; more are refused with 421 (8; 0: no limit)
//   passive_per_ip   passive ports one client address may hold open at a
//                    time (8; 0: no limit)
//   login_timeout    seconds a connection has to log in (AUTH TLS
//                    included) before it is closed (60)
//   admin_tls        "on": the remote admin speaks HTTPS (with the same
//                    certificate) and answers plain HTTP with a redirect
//                    ("off")
//   xferlog          the transfer log file: one line per file transfer in the
//                    classic xferlog layout; a relative path is relative to
//                    the program folder ("": none)
//   log_keep_days    days the numbered logs in logs/ are kept after their
//                    last change before they are removed (90; 0: for ever)
//   metrics_allow    client addresses that may read /metrics of the remote
//                    admin without a token: addresses and prefixes of either
//                    family (a.b.c.d/n, 2001:db8::/48), separated by commas
//                    ("": none)
//   proxy_protocol   "on": every FTP connection starts with a PROXY
//                    protocol header (version 1 or 2) from a load balancer,
//                    and the client it names counts as the peer ("off")
//   proxy_trusted    the addresses that may send that header, in the form
//                    of metrics_allow; connections from others are refused
//                    while proxy_protocol is on ("": none)
//   account_store    "postgresql": the accounts and groups live in the
//                    PostgreSQL database of postgresql_url, which several
//                    servers may share ("files": config/*.dta)
//   postgresql_url   where that database is: a postgresql:// URL or libpq
//                    key=value text (a password is better kept in a
//                    password file, see PGPASSFILE) ("")
//   postgresql_lease_seconds
//                    how long a server's count of a session lasts in the
//                    database unless the server renews it; a server that
//                    dies frees its sessions' counts after it (60; 3-3600)
//   on_upload, on_download, on_login, on_delete
//                    the absolute path of a program run after each such
//                    event, with the event's facts in its environment ("":
//                    none)
//   event_timeout    seconds an event's program may run before it is
//                    killed (30)
//   event_max_running event programs that may run at once; an event beyond
//                    them is dropped (4)
//   password_storage "scrambled" (passwords stored reversibly, as in older
//                    installations) or "hashed" (a password set is stored as
//                    a salted one-way hash, and a stored password that is no
//                    hash yet becomes one at its account's next login)
//                    ("scrambled")
//   listen_addresses the local addresses the FTP port and the remote admin's
//                    port listen on, IPv4 or IPv6, separated by commas, at
//                    most 6 ("": every address of both families)
//   implicit_tls_port a second FTP port that speaks TLS from the first byte
//                    (data protected as after PROT P), with the same
//                    accounts and rules; needs a certificate and key (0: none)
//
// Thread-safety: none of its own; ServerSettings guards it with its lock.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fileutil/file_writer.h"
#include "runtime/ip_range_list.h"

namespace quillon::settings {

class ExtraSettings {
 public:
  static constexpr const char* kFileName = "quillon.conf";
  static constexpr const char* kDefaultRunAsUser = "nobody";
  static constexpr std::uint64_t kDefaultTrashMaxMb = 1024;
  static constexpr std::uint32_t kDefaultPreloginPerIp = 8;
  static constexpr std::uint32_t kDefaultLoginTimeoutSeconds = 60;
  static constexpr std::uint32_t kDefaultPassivePerIp = 8;
  static constexpr std::uint32_t kDefaultLogKeepDays = 90;
  static constexpr std::uint32_t kDefaultEventTimeoutSeconds = 30;
  static constexpr std::uint32_t kDefaultEventMaxRunning = 4;
  static constexpr std::uint32_t kDefaultLeaseSeconds = 60;
  // Larger files are not read.
  static constexpr std::uint64_t kMaxFileBytes = 1 << 20;
  // The keys this build knows, in the order `get` lists them.
  static constexpr const char* kKeys[] = {
      "run_as_user", "trash_max_mb",    "passive_ports",   "passive_address",   "tls",
      "tls_certificate", "tls_key", "tls_min_version", "tls_data", "tls_session_reuse", "tls_data_handshake",
      "admin_tls",
      "prelogin_per_ip", "login_timeout", "passive_per_ip", "xferlog", "log_keep_days",
      "metrics_allow", "proxy_protocol", "proxy_trusted", "account_store", "postgresql_url",
      "postgresql_lease_seconds", "on_upload", "on_download", "on_login", "on_delete", "event_timeout",
      "event_max_running", "password_storage", "listen_addresses", "implicit_tls_port"};

  // The events that may run a program.
  enum class Event { kUpload, kDownload, kLogin, kDelete };

  enum class TlsMode { kOff, kOptional, kRequired };

  // Defaults in place, then reads `path`. False when the file cannot be read
  // or a line was skipped; *message then names the file and every skipped
  // line ("line 3 is not a valid setting"), and reports unknown keys too.
  // A missing file is not a failure.
  [[nodiscard]] bool Load(const std::string& path, std::string* message);
  // As Load, from the file's text (read elsewhere); `name` begins *message.
  [[nodiscard]] bool LoadText(const std::string& text, const std::string& name, std::string* message);
  // Lines the last load skipped as no valid setting (unknown keys are not
  // counted: they are kept).
  std::size_t SkippedLineCount() const { return skipped_lines_; }
  void ResetToDefaults();
  // Writes the file at `path` owner-only, replacing it whole. The lines read
  // stay as they were, except those of keys set since, which carry their
  // new values; keys not in the file yet are added at its end.
  [[nodiscard]] bool Save(const std::string& path, fileutil::FileWriter& writer) const;

  // A known key by name, as text. False with a message for an unknown key
  // or a value that does not fit (nothing changes then).
  [[nodiscard]] bool Set(const std::string& key, const std::string& value, std::string* message);
  [[nodiscard]] bool Get(const std::string& key, std::string* value) const;
  // True when a line of the file as read, or a Set since, gives `key` a
  // value (a key left at its default by omission is not mentioned).
  bool Mentions(const std::string& key) const;
  static bool IsKnownKey(const std::string& key);

  const std::string& RunAsUser() const { return run_as_user_; }
  // The trash limit in bytes; 0 for none.
  std::uint64_t TrashMaxBytes() const { return trash_max_mb_ << 20; }
  // The passive port range; both 0 when any free port will do.
  std::uint16_t PassivePortFirst() const { return passive_first_; }
  std::uint16_t PassivePortLast() const { return passive_last_; }
  const std::string& PassiveAddress() const { return passive_address_; }
  TlsMode Tls() const { return tls_; }
  const std::string& TlsCertificate() const { return tls_certificate_; }
  const std::string& TlsKey() const { return tls_key_; }
  // True when TLS 1.3 is the oldest version accepted (else 1.2).
  bool TlsOnly13() const { return tls_only_13_; }
  bool TlsDataRequired() const { return tls_data_required_; }
  bool TlsSessionReuseRequired() const { return tls_reuse_required_; }
  // True when a protected passive data connection is secured as soon as the
  // client starts its handshake.
  bool TlsDataHandshakeAtConnect() const { return tls_data_at_connect_; }
  bool AdminTls() const { return admin_tls_; }
  // True when passwords set are stored as one-way hashes.
  bool HashPasswords() const { return hash_passwords_; }
  // Connections per client address before login (0: no limit).
  std::uint32_t PreloginPerIp() const { return prelogin_per_ip_; }
  std::uint32_t LoginTimeoutSeconds() const { return login_timeout_seconds_; }
  // Passive ports per client address (0: no limit).
  std::uint32_t PassivePerIp() const { return passive_per_ip_; }
  // The transfer log's path as written ("" when there is none).
  const std::string& TransferLogPath() const { return xferlog_; }
  // Days numbered logs are kept (0: for ever).
  std::uint32_t LogKeepDays() const { return log_keep_days_; }
  // The addresses that may read the metrics without a token (empty: none).
  const runtime::IpRangeList& MetricsAllow() const { return metrics_allow_; }
  // FTP connections start with a PROXY protocol header from these peers.
  bool ProxyProtocol() const { return proxy_protocol_; }
  const runtime::IpRangeList& ProxyTrusted() const { return proxy_trusted_; }
  // The accounts and groups live in the PostgreSQL database of PostgresUrl().
  bool SharedAccountStore() const { return shared_store_; }
  const std::string& PostgresUrl() const { return postgres_url_; }
  std::uint32_t LeaseSeconds() const { return lease_seconds_; }
  // The program of an event ("" for none).
  const std::string& EventProgram(Event event) const { return event_programs_[static_cast<int>(event)]; }
  std::uint32_t EventTimeoutSeconds() const { return event_timeout_seconds_; }
  std::uint32_t EventMaxRunning() const { return event_max_running_; }
  // The local addresses to listen on (empty: every address).
  const std::vector<std::string>& ListenAddresses() const { return listen_addresses_; }
  // The port of implicit TLS (0: none).
  std::uint16_t ImplicitTlsPort() const { return implicit_tls_port_; }
  // Keys this build does not know, with their values.
  const std::map<std::string, std::string>& UnknownKeys() const { return unknown_; }

 private:
  bool Apply(const std::string& key, const std::string& value);

  std::string run_as_user_ = kDefaultRunAsUser;
  std::uint64_t trash_max_mb_ = kDefaultTrashMaxMb;
  std::uint16_t passive_first_ = 0;
  std::uint16_t passive_last_ = 0;
  std::string passive_address_;
  TlsMode tls_ = TlsMode::kOff;
  std::string tls_certificate_;
  std::string tls_key_;
  bool tls_only_13_ = false;
  bool tls_data_required_ = false;
  bool tls_reuse_required_ = true;
  bool tls_data_at_connect_ = true;
  bool admin_tls_ = false;
  bool hash_passwords_ = false;
  std::uint32_t prelogin_per_ip_ = kDefaultPreloginPerIp;
  std::uint32_t login_timeout_seconds_ = kDefaultLoginTimeoutSeconds;
  std::uint32_t passive_per_ip_ = kDefaultPassivePerIp;
  std::string xferlog_;
  std::uint32_t log_keep_days_ = kDefaultLogKeepDays;
  std::string metrics_allow_text_;
  runtime::IpRangeList metrics_allow_;
  bool proxy_protocol_ = false;
  std::string proxy_trusted_text_;
  runtime::IpRangeList proxy_trusted_;
  bool shared_store_ = false;
  std::string postgres_url_;
  std::uint32_t lease_seconds_ = kDefaultLeaseSeconds;
  std::string event_programs_[4];  // by Event
  std::uint32_t event_timeout_seconds_ = kDefaultEventTimeoutSeconds;
  std::uint32_t event_max_running_ = kDefaultEventMaxRunning;
  std::vector<std::string> listen_addresses_;
  std::uint16_t implicit_tls_port_ = 0;
  std::map<std::string, std::string> unknown_;
  std::size_t skipped_lines_ = 0;
  // The file as read, line by line, and the keys set since (with the text
  // they were set to).
  std::vector<std::string> lines_;
  std::map<std::string, std::string> changed_;
};

// What differs between two configurations, for the log: "key: old -> new"
// per known key that changed, in the order of kKeys, joined by "; " ("" for
// an empty value reads "(none)"); a run_as_user that changed adds "(needs a
// restart)". "" when nothing differs.
std::string DescribeChanges(const ExtraSettings& before, const ExtraSettings& after);

}  // namespace quillon::settings
