// The JSON interface on the remote admin's port: every request below
// "/api/v1/" carries "Authorization: Bearer <token>" and is answered by
// JsonApi with a JSON body. A read-only token may read; a change needs a
// token that may change things. "/api/v1/openapi.json", the interface's
// description, is served to anyone (it holds no data).
//
// Changes are logged in the remote admin's log like the pages' ("<address>
// -> API: <what>"), never with the token.
//
// Thread-safety: requests arrive on their connections' threads at once;
// JsonApi and what it uses lock themselves.
#pragma once

#include <string>

#include "admin/admin_handler.h"
#include "admin/json_api.h"
#include "control/config_commands.h"

namespace quillon::admin {

class ApiEndpoint {
 public:
  static constexpr const char* kPrefix = "/api/v1/";
  static constexpr const char* kDescription = "openapi.json";

  // Registers the routes with `handler`, which must outlive this object.
  // `remote_admin` is the listener whose port the settings checks consult.
  ApiEndpoint(AdminHandler& handler, ftp::FtpServer& server, control::RemoteAdminListener& remote_admin,
              const std::string& program_folder);

 private:
  void Serve(http::HttpRequest& request, AdminHandler::TokenGrant grant);
  static void Send(http::HttpRequest& request, const ApiReply& reply);

  AdminHandler& handler_;
  control::LiveTarget target_;
  JsonApi api_;
};

}  // namespace quillon::admin
