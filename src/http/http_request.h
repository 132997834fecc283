// One HTTP request of the remote admin, parsed as it arrives: the request
// line (method, decoded and normalised path, query parameters), the headers
// the server uses (Host, Content-Type with its boundary, Content-Length,
// If-Modified-Since, Authorization with a bearer token), and a POST's form
// body (FormBody), which is deleted with the request.
//
// Paths use "/": "/a/b/" stays "/a/b/", "/" stays "/", and no path climbs
// above the root.
//
// Thread-safety: a request belongs to its connection's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/form_body.h"
#include "http/http_response.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "runtime/limits.h"
#include "fileutil/file_handle.h"

namespace quillon::http {

class HttpRequest {
 public:
  // PUT, PATCH and DELETE serve the JSON interface; the pages use GET and POST.
  enum class Method { kNone = 0, kGet = 1, kHead = 2, kPost = 3, kPut = 4, kPatch = 5, kDelete = 6 };

  static constexpr std::size_t kMaxName = FormBody::kMaxName;  // query and form names
  static constexpr std::size_t kMaxPath = limits::kRequestPath;
  static constexpr std::size_t kMaxQuery = 1023;
  static constexpr std::size_t kMaxHost = 256;
  static constexpr std::size_t kMaxIfModifiedSince = 99;
  static constexpr std::size_t kMaxContentType = 99;
  static constexpr std::size_t kMaxBoundary = 98;
  // A bearer token longer than this is taken as none (and as offered).
  static constexpr std::size_t kMaxBearerToken = 256;
  static constexpr std::size_t kMaxFormEntries = FormBody::kMaxEntries;

  using FormPart = FormBody::Part;

  // `temp_folder`: where the body file goes.
  HttpRequest(std::string peer_ip, std::string peer_port, std::string temp_folder,
              platform::Clock& clock);
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Parses one header line (the first is the request line), without CR LF.
  void ParseHeaderLine(std::string_view line);
  // The empty line after the headers: a valid POST with a Content-Length of 0
  // is complete now.
  void HeadersEnded();
  // Takes body bytes of a POST. False when the body file cannot be made or
  // written, or a multipart header line is too long.
  [[nodiscard]] bool FeedBody(const char* bytes, std::size_t count);
  // A POST whose headers are complete but that can never become complete
  // (no Host, no Content-Length or no Content-Type); and a POST with a
  // Content-Length of 0, which is complete at once.
  bool PostCannotComplete() const;
  // POST, PUT and PATCH carry a body (of Content-Length bytes; a body
  // without a Content-Type must be empty).
  bool HasBody() const { return method_ == Method::kPost || method_ == Method::kPut || method_ == Method::kPatch; }
  // The body is read (so the connection stays in step) but neither stored
  // nor parsed: for a request whose route takes no form.
  void DiscardBody();
  // The body held more fields or parts than a form has, or the request more
  // header lines than the server reads: it is to be answered 400, and its
  // body file is gone.
  bool IsRefused() const { return refused_ || (body_ && body_->IsRefused()); }
  // Marks the request so, dropping what its body stored.
  void Refuse();

  Method GetMethod() const { return method_; }
  const std::string& Path() const { return path_; }
  const std::string& PeerIp() const { return peer_ip_; }
  const std::string& PeerPort() const { return peer_port_; }
  // The client that a trusted proxy named, in place of the proxy.
  void SetPeer(std::string ip, std::string port) {
    peer_ip_ = std::move(ip);
    peer_port_ = std::move(port);
  }
  const std::string& Host() const { return host_; }
  const std::string& IfModifiedSince() const { return if_modified_since_; }
  const std::string& ContentType() const { return content_type_; }
  std::int64_t ContentLength() const { return content_length_; }
  const std::string& Boundary() const { return boundary_; }
  // Whether the request has an "Authorization" header, and the token of an
  // "Authorization: Bearer <token>" one ("" for any other scheme, or one too
  // long). The token is a secret: it is never to be logged.
  bool HasAuthorization() const { return has_authorization_; }
  const std::string& BearerToken() const { return bearer_token_; }
  bool IsUrlEncoded() const { return url_encoded_; }
  bool HasQuery() const { return !raw_query_.empty(); }
  const std::string& RawQuery() const { return raw_query_; }
  std::uint32_t HeaderLines() const { return header_lines_; }

  // The decoded value of the first query parameter named exactly `name`.
  const std::string* QueryParam(std::string_view name) const;
  bool IsValid() const;
  bool IsComplete() const;

  // Form fields of an url-encoded body (REQUIRES: IsComplete()).
  bool FormFieldExists(std::string_view name) const;
  // At most capacity - 1 bytes of the value; false (and "") when absent.
  bool FormFieldValue(std::string_view name, std::string* value, std::size_t capacity) const;
  // Every value of the fields named `name`, in body order.
  std::vector<std::string> FormFieldValues(std::string_view name, std::size_t capacity) const;
  const std::vector<FormPart>& Parts() const;
  // The bytes of a stored part (REQUIRES: IsComplete()).
  std::string PartContent(const FormPart& part) const { return body_->PartContent(part); }
  const std::string& BodyFileName() const;

  // What the handler answers.
  HttpResponse& Response() { return response_; }

  // The event that says the connection is to end (may be null): handlers
  // that wait watch it.
  void SetStopEvent(const platform::Event* stop) { stop_ = stop; }
  bool StopRequested() const { return stop_ != nullptr && stop_->IsSet(); }

 private:
  struct QueryEntry {
    std::string name;
    std::string value;
  };
  void ParseRequestLine(std::string_view line);
  void ParseContentTypeTokens(std::string_view value);
  void ParseQuery();
  // The form body of a POST whose headers are complete, made when needed.
  FormBody* Body();

  const platform::Event* stop_ = nullptr;
  std::string peer_ip_;
  std::string peer_port_;
  const std::string temp_folder_;
  HttpResponse response_;

  Method method_ = Method::kGet;
  std::string path_;
  std::string raw_query_;
  std::vector<QueryEntry> query_;
  std::string host_;
  std::string if_modified_since_;
  std::int64_t content_length_ = -1;
  std::string content_type_;
  bool url_encoded_ = false;
  bool content_type_continues_ = false;
  std::uint32_t content_type_tokens_ = 0;
  std::string boundary_;  // "--" + the boundary
  bool has_authorization_ = false;
  std::string bearer_token_;
  std::uint32_t header_lines_ = 0;

  std::unique_ptr<FormBody> body_;
  bool discard_body_ = false;
  bool refused_ = false;
};

}  // namespace quillon::http
