#include "accountfs/file_transfer.h"

#include <algorithm>
#include <limits>

#include "platform/fs.h"
#include "accountfs/messages.h"

namespace quillon::accountfs {

FileTransfer::FileTransfer(AccountFileSystem& account, Setup setup)
    : account_(account),
      kind_(setup.kind),
      source_(std::move(setup.source)),
      entry_(std::move(setup.entry)),
      file_path_(std::move(setup.file_path)),
      ftp_path_(std::move(setup.ftp_path)),
      temporary_file_(std::move(setup.temporary_file)),
      delete_if_aborted_(setup.delete_if_aborted),
      credit_free_(setup.credit_free),
      limits_(std::move(setup.limits)),
      source_size_(kind_ == Kind::kDownload && source_ ? source_->Size() : 0) {}

FileTransfer::~FileTransfer() {
  if (source_) source_->Close();
  if (aborted_ && delete_if_aborted_ && platform::RemoveFile(file_path_, nullptr)) {
    if (entry_) account_.Cache().SubtractBytes(entry_, written_);
    // Bytes that are gone earn nothing. The balance never exceeds 32 bits,
    // so a larger figure takes all of it.
    account_.SubtractCredits(static_cast<std::uint32_t>(
        std::min<std::uint64_t>(credits_earned_, std::numeric_limits<std::uint32_t>::max())));
  }
  source_.reset();
  if (!temporary_file_.empty()) {
    [[maybe_unused]] bool removed = platform::RemoveFile(temporary_file_, nullptr);
  }
}

bool FileTransfer::Fail(const char* reason_text, std::string* reason) {
  *reason = reason_text;
  if (source_) source_->Close();
  return false;
}

void FileTransfer::MarkFailed() {
  aborted_ = true;
  usable_ = false;
}

void FileTransfer::Disable() { usable_ = false; }

void FileTransfer::ReconfigureLocked(const AreaLimits& limits) { limits_ = limits; }

bool FileTransfer::Read(void* buffer, std::size_t* length, std::string* reason) {
  if (!usable_ || !source_) {
    *length = 0;
    return Fail(messages::kResourceError, reason);
  }
  const std::size_t got = source_->Read(buffer, *length);
  finished_ = source_->AtEnd();
  bool charged = true;
  {
    runtime::CriticalSection::Guard guard(account_.Lock());
    const bool free = credit_free_ || (limits_.credit_exempt && !limits_.limited_folder.empty());
    if (!free) charged = account_.BookCredits(false, got, &credit_remainder_);
  }
  if (!charged) {
    *length = 0;
    return Fail(messages::kOutOfCredits, reason);
  }
  *length = got;
  return true;
}

bool FileTransfer::SendTo(runtime::TcpSocket& socket, std::size_t* length, std::string* reason) {
  if (!usable_ || !source_) {
    *length = 0;
    return Fail(messages::kResourceError, reason);
  }
  if (!source_->SendTo(socket, length)) *length = 0;
  finished_ = source_->AtEnd();
  return true;
}

bool FileTransfer::Write(const void* buffer, std::size_t length, std::string* reason) {
  if (!usable_ || !source_) return Fail(messages::kResourceError, reason);
  std::uint64_t n = length;
  {
    runtime::CriticalSection::Guard guard(account_.Lock());
    if (limits_.counts_towards_account && account_.UsesSpaceAllocation()) {
      const std::uint64_t left = account_.AccountFreeSpace();
      if (left < n) {
        if (left == 0) return Fail(messages::kAllocationReached, reason);
        n = left;
      }
    }
    if (!limits_.limited_folder.empty() && limits_.folder_limit_on) {
      std::uint64_t size = 0;
      if (!account_.FolderBytes(limits_.limited_folder, &size))
        return Fail(messages::kResourceError, reason);
      if (size >= limits_.folder_limit) return Fail(messages::kAllocationReached, reason);
      n = std::min(n, limits_.folder_limit - size);
    }
    const bool free = credit_free_ || (limits_.credit_exempt && !limits_.limited_folder.empty());
    if (!free && !account_.BookCredits(true, n, &credit_remainder_, &credits_earned_))
      return Fail(messages::kOutOfCredits, reason);
  }
  if (!source_->WriteAll(buffer, static_cast<std::size_t>(n)))
    return Fail(messages::kWriteFailed, reason);
  account_.Cache().AddBytes(entry_, n);
  written_ += n;
  if (n < length) return Fail(messages::kAllocationReached, reason);
  return true;
}

}  // namespace quillon::accountfs
