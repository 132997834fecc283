#include "admin/json_api.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <utility>

#include "accounts/account_record.h"
#include "control/config_commands.h"
#include "control/ip_list_control.h"
#include "control/record_control.h"
#include "control/service_control.h"
#include "control/session_control.h"
#include "control/settings_control.h"
#include "fileutil/directory_enumerator.h"
#include "fileutil/file_handle.h"
#include "fileutil/text.h"
#include "ftp/ftp_server.h"
#include "runtime/critical_section.h"
#include "settings/server_settings.h"

namespace quillon::admin {

using accounts::AccountRecord;
using control::RecordControl;
using control::RecordKind;
using control::RecordResult;
using http::JsonValue;

namespace {

constexpr const char* kVerbNames[] = {"GET", "POST", "PUT", "PATCH", "DELETE"};

// The log folders of the program folder, by the name the interface gives them.
constexpr std::pair<const char*, const char*> kLogFolders[] = {{"system", "logs"}, {"accounts", "accountlogs"}};

const char* KindNoun(RecordKind kind) { return kind == RecordKind::kAccount ? "account" : "group"; }

JsonValue IpListJson(bool use, const runtime::IpRangeList& list) {
  JsonValue entries = JsonValue::Array();
  for (std::size_t i = 0; i < list.Count(); ++i) entries.Append(list.EntryText(i));
  return JsonValue::Object().Set("enabled", use).Set("entries", std::move(entries));
}

JsonValue Limit(bool use, std::uint32_t value) { return use ? JsonValue(value) : JsonValue(); }

JsonValue FolderJson(const accounts::VirtualFolder& folder) {
  return JsonValue::Object()
      .Set("name", folder.Name())
      .Set("path", folder.Path())
      .Set("rights", control::RecordOptions::RightsText(folder.mRights))
      .Set("visible", folder.mVisible)
      .Set("max_size_mb", Limit(folder.mUseMaxSize, folder.mMaxSize));
}

JsonValue RecordJson(const AccountRecord& record, RecordKind kind) {
  JsonValue json = JsonValue::Object();
  json.Set("name", record.Name()).Set("enabled", record.mEnabled);
  if (kind == RecordKind::kAccount) json.Set("password_set", !record.Password().empty());
  json.Set("group", record.mInGroup ? JsonValue(record.Group()) : JsonValue())
      .Set("root_folder", record.mUseRootFolder ? JsonValue(record.RootFolder()) : JsonValue())
      .Set("start_folder", record.mUseStartDir ? JsonValue(record.StartDir()) : JsonValue())
      .Set("rights", control::RecordOptions::RightsText(record.mRights))
      .Set("max_size_mb", Limit(record.mUseMaxSize, record.mMaxSize))
      .Set("max_upload_kbs", Limit(record.mUseMaxUploadSpeed, record.mMaxUploadSpeed))
      .Set("max_download_kbs", Limit(record.mUseMaxDownloadSpeed, record.mMaxDownloadSpeed))
      .Set("max_sessions", Limit(record.mUseMaxUsers, record.mMaxUsers))
      .Set("credits_enabled", record.mUseCredits)
      .Set("credits", record.mCurrentCredits)
      .Set("credits_per_upload_kb", static_cast<std::int64_t>(record.mUploadCredits))
      .Set("credits_per_download_kb", static_cast<std::int64_t>(record.mDownloadCredits))
      .Set("always_allow_login", record.mAlwaysAllowLogin)
      .Set("allow_password_change", record.mAllowPassChange)
      .Set("account_log", record.mUseLogs)
      .Set("safe_ips", IpListJson(record.mUseSafeIPs, record.mSafeIPs))
      .Set("blocked_ips", IpListJson(record.mUseBlockIPs, record.mBlockIPs));
  JsonValue folders = JsonValue::Array();
  for (const accounts::VirtualFolder& folder : record.VirtualFolders()) folders.Append(FolderJson(folder));
  json.Set("vfolders", std::move(folders));
  return json;
}

JsonValue RowJson(const control::RecordRow& row, RecordKind kind) {
  JsonValue json = JsonValue::Object();
  json.Set("name", row.name)
      .Set("enabled", row.enabled)
      .Set("group", row.group.empty() ? JsonValue() : JsonValue(row.group))
      .Set("root_folder", row.root_folder.empty() ? JsonValue() : JsonValue(row.root_folder))
      .Set("used_bytes", row.used_known ? JsonValue(row.used_bytes) : JsonValue())
      .Set("allocation_bytes", row.allocation_bytes == 0 ? JsonValue() : JsonValue(row.allocation_bytes))
      .Set("credits", row.uses_credits ? JsonValue(row.credits) : JsonValue());
  if (kind == RecordKind::kAccount) {
    json.Set("sessions", row.sessions)
        .Set("last_login", row.last_login_ns ? JsonValue(*row.last_login_ns / 1'000'000'000) : JsonValue());
  }
  return json;
}

// The fields a change may set, with the set-up tool's option that sets
// them, so both check a value alike and refuse it in the same words.
constexpr std::pair<const char*, const char*> kRecordFields[] = {
    {"password", "--password"},
    {"root_folder", "--root"},
    {"rights", "--rights"},
    {"group", "--group"},
    {"max_size_mb", "--max-size"},
    {"max_upload_kbs", "--max-upload-kbs"},
    {"max_download_kbs", "--max-download-kbs"},
    {"credits", "--credits"},
    {"credits_enabled", "--enable-credits"},
    {"credits_per_upload_kb", "--credits-per-upload-kb"},
    {"credits_per_download_kb", "--credits-per-download-kb"},
    {"enabled", "--enabled"},
    {"start_folder", "--start-dir"},
    {"max_sessions", "--max-users"},
    {"always_allow_login", "--always-allow-login"},
    {"allow_password_change", "--allow-password-change"},
    {"account_log", "--account-log"},
};

// A JSON value as the tool's option text: true/false as on/off, null as
// off, numbers in decimal. False for arrays and objects.
bool OptionText(const JsonValue& value, std::string* text) {
  std::int64_t number = 0;
  switch (value.GetType()) {
    case JsonValue::Type::kNull: *text = "off"; return true;
    case JsonValue::Type::kBool: *text = value.AsBool() ? "on" : "off"; return true;
    case JsonValue::Type::kString: *text = value.AsString(); return true;
    case JsonValue::Type::kNumber:
      if (!value.AsInteger(&number)) return false;
      *text = std::to_string(number);
      return true;
    default: return false;
  }
}

// `text` as a whole number from `least` to `most` (digits only, a leading
// minus allowed); false for anything else.
bool ParseWhole(std::string_view text, std::int64_t least, std::int64_t most, std::int64_t* out) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < least || value > most)
    return false;
  *out = value;
  return true;
}

}  // namespace

JsonValue RecordFieldsJson(const AccountRecord& record, bool is_group) {
  return RecordJson(record, is_group ? RecordKind::kGroup : RecordKind::kAccount);
}

// What a route's handler is given: the call, its path parameters and its
// parsed body (an empty object when it had none).
struct JsonApi::Params {
  const ApiCall& call;
  RecordKind kind = RecordKind::kAccount;
  std::map<std::string, std::string, std::less<>> values;
  JsonValue body;

