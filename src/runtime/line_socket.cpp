#include "runtime/line_socket.h"

#include <algorithm>
#include <cstring>

namespace quillon::runtime {

namespace {
// A buffer that grew for one long line is given back once it empties.
constexpr std::size_t kKeepCapacity = 4 * LineSocket::kReceiveChunk;
}  // namespace

bool LineSocket::Receive(void* buffer, std::size_t* length) {
  if (begin_ == end_) return ReceiveRaw(buffer, length);
  const std::size_t n = std::min(*length, end_ - begin_);
  std::memcpy(buffer, data_.get() + begin_, n);
  begin_ += n;
  if (begin_ == end_) begin_ = end_ = 0;
  scanned_ = std::max(scanned_, begin_);
  *length = n;
  SetStatus(SocketStatus::kOk);
  return true;
}

void LineSocket::Close() {
  TcpSocket::Close();
  begin_ = end_ = scanned_ = 0;
  if (capacity_ > kKeepCapacity) {
    data_.reset();
    capacity_ = 0;
  }
}

void LineSocket::ReserveChunk() {
  if (capacity_ - end_ >= kReceiveChunk) return;
  const std::size_t used = end_ - begin_;
  if (begin_ > 0) {
    // Slide the unread bytes to the front before growing.
    std::memmove(data_.get(), data_.get() + begin_, used);
    scanned_ -= begin_;
    begin_ = 0;
    end_ = used;
    if (capacity_ - end_ >= kReceiveChunk) return;
  }
  std::size_t grown = std::max(capacity_ * 2, kReceiveChunk);
  while (grown - end_ < kReceiveChunk) grown *= 2;
  auto bigger = std::make_unique_for_overwrite<char[]>(grown);
  if (used > 0) std::memcpy(bigger.get(), data_.get(), used);
  data_ = std::move(bigger);
  capacity_ = grown;
}

std::size_t LineSocket::FindLineEnd() {
  const char* data = data_.get();
  std::size_t at = scanned_;
  while (at + 1 < end_) {
    const void* cr = std::memchr(data + at, '\r', end_ - 1 - at);
    if (cr == nullptr) break;
    at = static_cast<std::size_t>(static_cast<const char*>(cr) - data);
    if (data[at + 1] == '\n') return at;
    ++at;
  }
  // A CR in the last byte may yet be followed by LF: scan it again next time.
  scanned_ = end_ > begin_ ? end_ - 1 : end_;
  return end_;
}

bool LineSocket::ReadLine(char* buffer, std::size_t size) {
  if (size < 2) {
    SetStatus(SocketStatus::kLineBufferTooSmall);
    return false;
  }
  std::size_t line_end = begin_ < end_ ? FindLineEnd() : end_;
  if (line_end == end_) {
    // Making room may slide the unread bytes to the front: the line end is
    // looked for again in the moved bytes, never taken from before.
    ReserveChunk();
    std::size_t length = kReceiveChunk;
    if (!ReceiveRaw(data_.get() + end_, &length)) return false;
    end_ += length;
    line_end = length != 0 ? FindLineEnd() : end_;
    if (line_end == end_) {
      if (end_ - begin_ > kMaxUnterminatedBytes) {
        Close();
        SetStatus(SocketStatus::kClosed);
        return false;
      }
      SetStatus(SocketStatus::kNoLine);
      return false;
    }
  }
  const std::size_t copied = std::min(line_end - begin_, size - 1);
  std::memcpy(buffer, data_.get() + begin_, copied);
  buffer[copied] = '\0';
  begin_ = line_end + 2;
  if (begin_ == end_) begin_ = end_ = 0;
  scanned_ = begin_;
  SetStatus(SocketStatus::kOk);
  return true;
}

}  // namespace quillon::runtime
