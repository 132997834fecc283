#include "runtime/connection_listener.h"

#include "platform/net.h"

namespace quillon::runtime {

ConnectionListener::ConnectionListener(std::uint32_t cap) : cap_(cap) {}

ConnectionListener::~ConnectionListener() { Stop(); }

bool ConnectionListener::Start(std::uint16_t port) {
  CriticalSection::Guard control(control_lock_);
  if (IsRunning()) return false;
  {
    CriticalSection::Guard table(table_lock_);  // control lock, then table lock
    if (!listening_socket_.ListenOn(port)) return false;
  }
  if (WorkerThread::Start()) return true;
  CriticalSection::Guard table(table_lock_);
  listening_socket_.Close();
  return false;
}

void ConnectionListener::Stop() {
  CriticalSection::Guard control(control_lock_);
  WorkerThread::Stop(kStopWaitMs);
  Table connections;
  {
    CriticalSection::Guard table(table_lock_);  // control lock, then table lock
    listening_socket_.Close();
    connections.swap(table_);
    DeleteAll(&connections);
  }
}

bool ConnectionListener::ChangePort(std::uint16_t port) {
  CriticalSection::Guard control(control_lock_);
  CriticalSection::Guard table(table_lock_);  // control lock, then table lock
  if (!IsRunning()) return false;
  if (listening_socket_.GetState() == TcpSocket::kListening && listening_socket_.LocalPort() == port)
    return true;
  TcpSocket fresh;
  if (!fresh.ListenOn(port)) return false;
  listening_socket_.AssignFrom(fresh);
  wake_.Set();
  return true;
}

void ConnectionListener::SetCap(std::uint32_t cap) {
  CriticalSection::Guard control(control_lock_);
  CriticalSection::Guard table(table_lock_);  // control lock, then table lock
  cap_ = cap;
  wake_.Set();
}

bool ConnectionListener::IsPortAvailable(std::uint32_t port) {
  if (port > 65535) return false;
  if (IsRunning() && LocalPort() == port) return true;
  TcpSocket probe;
  return probe.ListenOn(static_cast<std::uint16_t>(port));
}

std::uint16_t ConnectionListener::LocalPort() {
  CriticalSection::Guard control(control_lock_);
  CriticalSection::Guard table(table_lock_);  // control lock, then table lock
  return listening_socket_.LocalPort();
}

std::uint32_t ConnectionListener::ConnectionCount() {
  CriticalSection::Guard table(table_lock_);
  return static_cast<std::uint32_t>(table_.size());
}

std::uint32_t ConnectionListener::KbReceived() { return RoundToKb(true); }

std::uint32_t ConnectionListener::KbSent() { return RoundToKb(false); }

std::uint32_t ConnectionListener::RoundToKb(bool received) {
  CriticalSection::Guard control(control_lock_);
  CriticalSection::Guard table(table_lock_);  // control lock, then table lock
  std::uint64_t total = received ? received_total_ : sent_total_;
  for (const auto& connection : table_)
    total += received ? connection->BytesReceived() : connection->BytesSent();
  return static_cast<std::uint32_t>((total + 512) / 1024);
}

void ConnectionListener::ForEachConnection(const std::function<void(TcpConnection&)>& visit) {
  CriticalSection::Guard table(table_lock_);
  for (const auto& connection : table_) visit(*connection);
}

void ConnectionListener::ReapInto(Table* reaped) {
  CriticalSection::Guard table(table_lock_);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < table_.size(); ++i) {
    TcpConnection& connection = *table_[i];
    connection.CheckIdle();
    if (connection.IsFinished()) {
      received_total_ += connection.BytesReceived();
      sent_total_ += connection.BytesSent();
      reaped->push_back(std::move(table_[i]));
    } else {
      if (kept != i) table_[kept] = std::move(table_[i]);
      ++kept;
    }
  }
  table_.resize(kept);
}

void ConnectionListener::DeleteAll(Table* connections) {
  for (auto& connection : *connections) connection->RequestStop();
  for (auto& connection : *connections) connection->Stop(kStopWaitMs);
  connections->clear();
}

void ConnectionListener::ThreadBody() {
  Table reaped;
  for (;;) {
    wake_.Reset();
    ReapInto(&reaped);
    // Idle connections may take a while to say goodbye; they do it outside
    // the table lock so status queries and accepts do not wait for them.
    if (!reaped.empty()) DeleteAll(&reaped);
    if (StopRequested()) return;

    platform::SocketHandle wait_for_accept = platform::kNoSocket;
    {
      CriticalSection::Guard table(table_lock_);
      if (table_.size() < cap_ && listening_socket_.GetState() == TcpSocket::kListening) {
        if (listening_socket_.AcceptInto(incoming_)) {
          auto socket = std::make_unique<LineSocket>();
          socket->AssignFrom(incoming_);
          if (std::unique_ptr<TcpConnection> connection = CreateConnection(std::move(socket))) {
            connection->SetFinishedSignal(&wake_);
            table_.push_back(std::move(connection));
          }
          continue;  // straight to the next pass
        }
        wait_for_accept = listening_socket_.Handle();
      }
    }
    platform::PollItem items[3];
    items[0].descriptor = wait_for_accept;
    items[0].want_read = true;
    items[1].descriptor = StopEvent().PollDescriptor();
    items[1].want_read = true;
    items[2].descriptor = wake_.PollDescriptor();
    items[2].want_read = true;
    platform::Poll(items, 3, kPassIntervalMs);
  }
}

}  // namespace quillon::runtime
