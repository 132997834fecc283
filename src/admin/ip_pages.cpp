#include "admin/ip_pages.h"

#include "admin/form_button.h"
#include "admin/form_refusal.h"
#include "control/ip_list_control.h"
#include "control/settings_control.h"
#include "fileutil/text.h"

namespace quillon::admin {

namespace {

using http::HttpRequest;
using Guard = runtime::CriticalSection::Guard;
using Method = HttpRequest::Method;
using IpMode = EditState::IpMode;
using runtime::IpRangeList;
using control::IpAddFault;
using control::IpListControl;
using control::SettingsControl;
using control::SettingsScope;
using control::SettingsSnapshot;

// The pages of a mode: the list it belongs to, the IP page's template and
// the add-IP page.
struct ModePages {
  const char* list;
  const char* ip_template;
  const char* add_ip;
};

const ModePages& PagesOf(IpMode mode) {
  static constexpr ModePages kServer{"_menu", "_genips.html", "_genaddip"};
  static constexpr ModePages kAccount{"_accounts", "_accountips.html", "_accountaddip"};
  static constexpr ModePages kGroup{"_groups", "_groupips.html", "_groupaddip"};
  return mode == IpMode::kServer ? kServer : mode == IpMode::kAccount ? kAccount : kGroup;
}

void AppendOptions(const IpRangeList& list, std::string* out) {
  for (std::size_t i = 0; i < list.Count(); ++i) {
    const std::string text = list.EntryText(i);
    *out += fileutil::FormatText("<option value=\"%s\">%s</option>\r\n", text.c_str(), text.c_str());
  }
}

}  // namespace

IpPages::IpPages(AdminHandler& handler) : handler_(handler) {
  handler.AddRoute(Method::kGet, "/_genips", [this](HttpRequest& request, const std::string& id) {
    OpenServerLists(request, id);
  });
  handler.AddRoute(Method::kGet, "/_ips",
                   [this](HttpRequest& request, const std::string& id) { Page(request, id); });
  handler.AddRoute(Method::kPost, "/_processips",
                   [this](HttpRequest& request, const std::string& id) { Process(request, id); });
  handler.AddRoute(Method::kPost, "/_processaddip",
                   [this](HttpRequest& request, const std::string& id) { ProcessAdd(request, id); });
}

void IpPages::OpenServerLists(HttpRequest& request, const std::string& id) {
  {
    const SettingsSnapshot settings = SettingsControl(handler_.Server()).Read();
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    edit.ClearLocked();
    edit.safe_ips = settings.safe_ips;
    edit.blocked_ips = settings.blocked_ips;
    edit.record.mUseSafeIPs = settings.use_safe_ips;
    edit.record.mUseBlockIPs = settings.use_blocked_ips;
    edit.server_ip_mode = true;
  }
  handler_.RedirectTo(request, id, "_ips");
}

void IpPages::Page(HttpRequest& request, const std::string& id) {
  IpRangeList safe, blocked;
  bool use_safe, use_blocked;
  IpMode mode;
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    safe = edit.safe_ips;
    blocked = edit.blocked_ips;
    use_safe = edit.record.mUseSafeIPs;
    use_blocked = edit.record.mUseBlockIPs;
    mode = edit.IpModeLocked();
  }
  const AdminHandler::PageFiller filler = [&](std::string_view name, std::string* out) {
    if (name == "USESAFE") {
      if (use_safe) *out += "checked";
    } else if (name == "USEBLOCKED") {
      if (use_blocked) *out += "checked";
    } else if (name == "SAFEOPTIONSLIST") {
      AppendOptions(safe, out);
    } else if (name == "BLOCKEDOPTIONSLIST") {
      AppendOptions(blocked, out);
    }
  };
  handler_.Page(request, id, PagesOf(mode).ip_template, &filler);
}

