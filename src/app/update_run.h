// The desktop's "Updating" run: an update of the program file, what its
// dialog shows on each tick, and what the dialog's one button does.
//
// Thread-safety: the desktop's thread only; the updater's own thread is
// read under its lock.
#pragma once

#include <string>

#include "app/prompter.h"
#include "platform/clock.h"
#include "update/updater.h"

namespace quillon::app {

class UpdateRun {
 public:
  // The status line, the bar's percent and whether the update has ended.
  using Progress = update::UpdateProgress;
  static constexpr const char* kFinishText =
      "To finish the update process, please close Quillon FTP Server\nand reload.";

  // The update's deadlines are counted by `clock`.
  UpdateRun(platform::Clock& clock, update::Updater::Job job);
  // Stops an update still under way.
  ~UpdateRun();
  UpdateRun(const UpdateRun&) = delete;
  UpdateRun& operator=(const UpdateRun&) = delete;

  // Starts fetching; false when the updater's thread could not start.
  [[nodiscard]] bool Start();
  Progress Describe();
  // The button: an installed update tells how to finish it, any other
  // update is stopped, waiting for its thread.
  void Close(Prompter& prompter);

 private:
  update::Updater updater_;
  const update::Updater::Job job_;
};

}  // namespace quillon::app
