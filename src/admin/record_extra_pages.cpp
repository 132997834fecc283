#include "admin/record_extra_pages.h"

#include <optional>
#include <utility>

#include "accounts/messages.h"
#include "admin/account_pages.h"
#include "admin/folder_browser.h"
#include "admin/record_fields.h"
#include "control/record_control.h"
#include "http/http_text.h"
#include "fileutil/text.h"

namespace quillon::admin {

namespace {

using http::EscapeHtml;
using http::HttpRequest;
using http::ReadFormNumber;
using Guard = runtime::CriticalSection::Guard;
using Method = HttpRequest::Method;
using accounts::AccountRecord;
using accounts::VirtualFolder;

constexpr std::size_t kCapacity = AdminHandler::kFieldCapacity;
constexpr std::size_t kOriginalNameCapacity = 100;

}  // namespace

RecordExtraPages::RecordExtraPages(AdminHandler& handler) : handler_(handler) {
  handler.AddRoute(Method::kGet, "/_editvf",
                   [this](HttpRequest& request, const std::string& id) { FolderPage(request, id); });
  handler.AddRoute(Method::kPost, "/_processaccountvf",
                   [this](HttpRequest& request, const std::string& id) { ProcessFolder(request, id); });
  handler.AddRoute(Method::kGet, "/_editcopy",
                   [this](HttpRequest& request, const std::string& id) { CopyPage(request, id); });
  handler.AddRoute(Method::kPost, "/_processaccountcopy",
                   [this](HttpRequest& request, const std::string& id) { ProcessCopy(request, id); });
}

void RecordExtraPages::FolderPage(HttpRequest& request, const std::string& id) {
  VirtualFolder folder;
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    const std::string* name = request.QueryParam("name");
    const int at = name == nullptr ? -1 : edit.record.FindFolder(*name);
    if (at >= 0) folder = edit.record.FolderAt(static_cast<std::size_t>(at));
  }
  FolderForm(request, id, folder, folder.Name(), FormRefusal());
}

void RecordExtraPages::FolderForm(HttpRequest& request, const std::string& id, const VirtualFolder& folder,
                                  const std::string& original, const FormRefusal& refusal) {
  bool account;
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    account = edit.account_mode;
  }
  const AdminHandler::PageFiller filler = [&](std::string_view name, std::string* out) {
    if (FillRight(folder.mRights, name, out) || refusal.Fill(name, out)) return;
    if (name == "NAME") {
      *out += EscapeHtml(folder.Name());
    } else if (name == "ORIGINALNAME") {
      *out += EscapeHtml(original);
    } else if (name == "PATH") {
      *out += EscapeHtml(folder.Path());
    } else if (name == "MAXSIZE") {
      *out += std::to_string(folder.mMaxSize);
    } else if (name == "USEMAXSIZE") {
      FillCheck(folder.mUseMaxSize, out);
    } else if (name == "VISIBLE") {
      FillCheck(folder.mVisible, out);
    } else if (name == "COUNTS") {
      FillCheck(folder.mCountsTowardsSize, out);
    } else if (name == "CREDITSEXEMPT") {
      FillCheck(folder.mCreditsExempt, out);
    }
  };
  handler_.Page(request, id, account ? "_accountvf.html" : "_groupvf.html", &filler);
}

