// A WorkerThread that serves one accepted socket. Its listener reaps it once
// the finished flag is set: when serving ends, or when the connection has
// been idle for longer than its idle time-out (CheckIdle).
//
// Thread-safety: the finished flag, last activity, byte counters and the
// secondary socket pointer are guarded by the connection lock; the serving
// thread writes them, the listener thread reads them. The sockets themselves
// belong to the serving thread.
// Constant after construction: the idle time-out, the clock, the peer address.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/event.h"
#include "runtime/critical_section.h"
#include "runtime/limits.h"
#include "runtime/line_socket.h"
#include "runtime/worker_thread.h"

namespace quillon::runtime {

class TcpConnection : public WorkerThread {
 public:
  // Serving threads are many; they get small stacks.
  static constexpr std::size_t kStackBytes = 256 * 1024;
  // Pause between send attempts while the peer's window is full.
  static constexpr std::uint32_t kSendRetryMs = 2;
  // A closing reply to a peer that does not read is abandoned after this.
  static constexpr std::uint32_t kSendFinalLimitMs = limits::kSendFinalLimitMs;

  // Takes ownership of the accepted socket. The finished flag is set until
  // Begin() has started the thread; last activity is now.
  TcpConnection(std::unique_ptr<LineSocket> socket, std::uint32_t idle_timeout_ms,
                platform::Clock& clock);
  // REQUIRES: a derived class stops the thread in its own destructor.
  ~TcpConnection() override;

  // Starts serving. False when the thread could not start; the finished
  // flag then stays set, so the listener reaps the connection.
  [[nodiscard]] bool Begin();

  // Last activity = now, counters refreshed.
  void Touch();
  // Counters = socket + secondary socket counters, without touching.
  // REQUIRES: called on the serving thread (the sockets' owner).
  void RefreshCounters();
  // A data socket (not owned) whose traffic counts with this connection's;
  // null for none. It is shut down and closed when serving ends.
  void SetSecondarySocket(TcpSocket* socket);
  // When on (the default), every chunk that goes out also touches.
  void SetTouchOnOutput(bool on) { touch_on_output_.store(on, std::memory_order_relaxed); }
  // Sets the finished flag if the connection has been idle for longer than
  // its idle time-out (unsigned 32-bit tick difference), unless it is busy.
  // Returns how long it has left before it would be idle (kNeverIdle while
  // busy or finished).
  static constexpr std::uint32_t kNeverIdle = 0xFFFFFFFFu;
  std::uint32_t CheckIdle();
  // While busy (the server works on the peer's behalf, the peer waits), the
  // connection does not count as idle; leaving busy counts as activity and
  // sets the finished signal, so a listener looks at its new deadline.
  void SetBusy(bool busy);
  // Set (if not null) whenever serving ends, so a listener can wake.
  void SetFinishedSignal(platform::Event* signal);

  bool IsFinished() const;
  // CheckIdle found the connection idle for longer than its time-out.
  bool IdleExpired() const { return idle_expired_.load(std::memory_order_relaxed); }
  std::uint64_t BytesReceived() const;
  std::uint64_t BytesSent() const;
  std::uint32_t IdleTimeoutMs() const { return idle_timeout_ms_; }

  LineSocket& Socket() { return *socket_; }
  // The peer's address as text, as it was when the connection was accepted;
  // any thread may read it.
  const std::string& PeerAddress() const { return peer_address_; }
  platform::Clock& GetClock() const { return clock_; }

  // Sends `text` followed by CR LF. False when a stop is requested or the
  // send fails (the text may then be partly sent).
  [[nodiscard]] bool SendLine(TcpSocket& socket, std::string_view text);
  // As SendLine, but goes on after a stop request: for the closing replies
  // sent after the stop event is set. Gives up after kSendFinalLimitMs.
  bool SendFinalLine(TcpSocket& socket, std::string_view text);
  // Sends all `length` bytes, waiting while the socket takes nothing. False
  // at once when a stop is requested, between chunks when one arrives, or
  // when the send fails.
  [[nodiscard]] bool SendBuffer(TcpSocket& socket, const void* bytes, std::size_t length);
  // As SendBuffer without any stop check, bounded by kSendFinalLimitMs.
  bool SendFinalBuffer(TcpSocket& socket, const void* bytes, std::size_t length);

 protected:
  // The connection's whole life; returns when the connection is done.
  // Must watch StopRequested() / StopEvent() in every wait.
  virtual void Serve() = 0;

 private:
  void ThreadBody() final;
  void RefreshCountersLocked();
  bool SendLoop(TcpSocket& socket, const void* bytes, std::size_t length, bool final);
  bool SendLineWith(TcpSocket& socket, std::string_view text, bool final);

  const std::unique_ptr<LineSocket> socket_;
  const std::string peer_address_;
  const std::uint32_t idle_timeout_ms_;
  platform::Clock& clock_;
  std::atomic<bool> touch_on_output_{true};
  std::atomic<bool> busy_{false};
  std::atomic<bool> idle_expired_{false};

  mutable CriticalSection lock_;  // the connection lock
  bool finished_ = true;
  std::uint32_t last_activity_;
  std::uint64_t bytes_received_ = 0;
  std::uint64_t bytes_sent_ = 0;
  TcpSocket* secondary_ = nullptr;
  platform::Event* finished_signal_ = nullptr;
};

}  // namespace quillon::runtime
