// The damaged stored files that loads found, kept as notices until an
// administrator acknowledges them. The FTP server owns one list, which the
// remote admin's status page and the desktop's status panel both show.
//
// Thread-safety: every operation takes the list's own lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace quillon::ftp {

// The service-log line (also written on standard error) for one damaged
// file: "#WARNING - DAMAGED FILE (<report text>)".
std::string DamageWarningLine(const std::string& report_text);

class DamageNotices {
 public:
  // How the status page and the desktop's status panel show a notice,
  // filled with its text.
  static constexpr const char* kNoticeFormat = "Damaged file: %s.";
  struct Notice {
    std::uint32_t number = 0;  // never 0; unique for the list's life
    std::string file;          // "config/accounts.dta"
    std::string text;          // the report's text (fileutil::DamageReport::Text)
  };

  // Adds a notice unless one with the same text is still shown. True when
  // it was added.
  bool Add(const std::string& file, const std::string& text);
  // The notices not yet acknowledged, oldest first.
  std::vector<Notice> Shown() const;
  // Takes the notice `number` off the list; false when none such is shown.
  // *file (may be null) receives its file.
  bool Acknowledge(std::uint32_t number, std::string* file = nullptr);

 private:
  mutable std::mutex lock_;
  std::vector<Notice> shown_;     // guarded by lock_
  std::uint32_t next_number_ = 1;  // guarded by lock_
};

}  // namespace quillon::ftp
