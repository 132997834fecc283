// Running totals of what the FTP service has done since it was made, read
// by the metrics: logins, file transfers and their bytes, TLS handshakes.
// Sessions add to them on their own threads, on the transfer path too, so
// every figure is a relaxed atomic: no lock, no order between figures.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "access/activity_record.h"

namespace quillon::access {

class ServerCounters {
 public:
  enum class Direction { kUpload = 0, kDownload = 1 };
  static constexpr int kDirections = 2;
  // kCompleted, kStopped and kFailed of TransferState.
  static constexpr int kResults = 3;

  void CountLogin(bool succeeded) { Add(succeeded ? logins_ : failed_logins_, 1); }
  // File bytes a transfer moved: received for an upload, sent for a download.
  void CountTransferBytes(Direction direction, std::uint64_t bytes) {
    Add(transfer_bytes_[static_cast<int>(direction)], bytes);
  }
  // A file transfer ended so (kRunning and kNone are not counted).
  void CountTransferEnd(Direction direction, TransferState state);
  void CountTlsHandshake(bool succeeded) { Add(succeeded ? tls_handshakes_ : tls_failures_, 1); }

  std::uint64_t Logins() const { return Get(logins_); }
  std::uint64_t FailedLogins() const { return Get(failed_logins_); }
  std::uint64_t TransferBytes(Direction direction) const {
    return Get(transfer_bytes_[static_cast<int>(direction)]);
  }
  // `result`: 0 completed, 1 stopped, 2 failed.
  std::uint64_t TransfersEnded(Direction direction, int result) const {
    return Get(transfers_[static_cast<int>(direction)][result]);
  }
  std::uint64_t TlsHandshakes() const { return Get(tls_handshakes_); }
  std::uint64_t TlsFailures() const { return Get(tls_failures_); }

 private:
  using Counter = std::atomic<std::uint64_t>;
  static void Add(Counter& counter, std::uint64_t amount) { counter.fetch_add(amount, std::memory_order_relaxed); }
  static std::uint64_t Get(const Counter& counter) { return counter.load(std::memory_order_relaxed); }

  Counter logins_{0};
  Counter failed_logins_{0};
  Counter transfer_bytes_[kDirections] = {};
  Counter transfers_[kDirections][kResults] = {};
  Counter tls_handshakes_{0};
  Counter tls_failures_{0};
};

}  // namespace quillon::access
