#include "ftp/event_runner.h"

#include <algorithm>
#include <utility>

#include "platform/process.h"
#include "runtime/worker_thread.h"

namespace quillon::ftp {

namespace {

using Guard = runtime::CriticalSection::Guard;

constexpr const char* kEventKeys[] = {"on_upload", "on_download", "on_login", "on_delete"};
constexpr const char* kEventNames[] = {"upload", "download", "login", "delete"};
// How often a waiting job looks at its stop request and its deadline.
constexpr std::uint32_t kWaitStepMs = 100;
// How long a killed program is given to be reaped.
constexpr std::uint32_t kKilledWaitMs = 10'000;
constexpr std::size_t kJobStackBytes = 256 * 1024;

}  // namespace

// One program's run, on its own thread.
class EventRunner::Job final : public runtime::WorkerThread {
 public:
  Job(EventRunner& runner, std::string key, std::string program, std::vector<std::string> environment,
      std::uint32_t timeout_ms)
      : WorkerThread(kJobStackBytes),
        runner_(runner),
        key_(std::move(key)),
        program_(std::move(program)),
        environment_(std::move(environment)),
        timeout_ms_(timeout_ms),
        // The limit counts from the event, not from whenever this thread
        // gets to start the program.
        deadline_ms_(runner.clock_.MonotonicMs() + timeout_ms) {}
  ~Job() override { Stop(kStopWaitMs); }

  bool Ended() const { return ended_.load(); }

 private:
  void ThreadBody() override {
    Run();
    ended_.store(true);
  }

  void Run() {
    platform::LimitedChild child;
    std::string error;
    if (!child.Start(program_, environment_, &error)) {
      runner_.Report("#WARNING - EVENT PROGRAM NOT STARTED (" + key_ + ": " + program_ + ": " + error + ")");
      return;
    }
    platform::Clock& clock = runner_.clock_;
    platform::LimitedChild::End end;
    for (;;) {
      const std::uint64_t now = clock.MonotonicMs();
      if (StopRequested() || now >= deadline_ms_) {
        child.KillGroup();
        [[maybe_unused]] const bool reaped = child.Wait(kKilledWaitMs, &end);
        if (!StopRequested())
          runner_.Report("#WARNING - EVENT PROGRAM KILLED (" + key_ + ": " + program_ + " ran longer than " +
                         std::to_string(timeout_ms_ / 1000) + " s)");
        return;
      }
      const auto step = static_cast<std::uint32_t>(std::min<std::uint64_t>(kWaitStepMs, deadline_ms_ - now));
      if (child.Wait(step, &end)) break;
    }
    if (end.exited && end.exit_code == 0) return;
    runner_.Report("#WARNING - EVENT PROGRAM FAILED (" + key_ + ": " + program_ + " ended with " +
                   (end.exited ? "exit code " + std::to_string(end.exit_code)
                               : "signal " + std::to_string(end.signal)) +
                   ")");
  }

  EventRunner& runner_;
  const std::string key_;
  const std::string program_;
  const std::vector<std::string> environment_;
  const std::uint32_t timeout_ms_;
  const std::uint64_t deadline_ms_;
  std::atomic<bool> ended_{false};
};

EventRunner::EventRunner(platform::Clock& clock) : clock_(clock) {}

EventRunner::~EventRunner() { StopAll(); }

EventRunner::Rules EventRunner::RulesFrom(const settings::ExtraSettings& extra) {
  Rules rules;
  for (int event = 0; event < kEvents; ++event) rules.programs[event] = extra.EventProgram(static_cast<Event>(event));
  rules.timeout_ms = extra.EventTimeoutSeconds() * 1000;
  rules.max_running = extra.EventMaxRunning();
  // Root runs no program for a server that is to serve as another user.
  if (platform::IsSuperUser() && extra.RunAsUser() != "root")
    rules.refusal = "the server runs as root but serves as " + extra.RunAsUser();
  return rules;
}

void EventRunner::SetRules(Rules rules) {
  Guard guard(lock_);
  rules_ = std::move(rules);
}

void EventRunner::SetReporter(Reporter reporter) { reporter_ = std::move(reporter); }

void EventRunner::Report(const std::string& line) {
  if (reporter_) reporter_(line);
}

const char* EventRunner::EventName(Event event) { return kEventNames[static_cast<int>(event)]; }

std::vector<std::string> EventRunner::Environment(const Facts& facts) {
  return {
      std::string("QUILLON_EVENT=") + EventName(facts.event),
      "QUILLON_USER=" + facts.user,
      "QUILLON_PATH=" + facts.disk_path,
      "QUILLON_VIRTUAL_PATH=" + facts.virtual_path,
      "QUILLON_SIZE=" + (facts.size_known ? std::to_string(facts.size) : std::string()),
      "QUILLON_REMOTE_IP=" + facts.remote_ip,
      "QUILLON_SESSION_ID=" + std::to_string(facts.session_id),
      "PATH=/usr/local/bin:/usr/bin:/bin",
  };
}

void EventRunner::Post(const Facts& facts) {
  const int index = static_cast<int>(facts.event);
  std::string line;
  {
    Guard guard(lock_);
    const std::string& program = rules_.programs[index];
    if (program.empty()) return;
    ReapLocked();
    if (!rules_.refusal.empty()) {
      line = "#WARNING - EVENT PROGRAM NOT RUN (" + std::string(kEventKeys[index]) + ": " + rules_.refusal + ")";
    } else if (jobs_.size() >= rules_.max_running) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      line = "#WARNING - EVENT DROPPED (" + std::string(kEventKeys[index]) + ": " + std::to_string(jobs_.size()) +
             " event programs are running)";
    } else {
      auto job = std::make_unique<Job>(*this, kEventKeys[index], program, Environment(facts), rules_.timeout_ms);
      if (job->Start()) {
        jobs_.push_back(std::move(job));
        return;
      }
      line = "#WARNING - EVENT PROGRAM NOT STARTED (" + std::string(kEventKeys[index]) + ": no thread)";
    }
  }
  Report(line);
}

void EventRunner::ReapLocked() {
  std::erase_if(jobs_, [](const std::unique_ptr<Job>& job) { return job->Ended(); });
}

void EventRunner::StopAll() {
  std::vector<std::unique_ptr<Job>> jobs;
  {
    Guard guard(lock_);
    jobs.swap(jobs_);
  }
  for (auto& job : jobs) job->RequestStop();
  jobs.clear();  // each waits for its thread
}

std::size_t EventRunner::RunningCount() {
  Guard guard(lock_);
  ReapLocked();
  return jobs_.size();
}

}  // namespace quillon::ftp
