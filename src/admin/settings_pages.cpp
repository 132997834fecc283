#include "admin/settings_pages.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "vfs/text.h"

namespace quillon::admin {

namespace {

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

// The form's values, as read and checked before anything is stored.
struct Form {
  std::string welcome;
  std::string help;
  std::string banned;
  std::int64_t port = 0;
  std::uint32_t idle = 0;
  std::uint32_t upload_kb = 0;
  std::uint32_t download_kb = 0;
  std::uint32_t max_users = 0;
  std::uint32_t max_per_ip = 0;
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
  if (form.port < 1 || form.port > kHighestPort)
    return "Please specify a FTP port value between 1 and 65535.";
  if (!server.IsPortAvailable(static_cast<std::uint32_t>(form.port))) return "The FTP port is already in use.";
  if (form.Flag(&ServerSettings::mUseMaxUploadSpeed) && form.upload_kb == 0)
    return "Please specify an maximum upload speed greater than 0.";
  if (form.Flag(&ServerSettings::mUseMaxDownloadSpeed) && form.download_kb == 0)
    return "Please specify an maximum download speed greater than 0.";
  if (form.Flag(&ServerSettings::mUseMaxUsers) && form.max_users == 0)
    return "Please specify a maximum number of users greater than 0.";
  if (form.Flag(&ServerSettings::mUseMaxUsersPerIP) && form.max_per_ip == 0)
    return "Please specify a maximum number of users per IP greater than 0.";
  if (form.idle < kLowestIdle) return "Please specify an idle time-out value greater than or equal to 5.";
  return nullptr;
}

}  // namespace

SettingsPages::SettingsPages(AdminHandler& handler) : handler_(handler) {
  handler.AddRoute(Method::kGet, "/_gensettings",
                   [this](HttpRequest& request, const std::string& id) { Page(request, id); });
  handler.AddRoute(Method::kPost, "/_processgensettings",
                   [this](HttpRequest& request, const std::string& id) { Process(request, id); });
}

std::int64_t SettingsPages::ReadPort(std::string_view text) {
  constexpr std::int64_t kSaturated = std::int64_t{1} << 40;
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  std::int64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
    value = std::min(kSaturated, value * 10 + (text[at] - '0'));
  return negative ? -value : value;
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
  form.port = ReadPort(port);
  form.idle = vfs::ParseUnsigned(idle, false);
  form.upload_kb = std::min(vfs::ParseUnsigned(upload, false), kHighestSpeedKb);
  form.download_kb = std::min(vfs::ParseUnsigned(download, false), kHighestSpeedKb);
  form.max_users = vfs::ParseUnsigned(users, false);
  form.max_per_ip = vfs::ParseUnsigned(per_ip, false);
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
    settings.mPort = static_cast<std::uint32_t>(form.port);
    settings.mIdleTimeOut = form.idle;
    settings.SetMaxUploadSpeedKb(form.upload_kb);
    settings.SetMaxDownloadSpeedKb(form.download_kb);
    settings.mMaxUsers = form.max_users;
    settings.mMaxUsersPerIP = form.max_per_ip;
    settings.mBadExts.Parse(form.banned);
    for (std::size_t i = 0; i < std::size(kCheckBoxes); ++i) settings.*kCheckBoxes[i].flag = form.flags[i];
  }
  handler_.ApplyAndSave(request, id, "_menu");
}

}  // namespace quillon::admin
