// Every server-wide setting of the FTP engine, the remote admin and the
// desktop shell, persisted in the settings file.
//
// Optional settings come as a pair: a mUse... flag and its value, which is
// ignored while the flag is clear. The two speed limits live in the
// server-wide rate limiters that sessions share; they hold bytes per second
// and are read and set here in KB/s.
//
// A file that parses but shows damage (entries with unknown names, known
// keys with data they cannot hold, bytes after the announced entries, a key
// twice, keys of a group without the key that marks the group), or that
// does not parse at all, has its original bytes kept aside before anything
// is saved over it (see fileutil::DamagedFileGuard); Damage() tells what the last
// load found.
//
// Thread-safety: readers and writers hold Lock() around each access to the
// fields; Load and Save expect the caller to hold it. The rate limiters lock
// themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "runtime/critical_section.h"
#include "runtime/ip_range_list.h"
#include "runtime/limits.h"
#include "runtime/rate_limiter.h"
#include "settings/extra_settings.h"
#include "fileutil/banned_types.h"
#include "fileutil/damaged_file_guard.h"
#include "fileutil/file_writer.h"
#include "fileutil/ipv6_list_file.h"

namespace quillon::settings {

class SettingsFile;

class ServerSettings {
 public:
  // Capacities of the text fields (most characters + 1).
  static constexpr std::size_t kMessageCapacity = 100;  // welcome, help, remote-admin password
  static constexpr std::size_t kReasonCapacity = 70;    // kick and stop reasons
  static constexpr std::size_t kFolderCapacity = limits::kStoredPathCapacity;  // remote-admin folder
  // The highest speed limit that bytes per second can hold.
  static constexpr std::uint32_t kHighestSpeedKb = 0xFFFFFFFFu >> 10;

  // `path`: the settings file. `writer` (may be null: a plain FileWriter)
  // replaces it at each save and writes the copy of a damaged file, which
  // `clock` dates.
  ServerSettings(platform::Clock& clock, std::string path, fileutil::FileWriter* writer = nullptr);
  virtual ~ServerSettings() = default;
  ServerSettings(const ServerSettings&) = delete;
  ServerSettings& operator=(const ServerSettings&) = delete;

  runtime::CriticalSection& Lock() { return lock_; }

  void ResetToDefaults();
  // Resets to the defaults, then reads the file. False (defaults in place)
  // when the file is missing, short or foreign. A damaged file is copied
  // aside. REQUIRES: Lock() held.
  [[nodiscard]] bool Load();
  // Writes the 35 keys in their fixed order, and the IPv6 entries of the
  // IP lists beside the file (fileutil::Ipv6ListFile). False when the file
  // could not be replaced (the previous file stays whole), while the last
  // load found it damaged and its copy cannot be written, or when it found
  // the companion file there but unreadable. REQUIRES: Lock() held.
  [[nodiscard]] bool Save();
  // What the last Load found wrong with the file; none when it was sound.
  std::optional<fileutil::DamageReport> Damage() const { return damage_.Report(); }
  // The consequence a damage report names when the main group of keys was
  // not read.
  static constexpr const char* kDefaultsInPlace =
      "the settings fall back to their defaults (FTP port 21, remote admin off)";
  // Save in two steps, so the write to disk happens without the lock:
  // PrepareSave takes the bytes (REQUIRES: Lock() held), CompleteSave
  // writes them (REQUIRES: Lock() not held by this thread for long; it takes
  // no lock of the settings). A prepared save older than one already
  // written is skipped.
  struct PreparedSave {
    std::string bytes;
    std::uint64_t ticket = 0;
    fileutil::Ipv6ListFile ipv6;  // the lists' IPv6 entries, kept beside the file
    std::uint64_t ipv6_ticket = 0;
    bool ipv6_readable = true;  // false: the companion file is there but could not be read
  };
  PreparedSave PrepareSave();
  [[nodiscard]] bool CompleteSave(const PreparedSave& save);
  // The file's bytes as Save would write them. REQUIRES: Lock() held.
  std::string Serialise() const;

  // One setting by its key, as text: flags 1/0 (on/off, true/false, yes/no
  // accepted), numbers in decimal, speeds in KB/s, IP lists as comma-separated
  // entries ("a.b.c.d", "a.b.c.d-e.f.g.h", "2001:db8::/48"; see
  // runtime::IpRangeList::ParseEntry), banned types as "exe,pif".
  // False with a message for an unknown key or a value that does not fit.
  // REQUIRES: Lock() held.
  [[nodiscard]] bool SetFromText(std::string_view key, const std::string& value,
                                 std::string* message);
  [[nodiscard]] bool GetAsText(std::string_view key, std::string* value, std::string* message);
  // The keys SetFromText and GetAsText know, in the file's order.
  static std::vector<std::string> KeyNames();

