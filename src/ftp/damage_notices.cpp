#include "ftp/damage_notices.h"

#include <algorithm>

namespace quillon::ftp {

std::string DamageWarningLine(const std::string& report_text) {
  return "#WARNING - DAMAGED FILE (" + report_text + ")";
}

bool DamageNotices::Add(const std::string& file, const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  for (const Notice& notice : shown_)
    if (notice.text == text) return false;
  shown_.push_back(Notice{next_number_++, file, text});
  return true;
}

std::vector<DamageNotices::Notice> DamageNotices::Shown() const {
  std::lock_guard<std::mutex> guard(lock_);
  return shown_;
}

bool DamageNotices::Acknowledge(std::uint32_t number, std::string* file) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = std::find_if(shown_.begin(), shown_.end(),
                            [number](const Notice& notice) { return notice.number == number; });
  if (found == shown_.end()) return false;
  if (file != nullptr) *file = found->file;
  shown_.erase(found);
  return true;
}

}  // namespace quillon::ftp
