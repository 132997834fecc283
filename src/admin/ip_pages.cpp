#include "admin/ip_pages.h"

#include "admin/form_button.h"
#include "vfs/text.h"

namespace quillon::admin {

namespace {

using Guard = runtime::CriticalSection::Guard;
using Method = HttpRequest::Method;
using IpMode = EditState::IpMode;
using access::IpRangeList;

// The page that lists what the IP pages of a mode belong to.
const char* ListPage(IpMode mode) {
  switch (mode) {
    case IpMode::kServer: return "_menu";
    case IpMode::kAccount: return "_accounts";
    case IpMode::kGroup: return "_groups";
  }
  return "_menu";
}

const char* IpTemplate(IpMode mode) {
  switch (mode) {
    case IpMode::kServer: return "_genips.html";
    case IpMode::kAccount: return "_accountips.html";
    case IpMode::kGroup: return "_groupips.html";
  }
  return "_genips.html";
}

const char* AddIpPage(IpMode mode) {
  switch (mode) {
    case IpMode::kServer: return "_genaddip";
    case IpMode::kAccount: return "_accountaddip";
    case IpMode::kGroup: return "_groupaddip";
  }
  return "_genaddip";
}

void AppendOptions(const IpRangeList& list, std::string* out) {
  for (std::size_t i = 0; i < list.Count(); ++i) {
    const std::string text = list.EntryText(i);
    *out += vfs::FormatText("<option value=\"%s\">%s</option>\r\n", text.c_str(), text.c_str());
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
    EditState& edit = handler_.Edit();
    Guard edit_guard(edit.Lock());
    settings::ServerSettings& settings = handler_.Server().Settings();
    Guard settings_guard(settings.Lock());
    edit.ClearLocked();
    edit.safe_ips = settings.mSafeIPs;
    edit.blocked_ips = settings.mBlockIPs;
    edit.record.mUseSafeIPs = settings.mUseSafeIPs;
    edit.record.mUseBlockIPs = settings.mUseBlockIPs;
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
  handler_.Page(request, id, IpTemplate(mode), &filler);
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
    handler_.RedirectTo(request, id, ListPage(mode));
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
      Guard guard(edit.Lock());
      edit.blocked_ips.AddRange({0, 0, 0, 0}, {255, 255, 255, 255});
      break;
    }
    default:  // add, edit and delete belong to the account forms
      return;
  }
  const bool adding = button == FormButton::kAddSafe || button == FormButton::kAddBlocked;
  handler_.RedirectTo(request, id, adding ? AddIpPage(mode) : "_ips");
}

void IpPages::UpdateServerLists(HttpRequest& request, const std::string& id) {
  {
    EditState& edit = handler_.Edit();
    Guard edit_guard(edit.Lock());
    settings::ServerSettings& settings = handler_.Server().Settings();
    Guard settings_guard(settings.Lock());
    settings.mSafeIPs = edit.safe_ips;
    settings.mBlockIPs = edit.blocked_ips;
    settings.mUseSafeIPs = edit.record.mUseSafeIPs;
    settings.mUseBlockIPs = edit.record.mUseBlockIPs;
  }
  if (std::string error; !handler_.Server().ApplyPortChange(&error)) {
    handler_.ErrorRedirect(request, id, error + ". The FTP Server has now deactivated.");
    return;
  }
  handler_.SaveAndRedirect(request, id, "_menu");
}

void IpPages::ProcessAdd(HttpRequest& request, const std::string& id) {
  if (!handler_.OpenForm(request, id, "_ips")) return;
  const bool range = request.FormFieldExists("buttonaddrange");
  std::string lower, upper;
  if (!handler_.RequiredField(request, id, "lower", &lower, AdminHandler::kFieldCapacity)) return;
  if (range && !handler_.RequiredField(request, id, "upper", &upper, AdminHandler::kFieldCapacity))
    return;
  if (!IpRangeList::IsValidAddress(lower)) {
    handler_.ErrorRedirect(request, id, "The lower IP is not a valid IP.");
    return;
  }
  const access::IpAddress first = IpRangeList::ParseAddress(lower);
  access::IpAddress last = first;
  if (range) {
    if (!IpRangeList::IsValidAddress(upper)) {
      handler_.ErrorRedirect(request, id, "The upper IP is not a valid IP.");
      return;
    }
    last = IpRangeList::ParseAddress(upper);
    if (last < first) {
      handler_.ErrorRedirect(request, id, "The 'Upper IP' was lower than the 'Lower IP'.");
      return;
    }
  }
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    (edit.add_to_safe ? edit.safe_ips : edit.blocked_ips).AddRange(first, last);
  }
  handler_.RedirectTo(request, id, "_ips");
}

}  // namespace quillon::admin
