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

std::string AccountPages::TableRow(const control::RecordRow& row, bool account) {
  const std::string name = EscapeHtml(row.name);
  const auto or_dash = [](const std::string& text) { return text.empty() ? std::string("-") : EscapeHtml(text); };
  std::string out = FormatText(
      "<tr data-name=\"%s\"><td><input type=\"checkbox\" name=\"pick\" value=\"%s\" aria-label=\"Select %s\"></td>"
      "<th scope=\"row\">%s</th><td>%s</td><td>%s</td><td class=\"path\">%s</td><td>%s</td><td>%s</td><td>%s</td>",
      name.c_str(), name.c_str(), name.c_str(), name.c_str(), row.enabled ? "Yes" : "No", or_dash(row.group).c_str(),
      or_dash(row.root_folder).c_str(), control::UsedCellText(row).c_str(), control::AllocationCellText(row).c_str(),
      row.uses_credits ? std::to_string(row.credits).c_str() : "-");
  if (account) {
    out += FormatText("<td>%u</td><td>%s</td>", row.sessions, control::LoginTimeText(row.last_login_ns).c_str());
  }
  out += "</tr>\r\n";
  return out;
}

AccountPages::AccountPages(AdminHandler& handler) : handler_(handler) {
  const auto route = [this, &handler](Method method, std::string_view path,
                                      void (AccountPages::*member)(HttpRequest&, const std::string&)) {
    handler.AddRoute(method, path, [this, member](HttpRequest& request, const std::string& id) {
      (this->*member)(request, id);
    });
  };
  route(Method::kPost, "/_processaccountselection", &AccountPages::Selection);
  route(Method::kPost, "/_processrecordbulk", &AccountPages::Bulk);
  handler.AddRoute(Method::kGet, "/_accounts", [this](HttpRequest& request, const std::string& id) {
    List(request, id, true);
  });
  handler.AddRoute(Method::kGet, "/_groups", [this](HttpRequest& request, const std::string& id) {
    List(request, id, false);
  });
  route(Method::kPost, "/_processaccountgen", &AccountPages::ProcessGeneral);
  route(Method::kPost, "/_processaccountfolders", &AccountPages::ProcessFolders);
  route(Method::kPost, "/_processaccountlimits", &AccountPages::ProcessLimits);
  const auto tab = [this, &handler](std::string_view path, TabKind kind) {
    handler.AddRoute(Method::kGet, path, [this, kind](HttpRequest& request, const std::string& id) {
      Tab(request, id, kind, WorkingCopy(), FormRefusal());
    });
  };
  tab("/_editgen", TabKind::kGeneral);
  tab("/_editfolders", TabKind::kFolders);
  tab("/_editlimits", TabKind::kLimits);
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
    // Asked first (in a dialog with script): a deletion cannot be taken back.
    if (!AdminHandler::Confirmed(request)) {
      ConfirmDeletion(request, id, account, {selected}, false);
      return;
    }
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

void AccountPages::List(HttpRequest& request, const std::string& id, bool account) {
  std::string filter;
  if (const std::string* value = request.QueryParam("filter")) filter = value->substr(0, kCapacity - 1);
  const std::vector<control::RecordRow> rows = RecordsOf(handler_.Server(), account).Rows(filter);
  const AdminHandler::PageFiller filler = [&](std::string_view name, std::string* out) {
    if (name == "FILTER") {
      *out += EscapeHtml(filter);
    } else if (name == "RECORDSTABLE") {
      for (const control::RecordRow& row : rows) *out += TableRow(row, account);
      if (rows.empty()) {
        *out += FormatText("<tr><td colspan=\"%d\" class=\"muted\">%s</td></tr>\r\n", account ? 10 : 8,
                           account ? "No accounts match the filter." : "No groups match the filter.");
      }
    }
  };
  handler_.Page(request, id, ListPage(account) + std::string(".html"), &filler);
}

void AccountPages::Bulk(HttpRequest& request, const std::string& id) {
  const std::string* mode = request.QueryParam("mode");
  const bool account = mode == nullptr || *mode != "group";
  if (!handler_.OpenForm(request, id, ListPage(account))) return;
  const std::vector<std::string> picked = request.FormFieldValues("pick", kCapacity);
  const bool enable = request.FormFieldExists("buttonenable");
  const bool disable = request.FormFieldExists("buttondisable");
  const bool remove = request.FormFieldExists("buttondelete");
  if (!enable && !disable && !remove) {
    handler_.RedirectTo(request, id, ListPage(account));
    return;
  }
  if (picked.empty()) {
    handler_.ErrorRedirect(request, id,
                           control::RecordControl::NothingPickedText(account ? control::RecordKind::kAccount
                                                                             : control::RecordKind::kGroup));
    return;
  }
  if (remove && !AdminHandler::Confirmed(request)) {
    ConfirmDeletion(request, id, account, picked, true);
    return;
  }
  control::RecordControl records = RecordsOf(handler_.Server(), account);
  // A record another face removed meanwhile is skipped: the rest still change.
  for (const std::string& name : picked) {
    if (remove)
      records.Delete(name);
    else
      records.SetEnabled(name, enable);
  }
  // Applied and saved at once, as a single deletion is.
  handler_.ApplyAndSave(request, id, ListPage(account));
}

AccountPages::Edited AccountPages::WorkingCopy() {
  Edited edited;
  EditState& edit = handler_.Edit();
  Guard guard(edit.Lock());
  edited.record = edit.record;
  edited.account = edit.account_mode;
  edited.edited_name = edit.edited_name;
  return edited;
}

void AccountPages::Tab(HttpRequest& request, const std::string& id, TabKind tab, const Edited& edited,
                       const FormRefusal& refusal) {
  struct TabPage {
    const char* account_template;
    const char* group_template;
    Filler fill;
  };
  static constexpr TabPage kTabs[] = {
      {"_accountgen.html", "_groupgen.html", &AccountPages::FillGeneral},
      {"_accountfolders.html", "_groupfolders.html", &AccountPages::FillFolders},
      {"_accountlimits.html", "_grouplimits.html", &AccountPages::FillLimits},
  };
  const TabPage& page = kTabs[static_cast<std::size_t>(tab)];
  const AdminHandler::PageFiller filler = [this, &edited, &refusal, &page](std::string_view name, std::string* out) {
    if (!refusal.Fill(name, out)) (this->*page.fill)(edited, name, out);
  };
  handler_.Page(request, id, edited.account ? page.account_template : page.group_template, &filler);
}

bool AccountPages::ShowRefusal(HttpRequest& request, const std::string& id, const std::string& message) {
  namespace msg = accounts::messages;
  // The field each refusal of the record's check concerns, and its tab.
  struct Place {
    const char* message;
    TabKind tab;
    std::string_view field;
  };
  static constexpr Place kPlaces[] = {
      {msg::kNoUserLogin, TabKind::kGeneral, "user"},
      {msg::kNoGroupName, TabKind::kGeneral, "user"},
      {msg::kIllegalLogin, TabKind::kGeneral, "user"},
      {msg::kIllegalGroupName, TabKind::kGeneral, "user"},
      {msg::kUserExists, TabKind::kGeneral, "user"},
      {msg::kGroupExists, TabKind::kGeneral, "user"},
      {msg::kIllegalPassword, TabKind::kGeneral, "pass"},
      {msg::kNoPassword, TabKind::kGeneral, "pass"},
      {msg::kSelectGroup, TabKind::kGeneral, "group"},
      {msg::kGroupInItself, TabKind::kGeneral, "group"},
      {msg::kRootNotValid, TabKind::kFolders, "path"},
      {msg::kRootMissing, TabKind::kFolders, "path"},
      {kRootNotAllowed, TabKind::kFolders, "path"},
      {msg::kNoStartDir, TabKind::kFolders, "startdir"},
      {msg::kIllegalStartDir, TabKind::kFolders, "startdir"},
      {kPathNotAllowed, TabKind::kFolders, "selected"},
      {msg::kMaxSizeZero, TabKind::kLimits, "maxsize"},
      {msg::kUploadSpeedZero, TabKind::kLimits, "uploadspeed"},
      {msg::kDownloadSpeedZero, TabKind::kLimits, "downloadspeed"},
      {msg::kMaxUsersZero, TabKind::kLimits, "maxusers"},
  };
  // A virtual folder's missing path names the folder: its text is matched
  // up to the name.
  const std::string_view folder_missing(msg::kFolderPathMissing);
  const std::string_view folder_prefix = folder_missing.substr(0, folder_missing.find('%'));
  const Place folder_place{msg::kFolderPathMissing, TabKind::kFolders, "selected"};
  const Place* place = message.starts_with(folder_prefix) ? &folder_place : nullptr;
  for (const Place& candidate : kPlaces)
    if (message == candidate.message) place = &candidate;
  if (place == nullptr) return false;
  Tab(request, id, place->tab, WorkingCopy(), FormRefusal(place->field, message));
  return true;
}

void AccountPages::ConfirmDeletion(HttpRequest& request, const std::string& id, bool account,
                                   const std::vector<std::string>& names, bool checked_rows) {
  const bool one = !checked_rows;
  AdminHandler::Confirmation confirmation;
  confirmation.title = account ? (one ? "Deleting an Account" : "Deleting Accounts")
                               : (one ? "Deleting a Group" : "Deleting Groups");
  confirmation.message = account ? (one ? "Are you sure you want to delete this account?"
                                        : "Are you sure you want to delete the selected accounts?")
                                 : (one ? "Are you sure you want to delete this group?"
                                        : "Are you sure you want to delete the selected groups?");
  confirmation.action = std::string(one ? "_processaccountselection" : "_processrecordbulk") +
                        (account ? "?mode=account" : "?mode=group");
  confirmation.button_name = "buttondelete";
  confirmation.button = "Delete";
  for (const std::string& name : names) confirmation.fields.emplace_back(one ? "selected" : "pick", name);
  confirmation.cancel_page = ListPage(account);
  handler_.ConfirmPage(request, id, confirmation);
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
  if (name == "USEDSPACE") {
    *out += EscapeHtml(control::UsedSpaceText(RecordsOf(handler_.Server(), edited.account).RowOf(record)));
  } else if (name == "USEMAXSIZE") {
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
  if (!AdminHandler::Confirmed(request)) {
    ConfirmFolderDeletion(request, id, selected);
    return;
  }
  {
    Guard guard(edit.Lock());
    const int at = edit.record.FindFolder(selected);
    if (at >= 0) edit.record.RemoveFolder(static_cast<std::size_t>(at));
  }
  handler_.RedirectTo(request, id, "_editfolders");
}

void AccountPages::ConfirmFolderDeletion(HttpRequest& request, const std::string& id, const std::string& name) {
  AdminHandler::Confirmation confirmation;
  confirmation.title = "Deleting a Virtual Folder";
  confirmation.message = "Are you sure you want to delete this virtual folder?";
  confirmation.action = "_processaccountfolders";
  confirmation.button_name = "buttondelete";
  confirmation.button = "Delete";
  confirmation.cancel_page = "_editfolders";
  // The tab's fields as the form had them (stored already): the
  // confirmation posts them again with the folder.
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    confirmation.fields = {{"path", edit.record.RootFolder()}, {"startdir", edit.record.StartDir()}};
    if (edit.record.mUseRootFolder) confirmation.fields.emplace_back("userootfolder", "on");
    if (edit.record.mUseStartDir) confirmation.fields.emplace_back("usestartdir", "on");
  }
  confirmation.fields.emplace_back("selected", name);
  handler_.ConfirmPage(request, id, confirmation);
}

void AccountPages::ProcessLimits(HttpRequest& request, const std::string& id) {
  FormButton button;
  if (!OpenTab(request, id, &button)) return;
  // The number fields in the form's order: the range each holds (the credit
  // rates are signed), the message a number outside it is refused with, and
  // the box that puts a limit in use. The page's script disables a limit's
  // field while its box is off, and a disabled field is not sent: the record
  // then keeps the value it has.
  struct NumberField {
    std::string_view name;
    std::int64_t lowest;
    std::int64_t highest;
    const char* refusal;
    std::string_view use_box;
  };
  static constexpr NumberField kFields[] = {
      {"maxsize", 0, UINT32_MAX, accounts::messages::kMaxSizeZero, "usemaxsize"},
      {"uploadspeed", 0, UINT32_MAX, accounts::messages::kUploadSpeedZero, "useuploadspeed"},
      {"downloadspeed", 0, UINT32_MAX, accounts::messages::kDownloadSpeedZero, "usedownloadspeed"},
      {"maxusers", 0, UINT32_MAX, accounts::messages::kMaxUsersZero, "usemaxusers"},
      {"uploadcredits", INT32_MIN, INT32_MAX, accounts::messages::kUploadCreditsRange, ""},
      {"downloadcredits", INT32_MIN, INT32_MAX, accounts::messages::kDownloadCreditsRange, ""},
      {"currentcredits", 0, UINT32_MAX, accounts::messages::kCurrentCreditsRange, ""},
  };
  std::string texts[std::size(kFields)];
  bool kept[std::size(kFields)] = {};
  for (std::size_t i = 0; i < std::size(kFields); ++i) {
    const NumberField& field = kFields[i];
    kept[i] = !field.use_box.empty() && !request.FormFieldExists(field.name) &&
              !request.FormFieldExists(field.use_box);
    if (!kept[i] && !handler_.RequiredField(request, id, field.name, &texts[i], kCapacity)) return;
  }
  std::int64_t values[std::size(kFields)] = {};
  for (std::size_t i = 0; i < std::size(kFields); ++i) {
    if (kept[i] || ReadFormNumber(texts[i], kFields[i].lowest, kFields[i].highest, &values[i])) continue;
    // The tab again as typed (nothing stored), the refusal beside the field.
    Edited shown = WorkingCopy();
    ReadLimitBoxes(request, &shown.record);
    FormRefusal refusal(kFields[i].name, kFields[i].refusal);
    for (std::size_t j = 0; j < std::size(kFields); ++j)
      if (!kept[j]) refusal.KeepTyped(kFields[j].name, texts[j]);
    Tab(request, id, TabKind::kLimits, shown, refusal);
    return;
  }
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    AccountRecord& record = edit.record;
    std::uint32_t* const limits[] = {&record.mMaxSize, &record.mMaxUploadSpeed, &record.mMaxDownloadSpeed,
                                     &record.mMaxUsers};
    for (std::size_t i = 0; i < std::size(limits); ++i)
      if (!kept[i]) *limits[i] = static_cast<std::uint32_t>(values[i]);
    record.mUploadCredits = static_cast<std::int32_t>(values[4]);
    record.mDownloadCredits = static_cast<std::int32_t>(values[5]);
    record.mCurrentCredits = static_cast<std::uint32_t>(values[6]);
    ReadLimitBoxes(request, &record);
  }
  FollowButton(request, id, button, "_editlimits");
}

void AccountPages::ReadLimitBoxes(const HttpRequest& request, AccountRecord* record) {
  record->mUseMaxSize = request.FormFieldExists("usemaxsize");
  record->mUseMaxUploadSpeed = request.FormFieldExists("useuploadspeed");
  record->mUseMaxDownloadSpeed = request.FormFieldExists("usedownloadspeed");
  record->mUseMaxUsers = request.FormFieldExists("usemaxusers");
  record->mUseCredits = request.FormFieldExists("usecredits");
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
  // The whole record: its virtual folders may come from before the limit.
  if (records.Check(record, edited_name, &message) == control::RecordResult::kDone) {
    message.clear();
    if (const char* refusal = FolderBrowser::RecordRefusal(FolderBrowser::FixedFolder(server), record))
      message = refusal;
  }
  if (!message.empty()) {
    if (!ShowRefusal(request, id, message)) handler_.ErrorRedirect(request, id, message);
    return;
  }
  if (!records.Commit(record, edited_name)) {
    handler_.ErrorRedirect(request, id, account ? "Error while inserting account." : "Error while inserting group.");
    return;
  }
  handler_.ApplyAndSave(request, id, ListPage(account));
}

}  // namespace quillon::admin