  const std::string& Value(std::string_view name) const { return values.find(name)->second; }
  const std::string* Query(std::string_view name) const { return call.query ? call.query(name) : nullptr; }
  // The query parameter `name` as a whole number from `least` to `most`;
  // `fallback` when absent; false when it is something else.
  bool QueryNumber(std::string_view name, std::int64_t least, std::int64_t most, std::int64_t fallback,
                   std::int64_t* out) const {
    const std::string* text = Query(name);
    if (text == nullptr) {
      *out = fallback;
      return true;
    }
    return ParseWhole(*text, least, most, out);
  }
};

struct JsonApi::Route {
  ApiVerb verb;
  const char* pattern;  // segments; "{kind}" is accounts or groups, "{x}" any one segment
  bool changes;
  ApiReply (JsonApi::*handler)(const Params& params);
};

const std::vector<JsonApi::Route>& JsonApi::Routes() {
  static const std::vector<Route> routes = {
      {ApiVerb::kGet, "/{kind}", false, &JsonApi::ListRecords},
      {ApiVerb::kPost, "/{kind}", true, &JsonApi::CreateRecord},
      {ApiVerb::kGet, "/{kind}/{name}", false, &JsonApi::GetRecord},
      {ApiVerb::kPatch, "/{kind}/{name}", true, &JsonApi::UpdateRecord},
      {ApiVerb::kDelete, "/{kind}/{name}", true, &JsonApi::DeleteRecord},
      {ApiVerb::kPost, "/{kind}/{name}/copy", true, &JsonApi::CopyRecord},
      {ApiVerb::kPost, "/{kind}/{name}/rename", true, &JsonApi::RenameRecord},
      {ApiVerb::kGet, "/{kind}/{name}/vfolders", false, &JsonApi::ListFolders},
      {ApiVerb::kPost, "/{kind}/{name}/vfolders", true, &JsonApi::AddFolder},
      {ApiVerb::kDelete, "/{kind}/{name}/vfolders", true, &JsonApi::DeleteFolder},
      {ApiVerb::kGet, "/settings", false, &JsonApi::GetSettings},
      {ApiVerb::kPatch, "/settings", true, &JsonApi::UpdateSettings},
      {ApiVerb::kGet, "/ips", false, &JsonApi::GetIpLists},
      {ApiVerb::kPut, "/ips/{list}", true, &JsonApi::PutIpList},
      {ApiVerb::kGet, "/sessions", false, &JsonApi::ListSessions},
      {ApiVerb::kPost, "/sessions/{session}/{action}", true, &JsonApi::SessionAction},
      {ApiVerb::kGet, "/server", false, &JsonApi::ServerStatus},
      {ApiVerb::kPost, "/server/activate", true, &JsonApi::Activate},
      {ApiVerb::kPost, "/server/deactivate", true, &JsonApi::Deactivate},
      {ApiVerb::kGet, "/logs", false, &JsonApi::ListLogs},
      {ApiVerb::kGet, "/logs/{folder}/{file}", false, &JsonApi::ReadLog},
  };
  return routes;
}

std::vector<std::string> JsonApi::RouteNames() {
  std::vector<std::string> names;
  for (const Route& route : Routes()) {
    std::string pattern = route.pattern;
    // The interface description names both kinds of record.
    if (pattern.rfind("/{kind}", 0) == 0) {
      for (const char* kind : {"/accounts", "/groups"})
        names.push_back(std::string(kVerbNames[static_cast<int>(route.verb)]) + " " + kind + pattern.substr(7));
      continue;
    }
    names.push_back(std::string(kVerbNames[static_cast<int>(route.verb)]) + " " + pattern);
  }
  return names;
}

JsonApi::JsonApi(ftp::FtpServer& server, control::ConfigTarget& target, std::string log_folder)
    : server_(server), target_(target), log_folder_(std::move(log_folder)) {}

ApiReply JsonApi::Error(int status, std::string_view code, std::string_view message) {
  ApiReply reply;
  reply.status = status;
  reply.body = JsonValue::Object().Set(
      "error", JsonValue::Object().Set("code", std::string(code)).Set("message", std::string(message)));
  return reply;
}

namespace {

std::vector<std::string> Segments(std::string_view path) {
  std::vector<std::string> segments;
  std::size_t at = 0;
  while (at < path.size()) {
    if (path[at] == '/') {
      ++at;
      continue;
    }
    const std::size_t end = std::min(path.find('/', at), path.size());
    segments.emplace_back(path.substr(at, end - at));
    at = end;
  }
  return segments;
}

}  // namespace

ApiReply JsonApi::Handle(const ApiCall& call) {
  const std::vector<std::string> segments = Segments(call.path);
  bool path_known = false;
  for (const Route& route : Routes()) {
    const std::vector<std::string> pattern = Segments(route.pattern);
    if (pattern.size() != segments.size()) continue;
    Params params{call, RecordKind::kAccount, {}, JsonValue::Object()};
    bool match = true;
    for (std::size_t i = 0; i < pattern.size() && match; ++i) {
      const std::string& part = pattern[i];
      if (part == "{kind}") {
        match = segments[i] == "accounts" || segments[i] == "groups";
        params.kind = segments[i] == "accounts" ? RecordKind::kAccount : RecordKind::kGroup;
      } else if (part.front() == '{') {
        params.values[part.substr(1, part.size() - 2)] = segments[i];
      } else {
        match = part == segments[i];
      }
    }
    if (!match) continue;
    path_known = true;
    if (route.verb != call.verb) continue;
    if (route.changes && call.read_only)
      return Error(403, "read_only", "This token may read but not change anything.");
    if (call.body.size() > kMaxBody) return Error(400, "body_too_large", "The body is too large.");
    if (!call.body.empty()) {
      std::string message;
      std::optional<JsonValue> body = JsonValue::Parse(call.body, &message);
      if (!body) return Error(400, "invalid_json", "The body is not valid JSON: " + message + ".");
      if (!body->IsObject()) return Error(400, "invalid_json", "The body must be a JSON object.");
      params.body = std::move(*body);
    } else {
      params.body = JsonValue::Object();
    }
    return (this->*route.handler)(params);
  }
  if (path_known) return Error(405, "method_not_allowed", "That method is not allowed here.");
  return Error(404, "unknown_path", "There is no such resource.");
}

ApiReply JsonApi::Saved(std::string what, ApiReply done) {
  std::string message;
  if (!target_.CommitRecords(RecordKind::kAccount, &message)) return Error(500, "not_saved", message);
  done.change = std::move(what);
  return done;
}

ApiReply JsonApi::ListRecords(const Params& params) {
  std::int64_t offset = 0, limit = 0;
  if (!params.QueryNumber("offset", 0, INT32_MAX, 0, &offset) ||
      !params.QueryNumber("limit", 1, kMaxPageSize, 100, &limit))
    return Error(400, "invalid_request", "offset must be 0 or more and limit from 1 to 1000.");
  const std::string* filter = params.Query("filter");
  const std::vector<control::RecordRow> rows =
      RecordControl(server_, params.kind).Rows(filter != nullptr ? *filter : std::string());
  JsonValue items = JsonValue::Array();
  for (std::size_t i = static_cast<std::size_t>(offset);
       i < rows.size() && i < static_cast<std::size_t>(offset + limit); ++i)
    items.Append(RowJson(rows[i], params.kind));
  ApiReply reply;
  reply.body = JsonValue::Object()
                   .Set("items", std::move(items))
                   .Set("total", static_cast<std::uint64_t>(rows.size()))
                   .Set("offset", offset)
                   .Set("limit", limit);
  return reply;
}

namespace {

bool TakeRecord(RecordControl& records, const std::string& name, AccountRecord* record) {
  return records.TakeForEdit(name, record) == RecordResult::kDone;
}

ApiReply NoSuchRecord(RecordKind kind, const std::string& name) {
  return JsonApi::Error(404, "not_found", std::string("There is no ") + KindNoun(kind) + " named " + name + ".");
}

// Applies the members of `body` that kRecordFields lists to *record;
// `skip` names members the caller reads itself. A refusal for anything
// else.
std::optional<ApiReply> ApplyFields(const JsonValue& body, RecordKind kind, std::initializer_list<const char*> skip,
                                    AccountRecord* record) {
  control::CommandOptions options;
  for (const auto& [key, value] : body.Members()) {
    if (std::find_if(skip.begin(), skip.end(), [&key](const char* name) { return key == name; }) != skip.end())
      continue;
    const auto* field = std::find_if(std::begin(kRecordFields), std::end(kRecordFields),
                                     [&key](const auto& entry) { return key == entry.first; });
    if (field == std::end(kRecordFields))
      return JsonApi::Error(400, "unknown_field", "The field " + key + " cannot be set.");
    std::string text;
    if (!OptionText(value, &text))
      return JsonApi::Error(422, "invalid_value", "The field " + key + " needs a text, a whole number, true, false or null.");
    options.values[field->second] = text;
  }
  std::string message;
  if (!control::RecordOptions::Apply(options, kind == RecordKind::kGroup, record, &message)) {
    // The tool's words name its option; here the field is named instead.
    for (const auto& [field, option] : kRecordFields) {
      const std::string quoted = std::string(option) + " ";
      if (const std::size_t at = message.find(quoted); at != std::string::npos)
        message.replace(at, quoted.size() - 1, field);
    }
    return JsonApi::Error(422, "invalid_value", message);
  }
  return std::nullopt;
}

// A folder from its JSON form; a refusal when a member is wrong.
std::optional<ApiReply> ReadFolder(const JsonValue& json, accounts::VirtualFolder* folder) {
  const JsonValue* name = json.Find("name");
  const JsonValue* path = json.Find("path");
  if (name == nullptr || !name->IsString() || path == nullptr || !path->IsString())
    return JsonApi::Error(400, "invalid_request", "A virtual folder needs a name and a path (texts).");
  folder->SetName(name->AsString());
  folder->SetPath(path->AsString());
  std::string message;
  for (const auto& [key, value] : json.Members()) {
    if (key == "name" || key == "path") continue;
    std::int64_t number = 0;
    if (key == "rights" && value.IsString()) {
      if (!control::RecordOptions::ParseRights(value.AsString(), &folder->mRights, &message))
        return JsonApi::Error(422, "invalid_value", message);
    } else if (key == "visible" && value.IsBool()) {
      folder->mVisible = value.AsBool();
    } else if (key == "max_size_mb" && value.IsNull()) {
      folder->mUseMaxSize = false;
    } else if (key == "max_size_mb" && value.AsInteger(&number) && number > 0 && number <= UINT32_MAX) {
      folder->mUseMaxSize = true;
      folder->mMaxSize = static_cast<std::uint32_t>(number);
    } else {
      return JsonApi::Error(422, "invalid_value", "The folder field " + key + " has a value it cannot take.");
    }
  }
  if (!folder->Validate(&message)) return JsonApi::Error(422, "invalid_value", message);
  return std::nullopt;
}

}  // namespace

ApiReply JsonApi::GetRecord(const Params& params) {
  RecordControl records(server_, params.kind);
  AccountRecord record;
  if (!TakeRecord(records, params.Value("name"), &record)) return NoSuchRecord(params.kind, params.Value("name"));
  ApiReply reply;
  reply.body = RecordJson(record, params.kind);
  return reply;
}

ApiReply JsonApi::StoreRecord(const Params& params, const AccountRecord& record, const std::string& previous_name,
                              int done_status) {
  RecordControl records = target_.Records(params.kind);
  std::string message;
  const RecordResult checked = records.Check(record, previous_name, &message);
  if (checked == RecordResult::kNameTaken) return Error(409, "name_taken", message);
  if (checked != RecordResult::kDone) return Error(422, "invalid_value", message);
  if (!records.Commit(record, previous_name))
    return Error(500, "not_stored", std::string("Unable to store the ") + KindNoun(params.kind) + ".");
  if (!target_.CommitRecords(params.kind, &message)) return Error(500, "not_saved", message);
  ApiReply reply;
  reply.change = std::string(KindNoun(params.kind)) + " '" + record.Name() + "' " +
                 (previous_name.empty() ? std::string("added") : "changed");
  reply.status = done_status;
  AccountRecord stored;
  reply.body = TakeRecord(records, record.Name(), &stored) ? RecordJson(stored, params.kind) : RecordJson(record, params.kind);
  return reply;
}

ApiReply JsonApi::CreateRecord(const Params& params) {
  const JsonValue* name = params.body.Find("name");
  if (name == nullptr || !name->IsString())
    return Error(400, "invalid_request", std::string("A new ") + KindNoun(params.kind) + " needs a name (a text).");
  AccountRecord record;
  record.SetName(name->AsString());
  record.mRights = accounts::kDefaultRights;
  // An account keeps to its own root folder unless root_folder null leaves it to its group.
  record.mUseRootFolder = params.kind == RecordKind::kAccount;
  if (auto refused = ApplyFields(params.body, params.kind, {"name", "vfolders"}, &record)) return *refused;
  if (const JsonValue* folders = params.body.Find("vfolders")) {
    if (!folders->IsArray()) return Error(400, "invalid_request", "vfolders must be a list of folders.");
    for (const JsonValue& json : folders->Items()) {
      accounts::VirtualFolder folder;
      if (auto refused = ReadFolder(json, &folder)) return *refused;
      if (!RecordControl::FolderNameFree(record, folder.Name(), std::nullopt))
        return Error(409, "name_taken", RecordControl::kFolderNameTaken);
      record.AddOrReplaceFolder(folder);
    }
  }
  return StoreRecord(params, record, "", 201);
}

ApiReply JsonApi::UpdateRecord(const Params& params) {
  RecordControl records = target_.Records(params.kind);
  AccountRecord record;
  if (!TakeRecord(records, params.Value("name"), &record)) return NoSuchRecord(params.kind, params.Value("name"));
  if (auto refused = ApplyFields(params.body, params.kind, {}, &record)) return *refused;
  return StoreRecord(params, record, record.Name(), 200);
}

ApiReply JsonApi::DeleteRecord(const Params& params) {
  RecordControl records = target_.Records(params.kind);
  if (records.Delete(params.Value("name")) == RecordResult::kRecordGone)
    return NoSuchRecord(params.kind, params.Value("name"));
  ApiReply done;
  done.status = 204;
  done.has_body = false;
  return Saved(std::string(KindNoun(params.kind)) + " '" + params.Value("name") + "' deleted", done);
}

ApiReply JsonApi::CopyRecord(const Params& params) {
  const JsonValue* name = params.body.Find("name");
  if (name == nullptr || !name->IsString()) return Error(400, "invalid_request", "A copy needs a name (a text).");
  RecordControl records = target_.Records(params.kind);
  const RecordResult result = records.CopyNamed(params.Value("name"), name->AsString());
  if (result == RecordResult::kRecordGone) return NoSuchRecord(params.kind, params.Value("name"));
  if (result == RecordResult::kNameTaken)
    return Error(409, "name_taken", RecordControl::CopyRefusalText(result, params.kind));
  if (result == RecordResult::kNotStored)
    return Error(500, "not_stored", std::string("Unable to store the ") + KindNoun(params.kind) + ".");
  if (result != RecordResult::kDone)
    return Error(422, "invalid_value", RecordControl::CopyRefusalText(result, params.kind));
  AccountRecord copy;
  ApiReply done;
  done.status = 201;
  done.body = TakeRecord(records, name->AsString(), &copy) ? RecordJson(copy, params.kind) : JsonValue::Object();
  return Saved(std::string(KindNoun(params.kind)) + " '" + params.Value("name") + "' copied to '" +
                   name->AsString() + "'",
               std::move(done));
}

ApiReply JsonApi::RenameRecord(const Params& params) {
  const JsonValue* name = params.body.Find("name");
  if (name == nullptr || !name->IsString()) return Error(400, "invalid_request", "A rename needs a name (a text).");
  RecordControl records = target_.Records(params.kind);
  AccountRecord record;
  if (!TakeRecord(records, params.Value("name"), &record)) return NoSuchRecord(params.kind, params.Value("name"));
  const std::string previous = record.Name();
  record.SetName(name->AsString());
  return StoreRecord(params, record, previous, 200);
}

ApiReply JsonApi::ListFolders(const Params& params) {
  RecordControl records(server_, params.kind);
  AccountRecord record;
  if (!TakeRecord(records, params.Value("name"), &record)) return NoSuchRecord(params.kind, params.Value("name"));
  JsonValue folders = JsonValue::Array();
  for (const accounts::VirtualFolder& folder : record.VirtualFolders()) folders.Append(FolderJson(folder));
  ApiReply reply;
  reply.body = JsonValue::Object().Set("items", std::move(folders));
  return reply;
}

ApiReply JsonApi::AddFolder(const Params& params) {
  RecordControl records = target_.Records(params.kind);
  AccountRecord record;
  if (!TakeRecord(records, params.Value("name"), &record)) return NoSuchRecord(params.kind, params.Value("name"));
  accounts::VirtualFolder folder;
  if (auto refused = ReadFolder(params.body, &folder)) return *refused;
  if (!RecordControl::FolderNameFree(record, folder.Name(), std::nullopt))
    return Error(409, "name_taken", RecordControl::kFolderNameTaken);
  record.AddOrReplaceFolder(folder);
  return StoreRecord(params, record, record.Name(), 201);
}

ApiReply JsonApi::DeleteFolder(const Params& params) {
  const std::string* folder_name = params.Query("name");
  if (folder_name == nullptr) return Error(400, "invalid_request", "Name the folder with ?name=.");
  RecordControl records = target_.Records(params.kind);
  AccountRecord record;
  if (!TakeRecord(records, params.Value("name"), &record)) return NoSuchRecord(params.kind, params.Value("name"));
  // Folders are stored by their FTP path, with its leading "/".
  const std::string folder = !folder_name->empty() && (*folder_name)[0] == '/' ? *folder_name : "/" + *folder_name;
  const int at = record.FindFolder(folder);
  if (at < 0) return Error(404, "not_found", "There is no virtual folder " + folder + " in " + record.Name() + ".");
  record.RemoveFolder(static_cast<std::size_t>(at));
  ApiReply reply = StoreRecord(params, record, record.Name(), 204);
  if (reply.status == 204) reply.has_body = false;
  return reply;
}

ApiReply JsonApi::GetSettings(const Params&) {
  settings::ServerSettings& settings = server_.Settings();
  JsonValue values = JsonValue::Object();
  std::string value, message;
  runtime::CriticalSection::Guard guard(settings.Lock());
  for (const std::string& key : settings::ServerSettings::KeyNames()) {
    if (!settings.GetAsText(key, &value, &message)) continue;
    // The admin password is never shown, only whether there is one.
    if (key == "mRAPass") {
      values.Set("mRAPassSet", !value.empty());
      continue;
    }
    values.Set(key, value);
  }
  ApiReply reply;
  reply.body = std::move(values);
  return reply;
}

ApiReply JsonApi::UpdateSettings(const Params& params) {
  const std::vector<std::string> keys = settings::ServerSettings::KeyNames();
  std::vector<std::pair<std::string, std::string>> values;
  for (const auto& [key, value] : params.body.Members()) {
    if (std::find(keys.begin(), keys.end(), key) == keys.end())
      return Error(400, "unknown_field", "There is no setting " + key + " here.");
    std::string text;
    if (!OptionText(value, &text) || value.IsNull())
      return Error(422, "invalid_value", "The setting " + key + " needs a text, a whole number, true or false.");
    if (value.IsBool()) text = value.AsBool() ? "1" : "0";
    values.emplace_back(key, text);
  }
  control::ConfigCommands commands(target_);
  const control::CommandResult result = commands.SetSettings(values);
  if (result.code != control::CommandResult::kDone) {
    std::string message = result.err;
    while (!message.empty() && message.back() == '\n') message.pop_back();
    return Error(422, "invalid_value", message);
  }
  ApiReply reply = GetSettings(params);
  reply.change = "Settings changed";
  return reply;
}

ApiReply JsonApi::GetIpLists(const Params&) {
  const control::SettingsSnapshot now = control::SettingsControl(server_).Read();
  ApiReply reply;
  reply.body = JsonValue::Object()
                   .Set("safe", IpListJson(now.use_safe_ips, now.safe_ips))
                   .Set("blocked", IpListJson(now.use_blocked_ips, now.blocked_ips));
  return reply;
}

ApiReply JsonApi::PutIpList(const Params& params) {
  const std::string& which = params.Value("list");
  if (which != "safe" && which != "blocked") return Error(404, "not_found", "The lists are safe and blocked.");
  const JsonValue* enabled = params.body.Find("enabled");
  const JsonValue* entries = params.body.Find("entries");
  if (enabled == nullptr || !enabled->IsBool() || entries == nullptr || !entries->IsArray())
    return Error(400, "invalid_request", "An IP list needs enabled (true or false) and entries (a list of texts).");
  runtime::IpRangeList list;
  for (const JsonValue& entry : entries->Items()) {
    if (!entry.IsString()) return Error(422, "invalid_value", "Each entry is an address or a range, as a text.");
    const std::string& text = entry.AsString();
    const std::size_t dash = text.find('-');
    const std::string lower = text.substr(0, dash);
    const std::string upper = dash == std::string::npos ? std::string() : text.substr(dash + 1);
    switch (control::IpListControl::Add(&list, lower, dash == std::string::npos ? nullptr : &upper)) {
      case control::IpAddFault::kNone: break;
      case control::IpAddFault::kLowerNotValid:
      case control::IpAddFault::kUpperNotValid:
        return Error(422, "invalid_value", "'" + text + "' is not a valid IP address or range.");
      case control::IpAddFault::kUpperBelowLower:
        return Error(422, "invalid_value", "In '" + text + "' the second address is below the first.");
    }
  }
  control::SettingsControl control(server_);
  control::SettingsSnapshot values = control.Read();
  if (which == "safe") {
    values.use_safe_ips = enabled->AsBool();
    values.safe_ips = std::move(list);
  } else {
    values.use_blocked_ips = enabled->AsBool();
    values.blocked_ips = std::move(list);
  }
  control.Store(values, control::SettingsScope::kIpLists);
  ApiReply done = GetIpLists(params);
  return Saved("IP lists changed", std::move(done));
}

namespace {

const char* TransferStateWord(access::TransferState state) {
  switch (state) {
    case access::TransferState::kNone: return "none";
    case access::TransferState::kRunning: return "running";
    case access::TransferState::kCompleted: return "completed";
    case access::TransferState::kStopped: return "stopped";
    case access::TransferState::kFailed: return "failed";
  }
  return "none";
}

JsonValue SessionJson(const access::ActivitySnapshot& session) {
  JsonValue transfer = JsonValue::Object();
  transfer.Set("state", TransferStateWord(session.transfer_state))
      .Set("direction", session.transfer_state == access::TransferState::kNone
                            ? JsonValue()
                            : JsonValue(session.transfer_upload ? "upload" : "download"))
      .Set("bytes", session.transfer_bytes)
      .Set("size", session.transfer_size_known ? JsonValue(session.transfer_size) : JsonValue())
      .Set("seconds", static_cast<double>(session.transfer_ms) / 1000.0)
      .Set("rate_bytes_per_second", session.transfer_rate);
  return JsonValue::Object()
      .Set("id", session.session_id)
      .Set("user", session.user_name)
      .Set("address", session.peer_address)
      .Set("connected_seconds", session.connected_ms / 1000)
      .Set("activity", session.activity)
      .Set("item", session.current_item)
      .Set("bytes_in", session.bytes_received)
      .Set("bytes_out", session.bytes_sent)
      .Set("credits", session.use_credits ? JsonValue(session.credits) : JsonValue())
      .Set("transfer", std::move(transfer));
}

}  // namespace

ApiReply JsonApi::ListSessions(const Params&) {
  JsonValue items = JsonValue::Array();
  if (control::ServiceControl(server_).IsActive())
    for (const access::ActivitySnapshot& session : control::SessionControl(server_).List())
      items.Append(SessionJson(session));
  ApiReply reply;
  reply.body = JsonValue::Object().Set("items", std::move(items));
  return reply;
}

ApiReply JsonApi::SessionAction(const Params& params) {
  std::int64_t id = 0;
  if (!ParseWhole(params.Value("session"), 0, UINT32_MAX, &id))
    return Error(404, "not_found", "There is no such session.");
  const std::string& action = params.Value("action");
  if (action != "kick" && action != "stop" && action != "block")
    return Error(404, "not_found", "The session actions are kick, stop and block.");
  control::SessionControl sessions(server_);
  const auto session = static_cast<std::uint32_t>(id);
  if (!sessions.Find(session)) return Error(404, "not_found", "There is no session " + params.Value("session") + ".");
  const JsonValue* reason_json = params.body.Find("reason");
  if (reason_json != nullptr && !reason_json->IsString())
    return Error(400, "invalid_request", "The reason must be a text.");
  const control::SessionActionKind kind =
      action == "stop" ? control::SessionActionKind::kStopTransfer : control::SessionActionKind::kKick;
  const std::string reason = reason_json != nullptr ? reason_json->AsString() : sessions.LastReason(kind);
  const std::string refused_reason = "The reason may not hold any of \"*:;'?><,| or tabs and line ends.";
  ApiReply done;
  done.status = 202;
  done.body = JsonValue::Object().Set("id", session).Set("action", action);
  if (action != "block") {
    if (sessions.Request(session, kind, reason) == control::SessionRequestResult::kReasonHasIllegalChars)
      return Error(422, "invalid_value", refused_reason);
    done.change = std::string(action == "kick" ? "Kicked" : "Stopped transfer of") + " session " + std::to_string(session);
    return done;
  }
  const control::BlockOutcome outcome = sessions.KickAndBlock(session, reason);
  switch (outcome.result) {
    case control::BlockResult::kBlocked: break;
    case control::BlockResult::kReasonHasIllegalChars: return Error(422, "invalid_value", refused_reason);
    case control::BlockResult::kSessionGone:
      return Error(404, "not_found", "There is no session " + params.Value("session") + ".");
    case control::BlockResult::kAddressNotValid:
      return Error(422, "invalid_value", "The session's address cannot be put on the blocked list.");
  }
  done.body.Set("address", outcome.address).Set("safe_listed", outcome.safe_listed);
  return Saved("IP Blocked: IP=[" + outcome.address + "], User=[" + outcome.user + "], Session ID=[" +
                   std::to_string(session) + "]",
               std::move(done));
}

ApiReply JsonApi::ServerStatus(const Params&) {
  control::ServiceControl service(server_);
  const std::optional<ftp::FtpServer::Status> status = service.Status();
  JsonValue json = JsonValue::Object().Set("active", status.has_value());
  if (status) {
    json.Set("port", static_cast<std::uint32_t>(status->port))
        .Set("users", status->users)
        .Set("kb_received", status->kb_received)
        .Set("kb_sent", status->kb_sent);
  }
  ApiReply reply;
  reply.body = std::move(json);
  return reply;
}

ApiReply JsonApi::Activate(const Params& params) {
  std::string error;
  if (!control::ServiceControl(server_).Activate(&error)) return Error(409, "not_activated", error);
  ApiReply reply = ServerStatus(params);
  reply.change = "Server activated";
  return reply;
}

ApiReply JsonApi::Deactivate(const Params& params) {
  control::ServiceControl(server_).Deactivate();
  ApiReply reply = ServerStatus(params);
  reply.change = "Server deactivated";
  return reply;
}

ApiReply JsonApi::ListLogs(const Params&) {
  JsonValue items = JsonValue::Array();
  for (const auto& [name, folder] : kLogFolders) {
    fileutil::DirectoryEnumerator walk;
    fileutil::DirectoryEntry entry;
    std::vector<fileutil::DirectoryEntry> files;
    for (bool more = walk.First(log_folder_ + "/" + folder, &entry, {.files = true}); more; more = walk.Next(&entry))
      files.push_back(entry);
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    for (const fileutil::DirectoryEntry& file : files) {
      items.Append(JsonValue::Object()
                       .Set("folder", name)
                       .Set("name", file.name)
                       .Set("size", file.size)
                       .Set("modified", file.last_write.seconds));
    }
  }
  ApiReply reply;
  reply.body = JsonValue::Object().Set("items", std::move(items));
  return reply;
}

ApiReply JsonApi::ReadLog(const Params& params) {
  const auto* folder = std::find_if(std::begin(kLogFolders), std::end(kLogFolders),
                                    [&params](const auto& entry) { return params.Value("folder") == entry.first; });
  const std::string& name = params.Value("file");
  if (folder == std::end(kLogFolders) || name.empty() || name[0] == '.')
    return Error(404, "not_found", "There is no such log.");
  std::int64_t offset = 0, length = 0;
  if (!params.QueryNumber("offset", 0, INT64_MAX, 0, &offset) ||
      !params.QueryNumber("length", 1, kMaxLogRead, 65536, &length))
    return Error(400, "invalid_request", "offset must be 0 or more and length from 1 to 1048576.");
  const std::string path = log_folder_ + "/" + folder->second + "/" + name;
  platform::PathInfo info;
  // Only a regular file itself, never through a link.
  if (!platform::StatPathNoFollow(path, &info) || !info.is_regular) return Error(404, "not_found", "There is no such log.");
  fileutil::FileHandle file;
  if (!file.Open(path, fileutil::FileHandle::Mode::kRead, fileutil::FileHandle::kSharedFile, platform::Links::kRefuse))
    return Error(404, "not_found", "There is no such log.");
  std::string text;
  if (static_cast<std::uint64_t>(offset) < info.size) {
    text.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length, info.size - offset)));
    if (!file.SeekTo(static_cast<std::uint64_t>(offset))) return Error(500, "not_read", "The log could not be read.");
    text.resize(file.Read(text.data(), text.size()));
  }
  ApiReply reply;
  reply.body = JsonValue::Object()
                   .Set("folder", folder->first)
                   .Set("name", name)
                   .Set("size", info.size)
                   .Set("offset", offset)
                   .Set("text", std::move(text));
  return reply;
}

}  // namespace quillon::admin
