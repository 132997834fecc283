#include "app/update_run.h"

#include <utility>

namespace quillon::app {

UpdateRun::UpdateRun(platform::Clock& clock, update::Updater::Job job)
    : updater_(clock), job_(std::move(job)) {}

UpdateRun::~UpdateRun() { updater_.StopUpdate(); }

bool UpdateRun::Start() { return updater_.StartUpdate(job_); }

UpdateRun::Progress UpdateRun::Describe() {
  return update::DescribeUpdate(updater_.GetState(), updater_.BytesReceived(),
                                updater_.ContentLength());
}

void UpdateRun::Close(Prompter& prompter) {
  if (updater_.GetState() == update::Updater::kInstalled) {
    prompter.Tell(kFinishText, "Update Complete", Prompter::Icon::kNone);
  } else {
    updater_.StopUpdate();
  }
}

}  // namespace quillon::app
