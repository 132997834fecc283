#include "admin/account_pages.h"

#include "accounts/messages.h"
#include "admin/folder_browser.h"
#include "admin/record_fields.h"
#include "http/http_text.h"
#include "fileutil/text.h"

namespace quillon::admin {

namespace {

using http::EncodeUrl;
using http::EscapeHtml;
using http::HttpRequest;
using http::ReadFormNumber;
using Guard = runtime::CriticalSection::Guard;
using Method = HttpRequest::Method;
using accounts::AccountRecord;
using fileutil::FormatText;

constexpr std::size_t kCapacity = AdminHandler::kFieldCapacity;

const char* NotRetrieved(bool account) {
  return account ? "Unable to retrieve account." : "Unable to retrieve group.";
}

void AppendOption(const std::string& name, const char* attribute, std::string* out) {
  const std::string shown = EscapeHtml(name);
  *out += FormatText("<option value=\"%s\"%s>%s</option>\r\n", shown.c_str(), attribute, shown.c_str());
}

}  // namespace

AccountPages::AccountPages(AdminHandler& handler) : handler_(handler) {
  const auto route = [this, &handler](Method method, std::string_view path,
                                      void (AccountPages::*member)(HttpRequest&, const std::string&)) {
    handler.AddRoute(method, path, [this, member](HttpRequest& request, const std::string& id) {
      (this->*member)(request, id);
    });
  };
  route(Method::kPost, "/_processaccountselection", &AccountPages::Selection);
  route(Method::kPost, "/_processaccountgen", &AccountPages::ProcessGeneral);
  route(Method::kPost, "/_processaccountfolders", &AccountPages::ProcessFolders);
  route(Method::kPost, "/_processaccountlimits", &AccountPages::ProcessLimits);
  handler.AddRoute(Method::kGet, "/_editgen", [this](HttpRequest& request, const std::string& id) {
    Tab(request, id, "_accountgen.html", "_groupgen.html", &AccountPages::FillGeneral);
  });
  handler.AddRoute(Method::kGet, "/_editfolders", [this](HttpRequest& request, const std::string& id) {
    Tab(request, id, "_accountfolders.html", "_groupfolders.html", &AccountPages::FillFolders);
  });
  handler.AddRoute(Method::kGet, "/_editlimits", [this](HttpRequest& request, const std::string& id) {
    Tab(request, id, "_accountlimits.html", "_grouplimits.html", &AccountPages::FillLimits);
  });
}

bool AccountPages::IsAccountMode() {
  EditState& edit = handler_.Edit();
  Guard guard(edit.Lock());
  return edit.account_mode;
}

void AccountPages::Selection(HttpRequest& request, const std::string& id) {
  const std::string* mode = request.QueryParam("mode");
  const bool account = mode == nullptr || *mode != "group";
  if (!handler_.OpenForm(request, id, ListPage(account))) return;
  EditState& edit = handler_.Edit();
  if (request.FormFieldExists("buttonadd")) {
    {
      Guard guard(edit.Lock());
      edit.ClearLocked();
      edit.account_mode = account;
    }
    handler_.RedirectTo(request, id, "_editgen");
    return;
  }
  std::string selected;
  if (!request.FormFieldValue("selected", &selected, kCapacity)) {
    handler_.ErrorRedirect(request, id, "Please select an account/group from the list.");
    return;
  }
  control::RecordControl records = RecordsOf(handler_.Server(), account);
  if (request.FormFieldExists("buttondelete")) {
    // A record another face removed meanwhile is gone all the same.
    records.Delete(selected);
    // Applied and saved at once: a deletion that waited for some later save
    // would come back if the server stopped first.
    handler_.ApplyAndSave(request, id, ListPage(account));
    return;
  }
  AccountRecord record;
  if (records.TakeForEdit(selected, &record) != control::RecordResult::kDone) {
    handler_.ErrorRedirect(request, id, NotRetrieved(account));
    return;
  }
  if (request.FormFieldExists("buttoncopy")) {
    {
      Guard guard(edit.CopyLock());
      edit.copy_source = std::move(record);
      edit.copy_is_account = account;
    }
    handler_.RedirectTo(request, id, "_editcopy");
    return;
  }
  {
    Guard guard(edit.Lock());
    edit.ClearLocked();
    edit.safe_ips = record.mSafeIPs;
    edit.blocked_ips = record.mBlockIPs;
    edit.edited_name = record.Name();
    edit.record = std::move(record);
    edit.account_mode = account;
  }
  handler_.RedirectTo(request, id, "_editgen");
}

void AccountPages::Tab(HttpRequest& request, const std::string& id, const char* account_template,
                       const char* group_template, Filler fill) {
  Edited edited;
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    edited.record = edit.record;
    edited.account = edit.account_mode;
    edited.edited_name = edit.edited_name;
  }
  const AdminHandler::PageFiller filler = [this, &edited, fill](std::string_view name, std::string* out) {
    (this->*fill)(edited, name, out);
  };
  handler_.Page(request, id, edited.account ? account_template : group_template, &filler);
}

