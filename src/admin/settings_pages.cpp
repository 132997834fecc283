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
// in the error page's address, with character references for markup.
const char* RefusalText(SettingsFault fault) {
  switch (fault) {
    case SettingsFault::kWelcomeEmpty: return "Please give a welcome message.";
    case SettingsFault::kWelcomeIllegalChars:
      return "The welcome message contains some illegal characters. Illegal characters include: "
             "&quot;*:,;'?&lt;&gt;,|";
    case SettingsFault::kHelpEmpty: return "Please give a help message.";
    case SettingsFault::kHelpIllegalChars:
      return "The help message contains some illegal characters. Illegal characters include: "
             "&quot;*:,;'?&lt;&gt;,|";
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

// The form field each fault of the general settings concerns.
std::string_view FieldOf(SettingsFault fault) {
  switch (fault) {
    case SettingsFault::kWelcomeEmpty:
    case SettingsFault::kWelcomeIllegalChars: return "welcomemsg";
    case SettingsFault::kHelpEmpty:
    case SettingsFault::kHelpIllegalChars: return "helpmsg";
    case SettingsFault::kPortOutOfRange:
    case SettingsFault::kPortInUse: return "port";
    case SettingsFault::kUploadSpeedZero: return "uploadspeed";
    case SettingsFault::kDownloadSpeedZero: return "downloadspeed";
    case SettingsFault::kMaxUsersZero: return "maxusers";
    case SettingsFault::kMaxPerIpZero: return "maxusersperip";
    case SettingsFault::kIdleTooShort: return "idle";
    default: return "";
  }
}

}  // namespace

SettingsPages::SettingsPages(AdminHandler& handler) : handler_(handler) {
  handler.AddRoute(Method::kGet, "/_gensettings",
                   [this](HttpRequest& request, const std::string& id) {
                     Page(request, id, SettingsControl(handler_.Server()).Read(), FormRefusal());
                   });
  handler.AddRoute(Method::kPost, "/_processgensettings",
                   [this](HttpRequest& request, const std::string& id) { Process(request, id); });
}

void SettingsPages::Page(HttpRequest& request, const std::string& id, const SettingsSnapshot& settings,
                         const FormRefusal& refusal) {
  SettingsControl control(handler_.Server());
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
  const AdminHandler::PageFiller filler = [&values, &refusal](std::string_view name, std::string* out) {
    if (refusal.Fill(name, out)) return;
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
  SettingsControl control(handler_.Server());
  const SettingsSnapshot stored = control.Read();
  SettingsSnapshot form = stored;
  std::string port, idle, upload, download, users, per_ip;
  // The fields in the form's order, with the box that puts each in use. The
  // page's script disables a field while its box is off, and a disabled
  // field is not sent: the setting then keeps its stored value.
  struct Field {
    std::string_view name;
    std::string* text;
    std::string_view use_box;
  };
  const Field fields[] = {
      {"welcomemsg", &form.welcome, ""},       {"helpmsg", &form.help, ""},
      {"port", &port, ""},                     {"idle", &idle, ""},
      {"maxusers", &users, "usemaxusers"},     {"maxusersperip", &per_ip, "usemaxusersperip"},
      {"uploadspeed", &upload, "useuploadspeed"}, {"downloadspeed", &download, "usedownloadspeed"},
      {"bannedfiles", &form.banned, "usebannedfiles"},
  };
  for (const Field& field : fields) {
    if (!field.use_box.empty() && !request.FormFieldExists(field.name) && !request.FormFieldExists(field.use_box))
      continue;
    if (!handler_.RequiredField(request, id, field.name, field.text, AdminHandler::kFieldCapacity)) return;
  }
  for (const CheckBox& box : kCheckBoxes) form.*box.flag = request.FormFieldExists(box.field);
  // A number the field cannot hold must get the field's message, whether or
  // not its limit is on: it reads as a limit in use of 0, which the check
  // refuses, so nothing is stored wrapped. A field not sent keeps its value.
  const auto number = [&request](std::string_view name, const std::string& text, std::uint32_t* value,
                                 bool* in_use) {
    if (!request.FormFieldExists(name) || ReadFormNumber(text, value)) return;
    *value = 0;
    if (in_use != nullptr) *in_use = true;
  };
  if (std::int64_t value = 0; ReadFormNumber(port, 1, SettingsControl::kHighestPort, &value))
    form.port = static_cast<std::uint32_t>(value);
  else
    form.port = 0;
  number("idle", idle, &form.idle_timeout, nullptr);
  number("uploadspeed", upload, &form.max_upload_kb, &form.use_max_upload);
  number("downloadspeed", download, &form.max_download_kb, &form.use_max_download);
  number("maxusers", users, &form.max_users, &form.use_max_users);
  number("maxusersperip", per_ip, &form.max_per_ip, &form.use_max_per_ip);

  const SettingsSnapshot typed = form;
  if (const SettingsFault fault = control.Check(&form, SettingsScope::kGeneral); fault != SettingsFault::kNone) {
    const std::string_view field = FieldOf(fault);
    if (field.empty()) {
      handler_.ErrorRedirect(request, id, RefusalText(fault));
      return;
    }
    // The form again as typed, the refusal beside its field.
    FormRefusal refusal(field, RefusalText(fault));
    const std::pair<std::string_view, const std::string*> numbers[] = {
        {"port", &port},          {"idle", &idle},          {"uploadspeed", &upload},
        {"downloadspeed", &download}, {"maxusers", &users}, {"maxusersperip", &per_ip},
    };
    for (const auto& [name, text] : numbers)
      if (request.FormFieldExists(name)) refusal.KeepTyped(name, *text);
    SettingsSnapshot shown = typed;
    for (const CheckBox& box : kCheckBoxes) shown.*box.flag = request.FormFieldExists(box.field);
    Page(request, id, shown, refusal);
    return;
  }
  control.Store(form, SettingsScope::kGeneral);
  handler_.ApplyAndSave(request, id, "_menu");
}

}  // namespace quillon::admin
