// Runs the programs that quillon.conf names for events (on_upload,
// on_download, on_login, on_delete), each on a small worker thread of its
// own, so a session posts its event and goes on at once: the transfer and
// the reply never wait for a program.
//
// A program runs with no arguments but its own path (no shell, nothing
// interpolated) and the event's facts in its environment:
//   QUILLON_EVENT          upload, download, login or delete
//   QUILLON_USER           the account
//   QUILLON_PATH           the file on disk ("" for a login)
//   QUILLON_VIRTUAL_PATH   the file as the client named it ("" for a login)
//   QUILLON_SIZE           the file's bytes (moved, for a transfer; "" when
//                          unknown)
//   QUILLON_REMOTE_IP      the client's address
//   QUILLON_SESSION_ID     the session's number
//   PATH                   /usr/local/bin:/usr/bin:/bin
// as the process's own user (the serving user: a server that is still root
// but serves as another user runs none), its input and output on /dev/null.
// At the time limit its process group is killed. At most a set number run at
// once; an event beyond them is dropped, never queued. A program that cannot
// start, exits other than with 0, or is killed is reported as one line.
//
// Thread-safety: every operation may be called from any thread; the runner's
// lock guards the rules and the jobs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "runtime/critical_section.h"
#include "settings/extra_settings.h"

namespace quillon::ftp {

class EventRunner {
 public:
  using Event = settings::ExtraSettings::Event;
  static constexpr int kEvents = 4;

  struct Facts {
    Event event = Event::kUpload;
    std::string user;
    std::string disk_path;
    std::string virtual_path;
    bool size_known = false;
    std::uint64_t size = 0;
    std::string remote_ip;
    std::uint32_t session_id = 0;
  };

  struct Rules {
    std::string programs[kEvents];  // by Event; "" for none
    std::uint32_t timeout_ms = settings::ExtraSettings::kDefaultEventTimeoutSeconds * 1000;
    std::uint32_t max_running = settings::ExtraSettings::kDefaultEventMaxRunning;
    // Why no program may run ("" when they may): a server that is root but
    // serves as another user has not switched yet.
    std::string refusal;
  };

  // Takes each report line (a "#WARNING - ..." line of the service log).
  using Reporter = std::function<void(const std::string& line)>;

  explicit EventRunner(platform::Clock& clock);
  // Kills the running programs and waits for their threads.
  ~EventRunner();
  EventRunner(const EventRunner&) = delete;
  EventRunner& operator=(const EventRunner&) = delete;

  // The rules from the settings as they are now, for events posted from now
  // on (the programs running keep their limits).
  static Rules RulesFrom(const settings::ExtraSettings& extra);
  void SetRules(Rules rules);
  // REQUIRES: set before events are posted, or null.
  void SetReporter(Reporter reporter);

  // Starts the event's program, if it has one, and returns at once.
  void Post(const Facts& facts);
  // Kills every running program and waits for their threads.
  void StopAll();

  std::size_t RunningCount();
  // Events dropped because too many programs ran.
  std::uint64_t DroppedCount() const { return dropped_.load(std::memory_order_relaxed); }

  // The environment a program gets for `facts`.
  static std::vector<std::string> Environment(const Facts& facts);
  // "upload", "download", "login" or "delete".
  static const char* EventName(Event event);

 private:
  class Job;

  void Report(const std::string& line);
  // Joins and forgets the jobs whose programs have ended. REQUIRES: lock_ held.
  void ReapLocked();

  platform::Clock& clock_;
  runtime::CriticalSection lock_;
  Rules rules_;                              // guarded by lock_
  std::vector<std::unique_ptr<Job>> jobs_;   // guarded by lock_
  Reporter reporter_;                        // set before use
  std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace quillon::ftp