void AccountPages::AppendGroupOptions(const Edited& edited, std::string* out) {
  const control::GroupChoices choices =
      RecordsOf(handler_.Server(), edited.account).ChoicesFor(edited.record, edited.edited_name);
  if (!choices.current.empty()) AppendOption(choices.current, " selected", out);
  *out += "<option value=\"\"></option>\r\n";
  for (const std::string& name : choices.names)
    if (name != choices.current) AppendOption(name, "", out);
}

void AccountPages::FillGeneral(const Edited& edited, std::string_view name, std::string* out) {
  const AccountRecord& record = edited.record;
  if (FillRight(record.mRights, name, out)) return;
  if (name == "USER") {
    *out += EscapeHtml(record.Name());
  } else if (name == "GROUPOPTIONSLIST_INEDIT") {
    AppendGroupOptions(edited, out);
  } else if (name == "ENABLE") {
    FillCheck(record.mEnabled, out);
  } else if (name == "INGROUP") {
    FillCheck(record.mInGroup, out);
  } else if (name == "ALLOWPASSCHANGE") {
    FillCheck(record.mAllowPassChange, out);
  } else if (name == "ALWAYSALLOWLOGIN") {
    FillCheck(record.mAlwaysAllowLogin, out);
  } else if (name == "USELOGS") {
    FillCheck(record.mUseLogs, out);
  }
}

void AccountPages::FillFolders(const Edited& edited, std::string_view name, std::string* out) {
  const AccountRecord& record = edited.record;
  if (name == "PATH") {
    *out += EscapeHtml(record.RootFolder());
  } else if (name == "STARTDIR") {
    *out += EscapeHtml(record.StartDir());
  } else if (name == "VIRTUALFOLDEROPTIONSLIST") {
    for (const accounts::VirtualFolder& folder : record.VirtualFolders())
      AppendOption(folder.Name(), "", out);
  } else if (name == "USEROOTFOLDER") {
    FillCheck(record.mUseRootFolder, out);
  } else if (name == "USESTARTDIR") {
    FillCheck(record.mUseStartDir, out);
  }
}

void AccountPages::FillLimits(const Edited& edited, std::string_view name, std::string* out) {
  const AccountRecord& record = edited.record;
  struct Number {
    std::string_view placeholder;
    std::int64_t value;
  };
  const Number numbers[] = {
      {"MAXSIZE", record.mMaxSize},
      {"UPLOADSPEED", record.mMaxUploadSpeed},
      {"DOWNLOADSPEED", record.mMaxDownloadSpeed},
      {"MAXUSERS", record.mMaxUsers},
      {"UPLOADCREDITS", record.mUploadCredits},
      {"DOWNLOADCREDITS", record.mDownloadCredits},
      {"CURRENTCREDITS", record.mCurrentCredits},
  };
  for (const Number& number : numbers) {
    if (number.placeholder != name) continue;
    *out += std::to_string(number.value);
    return;
  }
  if (name == "USEMAXSIZE") {
    FillCheck(record.mUseMaxSize, out);
  } else if (name == "USEUPLOADSPEED") {
    FillCheck(record.mUseMaxUploadSpeed, out);
  } else if (name == "USEDOWNLOADSPEED") {
    FillCheck(record.mUseMaxDownloadSpeed, out);
  } else if (name == "USEMAXUSERS") {
    FillCheck(record.mUseMaxUsers, out);
  } else if (name == "USECREDITS") {
    FillCheck(record.mUseCredits, out);
  }
}

