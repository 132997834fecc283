#include "access/active_account.h"

#include <algorithm>

namespace quillon::access {

using Guard = runtime::CriticalSection::Guard;

ActiveAccount::ActiveAccount(accounts::EffectiveRecord record, fileutil::FolderSizeCache& cache,
                             platform::Clock& clock, std::string log_folder)
    : AccountFileSystem(std::move(record), cache, clock), log_folder_(std::move(log_folder)) {
  Guard guard(Lock());
  ApplyRecordLocked();
  handed_out_credits_ = RecordLocked().mCurrentCredits;
}

void ActiveAccount::ApplyRecordLocked() {
  const accounts::EffectiveRecord& record = RecordLocked();
  auto limiter = [this](bool use, std::uint32_t kb) -> std::unique_ptr<runtime::RateLimiter> {
    if (!use) return nullptr;
    auto made = std::make_unique<runtime::RateLimiter>(GetClock());
    made->SetLimit(kb << 10);
    return made;
  };
  upload_limiter_ = limiter(record.mUseMaxUploadSpeed, record.mMaxUploadSpeed);
  download_limiter_ = limiter(record.mUseMaxDownloadSpeed, record.mMaxDownloadSpeed);
  log_.reset();
  if (record.mUseLogs) {
    log_ = std::make_shared<settings::LogFile>(GetClock());
    log_->SetFixedPath(log_folder_, record.Name() + ".txt");
  }
}

bool ActiveAccount::AdmitSession(const SessionEndpoint& session, ActivityRecord* activity) {
  Guard guard(Lock());
  const accounts::EffectiveRecord& record = RecordLocked();
  if (!record.mEnabled) return false;
  if (!record.mAlwaysAllowLogin && record.mUseMaxUsers && sessions_.size() >= record.mMaxUsers)
    return false;
  const bool safe = record.mUseSafeIPs && record.mSafeIPs.Contains(session.address);
  if (!safe && record.mUseBlockIPs && record.mBlockIPs.Contains(session.address)) return false;
  sessions_.push_back(Session{session.key, session.address, session.port, activity});
  return true;
}

void ActiveAccount::RemoveSession(const void* key) {
  Guard guard(Lock());
  auto it = std::find_if(sessions_.begin(), sessions_.end(),
                         [key](const Session& session) { return session.key == key; });
  if (it != sessions_.end()) sessions_.erase(it);
}

bool ActiveAccount::StillAllowed(const runtime::IpAddress& address) const {
  Guard guard(Lock());
  const accounts::EffectiveRecord& record = RecordLocked();
  if (!record.mEnabled) return false;
  if (record.mUseSafeIPs && record.mSafeIPs.Contains(address)) return true;
  return !(record.mUseBlockIPs && record.mBlockIPs.Contains(address));
}

std::size_t ActiveAccount::SessionCount() const {
  Guard guard(Lock());
  return sessions_.size();
}

std::size_t ActiveAccount::SessionsFrom(const runtime::IpAddress& address) const {
  Guard guard(Lock());
  return static_cast<std::size_t>(std::count_if(
      sessions_.begin(), sessions_.end(),
      [key = address.LimitKey()](const Session& session) { return session.address.LimitKey() == key; }));
}

void ActiveAccount::AppendSnapshots(std::vector<ActivitySnapshot>* out) const {
  Guard guard(Lock());
  for (const Session& session : sessions_) {
    ActivitySnapshot snapshot =
        session.activity != nullptr ? session.activity->Snapshot() : ActivitySnapshot{};
    snapshot.credits = RecordLocked().mCurrentCredits;
    snapshot.use_credits = RecordLocked().mUseCredits;
    out->push_back(std::move(snapshot));
  }
}

std::uint32_t ActiveAccount::AllowanceLocked(runtime::RateLimiter* own,
                                             runtime::RateLimiter* server, std::uint32_t wanted) {
  std::uint32_t granted = own != nullptr ? own->Grant(wanted) : wanted;
  if (server != nullptr && granted > 0) {
    const std::uint32_t shared = server->Grant(granted);
    if (own != nullptr && shared < granted) own->GiveBack(granted - shared);
    granted = shared;
  }
  return granted;
}

std::uint32_t ActiveAccount::UploadAllowance(std::uint32_t wanted) {
  Guard guard(Lock());
  return AllowanceLocked(upload_limiter_.get(), server_upload_, wanted);
}

std::uint32_t ActiveAccount::DownloadAllowance(std::uint32_t wanted) {
  Guard guard(Lock());
  return AllowanceLocked(download_limiter_.get(), server_download_, wanted);
}

bool ActiveAccount::IsMetered(bool upload) const {
  Guard guard(Lock());
  return upload ? (upload_limiter_ || server_upload_ != nullptr)
                : (download_limiter_ || server_download_ != nullptr);
}

void ActiveAccount::SetServerLimiters(runtime::RateLimiter* upload,
                                      runtime::RateLimiter* download) {
  Guard guard(Lock());
  server_upload_ = upload;
  server_download_ = download;
}

void ActiveAccount::UpdateRecord(accounts::EffectiveRecord record) {
  Guard guard(Lock());
  ReplaceRecordLocked(std::move(record));
  ApplyRecordLocked();
}

void ActiveAccount::SetLivePassword(std::string_view password) {
  Guard guard(Lock());
  MutableRecordLocked().SetPassword(password);
}

bool ActiveAccount::MatchLogin(std::string_view name, std::string_view password) const {
  Guard guard(Lock());
  return RecordLocked().MatchLogin(name, password);
}

std::string ActiveAccount::Name() const {
  Guard guard(Lock());
  return RecordLocked().Name();
}

bool ActiveAccount::UsesCredits() const {
  Guard guard(Lock());
  return RecordLocked().mUseCredits;
}

bool ActiveAccount::TakeCreditChange(std::int64_t* delta) {
  Guard guard(Lock());
  const std::uint32_t live = RecordLocked().mCurrentCredits;
  if (live == handed_out_credits_) return false;
  *delta = std::int64_t{live} - handed_out_credits_;
  handed_out_credits_ = live;
  return true;
}

void ActiveAccount::ShiftCredits(std::int64_t shift) {
  auto shifted = [shift](std::uint32_t credits) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(std::int64_t{credits} + shift, 0, UINT32_MAX));
  };
  Guard guard(Lock());
  MutableRecordLocked().mCurrentCredits = shifted(RecordLocked().mCurrentCredits);
  handed_out_credits_ = shifted(handed_out_credits_);
}

void ActiveAccount::ReplaceCredits(std::uint32_t credits) {
  Guard guard(Lock());
  MutableRecordLocked().mCurrentCredits = credits;
  handed_out_credits_ = credits;
}

void ActiveAccount::WriteAccountLog(std::string_view text) {
  std::shared_ptr<settings::LogFile> log;
  {
    Guard guard(Lock());
    log = log_;
  }
  if (log) {
    [[maybe_unused]] bool written = log->WriteLine(text);  // best effort, like every log line
  }
}

bool ActiveAccount::KeepsAccountLog() const {
  Guard guard(Lock());
  return log_ != nullptr;
}

}  // namespace quillon::access
