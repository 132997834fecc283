// Message boxes of the desktop: the app's questions shown as the toolkit's
// message dialogs, over the window that is in front.
#pragma once

#include "app/prompter.h"

namespace quillon::ui {

class WxPrompter final : public app::Prompter {
 public:
  void Tell(const std::string& text, const std::string& caption, Icon icon) override;
  bool Ask(const std::string& text, const std::string& caption, Icon icon) override;
};

}  // namespace quillon::ui