bool AccountPages::OpenTab(HttpRequest& request, const std::string& id, FormButton* button) {
  if (!request.IsUrlEncoded() || !request.IsComplete()) return false;
  *button = FindButton(request);
  if (*button != FormButton::kNone) return true;
  handler_.RedirectTo(request, id, ListPage(IsAccountMode()));
  return false;
}

void AccountPages::FollowButton(HttpRequest& request, const std::string& id, FormButton button,
                                const char* own_page) {
  switch (button) {
    case FormButton::kUpdate: Store(request, id); return;
    case FormButton::kTabGeneral: handler_.RedirectTo(request, id, "_editgen"); return;
    case FormButton::kTabFolders: handler_.RedirectTo(request, id, "_editfolders"); return;
    case FormButton::kTabLimits: handler_.RedirectTo(request, id, "_editlimits"); return;
    case FormButton::kTabIps: handler_.RedirectTo(request, id, "_ips"); return;
    default: handler_.RedirectTo(request, id, own_page); return;
  }
}

void AccountPages::ProcessGeneral(HttpRequest& request, const std::string& id) {
  FormButton button;
  if (!OpenTab(request, id, &button)) return;
  std::string user, password, group;
  if (!handler_.RequiredField(request, id, "user", &user, kCapacity)) return;
  request.FormFieldValue("pass", &password, kCapacity);
  request.FormFieldValue("group", &group, kCapacity);
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    AccountRecord& record = edit.record;
    record.SetName(user);
    record.SetGroup(group);
    if (request.FormFieldExists("changepass")) record.SetPassword(password);
    record.mInGroup = request.FormFieldExists("ingroup") && !group.empty();
    record.mRights = ReadRights(request);
    record.mAlwaysAllowLogin = request.FormFieldExists("alwaysallowlogin");
    record.mAllowPassChange = request.FormFieldExists("allowpasschange");
    record.mUseLogs = request.FormFieldExists("uselogs");
    record.mEnabled = request.FormFieldExists("enabled");
  }
  FollowButton(request, id, button, "_editgen");
}

void AccountPages::ProcessFolders(HttpRequest& request, const std::string& id) {
  FormButton button;
  if (!OpenTab(request, id, &button)) return;
  std::string path, start_dir, selected;
  if (!handler_.RequiredField(request, id, "path", &path, kCapacity) ||
      !handler_.RequiredField(request, id, "startdir", &start_dir, kCapacity))
    return;
  EditState& edit = handler_.Edit();
  {
    Guard guard(edit.Lock());
    edit.record.SetRootFolder(path);
    edit.record.SetStartDir(start_dir);
    edit.record.mUseRootFolder = request.FormFieldExists("userootfolder");
    edit.record.mUseStartDir = request.FormFieldExists("usestartdir");
  }
  if (button == FormButton::kAdd) {
    request.Response().Redirect("_editvf?id=" + id + "&msg1=Creating%20New%20Virtual%20Folder...", true);
    return;
  }
  if (button != FormButton::kEdit && button != FormButton::kDelete) {
    FollowButton(request, id, button, "_editfolders");
    return;
  }
  if (!request.FormFieldValue("selected", &selected, kCapacity)) {
    handler_.ErrorRedirect(request, id, "Please select a virtual folder.");
    return;
  }
  if (button == FormButton::kEdit) {
    const std::string name = EncodeUrl(selected);
    request.Response().Redirect(
        "_editvf?id=" + id + "&name=" + name + "&msg1=Editing%20Virtual%20Folder%20'" + name + "'...",
        true);
    return;
  }
  {
    Guard guard(edit.Lock());
    const int at = edit.record.FindFolder(selected);
    if (at >= 0) edit.record.RemoveFolder(static_cast<std::size_t>(at));
  }
  handler_.RedirectTo(request, id, "_editfolders");
}

