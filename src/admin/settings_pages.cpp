#include "admin/settings_pages.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "http/http_text.h"
#include "vfs/text.h"

namespace quillon::admin {

namespace {

using http::EscapeHtml;
using http::HttpRequest;
using http::ReadFormNumber;
using Guard = runtime::CriticalSection::Guard;
using Method = HttpRequest::Method;
using settings::ServerSettings;

constexpr std::int64_t kHighestPort = 65535;
constexpr std::uint32_t kLowestIdle = 5;
// Speeds are kept in bytes per second in 32 bits.
constexpr std::uint32_t kHighestSpeedKb = ServerSettings::kHighestSpeedKb;

// The check boxes: form field and the flag it sets.
struct CheckBox {
  std::string_view field;
  std::string_view placeholder;
  bool ServerSettings::*flag;
};
constexpr CheckBox kCheckBoxes[] = {
    {"useuploadspeed", "USEUPLOADSPEED", &ServerSettings::mUseMaxUploadSpeed},
    {"usedownloadspeed", "USEDOWNLOADSPEED", &ServerSettings::mUseMaxDownloadSpeed},
    {"usemaxusers", "USEMAXUSERS", &ServerSettings::mUseMaxUsers},
    {"usemaxusersperip", "USEMAXUSERSPERIP", &ServerSettings::mUseMaxUsersPerIP},
    {"usepasschange", "USEPASSCHANGE", &ServerSettings::mAllowPassChange},
    {"usesitetosite", "USESITETOSITE", &ServerSettings::mAllowSiteToSite},
    {"usestoptimeout", "USETIMEOUTSTOP", &ServerSettings::mBlockTimeOutStopping},
    {"useantihammer", "USEANTIHAMMER", &ServerSettings::mAntiHammering},
    {"usedeletetobin", "USEDELETETOBIN", &ServerSettings::mDeleteToRecycleBin},
    {"usebannedfiles", "USEBANNEDFILES", &ServerSettings::mUseBannedFiles},
};

// The form's values, as read and checked before anything is stored. A
// number outside its field's range is empty.
struct Form {
  std::string welcome;
  std::string help;
  std::string banned;
  std::optional<std::uint32_t> port;
  std::optional<std::uint32_t> idle;
  std::optional<std::uint32_t> upload_kb;
  std::optional<std::uint32_t> download_kb;
  std::optional<std::uint32_t> max_users;
  std::optional<std::uint32_t> max_per_ip;
  bool flags[std::size(kCheckBoxes)] = {};
  bool Flag(bool ServerSettings::*flag) const {
    for (std::size_t i = 0; i < std::size(kCheckBoxes); ++i)
      if (kCheckBoxes[i].flag == flag) return flags[i];
    return false;
  }
};

// The first refusal of the form's values, in the order they are checked;
// null when they are all acceptable.
const char* Refusal(const Form& form, ftp::FtpServer& server) {
  const auto illegal = [](const std::string& text) {
    return text.find_first_of(AdminHandler::kIllegalMessageChars) != std::string::npos;
  };
  if (form.welcome.empty()) return "Please give a welcome message.";
  if (illegal(form.welcome))
    return "The welcome message contains some illegal characters. Illegal characters include: "
           "%26quot%3B*%3A,%3B'%3F%26lt%3B%26gt%3B,|";
  if (form.help.empty()) return "Please give a help message.";
  if (illegal(form.help))
    return "The help message contains some illegal characters. Illegal characters include: "
           "%26quot%3B*%3A,%3B'%3F%26lt%3B%26gt%3B,|";
  if (!form.port) return "Please specify a FTP port value between 1 and 65535.";
  if (!server.IsPortAvailable(*form.port)) return "The FTP port is already in use.";
  // A number the field cannot hold gets the field's message, whether or not
  // its limit is on: nothing is stored wrapped.
  const auto zero_or_bad = [&form](const std::optional<std::uint32_t>& value, bool ServerSettings::*flag) {
    return !value || (form.Flag(flag) && *value == 0);
  };
  if (zero_or_bad(form.upload_kb, &ServerSettings::mUseMaxUploadSpeed))
    return "Please specify an maximum upload speed greater than 0.";
  if (zero_or_bad(form.download_kb, &ServerSettings::mUseMaxDownloadSpeed))
    return "Please specify an maximum download speed greater than 0.";
  if (zero_or_bad(form.max_users, &ServerSettings::mUseMaxUsers))
    return "Please specify a maximum number of users greater than 0.";
  if (zero_or_bad(form.max_per_ip, &ServerSettings::mUseMaxUsersPerIP))
    return "Please specify a maximum number of users per IP greater than 0.";
  if (!form.idle || *form.idle < kLowestIdle)
    return "Please specify an idle time-out value greater than or equal to 5.";
  return nullptr;
}

}  // namespace

SettingsPages::SettingsPages(AdminHandler& handler) : handler_(handler) {
  handler.AddRoute(Method::kGet, "/_gensettings",
                   [this](HttpRequest& request, const std::string& id) { Page(request, id); });
  handler.AddRoute(Method::kPost, "/_processgensettings",
                   [this](HttpRequest& request, const std::string& id) { Process(request, id); });
}

void SettingsPages::Page(HttpRequest& request, const std::string& id) {
  std::vector<std::pair<std::string_view, std::string>> values;
  {
    ServerSettings& settings = handler_.Server().Settings();
    Guard guard(settings.Lock());
    values = {
        {"WELCOMEMSG", EscapeHtml(settings.mWelcomeMsg)},
        {"HELPMSG", EscapeHtml(settings.mHelpMsg)},
        {"PORT", std::to_string(static_cast<int>(settings.mPort))},
        {"IDLE", std::to_string(settings.mIdleTimeOut)},
        {"UPLOADSPEED", std::to_string(settings.MaxUploadSpeedKb())},
        {"DOWNLOADSPEED", std::to_string(settings.MaxDownloadSpeedKb())},
        {"MAXUSERS", std::to_string(settings.mMaxUsers)},
        {"MAXUSERSPERIP", std::to_string(settings.mMaxUsersPerIP)},
        {"BANNEDFILES", EscapeHtml(settings.mBadExts.Joined())},
    };
    for (const CheckBox& box : kCheckBoxes)
      values.emplace_back(box.placeholder, settings.*box.flag ? "checked" : "");
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
      std::string value;
      const bool known = settings.Extra().Get(key, &value) && !value.empty();
      values.emplace_back(placeholder, known ? EscapeHtml(value) : std::string(1, '-'));
    }
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
  Form form;
  std::string port, idle, upload, download, users, per_ip;
  const std::pair<std::string_view, std::string*> fields[] = {
      {"welcomemsg", &form.welcome}, {"helpmsg", &form.help},   {"bannedfiles", &form.banned},
      {"port", &port},               {"idle", &idle},           {"uploadspeed", &upload},
      {"downloadspeed", &download},  {"maxusers", &users},      {"maxusersperip", &per_ip},
  };
  for (const auto& [name, value] : fields)
    if (!handler_.RequiredField(request, id, name, value, AdminHandler::kFieldCapacity)) return;
  const auto number = [](const std::string& text) -> std::optional<std::uint32_t> {
    std::uint32_t value = 0;
    if (!ReadFormNumber(text, &value)) return std::nullopt;
    return value;
  };
  if (std::int64_t value = 0; ReadFormNumber(port, 1, kHighestPort, &value))
    form.port = static_cast<std::uint32_t>(value);
  form.idle = number(idle);
  form.upload_kb = number(upload);
  form.download_kb = number(download);
  form.max_users = number(users);
  form.max_per_ip = number(per_ip);
  for (std::size_t i = 0; i < std::size(kCheckBoxes); ++i)
    form.flags[i] = request.FormFieldExists(kCheckBoxes[i].field);

  ftp::FtpServer& server = handler_.Server();
  if (const char* refusal = Refusal(form, server)) {
    handler_.ErrorRedirect(request, id, refusal);
    return;
  }
  {
    ServerSettings& settings = server.Settings();
    Guard guard(settings.Lock());
    vfs::CopyText(&settings.mWelcomeMsg, form.welcome, ServerSettings::kMessageCapacity);
    vfs::CopyText(&settings.mHelpMsg, form.help, ServerSettings::kMessageCapacity);
    settings.mPort = *form.port;
    settings.mIdleTimeOut = *form.idle;
    // Speeds are kept in bytes per second: what 32 bits hold at most.
    settings.SetMaxUploadSpeedKb(std::min(*form.upload_kb, kHighestSpeedKb));
    settings.SetMaxDownloadSpeedKb(std::min(*form.download_kb, kHighestSpeedKb));
    settings.mMaxUsers = *form.max_users;
    settings.mMaxUsersPerIP = *form.max_per_ip;
    settings.mBadExts.Parse(form.banned);
    for (std::size_t i = 0; i < std::size(kCheckBoxes); ++i) settings.*kCheckBoxes[i].flag = form.flags[i];
  }
  handler_.ApplyAndSave(request, id, "_menu");
}

}  // namespace quillon::admin
