#include "runtime/connection_listener.h"

#include <algorithm>

#include "platform/net.h"

namespace quillon::runtime {

ConnectionListener::ConnectionListener(std::uint32_t cap, platform::Clock& clock)
    : cap_(cap), clock_(clock) {
  clock_.WakeOnAdvance(&wake_);
}

ConnectionListener::~ConnectionListener() {
  Stop();
  clock_.StopWakingOnAdvance(&wake_);
}

bool ConnectionListener::Start(std::uint16_t port) {
  CriticalSection::Guard control(control_lock_);
  if (IsRunning()) return false;
  {
    CriticalSection::Guard table(table_lock_);  // control lock, then table lock
    const bool listening = listening_socket_.ListenOn(port);
    open_error_ = listening_socket_.ListenErrorNumber();
    if (!listening) return false;
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
  }
  // The thread has ended, so its parked connections are ours now.
  for (auto& connection : closing_) connections.push_back(std::move(connection));
  closing_.clear();
  DeleteAll(&connections);
}

bool ConnectionListener::ChangePort(std::uint16_t port) {
  CriticalSection::Guard control(control_lock_);
  CriticalSection::Guard table(table_lock_);  // control lock, then table lock
  if (!IsRunning()) return false;
  if (listening_socket_.GetState() == TcpSocket::State::kListening && listening_socket_.LocalPort() == port)
    return true;
  TcpSocket fresh;
  const bool listening = fresh.ListenOn(port);
  open_error_ = fresh.ListenErrorNumber();
  if (!listening) return false;
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

int ConnectionListener::OpenErrorNumber() {
  CriticalSection::Guard table(table_lock_);
  return open_error_;
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

void ConnectionListener::OnAcceptFailure(int) {}

std::uint32_t ConnectionListener::ReapInto(Table* reaped) {
  CriticalSection::Guard table(table_lock_);
  std::size_t kept = 0;
  std::uint32_t next_deadline = TcpConnection::kNeverIdle;
  for (std::size_t i = 0; i < table_.size(); ++i) {
    TcpConnection& connection = *table_[i];
    next_deadline = std::min(next_deadline, connection.CheckIdle());
    if (connection.IsFinished()) {
      received_total_ += connection.BytesReceived();
      sent_total_ += connection.BytesSent();
      connection.RequestStop();
      reaped->push_back(std::move(table_[i]));
    } else {
      if (kept != i) table_[kept] = std::move(table_[i]);
      ++kept;
    }
  }
  table_.resize(kept);
  return next_deadline;
}

std::size_t ConnectionListener::OldestToGiveWayLocked() {
  // The table keeps the order of the accepts: the first match is the oldest.
  for (std::size_t i = 0; i < table_.size(); ++i)
    if (!table_[i]->IsFinished() && MayGiveWayToNewcomer(*table_[i])) return i;
  return kNoConnection;
}

void ConnectionListener::ParkLocked(std::size_t index) {
  TcpConnection& connection = *table_[index];
  received_total_ += connection.BytesReceived();
  sent_total_ += connection.BytesSent();
  connection.RequestStop();
  closing_.push_back(std::move(table_[index]));
  table_.erase(table_.begin() + static_cast<std::ptrdiff_t>(index));
}

void ConnectionListener::DeleteEnded() {
  std::erase_if(closing_, [](const std::unique_ptr<TcpConnection>& connection) {
    return !connection->IsRunning();  // deleting it joins a thread that has returned
  });
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
    const std::uint32_t next_deadline = ReapInto(&reaped);
    // Reaped connections say goodbye on their own threads; they are parked
    // and deleted once they have ended, so nothing here waits for a peer.
    for (auto& connection : reaped) closing_.push_back(std::move(connection));
    reaped.clear();
    DeleteEnded();
    if (StopRequested()) return;

    platform::SocketHandle wait_for_accept = platform::kNoSocket;
    std::uint32_t pause = closing_.empty() ? next_deadline : std::min(next_deadline, kPassIntervalMs);
    {
      CriticalSection::Guard table(table_lock_);
      // At the cap, a newcomer is taken only in place of a connection that
      // may give way to it.
      const bool room = table_.size() < cap_ || OldestToGiveWayLocked() != kNoConnection;
      if (room && listening_socket_.GetState() == TcpSocket::State::kListening) {
        if (listening_socket_.AcceptInto(incoming_)) {
          accept_failing_ = false;
          auto socket = std::make_unique<LineSocket>();
          socket->AssignFrom(incoming_);
          // Chosen again: one may have stopped giving way since the look above
          // (the newcomer is then closed at once).
          const std::size_t gives_way = table_.size() < cap_ ? kNoConnection : OldestToGiveWayLocked();
          if (table_.size() < cap_ || gives_way != kNoConnection) {
            if (std::unique_ptr<TcpConnection> connection = CreateConnection(std::move(socket))) {
              if (gives_way != kNoConnection) ParkLocked(gives_way);
              connection->SetFinishedSignal(&wake_);
              table_.push_back(std::move(connection));
            }
          }
          continue;  // straight to the next pass
        }
        if (listening_socket_.LastStatus() == SocketStatus::kAcceptFailed) {
          // The connection stays pending, so the socket stays readable:
          // waiting on it would spin. Pause instead.
          if (!accept_failing_) OnAcceptFailure(listening_socket_.AcceptErrorNumber());
          accept_failing_ = true;
          pause = kAcceptFailurePauseMs;
        } else {
          wait_for_accept = listening_socket_.Handle();
        }
      }
    }
    // Parked connections wake this loop when they end; the pass interval
    // bounds how long a parked one waits for its deletion. No deadline at
    // all is an endless wait.
    platform::PollItem items[3];
    items[0].descriptor = wait_for_accept;
    items[0].want_read = true;
    items[1].descriptor = StopEvent().PollDescriptor();
    items[1].want_read = true;
    items[2].descriptor = wake_.PollDescriptor();
    items[2].want_read = true;
    platform::Poll(items, 3, pause == TcpConnection::kNeverIdle ? platform::kWaitForever : pause);
  }
}

}  // namespace quillon::runtime