  // Stores `password` (at most 99 characters) as the remote admin's, in the
  // form quillon.conf's password_storage asks for (see
  // fileutil::StoredPasswordForm); the stored field given back as it is
  // stays. False with `message` filled, the old password kept, when it
  // cannot be hashed. REQUIRES: Lock() held.
  [[nodiscard]] bool SetAdminPassword(std::string_view password, std::string* message);

  std::uint32_t MaxUploadSpeedKb() const { return mMaxUploadSpeed.Limit() >> 10; }
  void SetMaxUploadSpeedKb(std::uint32_t kb) { mMaxUploadSpeed.SetLimit(kb << 10); }
  std::uint32_t MaxDownloadSpeedKb() const { return mMaxDownloadSpeed.Limit() >> 10; }
  void SetMaxDownloadSpeedKb(std::uint32_t kb) { mMaxDownloadSpeed.SetLimit(kb << 10); }

  const std::string& Path() const { return path_; }

  // The settings of config/quillon.conf (beside the settings file), which
  // Load reads too and Save leaves alone. REQUIRES: Lock() held.
  ExtraSettings& Extra() { return extra_; }
  // The message of the last Load of that file that failed ("" when it did
  // not). REQUIRES: Lock() held.
  const std::string& ExtraLoadMessage() const { return extra_message_; }
  // Puts settings read again from that file in place (a reload).
  // REQUIRES: Lock() held.
  void ReplaceExtra(ExtraSettings extra) {
    extra_ = std::move(extra);
    extra_message_.clear();
  }
  // Writes that file (see ExtraSettings::Save). REQUIRES: Lock() held.
  [[nodiscard]] bool SaveExtra();

  // The settings, guarded by Lock().
  std::string mWelcomeMsg;
  std::string mHelpMsg;
  bool mUseMaxUploadSpeed;
  runtime::RateLimiter mMaxUploadSpeed;
  bool mUseMaxDownloadSpeed;
  runtime::RateLimiter mMaxDownloadSpeed;
  bool mUseMaxUsers;
  std::uint32_t mMaxUsers;
  bool mAllowPassChange;
  bool mBlockTimeOutStopping;
  bool mAntiHammering;
  bool mAutoHide;
  bool mAutoActivate;
  bool mUseSafeIPs;
  runtime::IpRangeList mSafeIPs;
  bool mUseBlockIPs;
  runtime::IpRangeList mBlockIPs;
  std::uint32_t mPort;
  std::uint32_t mFTPLogStartVal;
  bool mUseMaxUsersPerIP;
  std::uint32_t mMaxUsersPerIP;
  std::uint32_t mIdleTimeOut;  // seconds
  bool mAllowSiteToSite;
  bool mShowNTServiceIcon;
  bool mUseRA;
  std::uint32_t mRAPort;
  std::string mRAPass;
  bool mRAUseFixToDir;
  std::string mRAFixToDir;
  std::uint32_t mRALogStartVal;
  std::string mStopReason;
  std::string mKickReason;
  bool mDeleteToRecycleBin;
  bool mUseBannedFiles;
  fileutil::BannedTypes mBadExts;

 private:
  // Adds the IPv6 list entries kept beside the file to the loaded lists.
  void LoadIpv6Entries();
  // Calls the visitor once per key, in the file's order.
  template <typename Visitor, typename Self>
  static void VisitKeys(Self& self, Visitor& visitor);
  void Fill(SettingsFile* file) const;
  std::string ExtraPath() const;

  const std::string path_;
  ExtraSettings extra_;         // guarded by lock_
  std::string extra_message_;  // guarded by lock_
  fileutil::FileWriter default_writer_;
  fileutil::FileWriter* writer_;
  fileutil::DamagedFileGuard damage_;
  fileutil::OrderedSave save_order_;
  fileutil::OrderedSave ipv6_save_order_;
  bool ipv6_readable_ = true;               // guarded by lock_: the companion file read (or absent)
  std::vector<std::string> ipv6_unread_;    // guarded by lock_: its lines the load set aside
  runtime::CriticalSection lock_;
};

}  // namespace quillon::settings
