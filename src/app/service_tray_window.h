// The hidden window of the service process, which on a desktop would carry a
// notification-area icon. A Linux service has no notification area: the
// window exists, and adding its icon always reports failure, so no icon is
// ever shown. The service loop therefore does not tick it (a tick could
// only fail again); OnTimer keeps the behaviour for a shell that has one.
//
// Thread-safety: used by the service main thread only.
#pragma once

#include <cstdint>

namespace quillon::app {

inline constexpr const char* kServiceWindowCaption = "Quillon FTP Server (NT Service)";

class ServiceTrayWindow {
 public:
  static constexpr std::uint32_t kTimerMs = 500;

  // `icon_removed_for_good`: the icon must never be added (the setting to
  // show it is off).
  explicit ServiceTrayWindow(bool icon_removed_for_good)
      : icon_removed_for_good_(icon_removed_for_good) {}

  bool Create();
  bool Exists() const { return exists_; }
  // The timer tick: keeps the icon up to date, or tries to add it.
  void OnTimer();
  // Removes the icon (if shown) for good and destroys the window.
  void Destroy();

  bool IconShown() const { return icon_shown_; }
  std::uint32_t AddAttempts() const { return add_attempts_; }

 private:
  bool AddIcon();

  bool icon_removed_for_good_;
  bool exists_ = false;
  bool icon_shown_ = false;
  std::uint32_t add_attempts_ = 0;
};

}  // namespace quillon::app