void RecordExtraPages::ProcessFolder(HttpRequest& request, const std::string& id) {
  if (!handler_.OpenForm(request, id, "_editfolders")) return;
  if (!request.FormFieldExists("buttonok")) {
    handler_.RedirectTo(request, id, "_editfolders");
    return;
  }
  std::string original, name, path, max_size;
  request.FormFieldValue("originalname", &original, kOriginalNameCapacity);
  // The page's script disables the size field while "Limit the size" is
  // off; a disabled field is not sent, and the folder keeps its size.
  const bool size_kept = !request.FormFieldExists("maxsize") && !request.FormFieldExists("usemaxsize");
  if (!handler_.RequiredField(request, id, "name", &name, kCapacity) ||
      !handler_.RequiredField(request, id, "path", &path, kCapacity) ||
      (!size_kept && !handler_.RequiredField(request, id, "maxsize", &max_size, kCapacity)))
    return;
  VirtualFolder folder;
  folder.SetName(name);
  folder.SetPath(path);
  folder.mUseMaxSize = request.FormFieldExists("usemaxsize");
  folder.mRights = ReadRights(request);
  folder.mVisible = request.FormFieldExists("visible");
  folder.mCountsTowardsSize = request.FormFieldExists("counts");
  folder.mCreditsExempt = request.FormFieldExists("creditsexempt");
  // A refusal re-renders the form as typed, the message beside its field.
  const VirtualFolder typed = folder;
  if (size_kept) {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    const int at = original.empty() ? -1 : edit.record.FindFolder(original);
    if (at >= 0) folder.mMaxSize = edit.record.FolderAt(static_cast<std::size_t>(at)).mMaxSize;
  } else if (!ReadFormNumber(max_size, &folder.mMaxSize)) {
    FormRefusal refusal("maxsize", accounts::messages::kFolderMaxSizeZero);
    refusal.KeepTyped("maxsize", max_size);
    FolderForm(request, id, typed, original, refusal);
    return;
  }
  std::string message;
  if (!folder.Validate(&message)) {
    namespace msg = accounts::messages;
    const bool about_path = message == msg::kNoFolderPath || message == msg::kFolderPathNotValid ||
                            message == msg::kFolderPathNotFound;
    const std::string_view field = message == msg::kFolderMaxSizeZero ? "maxsize" : about_path ? "path" : "name";
    VirtualFolder shown = typed;
    shown.mMaxSize = folder.mMaxSize;
    FolderForm(request, id, shown, original, FormRefusal(field, message));
    return;
  }
  if (!FolderBrowser::Allows(FolderBrowser::FixedFolder(handler_.Server()), folder.Path())) {
    FolderForm(request, id, folder, original, FormRefusal("path", kPathNotAllowed));
    return;
  }
  bool gone = false, taken = false;
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.Lock());
    AccountRecord& record = edit.record;
    std::optional<std::size_t> editing;
    if (!original.empty()) {
      const int at = record.FindFolder(original);
      if (at >= 0) editing = static_cast<std::size_t>(at);
    }
    if (!original.empty() && !editing) {
      gone = true;
    } else if (!control::RecordControl::FolderNameFree(record, folder.Name(), editing)) {
      taken = true;
    } else if (editing) {
      record.FolderAt(*editing) = folder;
    } else {
      record.AddOrReplaceFolder(folder);
    }
  }
  if (gone) {
    handler_.ErrorRedirect(request, id, "Unable to update the virtual folder.");
    return;
  }
  if (taken) {
    FolderForm(request, id, folder, original, FormRefusal("name", control::RecordControl::kFolderNameTaken));
    return;
  }
  handler_.RedirectTo(request, id, "_editfolders");
}

void RecordExtraPages::CopyPage(HttpRequest& request, const std::string& id) {
  std::string name;
  bool account;
  {
    EditState& edit = handler_.Edit();
    Guard guard(edit.CopyLock());
    name = edit.copy_source.Name();
    account = edit.copy_is_account;
  }
  const AdminHandler::PageFiller filler = [&](std::string_view placeholder, std::string* out) {
    if (placeholder == "CURRENTNAME") {
      *out += EscapeHtml(name);
    } else if (placeholder == "COPYMSG") {
      *out += fileutil::FormatText(account ? "Copying account '%s'..." : "Copying group '%s'...",
                              EscapeHtml(name).c_str());
    } else if (placeholder == "PROCESSACCOUNTCOPY") {
      *out += "_processaccountcopy?id=" + id;
    }
  };
  handler_.Page(request, id, account ? "_accountcopy.html" : "_groupcopy.html", &filler);
}

void RecordExtraPages::ProcessCopy(HttpRequest& request, const std::string& id) {
  EditState& edit = handler_.Edit();
  AccountRecord copy;
  bool account;
  {
    Guard guard(edit.CopyLock());
    copy = edit.copy_source;
    account = edit.copy_is_account;
  }
  if (!handler_.OpenForm(request, id, AccountPages::ListPage(account))) return;
  std::string new_name;
  if (!handler_.RequiredField(request, id, "newname", &new_name, kCapacity)) return;
  control::RecordControl records = AccountPages::RecordsOf(handler_.Server(), account);
  const control::RecordResult checked = records.CheckCopy(copy, new_name);
  if (checked == control::RecordResult::kRecordGone) {
    // Nothing was chosen to copy: a blank record is no copy.
    handler_.ErrorRedirect(request, id, account ? "Unable to retrieve account." : "Unable to retrieve group.");
    return;
  }
  if (checked != control::RecordResult::kDone) {
    handler_.ErrorRedirect(request, id, control::RecordControl::CopyRefusalText(checked, records.Kind()));
    return;
  }
  // A copy stores its source's folders anew: they must pass the limit too.
  if (const char* outside =
          FolderBrowser::RecordRefusal(FolderBrowser::FixedFolder(handler_.Server()), copy)) {
    handler_.ErrorRedirect(request, id, outside);
    return;
  }
  if (records.Copy(std::move(copy), new_name) != control::RecordResult::kDone) {
    handler_.ErrorRedirect(request, id, account ? "Error while inserting account." : "Error while inserting group.");
    return;
  }
  {
    Guard guard(edit.CopyLock());
    edit.copy_source.Reset();
    edit.copy_is_account = false;
  }
  // Applied and saved at once, as every other change of the stores is.
  handler_.ApplyAndSave(request, id, AccountPages::ListPage(account));
}

}  // namespace quillon::admin