void IpPages::Process(HttpRequest& request, const std::string& id) {
  EditState& edit = handler_.Edit();
  IpMode mode;
  {
    Guard guard(edit.Lock());
    mode = edit.IpModeLocked();
  }
  if (!request.IsUrlEncoded() || !request.IsComplete()) return;
  const FormButton button = FindButton(request);
  if (button == FormButton::kNone) {
    handler_.RedirectTo(request, id, PagesOf(mode).list);
    return;
  }
  std::string selected;
  if (button == FormButton::kDeleteSafe || button == FormButton::kDeleteBlocked) {
    const char* field = button == FormButton::kDeleteSafe ? "selectedsafe" : "selectedblocked";
    if (!request.FormFieldValue(field, &selected, AdminHandler::kFieldCapacity)) {
      handler_.ErrorRedirect(request, id, "Please select an IP / IP Range.");
      return;
    }
  }
  {
    Guard guard(edit.Lock());
    edit.record.mUseSafeIPs = request.FormFieldExists("usesafe");
    edit.record.mUseBlockIPs = request.FormFieldExists("useblocked");
  }
  switch (button) {
    case FormButton::kUpdate:
      if (mode == IpMode::kServer) {
        UpdateServerLists(request, id);
      } else if (store_record_) {
        store_record_(request, id);
      }
      return;
    case FormButton::kTabGeneral: handler_.RedirectTo(request, id, "_editgen"); return;
    case FormButton::kTabFolders: handler_.RedirectTo(request, id, "_editfolders"); return;
    case FormButton::kTabLimits: handler_.RedirectTo(request, id, "_editlimits"); return;
    case FormButton::kTabIps: handler_.RedirectTo(request, id, "_ips"); return;
    case FormButton::kAddSafe:
    case FormButton::kAddBlocked: {
      Guard guard(edit.Lock());
      edit.add_to_safe = button == FormButton::kAddSafe;
      break;
    }
    case FormButton::kDeleteSafe:
    case FormButton::kDeleteBlocked: {
      Guard guard(edit.Lock());
      (button == FormButton::kDeleteSafe ? edit.safe_ips : edit.blocked_ips).RemoveText(selected);
      break;
    }
    case FormButton::kBlockAll: {
      // Blocking every address is asked first (in a dialog with script).
      if (!AdminHandler::Confirmed(request)) {
        ConfirmBlockAll(request, id);
        return;
      }
      Guard guard(edit.Lock());
      IpListControl::BlockAll(&edit.blocked_ips);
      break;
    }
    default:  // add, edit and delete belong to the account forms
      return;
  }
  const bool adding = button == FormButton::kAddSafe || button == FormButton::kAddBlocked;
  handler_.RedirectTo(request, id, adding ? PagesOf(mode).add_ip : "_ips");
}

void IpPages::ConfirmBlockAll(HttpRequest& request, const std::string& id) {
  AdminHandler::Confirmation confirmation;
  confirmation.title = "Blocking All IPs";
  confirmation.message =
      "Add the range 0.0.0.0 - 255.255.255.255 to the blocked IPs? Once updated, no address may "
      "connect unless the safe IPs let it.";
  confirmation.action = "_processips";
  confirmation.button_name = "buttonblockall";
  confirmation.button = "Block all";
  confirmation.cancel_page = "_ips";
  // The switches as the form had them (stored already): the confirmation keeps them.
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    if (edit.record.mUseSafeIPs) confirmation.fields.emplace_back("usesafe", "on");
    if (edit.record.mUseBlockIPs) confirmation.fields.emplace_back("useblocked", "on");
  }
  handler_.ConfirmPage(request, id, confirmation);
}

void IpPages::UpdateServerLists(HttpRequest& request, const std::string& id) {
  SettingsSnapshot lists;
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    lists.safe_ips = edit.safe_ips;
    lists.blocked_ips = edit.blocked_ips;
    lists.use_safe_ips = edit.record.mUseSafeIPs;
    lists.use_blocked_ips = edit.record.mUseBlockIPs;
  }
  SettingsControl(handler_.Server()).Store(lists, SettingsScope::kIpLists);
  handler_.ApplyAndSave(request, id, "_menu");
}

void IpPages::ProcessAdd(HttpRequest& request, const std::string& id) {
  if (!handler_.OpenForm(request, id, "_ips")) return;
  const bool range = request.FormFieldExists("buttonaddrange");
  std::string lower, upper;
  if (!handler_.RequiredField(request, id, "lower", &lower, AdminHandler::kFieldCapacity)) return;
  if (range && !handler_.RequiredField(request, id, "upper", &upper, AdminHandler::kFieldCapacity))
    return;
  IpAddFault fault;
  IpMode mode;
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    fault = IpListControl::Add(edit.add_to_safe ? &edit.safe_ips : &edit.blocked_ips, lower,
                               range ? &upper : nullptr);
    mode = edit.IpModeLocked();
  }
  if (fault != IpAddFault::kNone) {
    // The form again as typed, the refusal beside the address it concerns.
    FormRefusal refusal(fault == IpAddFault::kLowerNotValid ? "lower" : "upper",
                        fault == IpAddFault::kLowerNotValid   ? "The lower IP is not a valid IP."
                        : fault == IpAddFault::kUpperNotValid ? "The upper IP is not a valid IP."
                                                              : "The 'Upper IP' was lower than the 'Lower IP'.");
    refusal.KeepTyped("lower", lower);
    refusal.KeepTyped("upper", upper);
    const AdminHandler::PageFiller filler = [&refusal](std::string_view name, std::string* out) {
      [[maybe_unused]] const bool filled = refusal.Fill(name, out);
    };
    handler_.Page(request, id, std::string(PagesOf(mode).add_ip) + ".html", &filler);
    return;
  }
  handler_.RedirectTo(request, id, "_ips");
}

}  // namespace quillon::admin
