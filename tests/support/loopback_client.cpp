#include "support/loopback_client.h"

#include <chrono>

namespace quillon::testing {

namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::chrono::steady_clock::time_point Deadline(int timeout_ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
}

}  // namespace

LoopbackClient::~LoopbackClient() { Close(); }

bool LoopbackClient::Connect(std::uint16_t port, int timeout_ms, std::uint8_t from) {
  Close();
  handle_ = platform::OpenTcpSocket(nullptr);
  if (handle_ == platform::kNoSocket) return false;
  if (from != 1 && !platform::BindAddress(handle_, platform::Endpoint::Ipv4(127, 0, 0, from), nullptr)) {
    Close();
    return false;
  }
  const platform::Endpoint target = platform::Endpoint::Ipv4(127, 0, 0, 1, port);
  if (!platform::ConnectWithin(handle_, target, nullptr, static_cast<std::uint32_t>(timeout_ms),
                               nullptr)) {
    Close();
    return false;
  }
  return true;
}

bool LoopbackClient::ConnectIpv6(std::uint16_t port, int timeout_ms) {
  Close();
  handle_ = platform::OpenTcpSocket(nullptr, true);
  if (handle_ == platform::kNoSocket) return false;
  platform::Endpoint target;
  target.address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  target.port = port;
  if (!platform::ConnectWithin(handle_, target, nullptr, static_cast<std::uint32_t>(timeout_ms), nullptr)) {
    Close();
    return false;
  }
  return true;
}

bool LoopbackClient::Send(std::string_view bytes, int timeout_ms) {
  return SendWith(bytes, false, timeout_ms);
}

bool LoopbackClient::SendUrgent(std::string_view bytes, int timeout_ms) {
  return SendWith(bytes, true, timeout_ms);
}

bool LoopbackClient::SendWith(std::string_view bytes, bool urgent, int timeout_ms) {
  const auto deadline = Deadline(timeout_ms);
  while (!bytes.empty()) {
    std::size_t sent = 0;
    const platform::IoStatus status =
        urgent ? platform::SendUrgentSome(handle_, bytes.data(), bytes.size(), &sent, nullptr)
               : platform::SendSome(handle_, bytes.data(), bytes.size(), &sent, nullptr);
    if (status == platform::IoStatus::kFailed || status == platform::IoStatus::kClosed) return false;
    bytes.remove_prefix(sent);
    if (sent == 0) {
      if (RemainingMs(deadline) == 0) return false;
      platform::PollItem item;
      item.descriptor = handle_;
      item.want_write = true;
      platform::Poll(&item, 1, 10);
    }
  }
  return true;
}

bool LoopbackClient::Fill(int timeout_ms) {
  if (handle_ == platform::kNoSocket || closed_by_peer_) return false;
  platform::PollItem item;
  item.descriptor = handle_;
  item.want_read = true;
  if (platform::Poll(&item, 1, static_cast<std::uint32_t>(timeout_ms)) == 0) return false;
  char chunk[65536];
  std::size_t count = 0;
  switch (platform::ReceiveSome(handle_, chunk, sizeof chunk, &count, nullptr)) {
    case platform::IoStatus::kDone:
      pending_.append(chunk, count);
      return true;
    case platform::IoStatus::kWantRead:
    case platform::IoStatus::kWantWrite:
      return true;
    case platform::IoStatus::kClosed:
    case platform::IoStatus::kFailed:
      closed_by_peer_ = true;
      return false;
  }
  return false;
}

std::string LoopbackClient::Receive(std::size_t wanted, int timeout_ms) {
  const auto deadline = Deadline(timeout_ms);
  while (pending_.size() < wanted && Fill(RemainingMs(deadline))) {
  }
  std::string out = std::move(pending_);
  pending_.clear();
  return out;
}

std::string LoopbackClient::ReadLine(int timeout_ms) {
  const auto deadline = Deadline(timeout_ms);
  for (;;) {
    std::size_t end = pending_.find("\r\n");
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 2);
      return line;
    }
    if (!Fill(RemainingMs(deadline))) return {};
  }
}

bool LoopbackClient::WaitForClose(int timeout_ms) {
  const auto deadline = Deadline(timeout_ms);
  while (!closed_by_peer_ && RemainingMs(deadline) > 0) Fill(RemainingMs(deadline));
  return closed_by_peer_;
}

bool LoopbackClient::StaysSilent(int timeout_ms) {
  const auto deadline = Deadline(timeout_ms);
  const std::size_t before = pending_.size();
  while (RemainingMs(deadline) > 0) {
    if (!Fill(RemainingMs(deadline)) && closed_by_peer_) return false;
    if (pending_.size() != before) return false;
  }
  return true;
}

void LoopbackClient::Close() {
  platform::CloseSocket(handle_);
  handle_ = platform::kNoSocket;
  pending_.clear();
  closed_by_peer_ = false;
}

void LoopbackClient::Reset() {
  platform::CloseWithReset(handle_);
  handle_ = platform::kNoSocket;
  pending_.clear();
  closed_by_peer_ = false;
}

std::uint16_t LoopbackClient::LocalPort() const {
  platform::Endpoint endpoint;
  platform::LocalEndpoint(handle_, &endpoint);
  return endpoint.port;
}

std::uint16_t UnusedPort() {
  platform::SocketHandle probe = platform::OpenTcpSocket(nullptr);
  platform::Endpoint endpoint;
  if (platform::BindAnyAddress(probe, 0, nullptr)) platform::LocalEndpoint(probe, &endpoint);
  platform::CloseSocket(probe);
  return endpoint.port;
}

}  // namespace quillon::testing
