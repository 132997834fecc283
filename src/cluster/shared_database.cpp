#include "cluster/shared_database.h"

#include <algorithm>
#include <cstdio>

#include "fileutil/text.h"
#include "platform/fs.h"
#include "platform/net.h"

namespace quillon::cluster {

using Guard = runtime::CriticalSection::Guard;

namespace {

// Made by the first server that connects; each statement is idempotent, and
// the transaction's advisory lock keeps two servers from making them at once.
constexpr const char* kSchema = R"sql(
SELECT pg_advisory_xact_lock(7271010);
CREATE TABLE IF NOT EXISTS quillon_records (
  kind text NOT NULL CHECK (kind IN ('a', 'g')),
  key text NOT NULL,
  record bytea NOT NULL,
  ipv6 text NOT NULL DEFAULT '',
  credits bigint NOT NULL CHECK (credits BETWEEN 0 AND 4294967295),
  PRIMARY KEY (kind, key));
CREATE TABLE IF NOT EXISTS quillon_sessions (
  server text NOT NULL,
  session text NOT NULL,
  account text NOT NULL,
  expires timestamptz NOT NULL,
  PRIMARY KEY (server, session));
CREATE INDEX IF NOT EXISTS quillon_sessions_account ON quillon_sessions (account);
CREATE OR REPLACE FUNCTION quillon_take_lease(p_server text, p_session text, p_account text,
                                              p_max integer, p_seconds integer) RETURNS boolean AS $$
BEGIN
  -- One account's leases are counted and taken one server at a time.
  PERFORM pg_advisory_xact_lock(hashtext('quillon_lease:' || p_account));
  IF p_max > 0 AND (SELECT count(*) FROM quillon_sessions
                    WHERE account = p_account AND expires > clock_timestamp()) >= p_max THEN
    RETURN false;
  END IF;
  INSERT INTO quillon_sessions VALUES (p_server, p_session, p_account,
                                       clock_timestamp() + make_interval(secs => p_seconds))
    ON CONFLICT (server, session) DO UPDATE SET account = EXCLUDED.account, expires = EXCLUDED.expires;
  RETURN true;
END $$ LANGUAGE plpgsql;
)sql";

}  // namespace

SharedDatabase::SharedDatabase(std::string url, std::uint32_t lease_seconds, platform::Clock& clock)
    : url_(std::move(url)), lease_seconds_(std::max<std::uint32_t>(lease_seconds, 3)), clock_(clock) {
  unsigned char id[8] = {};
  if (!platform::RandomBytes(id, sizeof id)) {
    // Unique enough among the servers of one database without the system's randomness.
    const std::uint64_t now = clock_.WallTimeNs() ^ (reinterpret_cast<std::uintptr_t>(this) << 16);
    for (std::size_t i = 0; i < sizeof id; ++i) id[i] = static_cast<unsigned char>(now >> (8 * i));
  }
  server_id_ = fileutil::LowerHex(std::string_view(reinterpret_cast<const char*>(id), sizeof id));
}

SharedDatabase::~SharedDatabase() { Close(); }

std::string SharedDatabase::KeyOf(std::string_view name) {
  std::string folded(name);
  std::transform(folded.begin(), folded.end(), folded.begin(), fileutil::FoldCase);
  return fileutil::LowerHex(folded);
}

std::string SharedDatabase::SessionKey(const void* session) {
  char text[32];
  std::snprintf(text, sizeof text, "%jx", static_cast<std::uintmax_t>(reinterpret_cast<std::uintptr_t>(session)));
  return text;
}

bool SharedDatabase::MakeSchema(platform::PgConnection& connection, std::string* error) {
  return connection.ExecScript(kSchema, error);
}

bool SharedDatabase::Connect(std::string* error) {
  Guard guard(query_lock_);
  const bool connected = query_.Connect(url_, error) && MakeSchema(query_, error);
  if (!connected) query_.Close();
  return connected;
}

bool SharedDatabase::Open(Hooks hooks, std::string* error) {
  hooks_ = std::move(hooks);
  const bool connected = Connect(error);
  if (!connected) SetAvailable(false, *error);
  if (!Start()) {
    if (connected) *error = "the database thread could not be started";
    return false;
  }
  return connected;
}

