// The database that several servers share (PostgreSQL): the schema, one
// connection for statements from any thread, and a thread with a second
// connection that listens for the other servers' changes, renews this
// server's session leases and sends its notices.
//
// Tables: quillon_records (accounts and groups; see SharedRecords) and
// quillon_sessions (one lease per logged-in session: server, session,
// account, expiry). Channels: quillon_records ("<server> <kind> <key>")
// and quillon_failures ("<server> <address>").
//
// A lost connection makes Available() false (logins are refused), logs
// "Account Database Lost: Reason=[...]" once, and is tried again after 1 s,
// then twice as long each time, at most 30 s; once back it logs
// "Account Database Connected", listens again and has every store loaded
// again (what changed meanwhile was not notified).
//
// Thread-safety: public operations may be called from any thread. Lock
// order: the query lock is taken alone or after a SharedRecords lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "access/shared_sessions.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/postgres.h"
#include "runtime/critical_section.h"
#include "runtime/worker_thread.h"

namespace quillon::cluster {

class SharedDatabase : public runtime::WorkerThread, public access::SharedSessions {
 public:
  static constexpr std::uint32_t kFirstRetryMs = 1000;
  static constexpr std::uint32_t kLastRetryMs = 30'000;
  static constexpr const char* kRecordsChannel = "quillon_records";
  static constexpr const char* kFailuresChannel = "quillon_failures";

  struct Hooks {
    std::function<void(const std::string& line)> log;
    // Another server changed a record: its kind ('a' or 'g') and key.
    std::function<void(char kind, const std::string& key)> record_changed;
    // The connection came back: every store must be loaded again.
    std::function<void()> reconnected;
    // Another server saw a failed login from this address.
    std::function<void(const runtime::IpAddress& address)> failure;
  };

  // `lease_seconds`: how long a lease lasts unless renewed (renewed at a
  // third of it).
  SharedDatabase(std::string url, std::uint32_t lease_seconds, platform::Clock& clock);
  ~SharedDatabase() override;

  // Connects, makes the schema when missing and starts the thread. False
  // with *error when the first connection fails; the thread then runs and
  // keeps trying. `hooks` are set before the thread starts.
  [[nodiscard]] bool Open(Hooks hooks, std::string* error);
  // Connects and makes the schema when missing, without the thread: for a
  // tool that reads or writes the records once. False with *error.
  [[nodiscard]] bool Connect(std::string* error);
  void Close();

  // Runs `work` on the statement connection under its lock. A broken
  // connection is opened again once first. False with *error when the
  // database cannot be reached or `work` fails.
  using Work = std::function<bool(platform::PgConnection& connection, std::string* error)>;
  [[nodiscard]] bool Run(const Work& work, std::string* error);

  // This process's name among the servers (random, new at each start).
  const std::string& ServerId() const { return server_id_; }

  // SharedSessions
  bool Available() const override { return available_.load(std::memory_order_acquire); }
  Lease TakeLease(std::string_view account, const void* session, std::uint32_t max_sessions) override;
  void DropLease(const void* session) override;
  void PublishFailure(const runtime::IpAddress& address) override;

  // The key of a record name: its bytes in hex, A-Z folded (names may hold
  // any bytes; look-ups ignore A-Z case).
  static std::string KeyOf(std::string_view name);
  // Makes the tables and the lease function when missing.
  [[nodiscard]] static bool MakeSchema(platform::PgConnection& connection, std::string* error);

 protected:
  void ThreadBody() override;

 private:
  bool ConnectListener(std::string* error);
  // Takes the notifications that arrived; false when the connection broke.
  bool DispatchNotifications(std::string* error);
  bool SendOutgoing(std::string* error);
  bool RenewLeases(std::string* error);
  void SetAvailable(bool available, const std::string& reason);
  void Log(const std::string& line) const;
  static std::string SessionKey(const void* session);

  const std::string url_;
  const std::uint32_t lease_seconds_;
  platform::Clock& clock_;
  std::string server_id_;
  Hooks hooks_;  // set before the thread starts

  mutable runtime::CriticalSection query_lock_;
  platform::PgConnection query_;  // guarded by query_lock_

  runtime::CriticalSection state_lock_;
  std::set<std::string> leases_;             // guarded by state_lock_: held here
  std::vector<std::string> outgoing_;        // guarded by state_lock_: failure notices to send
  platform::Event outgoing_ready_;
  std::atomic<bool> available_{false};
  std::atomic<bool> ever_connected_{false};
  std::atomic<bool> loss_logged_{false};  // since the last connection

  platform::PgConnection listener_;  // used by the thread only
};

}  // namespace quillon::cluster
