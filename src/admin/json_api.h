// The remote admin's JSON interface for scripts and other machines: the
// accounts and groups with their virtual folders, the server's settings and
// IP lists, the sessions, activation and the logs, under /api/v1/.
//
// It knows nothing of HTTP beyond status codes: the caller hands it the
// verb, the path below /api/v1, the query and the body, and sends the
// reply. Every change goes through the control layer (RecordControl,
// SessionControl, ServiceControl, ConfigCommands' settings) and is applied
// and saved as the pages apply and save it, so it takes effect at once.
//
// Refusals are {"error": {"code": "...", "message": "..."}} with 400 (the
// request is malformed), 403 (a read-only caller asked for a change), 404
// (no such resource), 405 (no such verb on it), 409 (a name is taken) or
// 422 (a value was refused: the message is the editors' text).
//
// Passwords are never returned: a record says only whether it has one.
//
// Thread-safety: any thread; it holds only references, and the parts it
// uses lock themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "http/json_value.h"

namespace quillon::ftp {
class FtpServer;
}
namespace quillon::control {
class ConfigTarget;
}
namespace quillon::accounts {
class AccountRecord;
}

namespace quillon::admin {

enum class ApiVerb { kGet, kPost, kPut, kPatch, kDelete };

struct ApiCall {
  ApiVerb verb = ApiVerb::kGet;
  std::string path;  // below /api/v1, decoded: "/accounts/bob"
  // A query parameter's decoded value; null when absent.
  std::function<const std::string*(std::string_view name)> query;
  std::string body;  // the raw body ("" for none)
  bool read_only = false;
};

struct ApiReply {
  int status = 200;
  bool has_body = true;  // false for 204
  http::JsonValue body;
  std::string change;  // what a change did, for the log ("" when nothing changed)
};

class JsonApi {
 public:
  // A body beyond this many bytes is refused before it is read.
  static constexpr std::size_t kMaxBody = 256 * 1024;
  // A page of a list holds at most this many entries.
  static constexpr std::int64_t kMaxPageSize = 1000;
  // A log read returns at most this many bytes.
  static constexpr std::int64_t kMaxLogRead = 1024 * 1024;

  // `target` applies and saves the changes (the running server's
  // LiveTarget); `log_folder` (the program folder) holds the logs' folders.
  JsonApi(ftp::FtpServer& server, control::ConfigTarget& target, std::string log_folder);

  ApiReply Handle(const ApiCall& call);

  // The routes, as "VERB /path/{param}": the interface description must
  // describe each of them.
  static std::vector<std::string> RouteNames();

  // The reply of a refusal.
  static ApiReply Error(int status, std::string_view code, std::string_view message);

 private:
  struct Route;
  struct Params;
  static const std::vector<Route>& Routes();

  ApiReply ListRecords(const Params& params);
  ApiReply GetRecord(const Params& params);
  ApiReply CreateRecord(const Params& params);
  ApiReply UpdateRecord(const Params& params);
  ApiReply DeleteRecord(const Params& params);
  ApiReply CopyRecord(const Params& params);
  ApiReply RenameRecord(const Params& params);
  ApiReply ListFolders(const Params& params);
  ApiReply AddFolder(const Params& params);
  ApiReply DeleteFolder(const Params& params);
  ApiReply GetSettings(const Params& params);
  ApiReply UpdateSettings(const Params& params);
  ApiReply GetIpLists(const Params& params);
  ApiReply PutIpList(const Params& params);
  ApiReply ListSessions(const Params& params);
  ApiReply SessionAction(const Params& params);
  ApiReply ServerStatus(const Params& params);
  ApiReply Activate(const Params& params);
  ApiReply Deactivate(const Params& params);
  ApiReply ListLogs(const Params& params);
  ApiReply ReadLog(const Params& params);

  // Stores an edited record (`previous_name` "" for a new one) with the
  // editors' checks, applies and saves it; the record's JSON on success.
  ApiReply StoreRecord(const Params& params, const accounts::AccountRecord& record,
                       const std::string& previous_name, int done_status);
  // Saves a change made in place; `done` with `what` as its change, or the refusal.
  ApiReply Saved(std::string what, ApiReply done);

  ftp::FtpServer& server_;
  control::ConfigTarget& target_;
  const std::string log_folder_;
};

// A record as the interface shows it: every field but the password.
http::JsonValue RecordFieldsJson(const accounts::AccountRecord& record, bool is_group);

}  // namespace quillon::admin
