#include "admin/settings_pages.h"

#include <utility>
#include <vector>

#include "http/http_text.h"
#include "control/settings_control.h"

namespace quillon::admin {

namespace {

using http::EscapeHtml;
using http::HttpRequest;
using http::ReadFormNumber;
using Method = HttpRequest::Method;
using control::SettingsControl;
using control::SettingsFault;
using control::SettingsScope;
using control::SettingsSnapshot;

// The check boxes: form field and the value it sets.
struct CheckBox {
  std::string_view field;
  std::string_view placeholder;
  bool SettingsSnapshot::*flag;
};
constexpr CheckBox kCheckBoxes[] = {
    {"useuploadspeed", "USEUPLOADSPEED", &SettingsSnapshot::use_max_upload},
    {"usedownloadspeed", "USEDOWNLOADSPEED", &SettingsSnapshot::use_max_download},
    {"usemaxusers", "USEMAXUSERS", &SettingsSnapshot::use_max_users},
    {"usemaxusersperip", "USEMAXUSERSPERIP", &SettingsSnapshot::use_max_per_ip},
    {"usepasschange", "USEPASSCHANGE", &SettingsSnapshot::allow_pass_change},
    {"usesitetosite", "USESITETOSITE", &SettingsSnapshot::allow_site_to_site},
    {"usestoptimeout", "USETIMEOUTSTOP", &SettingsSnapshot::block_timeout_stopping},
    {"useantihammer", "USEANTIHAMMER", &SettingsSnapshot::anti_hammering},
    {"usedeletetobin", "USEDELETETOBIN", &SettingsSnapshot::delete_to_recycle_bin},
    {"usebannedfiles", "USEBANNEDFILES", &SettingsSnapshot::use_banned},
};

// The page's text for each fault of the general settings; the texts travel
// in the error page's address, HTML-escaped.
const char* RefusalText(SettingsFault fault) {
  switch (fault) {
    case SettingsFault::kWelcomeEmpty: return "Please give a welcome message.";
    case SettingsFault::kWelcomeIllegalChars:
      return "The welcome message contains some illegal characters. Illegal characters include: "
             "%26quot%3B*%3A,%3B'%3F%26lt%3B%26gt%3B,|";
    case SettingsFault::kHelpEmpty: return "Please give a help message.";
    case SettingsFault::kHelpIllegalChars:
      return "The help message contains some illegal characters. Illegal characters include: "
             "%26quot%3B*%3A,%3B'%3F%26lt%3B%26gt%3B,|";
    case SettingsFault::kPortOutOfRange: return "Please specify a FTP port value between 1 and 65535.";
    case SettingsFault::kPortInUse: return "The FTP port is already in use.";
    case SettingsFault::kUploadSpeedZero: return "Please specify an maximum upload speed greater than 0.";
    case SettingsFault::kDownloadSpeedZero:
      return "Please specify an maximum download speed greater than 0.";
    case SettingsFault::kMaxUsersZero: return "Please specify a maximum number of users greater than 0.";
    case SettingsFault::kMaxPerIpZero:
      return "Please specify a maximum number of users per IP greater than 0.";
    case SettingsFault::kIdleTooShort:
      return "Please specify an idle time-out value greater than or equal to 5.";
    default: return "";  // the remote admin's own fields are not on this page
  }
}

}  // namespace

SettingsPages::SettingsPages(AdminHandler& handler) : handler_(handler) {
  handler.AddRoute(Method::kGet, "/_gensettings",
                   [this](HttpRequest& request, const std::string& id) { Page(request, id); });
  handler.AddRoute(Method::kPost, "/_processgensettings",
                   [this](HttpRequest& request, const std::string& id) { Process(request, id); });
}

void SettingsPages::Page(HttpRequest& request, const std::string& id) {
  SettingsControl control(handler_.Server());
  const SettingsSnapshot settings = control.Read();
  std::vector<std::pair<std::string_view, std::string>> values = {
      {"WELCOMEMSG", EscapeHtml(settings.welcome)},
      {"HELPMSG", EscapeHtml(settings.help)},
      {"PORT", std::to_string(static_cast<int>(settings.port))},
      {"IDLE", std::to_string(settings.idle_timeout)},
      {"UPLOADSPEED", std::to_string(settings.max_upload_kb)},
      {"DOWNLOADSPEED", std::to_string(settings.max_download_kb)},
      {"MAXUSERS", std::to_string(settings.max_users)},
      {"MAXUSERSPERIP", std::to_string(settings.max_per_ip)},
      {"BANNEDFILES", EscapeHtml(settings.banned)},
  };
  for (const CheckBox& box : kCheckBoxes) values.emplace_back(box.placeholder, settings.*box.flag ? "checked" : "");
  // The settings of quillon.conf, shown but not changed here: the server
  // often runs as a user that may not write that file.
  const std::pair<std::string_view, const char*> extra_keys[] = {
      {"PASSIVEPORTS", "passive_ports"},
      {"PASSIVEADDRESS", "passive_address"},
      {"RUNASUSER", "run_as_user"},
      {"TRASHMAXMB", "trash_max_mb"},
      {"TLS", "tls"},
      {"TLSCERTIFICATE", "tls_certificate"},
      {"ADMINTLS", "admin_tls"},
  };
  for (const auto& [placeholder, key] : extra_keys) {
    const std::string value = control.ExtraValue(key);
    values.emplace_back(placeholder, value.empty() ? std::string(1, '-') : EscapeHtml(value));
  }
  const AdminHandler::PageFiller filler = [&values](std::string_view name, std::string* out) {
    for (const auto& [placeholder, text] : values) {
      if (placeholder != name) continue;
      *out += text;
      return;
    }
  };
  handler_.Page(request, id, "_gensettings.html", &filler);
}

void SettingsPages::Process(HttpRequest& request, const std::string& id) {
  if (!handler_.OpenForm(request, id, "_menu")) return;
  SettingsSnapshot form;
  std::string port, idle, upload, download, users, per_ip;
  const std::pair<std::string_view, std::string*> fields[] = {
      {"welcomemsg", &form.welcome}, {"helpmsg", &form.help},   {"bannedfiles", &form.banned},
      {"port", &port},               {"idle", &idle},           {"uploadspeed", &upload},
      {"downloadspeed", &download},  {"maxusers", &users},      {"maxusersperip", &per_ip},
  };
  for (const auto& [name, value] : fields)
    if (!handler_.RequiredField(request, id, name, value, AdminHandler::kFieldCapacity)) return;
  for (const CheckBox& box : kCheckBoxes) form.*box.flag = request.FormFieldExists(box.field);
  // A number the field cannot hold must get the field's message, whether or
  // not its limit is on: it reads as a limit in use of 0, which the check
  // refuses, so nothing is stored wrapped.
  const auto number = [](const std::string& text, std::uint32_t* value, bool* in_use) {
    if (ReadFormNumber(text, value)) return;
    *value = 0;
    if (in_use != nullptr) *in_use = true;
  };
  if (std::int64_t value = 0; ReadFormNumber(port, 1, SettingsControl::kHighestPort, &value))
    form.port = static_cast<std::uint32_t>(value);
  number(idle, &form.idle_timeout, nullptr);
  number(upload, &form.max_upload_kb, &form.use_max_upload);
  number(download, &form.max_download_kb, &form.use_max_download);
  number(users, &form.max_users, &form.use_max_users);
  number(per_ip, &form.max_per_ip, &form.use_max_per_ip);

  SettingsControl control(handler_.Server());
  if (const SettingsFault fault = control.Check(&form, SettingsScope::kGeneral); fault != SettingsFault::kNone) {
    handler_.ErrorRedirect(request, id, RefusalText(fault));
    return;
  }
  control.Store(form, SettingsScope::kGeneral);
  handler_.ApplyAndSave(request, id, "_menu");
}

}  // namespace quillon::admin
