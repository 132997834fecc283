#include "ftp/hash_loop.h"

#include <iterator>
#include <utility>

#include "ftp/replies.h"
#include "fileutil/text.h"

namespace quillon::ftp {

using fileutil::FormatText;

std::optional<std::size_t> FindHashAlgorithm(std::string_view name) {
  for (std::size_t at = 0; at < std::size(kHashAlgorithms); ++at)
    if (fileutil::EqualNoCase(name, kHashAlgorithms[at].name)) return at;
  return std::nullopt;
}

std::string HashAlgorithmList(std::size_t chosen) {
  std::string list;
  for (std::size_t at = 0; at < std::size(kHashAlgorithms); ++at) {
    if (at != 0) list += ';';
    list += kHashAlgorithms[at].name;
    if (at == chosen) list += '*';
  }
  return list;
}

bool HashLoop::Open(access::ActiveAccount& account, const std::string& path, std::string_view named,
                    const HashAlgorithm& algorithm, std::string* message) {
  accountfs::FileTransfer* opened = account.OpenForReading(path, message);
  if (opened == nullptr) return false;
  account_ = &account;
  source_ = opened;
  algorithm_ = &algorithm;
  digest_ = std::make_unique<platform::Digest>(algorithm.algorithm);
  buffer_ = std::make_unique_for_overwrite<char[]>(kStepBytes);
  named_.assign(named);
  digested_ = 0;
  stop_ = false;
  stop_reason_.clear();
  return true;
}

void HashLoop::Stop(std::string reason) {
  stop_ = true;
  stop_reason_ = std::move(reason);
}

void HashLoop::Abort() {
  if (IsRunning()) End({});
}

HashLoop::Step HashLoop::End(std::vector<std::string> replies) {
  account_->CloseTransfer(source_);
  source_ = nullptr;
  digest_.reset();
  buffer_.reset();  // idle sessions keep no digest buffer
  Step step;
  step.ended = true;
  step.replies = std::move(replies);
  return step;
}

HashLoop::Step HashLoop::Next() {
  // ABOR is answered as it is during a transfer, in the same order.
  if (stop_ && stop_reason_.empty()) return End({replies::kTransferComplete, replies::kTransferAborted});
  if (stop_) return End({FormatText(replies::kTransferStopped, stop_reason_.c_str())});
  std::size_t length = kStepBytes;
  std::string reason;
  if (!source_->Read(buffer_.get(), &length, &reason))
    return End({FormatText(replies::kTransferFailed, reason.c_str())});
  if (!digest_->Update(std::string_view(buffer_.get(), length)))
    return End({FormatText(replies::kTransferFailed, replies::kReasonDigestFailed)});
  digested_ += length;
  if (!source_->IsFinished()) {
    Step step;
    step.progressed = length > 0;
    return step;
  }
  std::string digest;
  if (!digest_->Finish(&digest))
    return End({FormatText(replies::kTransferFailed, replies::kReasonDigestFailed)});
  Step step = End({FormatText(replies::kHash, algorithm_->name, static_cast<unsigned long long>(digested_),
                              fileutil::LowerHex(digest).c_str(), named_.c_str())});
  step.progressed = length > 0;
  return step;
}

}  // namespace quillon::ftp
