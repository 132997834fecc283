// Message boxes and questions, as the desktop shows them. The desktop's
// rules (start-up, the main state) speak through this interface, so that
// tests answer the questions without a display.
//
// Thread-safety: called on the desktop's one thread only.
#pragma once

#include <string>

namespace quillon::app {

class Prompter {
 public:
  enum class Icon { kNone, kExclamation, kInformation };

  virtual ~Prompter() = default;
  // A box with an OK button.
  virtual void Tell(const std::string& text, const std::string& caption, Icon icon) = 0;
  // A box with Yes and No buttons; true for Yes.
  virtual bool Ask(const std::string& text, const std::string& caption, Icon icon) = 0;
};

}  // namespace quillon::app
