#include "runtime/connection_listener.h"

#include <algorithm>

#include "platform/net.h"

namespace quillon::runtime {

namespace {
// Open unless held; made once, never destroyed, as listeners of static
// lifetime may still look at it while the process ends.
platform::Event& AcceptGate() {
  static platform::Event* const gate = [] {
    auto* event = new platform::Event();
    event->Set();
    return event;
  }();
  return *gate;
}
}  // namespace

ConnectionListener::ConnectionListener(std::uint32_t cap, platform::Clock& clock)
    : cap_(cap), clock_(clock) {
  clock_.WakeOnAdvance(&wake_);
}

ConnectionListener::~ConnectionListener() {
  Stop();
  clock_.StopWakingOnAdvance(&wake_);
}

void ConnectionListener::SetListenAddresses(std::vector<std::string> addresses) {
  CriticalSection::Guard control(control_lock_);
  listen_addresses_ = std::move(addresses);
}

bool ConnectionListener::OpenSockets(const std::vector<std::string>& addresses, std::uint16_t port,
                                     Sockets* sockets, int* error) {
  sockets->clear();
  *error = 0;
  if (addresses.empty()) {
    auto socket = std::make_unique<TcpSocket>();
    const bool listening = socket->ListenOn(port);
    *error = socket->ListenErrorNumber();
    if (!listening) return false;
    sockets->push_back(std::move(socket));
    return true;
  }
  for (const std::string& address : addresses) {
    auto socket = std::make_unique<TcpSocket>();
    // Port 0: the system chooses for the first address, the rest take the same.
    const std::uint16_t wanted = sockets->empty() ? port : sockets->front()->LocalPort();
    const bool listening = socket->ListenOnAddress(address, wanted);
    *error = socket->ListenErrorNumber();
    if (!listening) {
      sockets->clear();
      return false;
    }
    sockets->push_back(std::move(socket));
  }
  return true;
}

bool ConnectionListener::Start(std::uint16_t port) {
  CriticalSection::Guard control(control_lock_);
  if (IsRunning()) return false;
  {
    CriticalSection::Guard table(table_lock_);  // control lock, then table lock
    if (!OpenSockets(listen_addresses_, port, &listening_, &open_error_)) return false;
    opened_addresses_ = listen_addresses_;
  }
  if (WorkerThread::Start()) return true;
  CriticalSection::Guard table(table_lock_);
  listening_.clear();
  return false;
}

void ConnectionListener::Stop() {
  CriticalSection::Guard control(control_lock_);
  WorkerThread::Stop(kStopWaitMs);
  Table connections;
  {
    CriticalSection::Guard table(table_lock_);  // control lock, then table lock
    listening_.clear();
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
  if (!listening_.empty() && listening_.front()->LocalPort() == port && opened_addresses_ == listen_addresses_)
    return true;
  Sockets fresh;
  if (!OpenSockets(listen_addresses_, port, &fresh, &open_error_)) {
    // The old sockets stay, unless they hold this very port for other
    // addresses: then they close first, and open again if the new ones
    // still cannot.
    if (listening_.empty() || listening_.front()->LocalPort() != port) return false;
    // The accept loop may be waiting on them, which keeps a socket that is
    // only closed listening: shutting it down ends that at once.
    for (auto& socket : listening_) platform::ShutdownBoth(socket->Handle());
    listening_.clear();
    if (!OpenSockets(listen_addresses_, port, &fresh, &open_error_)) {
      int ignored = 0;
      [[maybe_unused]] const bool reopened = OpenSockets(opened_addresses_, port, &listening_, &ignored);
      return false;
    }
  }
  listening_.swap(fresh);
  for (auto& old : fresh) platform::ShutdownBoth(old->Handle());  // as above
  opened_addresses_ = listen_addresses_;
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
  CriticalSection::Guard control(control_lock_);
  Sockets probes;
  int error = 0;
  return OpenSockets(listen_addresses_, static_cast<std::uint16_t>(port), &probes, &error);
}

int ConnectionListener::OpenErrorNumber() {
  CriticalSection::Guard table(table_lock_);
  return open_error_;
}

std::uint16_t ConnectionListener::LocalPort() {
  CriticalSection::Guard control(control_lock_);
  CriticalSection::Guard table(table_lock_);  // control lock, then table lock
  return listening_.empty() ? 0 : listening_.front()->LocalPort();
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

void ConnectionListener::HoldAccepts() { AcceptGate().Reset(); }

void ConnectionListener::ReleaseAccepts() { AcceptGate().Set(); }

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
    if (!AcceptGate().IsSet()) {
      // Accepts are held: look again when they are released, or after a
      // pass to notice a stop.
      [[maybe_unused]] const bool released = AcceptGate().Wait(kPassIntervalMs);
      continue;
    }

    // The sockets to wait on, and after them the stop and wake events.
    platform::PollItem items[kMaxListenAddresses + 2];
    std::size_t waits = 0;
    std::uint32_t pause = closing_.empty() ? next_deadline : std::min(next_deadline, kPassIntervalMs);
    {
      CriticalSection::Guard table(table_lock_);
      // At the cap, a newcomer is taken only in place of a connection that
      // may give way to it.
      const bool room = table_.size() < cap_ || OldestToGiveWayLocked() != kNoConnection;
      bool accepted = false;
      for (std::size_t i = 0; room && !accepted && i < listening_.size(); ++i) {
        TcpSocket& listening = *listening_[(next_socket_ + i) % listening_.size()];
        if (listening.GetState() != TcpSocket::State::kListening) continue;
        if (listening.AcceptInto(incoming_)) {
          // The next pass looks at the next socket first, so a busy one
          // cannot starve the others.
          next_socket_ = (next_socket_ + i + 1) % listening_.size();
          accepted = true;
          TakeIncomingLocked();
        } else if (listening.LastStatus() == SocketStatus::kAcceptFailed) {
          // The connection stays pending, so the socket stays readable:
          // waiting on it would spin. Pause instead.
          if (!accept_failing_) OnAcceptFailure(listening.AcceptErrorNumber());
          accept_failing_ = true;
          pause = kAcceptFailurePauseMs;
          waits = 0;
          break;
        } else if (waits < kMaxListenAddresses) {
          items[waits].descriptor = listening.Handle();
          items[waits].want_read = true;
          ++waits;
        }
      }
      if (accepted) continue;  // straight to the next pass
    }
    // Parked connections wake this loop when they end; the pass interval
    // bounds how long a parked one waits for its deletion. No deadline at
    // all is an endless wait.
    items[waits].descriptor = StopEvent().PollDescriptor();
    items[waits].want_read = true;
    items[waits + 1].descriptor = wake_.PollDescriptor();
    items[waits + 1].want_read = true;
    platform::Poll(items, waits + 2, pause == TcpConnection::kNeverIdle ? platform::kWaitForever : pause);
  }
}

void ConnectionListener::TakeIncomingLocked() {
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
}

}  // namespace quillon::runtime
