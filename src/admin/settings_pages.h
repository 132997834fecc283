// The general settings pages of the remote admin: the server-wide FTP
// settings shown in a form, and the form's processor, which checks the
// values, applies them to the running server and saves them.
//
// Thread-safety: any request thread; the settings are read, checked and
// stored through control::SettingsControl.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "admin/admin_handler.h"
#include "admin/form_refusal.h"
#include "control/settings_control.h"

namespace quillon::admin {

class SettingsPages {
 public:
  // Registers _gensettings and _processgensettings with `handler`, which
  // must outlive this object.
  explicit SettingsPages(AdminHandler& handler);

 private:
  // The form showing `settings`, with `refusal` beside its field.
  void Page(http::HttpRequest& request, const std::string& id, const control::SettingsSnapshot& settings,
            const FormRefusal& refusal);
  void Process(http::HttpRequest& request, const std::string& id);

  AdminHandler& handler_;
};

}  // namespace quillon::admin
