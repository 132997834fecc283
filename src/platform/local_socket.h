// Unix-domain stream sockets at a path in the file system: a local channel
// between programs of one machine that tells the listener who is calling
// (the peer's user id, from the kernel, which the caller cannot forge).
//
// Every socket made here is close-on-exec and non-blocking; the waits take
// their limit from the caller's clock, so a peer that stalls can hold a
// call no longer than the limit it was given. Sends never raise SIGPIPE.
//
// Thread-safety: one thread per object at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::platform {

class Clock;
class Event;

class LocalSocket {
 public:
  LocalSocket() = default;
  explicit LocalSocket(int descriptor) : fd_(descriptor) {}
  ~LocalSocket() { Close(); }
  LocalSocket(LocalSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  LocalSocket& operator=(LocalSocket&& other) noexcept;
  LocalSocket(const LocalSocket&) = delete;
  LocalSocket& operator=(const LocalSocket&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  // Connects to the socket at `path`. False with *error (the system's text).
  [[nodiscard]] bool Connect(const std::string& path, std::string* error);
  // The effective user id of the process at the other end, as the kernel
  // recorded it when the connection was made.
  [[nodiscard]] bool PeerUserId(std::uint32_t* uid) const;
  // Sends every byte within `timeout_ms`; false when the peer went away or
  // the time ran out.
  [[nodiscard]] bool SendAll(std::string_view bytes, Clock& clock, std::uint32_t timeout_ms);
  // Tells the peer nothing more will be sent (its read then ends).
  void EndSending();
  // Reads until the peer ends its sending. False when it sends more than
  // `max_bytes`, the connection breaks or `timeout_ms` runs out first.
  [[nodiscard]] bool ReceiveAll(std::string* bytes, std::size_t max_bytes, Clock& clock,
                                std::uint32_t timeout_ms);
  void Close();

 private:
  int fd_ = -1;
};

class LocalListener {
 public:
  // The longest socket path the system takes.
  static constexpr std::size_t kMaxPathLength = 107;

  LocalListener() = default;
  ~LocalListener() { Close(); }
  LocalListener(const LocalListener&) = delete;
  LocalListener& operator=(const LocalListener&) = delete;

  // Removes a socket or a link left at `path` (see RemoveSocketFile), then
  // listens there; the socket file is created with `mode` (no wider, the
  // process's umask notwithstanding). False with *error.
  [[nodiscard]] bool Listen(const std::string& path, unsigned mode, std::string* error);
  // Waits up to `timeout_ms` for a connection, or until `wake` is set.
  // False when none came.
  [[nodiscard]] bool Accept(LocalSocket* connection, const Event& wake, std::uint32_t timeout_ms);
  // Stops listening; the socket file stays (see RemoveSocketFile).
  void Close();

 private:
  int fd_ = -1;
};

// Removes the socket file at `path` when it is one, or a link (not what it
// points to); anything else stays.
void RemoveSocketFile(const std::string& path);
// The effective user id of this process.
std::uint32_t EffectiveUserId();

}  // namespace quillon::platform