void SharedDatabase::Close() {
  Stop(kStopWaitMs);
  listener_.Close();
  Guard guard(query_lock_);
  query_.Close();
}

bool SharedDatabase::Run(const Work& work, std::string* error) {
  Guard guard(query_lock_);
  if (!query_.IsOpen()) {
    // While the listener finds the database gone, statements fail at once
    // instead of each waiting for a connection attempt.
    if (ever_connected_ && !Available()) {
      *error = "the account database cannot be reached";
      return false;
    }
    if (!query_.Connect(url_, error)) return false;
  }
  return work(query_, error);
}

access::SharedSessions::Lease SharedDatabase::TakeLease(std::string_view account, const void* session,
                                                        std::uint32_t max_sessions) {
  if (!Available()) return Lease::kUnavailable;
  const std::string key = SessionKey(session);
  {
    // Held before it is written, so a renewal meanwhile does not remove it.
    Guard guard(state_lock_);
    leases_.insert(key);
  }
  bool taken = false;
  std::string error;
  const bool ran = Run(
      [&](platform::PgConnection& db, std::string* failed) {
        std::vector<platform::PgConnection::Row> rows;
        if (!db.Exec("SELECT quillon_take_lease($1, $2, $3, $4, $5)",
                     {server_id_, key, KeyOf(account), std::to_string(std::min<std::uint32_t>(max_sessions, INT32_MAX)),
                      std::to_string(lease_seconds_)},
                     &rows, failed))
          return false;
        taken = !rows.empty() && rows[0].size() == 1 && rows[0][0] == "t";
        return true;
      },
      &error);
  if (ran && taken) return Lease::kTaken;
  {
    Guard guard(state_lock_);
    leases_.erase(key);
  }
  return ran ? Lease::kFull : Lease::kUnavailable;
}

void SharedDatabase::DropLease(const void* session) {
  const std::string key = SessionKey(session);
  {
    Guard guard(state_lock_);
    if (leases_.erase(key) == 0) return;
  }
  // A lease that cannot be removed now is removed by the next renewal, or
  // runs out with the server.
  std::string error;
  [[maybe_unused]] const bool dropped = Run(
      [&](platform::PgConnection& db, std::string* failed) {
        return db.Exec("DELETE FROM quillon_sessions WHERE server = $1 AND session = $2", {server_id_, key},
                       nullptr, failed);
      },
      &error);
}

void SharedDatabase::PublishFailure(const runtime::IpAddress& address) {
  {
    Guard guard(state_lock_);
    // A flood of failures while the database is away must not grow without bound.
    if (outgoing_.size() >= 1000) return;
    outgoing_.push_back(server_id_ + " " + address.Text());
  }
  outgoing_ready_.Set();
}

void SharedDatabase::Log(const std::string& line) const {
  if (hooks_.log) hooks_.log(line);
}

void SharedDatabase::SetAvailable(bool available, const std::string& reason) {
  const bool was = available_.exchange(available, std::memory_order_acq_rel);
  if (available && !was) {
    Log("Account Database Connected");
    loss_logged_ = false;
    ever_connected_ = true;
  } else if (!available && !loss_logged_.exchange(true)) {
    // Said once per loss (and once for a database not reached at the start),
    // not at every attempt.
    Log(fileutil::FormatText("Account Database Lost: Reason=[%s]", reason.c_str()));
  }
}

bool SharedDatabase::ConnectListener(std::string* error) {
  if (!listener_.Connect(url_, error) || !MakeSchema(listener_, error) ||
      !listener_.ExecScript(std::string("LISTEN ") + kRecordsChannel + "; LISTEN " + kFailuresChannel, error)) {
    listener_.Close();
    return false;
  }
  return true;
}

