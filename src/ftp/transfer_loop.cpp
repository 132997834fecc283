#include "ftp/transfer_loop.h"

#include "ftp/replies.h"
#include "fileutil/text.h"

namespace quillon::ftp {

using fileutil::FormatText;

namespace {

TransferLoop::Step WaitFor(TransferLoop::Wait wait) {
  TransferLoop::Step step;
  step.wait = wait;
  return step;
}

}  // namespace

bool TransferLoop::Open(access::ActiveAccount& account, Kind kind, const std::string& path,
                        const Options& options, std::string* message) {
  accountfs::FileTransfer* opened = nullptr;
  switch (kind) {
    case Kind::kDownload: opened = account.OpenForDownload(path, options.offset, message); break;
    case Kind::kUpload:
      opened = account.OpenForUpload(path, options.append, options.offset, message);
      break;
    case Kind::kListing: opened = account.OpenListing(path, options.style, options.facts, message); break;
  }
  if (opened == nullptr) return false;
  account_ = &account;
  transfer_ = opened;
  kind_ = kind;
  item_ = path;
  stop_ = false;
  stop_reason_.clear();
  clock_ = nullptr;
  sent_ = 0;
  size_ = kind == Kind::kDownload ? static_cast<std::int64_t>(opened->SourceSize() - options.offset) : -1;
  outcome_.reset();
  return true;
}

void TransferLoop::Begin(const runtime::TcpSocket& data, platform::Clock& clock, std::uint32_t opened_tick) {
  clock_ = &clock;
  opened_tick_ = opened_tick;
  const bool upload = kind_ == Kind::kUpload;
  chunk_ = (kind_ != Kind::kListing && account_->UsesCredits()) || account_->IsMetered(upload)
               ? kMeteredChunk
               : kFreeChunk;
  direct_ = data.CanSendFile() && kind_ == Kind::kDownload && chunk_ == kFreeChunk;
  // Encrypted in this process, larger steps mean fewer system calls per
  // byte for the file and the socket (an upload's CPU per GiB falls by about
  // a third with 256 KiB steps). A transfer starts small, so that
  // the many small files of a session cost no large buffers, and takes the
  // larger steps once a step moved a whole chunk.
  chunk_limit_ = chunk_ == kFreeChunk && data.IsTls() && !direct_ ? kTlsChunk : chunk_;
  if (!buffer_ || buffer_size_ < chunk_) {
    buffer_ = std::make_unique_for_overwrite<char[]>(chunk_);
    buffer_size_ = chunk_;
  }
  pending_offset_ = pending_bytes_ = 0;
}

std::string TransferLoop::Abandon(const char* reason) {
  transfer_->MarkFailed();
  return Close(reason);
}

void TransferLoop::Stop(std::string reason) {
  stop_ = true;
  stop_reason_ = std::move(reason);
}

void TransferLoop::MarkFailed() {
  if (transfer_ != nullptr) transfer_->MarkFailed();
}

std::string TransferLoop::Abort() {
  if (transfer_ == nullptr) return {};
  transfer_->MarkFailed();
  std::string log = Close(replies::kReasonSessionEnded);
  // The administrator learns why a new file went away, or an existing one stays partial.
  return kind_ == Kind::kUpload ? log : std::string();
}

const char* TransferLoop::EndActivity(access::TransferState state) const {
  const bool stopped = state == access::TransferState::kStopped;
  const bool failed = state == access::TransferState::kFailed;
  switch (kind_) {
    case Kind::kUpload:
      return stopped ? replies::kActUploadStopped : failed ? replies::kActUploadFailed : replies::kActUploaded;
    case Kind::kListing: return replies::kActViewed;
    case Kind::kDownload: break;
  }
  return stopped ? replies::kActDownloadStopped : failed ? replies::kActDownloadFailed : replies::kActDownloaded;
}

std::uint64_t TransferLoop::Moved() const {
  if (transfer_ == nullptr) return sent_;
  return kind_ == Kind::kUpload ? transfer_->BytesWritten() : sent_;
}

std::string TransferLoop::Close(const char* reason) {
  TransferFigures figures;
  figures.bytes = kind_ == Kind::kUpload ? transfer_->BytesWritten() : sent_;
  if (clock_ != nullptr) figures.duration_ms = clock_->TickMs() - opened_tick_;
  outcome_.reset();
  if (kind_ != Kind::kListing) {
    const access::TransferState state = reason == nullptr ? access::TransferState::kCompleted
                                        : stop_           ? access::TransferState::kStopped
                                                          : access::TransferState::kFailed;
    outcome_ = Outcome{kind_, item_, reason == nullptr, figures, state, transfer_->FilePath()};
  }
  account_->CloseTransfer(transfer_);
  transfer_ = nullptr;
  return TransferLogText(kind_, item_, reason, figures);
}

TransferLoop::Step TransferLoop::End(Closing closing, const char* reason, std::vector<std::string> replies,
                                     bool logged) {
  if (closing == Closing::kMarkFailed) transfer_->MarkFailed();
  const access::TransferState state = reason == nullptr ? access::TransferState::kCompleted
                                      : stop_           ? access::TransferState::kStopped
                                                        : access::TransferState::kFailed;
  const std::uint64_t moved = Moved();
  std::vector<std::string> logs;
  std::string log = Close(reason);
  if (logged) logs.push_back(std::move(log));
  pending_offset_ = pending_bytes_ = 0;
  buffer_.reset();  // idle sessions keep no transfer buffer
  buffer_size_ = 0;
  Step step;
  step.ended = true;
  step.ending = Ending{std::move(replies), std::move(logs), EndActivity(state), state, moved};
  return step;
}

TransferLoop::Step TransferLoop::Next(runtime::LineSocket& data) {
  return kind_ == Kind::kUpload ? UploadStep(data) : DownloadStep(data);
}

TransferLoop::Step TransferLoop::DownloadStep(runtime::LineSocket& data) {
  const bool connected = data.GetState() == runtime::TcpSocket::State::kConnected;
  if (!connected || stop_) {
    std::vector<std::string> lines;
    if (stop_ && !stop_reason_.empty()) {
      lines.push_back(FormatText(replies::kTransferStopped, stop_reason_.c_str()));
    } else if (stop_) {
      lines = {replies::kTransferComplete, replies::kTransferAborted};
    } else {
      lines.push_back(replies::kTransferLost);
    }
    return End(Closing::kMarkFailed, replies::kReasonStoppedOrLost, std::move(lines));
  }
  if (direct_) return DirectStep(data);
  if (pending_bytes_ == 0) {
    if (transfer_->IsFinished())
      return End(Closing::kHandBack, nullptr, {replies::kTransferComplete});
    if (sent_ > 0) GrowChunk();
    const std::uint32_t grant = account_->DownloadAllowance(chunk_);
    if (grant == 0) return WaitFor(Wait::kRefill);
    std::size_t length = grant;
    std::string reason;
    if (!transfer_->Read(buffer_.get(), &length, &reason))
      return End(Closing::kMarkFailed, reason.c_str(), {FormatText(replies::kTransferFailed, reason.c_str())},
                 false);
    pending_offset_ = 0;
    pending_bytes_ = length;
  }
  Step step;
  if (pending_bytes_ > 0) {
    std::size_t sent = pending_bytes_;
    if (!data.Send(buffer_.get() + pending_offset_, &sent)) return step;  // the next step ends it
    if (sent == 0) return WaitFor(Wait::kWritable);
    pending_offset_ += sent;
    pending_bytes_ -= sent;
    sent_ += sent;
    step.progressed = true;
  }
  if (pending_bytes_ == 0 && transfer_->IsFinished()) {
    Step end = End(Closing::kHandBack, nullptr, {replies::kTransferComplete});
    end.progressed = step.progressed;
    return end;
  }
  return step;
}

TransferLoop::Step TransferLoop::DirectStep(runtime::LineSocket& data) {
  if (transfer_->IsFinished())
    return End(Closing::kHandBack, nullptr, {replies::kTransferComplete});
  std::size_t sent = kDirectStep;
  std::string reason;
  if (!transfer_->SendTo(data, &sent, &reason))
    return End(Closing::kMarkFailed, reason.c_str(), {FormatText(replies::kTransferFailed, reason.c_str())},
               false);
  sent_ += sent;
  if (data.GetState() != runtime::TcpSocket::State::kConnected) return Step{};  // the next step ends it
  if (sent == 0 && !transfer_->IsFinished()) return WaitFor(Wait::kWritable);
  Step step;
  step.progressed = sent > 0;
  if (transfer_->IsFinished()) {
    Step end = End(Closing::kHandBack, nullptr, {replies::kTransferComplete});
    end.progressed = step.progressed;
    return end;
  }
  return step;
}

TransferLoop::Step TransferLoop::UploadEnded(const runtime::LineSocket& data) {
  // The client ends an upload by ending the data connection in order. A
  // reset or a failed TLS session may have dropped bytes it sent (a client
  // that closes with bytes unread gets its unsent ones thrown away and the
  // connection reset), so the upload failed, like a lost download. Over TLS
  // an end of stream without the closing alert still completes it: many
  // clients send none after an upload, and an attacker who could forge the
  // end could cut a plain transfer short as well.
  if (data.LastStatus() == runtime::SocketStatus::kBroken)
    return End(Closing::kMarkFailed, replies::kReasonStoppedOrLost, {replies::kTransferLost});
  return End(Closing::kHandBack, nullptr, {replies::kTransferComplete});
}

TransferLoop::Step TransferLoop::UploadStep(runtime::LineSocket& data) {
  if (stop_) {
    std::vector<std::string> lines;
    if (!stop_reason_.empty()) {
      lines.push_back(FormatText(replies::kTransferStopped, stop_reason_.c_str()));
    } else {
      lines = {replies::kTransferComplete, replies::kTransferAborted};
    }
    return End(Closing::kMarkFailed, replies::kReasonStopped, std::move(lines));
  }
  if (data.GetState() != runtime::TcpSocket::State::kConnected) return UploadEnded(data);
  const std::uint32_t grant = account_->UploadAllowance(chunk_);
  if (grant == 0) return WaitFor(Wait::kRefill);
  std::size_t length = grant;
  if (!data.Receive(buffer_.get(), &length)) return UploadEnded(data);
  if (length == 0) return WaitFor(Wait::kReadable);
  std::string reason;
  if (!transfer_->Write(buffer_.get(), length, &reason)) {
    // Handed back, not aborted: what was written (all that fit) stays.
    Step end = End(Closing::kHandBack, replies::kReasonWriteFailed,
                   {FormatText(replies::kTransferFailed, reason.c_str())});
    // The account's allocation or credits stopped it: the log says which.
    if (IsAllowanceRefusal(reason))
      end.ending.logs.insert(end.ending.logs.begin(),
                             FormatText(replies::kLogUploadRefused, item_.c_str(), reason.c_str()));
    return end;
  }
  if (length == chunk_) GrowChunk();
  Step step;
  step.progressed = true;
  return step;
}

void TransferLoop::GrowChunk() {
  if (chunk_ >= chunk_limit_) return;
  chunk_ = chunk_limit_;
  if (buffer_size_ < chunk_) {
    buffer_ = std::make_unique_for_overwrite<char[]>(chunk_);
    buffer_size_ = chunk_;
  }
}

}  // namespace quillon::ftp
