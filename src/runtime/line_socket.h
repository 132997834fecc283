// A TcpSocket with a receive buffer and CR LF line reading. Control
// connections, HTTP connections and FTP data connections are LineSockets.
//
// Only the pair CR LF ends a line; a lone CR or LF is part of the line. A
// peer that sends more than kMaxUnterminatedBytes without a CR LF is treated
// as having closed the connection, so no client can make the buffer grow
// without bound.
//
// Thread-safety: used by one thread at a time.
#pragma once

#include <cstddef>
#include <memory>

#include "runtime/limits.h"
#include "runtime/tcp_socket.h"

namespace quillon::runtime {

class LineSocket : public TcpSocket {
 public:
  // Most bytes taken from the network per read-line attempt.
  static constexpr std::size_t kReceiveChunk = limits::kReceiveChunk;
  static constexpr std::size_t kMaxUnterminatedBytes = limits::kMaxUnterminatedLine;

  LineSocket() = default;

  // Buffered bytes first (no network call, kOk); the network only when the
  // buffer is empty.
  bool Receive(void* buffer, std::size_t* length) override;
  // Closes and empties the buffer.
  void Close() override;

  // Copies the next complete line, without its CR LF, into `buffer` and
  // terminates it with a zero byte. A line longer than size - 1 bytes is cut
  // to size - 1 bytes and the rest of it is discarded.
  // True with kOk. False with: kLineBufferTooSmall when size < 2; kNoLine
  // when no complete line has arrived yet; the receive's status when the
  // connection ended or was not connected (kClosed also when the
  // unterminated line passed kMaxUnterminatedBytes: the socket is closed).
  [[nodiscard]] bool ReadLine(char* buffer, std::size_t size);

  // Forgets the bytes received but not yet read.
  void DiscardBuffered() { begin_ = end_ = scanned_ = 0; }
  // Bytes received but not yet read.
  std::size_t BufferedBytes() const { return end_ - begin_; }

 private:
  // Makes room for kReceiveChunk more bytes after end_.
  void ReserveChunk();
  // Searches [scanned_, end_) for CR LF; the position of the CR or end_.
  std::size_t FindLineEnd();

  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;    // first unread byte
  std::size_t end_ = 0;      // one past the last received byte
  std::size_t scanned_ = 0;  // bytes before this hold no CR LF start
};

}  // namespace quillon::runtime