void AccountPages::ProcessLimits(HttpRequest& request, const std::string& id) {
  FormButton button;
  if (!OpenTab(request, id, &button)) return;
  // The number fields in the form's order: the range each holds (the credit
  // rates are signed) and the message a number outside it is refused with.
  struct NumberField {
    std::string_view name;
    std::int64_t lowest;
    std::int64_t highest;
    const char* refusal;
  };
  static constexpr NumberField kFields[] = {
      {"maxsize", 0, UINT32_MAX, accounts::messages::kMaxSizeZero},
      {"uploadspeed", 0, UINT32_MAX, accounts::messages::kUploadSpeedZero},
      {"downloadspeed", 0, UINT32_MAX, accounts::messages::kDownloadSpeedZero},
      {"maxusers", 0, UINT32_MAX, accounts::messages::kMaxUsersZero},
      {"uploadcredits", INT32_MIN, INT32_MAX, accounts::messages::kUploadCreditsRange},
      {"downloadcredits", INT32_MIN, INT32_MAX, accounts::messages::kDownloadCreditsRange},
      {"currentcredits", 0, UINT32_MAX, accounts::messages::kCurrentCreditsRange},
  };
  std::string texts[std::size(kFields)];
  for (std::size_t i = 0; i < std::size(kFields); ++i)
    if (!handler_.RequiredField(request, id, kFields[i].name, &texts[i], kCapacity)) return;
  std::int64_t values[std::size(kFields)] = {};
  for (std::size_t i = 0; i < std::size(kFields); ++i) {
    if (!ReadFormNumber(texts[i], kFields[i].lowest, kFields[i].highest, &values[i])) {
      handler_.ErrorRedirect(request, id, kFields[i].refusal);
      return;
    }
  }
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    AccountRecord& record = edit.record;
    record.mMaxSize = static_cast<std::uint32_t>(values[0]);
    record.mMaxUploadSpeed = static_cast<std::uint32_t>(values[1]);
    record.mMaxDownloadSpeed = static_cast<std::uint32_t>(values[2]);
    record.mMaxUsers = static_cast<std::uint32_t>(values[3]);
    record.mUploadCredits = static_cast<std::int32_t>(values[4]);
    record.mDownloadCredits = static_cast<std::int32_t>(values[5]);
    record.mCurrentCredits = static_cast<std::uint32_t>(values[6]);
    record.mUseMaxSize = request.FormFieldExists("usemaxsize");
    record.mUseMaxUploadSpeed = request.FormFieldExists("useuploadspeed");
    record.mUseMaxDownloadSpeed = request.FormFieldExists("usedownloadspeed");
    record.mUseMaxUsers = request.FormFieldExists("usemaxusers");
    record.mUseCredits = request.FormFieldExists("usecredits");
  }
  FollowButton(request, id, button, "_editlimits");
}

void AccountPages::Store(HttpRequest& request, const std::string& id) {
  AccountRecord record;
  std::string edited_name;
  bool account;
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    edit.record.mSafeIPs = edit.safe_ips;
    edit.record.mBlockIPs = edit.blocked_ips;
    record = edit.record;
    edited_name = edit.edited_name;
    account = edit.account_mode;
  }
  ftp::FtpServer& server = handler_.Server();
  control::RecordControl records = RecordsOf(server, account);
  std::string message;
  if (records.Check(record, edited_name, &message) != control::RecordResult::kDone) {
    handler_.ErrorRedirect(request, id, message);
    return;
  }
  // The whole record: its virtual folders may come from before the limit.
  if (const char* refusal = FolderBrowser::RecordRefusal(FolderBrowser::FixedFolder(server), record)) {
    handler_.ErrorRedirect(request, id, refusal);
    return;
  }
  if (!records.Commit(record, edited_name)) {
    handler_.ErrorRedirect(request, id, account ? "Error while inserting account." : "Error while inserting group.");
    return;
  }
  handler_.ApplyAndSave(request, id, ListPage(account));
}

}  // namespace quillon::admin
