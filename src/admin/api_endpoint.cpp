#include "admin/api_endpoint.h"

#include <utility>

#include "fileutil/file_handle.h"
#include "fileutil/text.h"

namespace quillon::admin {

using http::HttpRequest;
using Grant = AdminHandler::TokenGrant;

namespace {

constexpr const char* kJsonType = "application/json";

std::optional<ApiVerb> VerbOf(HttpRequest::Method method) {
  switch (method) {
    case HttpRequest::Method::kGet: return ApiVerb::kGet;
    case HttpRequest::Method::kPost: return ApiVerb::kPost;
    case HttpRequest::Method::kPut: return ApiVerb::kPut;
    case HttpRequest::Method::kPatch: return ApiVerb::kPatch;
    case HttpRequest::Method::kDelete: return ApiVerb::kDelete;
    default: return std::nullopt;
  }
}

// The media type of a Content-Type value, without its parameters.
bool IsJsonType(const std::string& content_type) {
  const std::string_view type = std::string_view(content_type).substr(0, content_type.find(';'));
  return fileutil::EqualNoCase(type, kJsonType);
}

}  // namespace

ApiEndpoint::ApiEndpoint(AdminHandler& handler, ftp::FtpServer& server, control::RemoteAdminListener& remote_admin,
                         const std::string& program_folder)
    : handler_(handler), target_(server, &remote_admin), api_(server, target_, program_folder) {
  handler.AddApiRoute(
      kPrefix, true, [this](HttpRequest& request, Grant grant) { Serve(request, grant); }, true);
}

void ApiEndpoint::Send(HttpRequest& request, const ApiReply& reply) {
  request.Response().SendData(reply.has_body ? reply.body.Dump() + "\n" : std::string(), kJsonType, reply.status);
}

void ApiEndpoint::Serve(HttpRequest& request, Grant grant) {
  const std::string below = request.Path().substr(std::string_view(kPrefix).size() - 1);  // keeps its "/"
  if (below == std::string("/") + kDescription && request.GetMethod() == HttpRequest::Method::kGet) {
    std::string description;
    if (fileutil::ReadWholeFile(handler_.Folder() + "/" + kDescription, JsonApi::kMaxBody * 4, &description,
                                platform::Links::kRefuse)) {
      request.Response().SendData(std::move(description), kJsonType);
    } else {
      Send(request, JsonApi::Error(404, "not_found", "The interface description is not installed."));
    }
    return;
  }
  switch (grant) {
    case Grant::kNone:
    case Grant::kRefused:
      Send(request, JsonApi::Error(401, "unauthorized", "A valid token is needed: Authorization: Bearer <token>."));
      return;
    case Grant::kBusy:
      Send(request, JsonApi::Error(503, "busy", "Too many checks from this address wait; try again shortly."));
      return;
    case Grant::kReadOnly:
    case Grant::kReadWrite:
      break;
  }
  const std::optional<ApiVerb> verb = VerbOf(request.GetMethod());
  if (!verb) {
    Send(request, JsonApi::Error(405, "method_not_allowed", "That method is not allowed here."));
    return;
  }
  ApiCall call;
  call.verb = *verb;
  call.path = below;
  call.read_only = grant == Grant::kReadOnly;
  call.query = [&request](std::string_view name) { return request.QueryParam(name); };
  if (request.HasBody() && request.ContentLength() > 0) {
    if (request.ContentLength() > static_cast<std::int64_t>(JsonApi::kMaxBody)) {
      Send(request, JsonApi::Error(413, "body_too_large", "The body is too large."));
      return;
    }
    if (!IsJsonType(request.ContentType())) {
      Send(request, JsonApi::Error(400, "invalid_request", "The body must be application/json."));
      return;
    }
    if (!request.IsComplete() ||
        !fileutil::ReadWholeFile(request.BodyFileName(), JsonApi::kMaxBody, &call.body, platform::Links::kRefuse)) {
      Send(request, JsonApi::Error(400, "invalid_request", "The body could not be read."));
      return;
    }
  }
  const ApiReply reply = api_.Handle(call);
  if (!reply.change.empty()) handler_.Log(request, "API: " + reply.change);
  Send(request, reply);
}

}  // namespace quillon::admin
