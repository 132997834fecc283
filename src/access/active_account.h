// The shared live object of one logged-in account: its effective record and
// file system (see AccountFileSystem), its logged-in sessions, its speed
// limiters and its account log. All sessions of the account use this one
// object; the AuthManager creates it at the first login and destroys it
// after the last logout.
//
// Thread-safety: every operation takes the account lock. Lock order: the
// account lock, then the rate limiters' locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "access/activity_record.h"
#include "runtime/ip_range_list.h"
#include "runtime/rate_limiter.h"
#include "settings/log_file.h"
#include "accountfs/account_file_system.h"

namespace quillon::access {

// Who a session is: an identity the session keeps for its whole life (its
// control connection), and the client's address.
struct SessionEndpoint {
  const void* key = nullptr;
  runtime::IpAddress address{};
  std::uint16_t port = 0;
};

class ActiveAccount : public accountfs::AccountFileSystem {
 public:
  // `log_folder`: where the account log goes ("<name>.txt") when the record
  // asks for one.
  ActiveAccount(accounts::EffectiveRecord record, fileutil::FolderSizeCache& cache,
                platform::Clock& clock, std::string log_folder);

  // Adds the session when the record admits it: enabled, within its session
  // limit (unless it always allows login), and not blocked by its own lists.
  [[nodiscard]] bool AdmitSession(const SessionEndpoint& session, ActivityRecord* activity);
  void RemoveSession(const void* key);
  // Whether a logged-in session from `address` may stay.
  bool StillAllowed(const runtime::IpAddress& address) const;
  std::size_t SessionCount() const;
  // Sessions from `address`, or from its /64 for an IPv6 address.
  std::size_t SessionsFrom(const runtime::IpAddress& address) const;
  // Copies of the sessions' activity, with the account's credits.
  void AppendSnapshots(std::vector<ActivitySnapshot>* out) const;

  // Bytes that may move now, at most `wanted`: the account's limiter first,
  // then the server's for what the first allowed.
  std::uint32_t UploadAllowance(std::uint32_t wanted);
  std::uint32_t DownloadAllowance(std::uint32_t wanted);
  // Whether a speed limit (the account's or the server's) meters that direction.
  bool IsMetered(bool upload) const;
  // The server-wide limiters in force (null: that limit is off).
  void SetServerLimiters(runtime::RateLimiter* upload, runtime::RateLimiter* download);

  // Replaces the live record: limiters rebuilt, open transfers checked
  // again, the account log reopened under the record's name.
  void UpdateRecord(accounts::EffectiveRecord record);
  // Sets the password of the live record (later logins match it).
  void SetLivePassword(std::string_view password);
  bool MatchLogin(std::string_view name, std::string_view password) const;
  std::string Name() const;
  bool UsesCredits() const;
  // How far the live balance moved since this last handed out a change (at
  // first, since the balance the account logged in with); that balance is
  // then the one handed out. False when it did not move.
  [[nodiscard]] bool TakeCreditChange(std::int64_t* delta);
  // Sets the live balance to one an administrator stored: no change is
  // left to hand out.
  void ReplaceCredits(std::uint32_t credits);
  // Moves the live balance by what another server moved the stored one; the
  // change left to hand out stays what it was.
  void ShiftCredits(std::int64_t shift);

  // Writes a line to the account log, when the record keeps one.
  void WriteAccountLog(std::string_view text);
  bool KeepsAccountLog() const;

 private:
  struct Session {
    const void* key;
    runtime::IpAddress address;
    std::uint16_t port;
    ActivityRecord* activity;
  };

  void ApplyRecordLocked();
  std::uint32_t AllowanceLocked(runtime::RateLimiter* own, runtime::RateLimiter* server,
                                std::uint32_t wanted);

  const std::string log_folder_;
  // All guarded by the account lock.
  std::vector<Session> sessions_;
  std::unique_ptr<runtime::RateLimiter> upload_limiter_;
  std::unique_ptr<runtime::RateLimiter> download_limiter_;
  runtime::RateLimiter* server_upload_ = nullptr;
  runtime::RateLimiter* server_download_ = nullptr;
  std::shared_ptr<settings::LogFile> log_;  // shared, so lines are written outside the lock
  std::uint32_t handed_out_credits_ = 0;
};

}  // namespace quillon::access