bool SharedDatabase::RenewLeases(std::string* error) {
  std::string held = "{";
  {
    Guard guard(state_lock_);
    for (const std::string& key : leases_) held += (held.size() > 1 ? "," : "") + key;
  }
  held += "}";
  return listener_.Exec("UPDATE quillon_sessions SET expires = clock_timestamp() + make_interval(secs => $2) "
                        "WHERE server = $1 AND session = ANY($3::text[])",
                        {server_id_, std::to_string(lease_seconds_), held}, nullptr, error) &&
         listener_.Exec("DELETE FROM quillon_sessions WHERE server = $1 AND NOT (session = ANY($2::text[]))",
                        {server_id_, held}, nullptr, error);
}

bool SharedDatabase::SendOutgoing(std::string* error) {
  std::vector<std::string> notices;
  {
    Guard guard(state_lock_);
    outgoing_ready_.Reset();
    notices.swap(outgoing_);
  }
  for (std::size_t i = 0; i < notices.size(); ++i) {
    if (!listener_.Exec("SELECT pg_notify($1, $2)", {kFailuresChannel, notices[i]}, nullptr, error)) {
      // Kept for the next connection.
      Guard guard(state_lock_);
      outgoing_.insert(outgoing_.begin(), notices.begin() + static_cast<std::ptrdiff_t>(i), notices.end());
      return false;
    }
  }
  return true;
}

bool SharedDatabase::DispatchNotifications(std::string* error) {
  std::string channel, payload;
  while (listener_.TakeNotification(&channel, &payload, error)) {
    const std::size_t space = payload.find(' ');
    if (space == std::string::npos || payload.compare(0, space, server_id_) == 0) continue;  // our own
    const std::string rest = payload.substr(space + 1);
    if (channel == kRecordsChannel && rest.size() > 2 && rest[1] == ' ' && hooks_.record_changed) {
      hooks_.record_changed(rest[0], rest.substr(2));
    } else if (channel == kFailuresChannel && hooks_.failure) {
      if (const std::optional<runtime::IpAddress> address = runtime::IpAddress::Parse(rest)) hooks_.failure(*address);
    }
  }
  return error->empty();
}

void SharedDatabase::ThreadBody() {
  std::uint32_t retry_ms = kFirstRetryMs;
  std::uint64_t next_renewal_ms = 0;
  const std::uint64_t renewal_ms = lease_seconds_ * 1000ull / 3;
  while (!StopRequested()) {
    std::string error;
    if (!listener_.IsOpen()) {
      bool connected = ConnectListener(&error);
      if (connected) {
        Guard guard(query_lock_);
        connected = query_.IsOpen() || query_.Connect(url_, &error);
      }
      if (!connected) {
        listener_.Close();
        SetAvailable(false, error);
        if (StopEvent().Wait(retry_ms)) return;
        retry_ms = std::min(retry_ms * 2, kLastRetryMs);
        continue;
      }
      retry_ms = kFirstRetryMs;
      next_renewal_ms = 0;
      // Listening already: a change made from now on is not missed by the load.
      if (hooks_.reconnected) hooks_.reconnected();
      SetAvailable(true, "");
    }
    const std::uint64_t now = clock_.MonotonicMs();
    bool ok = true;
    if (now >= next_renewal_ms) {
      ok = RenewLeases(&error);
      next_renewal_ms = now + renewal_ms;
    }
    if (ok) {
      platform::PollItem items[3];
      items[0].descriptor = listener_.Descriptor();
      items[1].descriptor = outgoing_ready_.PollDescriptor();
      items[2].descriptor = StopEvent().PollDescriptor();
      for (platform::PollItem& item : items) item.want_read = true;
      const std::uint64_t wait = next_renewal_ms > now ? next_renewal_ms - now : 0;
      platform::Poll(items, 3, static_cast<std::uint32_t>(std::min<std::uint64_t>(wait, renewal_ms)));
      if (StopRequested()) return;
      ok = DispatchNotifications(&error) && SendOutgoing(&error);
    }
    if (!ok) {
      listener_.Close();
      {
        // The statement connection is surely gone too; it is opened again
        // once the listener is back.
        Guard guard(query_lock_);
        query_.Close();
      }
      SetAvailable(false, error);
    }
  }
}

}  // namespace quillon::cluster
