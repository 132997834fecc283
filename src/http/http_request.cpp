#include "http/http_request.h"

#include <algorithm>

#include "http/http_text.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"

namespace quillon::http {

namespace {

using fileutil::EqualNoCase;
using fileutil::StartsWithNoCase;

}  // namespace

HttpRequest::HttpRequest(std::string peer_ip, std::string peer_port, std::string temp_folder,
                         platform::Clock& clock)
    : peer_ip_(std::move(peer_ip)),
      peer_port_(std::move(peer_port)),
      temp_folder_(std::move(temp_folder)),
      response_(clock) {}

HttpRequest::~HttpRequest() = default;

void HttpRequest::ParseHeaderLine(std::string_view line) {
  ++header_lines_;
  if (header_lines_ == 1) {
    ParseRequestLine(line);
    return;
  }
  if (method_ == Method::kNone) return;
  if (content_type_continues_) {
    ParseContentTypeTokens(line);
  } else if (line.size() > 14 && StartsWithNoCase(line, "Content-Type: ")) {
    content_type_tokens_ = 0;
    ParseContentTypeTokens(line.substr(14));
  } else if (line.size() > 16 && StartsWithNoCase(line, "Content-Length: ")) {
    std::string_view rest = line.substr(16);
    std::int64_t value = 0;
    bool digits = false;
    for (char ch : rest) {
      if (ch < '0' || ch > '9') break;
      digits = true;
      value = std::min<std::int64_t>(value * 10 + (ch - '0'), INT32_MAX);
    }
    content_length_ = digits ? value : -1;
  } else if (line.size() > 6 && StartsWithNoCase(line, "Host: ")) {
    host_ = Cut(line.substr(6), kMaxHost);
  } else if (StartsWithNoCase(line, "Authorization:")) {
    // Only the first such header counts; a second cannot replace it.
    if (has_authorization_) return;
    has_authorization_ = true;
    std::string_view value = line.substr(14);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (value.size() <= 7 || !StartsWithNoCase(value, "Bearer ")) return;
    value.remove_prefix(7);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (value.size() <= kMaxBearerToken) bearer_token_ = std::string(value);
  } else if (line.size() >= 20 && StartsWithNoCase(line, "If-Modified-Since: ")) {
    if_modified_since_ = Cut(line.substr(19), kMaxIfModifiedSince);
  }
}

void HttpRequest::ParseRequestLine(std::string_view line) {
  if (line.size() < 14) return;  // no path: the request stays invalid
  std::size_t slash;
  if (StartsWithNoCase(line, "GET /")) {
    method_ = Method::kGet;
    slash = 4;
  } else if (StartsWithNoCase(line, "HEAD /")) {
    method_ = Method::kHead;
    slash = 5;
  } else if (StartsWithNoCase(line, "POST /")) {
    method_ = Method::kPost;
    slash = 5;
  } else if (StartsWithNoCase(line, "PUT /")) {
    method_ = Method::kPut;
    slash = 4;
  } else if (StartsWithNoCase(line, "PATCH /")) {
    method_ = Method::kPatch;
    slash = 6;
  } else if (StartsWithNoCase(line, "DELETE /")) {
    method_ = Method::kDelete;
    slash = 7;
  } else {
    method_ = Method::kNone;
    return;
  }
  const std::size_t space = line.find(' ', slash);
  if (space == std::string_view::npos ||
      line.substr(slash, space - slash).find('\0') != std::string_view::npos) {
    method_ = Method::kNone;
    return;
  }
  const std::string_view version = line.substr(space);
  if (version.size() == 9 && !StartsWithNoCase(version, " HTTP/")) {
    method_ = Method::kNone;
    return;
  }
  std::string_view target = line.substr(slash, space - slash);
  const std::size_t question = target.rfind('?');
  std::string_view path = target;
  if (question != std::string_view::npos) {
    raw_query_ = Cut(target.substr(question + 1), kMaxQuery);
    path = target.substr(0, question);
  }
  std::string decoded = PercentDecode(path.substr(0, kMaxPath));
  std::replace(decoded.begin(), decoded.end(), '\r', '#');
  std::replace(decoded.begin(), decoded.end(), '\n', '#');
  const bool folder = !decoded.empty() && (decoded.back() == '/' || decoded.back() == '\\');
  path_ = fileutil::NormaliseWebPath(decoded);
  if (path_.empty()) path_ = "/";
  if (folder && path_.back() != '/') path_.push_back('/');
  if (!raw_query_.empty()) ParseQuery();
}

void HttpRequest::ParseContentTypeTokens(std::string_view value) {
  ForEachToken(value, [this](std::string_view token) {
    if (content_type_tokens_++ == 0) {
      content_type_ = Cut(token, kMaxContentType);
      url_encoded_ = EqualNoCase(content_type_, "application/x-www-form-urlencoded");
    } else if (token.size() > 9 && StartsWithNoCase(token, "boundary")) {
      boundary_ = "--" + Cut(TokenValue(token), kMaxBoundary);
    }
  });
  content_type_continues_ = !value.empty() && value.back() == ';';
}

void HttpRequest::ParseQuery() {
  std::string_view rest = raw_query_;
  while (!rest.empty()) {
    const std::size_t equals = rest.find('=');
    if (equals == std::string_view::npos) break;  // a trailing name without '=' is dropped
    const std::string_view name = rest.substr(0, equals);
    rest.remove_prefix(equals + 1);
    const std::size_t amp = rest.find('&');
    const std::string_view value = rest.substr(0, amp);
    query_.push_back(QueryEntry{Cut(name, kMaxName), DecodeValue(value)});
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
}

const std::string* HttpRequest::QueryParam(std::string_view name) const {
  for (const QueryEntry& entry : query_)
    if (entry.name == name) return &entry.value;
  return nullptr;
}

bool HttpRequest::IsValid() const {
  if (method_ == Method::kNone || path_.empty() || host_.empty()) return false;
  if (!HasBody()) return true;
  // A body without a type can only be empty.
  return content_length_ >= 0 && (!content_type_.empty() || content_length_ == 0);
}

bool HttpRequest::IsComplete() const {
  if (IsRefused()) return false;
  if (!HasBody()) return IsValid();
  return body_ && body_->IsComplete();
}

void HttpRequest::HeadersEnded() {
  // A POST with a Content-Length of 0 is complete now.
  if (HasBody() && IsValid() && content_length_ == 0) Body();
}

bool HttpRequest::PostCannotComplete() const {
  return HasBody() && !IsValid();
}

FormBody* HttpRequest::Body() {
  if (!body_ && HasBody() && IsValid()) {
    body_ = std::make_unique<FormBody>(temp_folder_, static_cast<std::uint32_t>(content_length_), url_encoded_,
                                       boundary_);
    if (discard_body_) body_->Discard();
  }
  return body_.get();
}

void HttpRequest::DiscardBody() {
  discard_body_ = true;
  if (body_) body_->Discard();
}

void HttpRequest::Refuse() {
  refused_ = true;
  if (body_) body_->Refuse();
}

bool HttpRequest::FeedBody(const char* bytes, std::size_t count) {
  if (refused_) return true;
  FormBody* body = Body();
  return body == nullptr || body->Feed(bytes, count);
}

bool HttpRequest::FormFieldExists(std::string_view name) const {
  return body_ && body_->FieldExists(name);
}

bool HttpRequest::FormFieldValue(std::string_view name, std::string* value, std::size_t capacity) const {
  if (body_) return body_->FieldValue(name, value, capacity);
  value->clear();
  return false;
}

std::vector<std::string> HttpRequest::FormFieldValues(std::string_view name, std::size_t capacity) const {
  return body_ ? body_->FieldValues(name, capacity) : std::vector<std::string>{};
}

const std::vector<HttpRequest::FormPart>& HttpRequest::Parts() const {
  static const std::vector<FormPart> kNone;
  return body_ ? body_->Parts() : kNone;
}

const std::string& HttpRequest::BodyFileName() const {
  static const std::string kNone;
  return body_ ? body_->FileName() : kNone;
}

}  // namespace quillon::http
