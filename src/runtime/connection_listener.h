// The accepting half of a server: one listening socket, an accept loop on
// its own thread, and a table of the connections it accepted. Each pass of
// the loop reaps connections that have finished or been idle too long, then
// accepts at most one new connection while the table is below its cap. A
// derived class builds each connection in CreateConnection(). At the cap, a
// derived class may name connections that a newcomer may replace
// (MayGiveWayToNewcomer): the oldest of them is then dropped for each new
// connection, so peers that hold slots without using them cannot lock others
// out.
//
// The accept loop never waits for a connection: a reaped connection is
// asked to stop and parked until its thread has ended (a closing reply to a
// peer that does not read may take seconds), and is deleted on a later pass
// once deleting it no longer waits.
//
// Thread-safety: public operations may be called from any thread.
// Lock order: control lock, then table lock. The accept loop takes only the
// table lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "runtime/critical_section.h"
#include "runtime/line_socket.h"
#include "runtime/tcp_connection.h"
#include "runtime/worker_thread.h"

namespace quillon::runtime {

class ConnectionListener : public WorkerThread {
 public:
  // The accept loop sleeps until the earliest idle deadline of its
  // connections; accepts, finished connections, stop requests, the end of a
  // busy spell and cap or port changes wake it at once. With nothing to
  // wait for it does not wake at all. While reaped connections wind down it
  // looks again after this pause, to delete them once they have ended.
  static constexpr std::uint32_t kPassIntervalMs = 250;
  // Pause after an accept that failed outright (no descriptors or buffers
  // left), during which the pending connection waits in the backlog.
  static constexpr std::uint32_t kAcceptFailurePauseMs = 100;

  // `clock`: the clock of the connections' idle deadlines.
  ConnectionListener(std::uint32_t cap, platform::Clock& clock);
  // REQUIRES: a derived class whose CreateConnection uses its own members
  // calls Stop() in its own destructor.
  ~ConnectionListener() override;

  // At most this many listen addresses are used.
  static constexpr std::size_t kMaxListenAddresses = 6;

  // The local addresses to listen on from the next Start or ChangePort on
  // (dotted IPv4 or IPv6 texts, at most kMaxListenAddresses); none, the
  // default, is every address of both families.
  void SetListenAddresses(std::vector<std::string> addresses);
  // Listens on `port` (on the listen addresses, the system's maximum
  // backlog) and starts the accept loop. False when already running, or when the
  // port cannot be opened or the thread cannot start (nothing runs then).
  [[nodiscard]] bool Start(std::uint16_t port);
  // errno of the port that the last Start or ChangePort could not open (0
  // when it opened, or when something else failed).
  int OpenErrorNumber();
  // Stops the accept loop, closes the listening socket and deletes every
  // connection (their traffic is not added to the totals).
  void Stop();

  // For the whole process: while held, every listener listens but accepts
  // nothing (peers wait in the backlog). A server started as root holds
  // accepts from before its ports open until it serves as its own user, so
  // no session writes a file as root that the user must later change.
  // Released at the start.
  static void HoldAccepts();
  static void ReleaseAccepts();

  // Moves the listener to `port` while it runs. Same port: true, nothing
  // reopened. When the new port cannot be opened the old socket stays in use
  // and the result is false; false also when not running.
  [[nodiscard]] bool ChangePort(std::uint16_t port);
  void SetCap(std::uint32_t cap);
  // True when the listener already listens on `port`, or when sockets can
  // listen on it now on the listen addresses (the probes are closed again
  // at once).
  bool IsPortAvailable(std::uint32_t port);

  std::uint16_t LocalPort();
  std::uint32_t ConnectionCount();
  // Traffic of the whole run, reaped and current connections, rounded to the
  // nearest KB.
  std::uint32_t KbReceived();
  std::uint32_t KbSent();

 protected:
  // Builds and begins the connection for an accepted socket, or returns
  // null to drop it. Called on the listener thread.
  virtual std::unique_ptr<TcpConnection> CreateConnection(
      std::unique_ptr<LineSocket> accepted) = 0;
  // Calls `visit` for every connection in the table, under the table lock.
  void ForEachConnection(const std::function<void(TcpConnection&)>& visit);
  // Whether `connection` may be dropped to make room for a new connection
  // while the table is at its cap. Called on the listener thread under the
  // table lock; must not wait. The default: never.
  virtual bool MayGiveWayToNewcomer(TcpConnection& /*connection*/) { return false; }
  // Called on the listener thread when accepting starts to fail outright
  // (`error` is the errno); once per run of failures. Best effort.
  virtual void OnAcceptFailure(int error);

 private:
  using Table = std::vector<std::unique_ptr<TcpConnection>>;
  using Sockets = std::vector<std::unique_ptr<TcpSocket>>;

  // Opens a listening socket on `port` for each of `addresses` (one for
  // every address when there are none). False, none open and *error the
  // errno, when one cannot be opened.
  static bool OpenSockets(const std::vector<std::string>& addresses, std::uint16_t port, Sockets* sockets,
                          int* error);
  // Makes the connection for the socket just accepted into incoming_, unless
  // the cap leaves no room. REQUIRES: table lock held, listener thread.
  void TakeIncomingLocked();

  void ThreadBody() override;
  // Moves finished and idle connections out of the table, adding their
  // traffic to the totals first, and asks each to stop. Holds the table lock.
  // Returns the time until the next of the others would be idle.
  std::uint32_t ReapInto(Table* reaped);
  // Deletes the parked connections whose threads have ended.
  void DeleteEnded();
  // The index of the oldest connection that may give way to a newcomer, or
  // kNoConnection. REQUIRES: table lock held.
  static constexpr std::size_t kNoConnection = static_cast<std::size_t>(-1);
  std::size_t OldestToGiveWayLocked();
  // Moves table_[index] to the parked connections, its traffic added to the
  // totals, and asks it to stop. REQUIRES: table lock held, listener thread.
  void ParkLocked(std::size_t index);
  // Wakes them all first, so they wind down side by side.
  static void DeleteAll(Table* connections);
  std::uint32_t RoundToKb(bool received);

  CriticalSection control_lock_;
  CriticalSection table_lock_;
  std::vector<std::string> listen_addresses_;  // guarded by control_lock_
  std::vector<std::string> opened_addresses_;  // guarded by table_lock_: those listening_ opened with
  Sockets listening_;                // guarded by table_lock_; the first one's port is the port
  Table table_;                      // guarded by table_lock_
  std::uint64_t received_total_ = 0; // guarded by table_lock_
  std::uint64_t sent_total_ = 0;     // guarded by table_lock_
  std::uint32_t cap_;                // guarded by table_lock_
  int open_error_ = 0;               // guarded by table_lock_
  platform::Clock& clock_;
  LineSocket incoming_;              // listener thread only: accept target
  Table closing_;                    // listener thread only (Stop once it ended): reaped, still winding down
  bool accept_failing_ = false;      // listener thread only: a failure was reported
  std::size_t next_socket_ = 0;      // listener thread only: the socket looked at first
  platform::Event wake_;             // set when a connection finishes or the setup changes
};

}  // namespace quillon::runtime
