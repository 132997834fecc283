#include "runtime/tcp_connection.h"

#include <cstring>
#include <string>

namespace quillon::runtime {

TcpConnection::TcpConnection(std::unique_ptr<LineSocket> socket, std::uint32_t idle_timeout_ms,
                             platform::Clock& clock)
    : WorkerThread(kStackBytes),
      socket_(std::move(socket)),
      peer_address_(socket_->PeerAddressText()),
      idle_timeout_ms_(idle_timeout_ms),
      clock_(clock),
      last_activity_(clock.TickMs()) {}

TcpConnection::~TcpConnection() { Stop(kStopWaitMs); }

bool TcpConnection::Begin() {
  // Cleared before the thread starts: a thread that ends at once must be
  // able to set the flag again without this call overwriting it.
  {
    CriticalSection::Guard guard(lock_);
    finished_ = false;
  }
  if (Start()) return true;
  CriticalSection::Guard guard(lock_);
  finished_ = true;
  return false;
}

void TcpConnection::ThreadBody() {
  Serve();
  CriticalSection::Guard guard(lock_);
  finished_ = true;
  RefreshCountersLocked();
  if (secondary_ != nullptr) secondary_->Shutdown();
  socket_->Shutdown();
  if (finished_signal_ != nullptr) finished_signal_->Set();
}

void TcpConnection::Touch() {
  CriticalSection::Guard guard(lock_);
  last_activity_ = clock_.TickMs();
  RefreshCountersLocked();
}

void TcpConnection::RefreshCounters() {
  CriticalSection::Guard guard(lock_);
  RefreshCountersLocked();
}

void TcpConnection::RefreshCountersLocked() {
  bytes_received_ = socket_->BytesReceived();
  bytes_sent_ = socket_->BytesSent();
  if (secondary_ != nullptr) {
    bytes_received_ += secondary_->BytesReceived();
    bytes_sent_ += secondary_->BytesSent();
  }
}

void TcpConnection::SetSecondarySocket(TcpSocket* socket) {
  CriticalSection::Guard guard(lock_);
  secondary_ = socket;
}

std::uint32_t TcpConnection::CheckIdle() {
  CriticalSection::Guard guard(lock_);
  if (busy_.load(std::memory_order_relaxed) || finished_) return kNeverIdle;
  const std::uint32_t quiet = clock_.TickMs() - last_activity_;
  if (quiet > idle_timeout_ms_) {
    finished_ = true;
    idle_expired_.store(true, std::memory_order_relaxed);
    return kNeverIdle;
  }
  return idle_timeout_ms_ - quiet + 1;
}

void TcpConnection::SetBusy(bool busy) {
  if (!busy) Touch();
  busy_.store(busy, std::memory_order_relaxed);
  if (!busy) {
    CriticalSection::Guard guard(lock_);
    if (finished_signal_ != nullptr) finished_signal_->Set();
  }
}

void TcpConnection::SetFinishedSignal(platform::Event* signal) {
  CriticalSection::Guard guard(lock_);
  finished_signal_ = signal;
}

bool TcpConnection::IsFinished() const {
  CriticalSection::Guard guard(lock_);
  return finished_;
}

std::uint64_t TcpConnection::BytesReceived() const {
  CriticalSection::Guard guard(lock_);
  return bytes_received_;
}

std::uint64_t TcpConnection::BytesSent() const {
  CriticalSection::Guard guard(lock_);
  return bytes_sent_;
}

bool TcpConnection::SendLine(TcpSocket& socket, std::string_view text) {
  return SendLineWith(socket, text, false);
}

bool TcpConnection::SendFinalLine(TcpSocket& socket, std::string_view text) {
  return SendLineWith(socket, text, true);
}

bool TcpConnection::SendLineWith(TcpSocket& socket, std::string_view text, bool final) {
  // One buffer, so a reply leaves in one segment; replies are short, so the
  // stack buffer is the usual case.
  char local[512];
  std::string spill;
  char* line = local;
  if (text.size() + 2 > sizeof local) {
    spill.resize(text.size() + 2);
    line = spill.data();
  }
  std::memcpy(line, text.data(), text.size());
  line[text.size()] = '\r';
  line[text.size() + 1] = '\n';
  return SendLoop(socket, line, text.size() + 2, final);
}

bool TcpConnection::SendBuffer(TcpSocket& socket, const void* bytes, std::size_t length) {
  return SendLoop(socket, bytes, length, false);
}

bool TcpConnection::SendFinalBuffer(TcpSocket& socket, const void* bytes, std::size_t length) {
  return SendLoop(socket, bytes, length, true);
}

bool TcpConnection::SendLoop(TcpSocket& socket, const void* bytes, std::size_t length,
                             bool final) {
  if (!final && StopRequested()) return false;
  const auto* data = static_cast<const char*>(bytes);
  const std::uint32_t started = clock_.TickMs();
  std::size_t done = 0;
  while (done < length) {
    std::size_t chunk = length - done;
    if (!socket.Send(data + done, &chunk)) return false;
    done += chunk;
    if (chunk == 0) {
      if (final && clock_.TickMs() - started >= kSendFinalLimitMs) return false;
      // Wait for room, but wake at once for a stop request.
      socket.WaitWritable(final ? nullptr : &StopEvent(), kSendRetryMs);
    } else if (touch_on_output_.load(std::memory_order_relaxed)) {
      Touch();
    }
    if (!final && done < length && StopRequested()) return false;
  }
  return true;
}

}  // namespace quillon::runtime
