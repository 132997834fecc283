#include "admin/http_request.h"

#include <algorithm>

#include "platform/fs.h"
#include "vfs/paths.h"
#include "vfs/text.h"

namespace quillon::admin {

namespace {

using vfs::EqualNoCase;
using vfs::StartsWithNoCase;

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;  // upper case only
  return -1;
}

// "%XX" with upper-case hex digits becomes its byte (0 becomes '#'); any
// other '%' stays with what follows it.
std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) {  // a lone '%', or '%' and one character, at the end
      out.append(text.substr(i));
      break;
    }
    const int high = HexDigit(text[i + 1]);
    const int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) {
      out.append(text.substr(i, 3));
    } else {
      const char byte = static_cast<char>(high * 16 + low);
      out.push_back(byte == '\0' ? '#' : byte);
    }
    i += 2;
  }
  return out;
}

// Query values and form names: percent-decoded, then '+' is a space.
std::string DecodeValue(std::string_view text) {
  std::string out = PercentDecode(text);
  std::replace(out.begin(), out.end(), '+', ' ');
  return out;
}

// The value of a "key=value" or key="value" token.
std::string TokenValue(std::string_view token) {
  const std::size_t open = token.find('"');
  if (open != std::string_view::npos) {
    const std::size_t close = token.find('"', open + 1);
    if (close != std::string_view::npos) return std::string(token.substr(open + 1, close - open - 1));
  }
  const std::size_t equals = token.find('=');
  return equals == std::string_view::npos ? std::string() : std::string(token.substr(equals + 1));
}

// Splits a header value at ';', skipping the bytes that may lead a token.
template <typename Visit>
void ForEachToken(std::string_view value, Visit visit) {
  std::size_t at = 0;
  while (at < value.size()) {
    while (at < value.size()) {
      const auto ch = static_cast<unsigned char>(value[at]);
      if (ch != 0xFF && ch != 0xF4 && ch != 0xF2 && ch != ';' && ch != ' ' && ch != '\t') break;
      ++at;
    }
    if (at >= value.size()) break;
    const std::size_t end = std::min(value.find(';', at), value.size());
    visit(value.substr(at, end - at));
    at = end;
  }
}

std::string Cut(std::string_view text, std::size_t most) {
  return std::string(text.substr(0, most));
}

}  // namespace

HttpRequest::HttpRequest(std::string peer_ip, std::string peer_port, std::string temp_folder,
                         platform::Clock& clock)
    : peer_ip_(std::move(peer_ip)),
      peer_port_(std::move(peer_port)),
      temp_folder_(std::move(temp_folder)),
      response_(clock) {}

HttpRequest::~HttpRequest() {
  body_file_.reset();
  if (!body_file_name_.empty()) {
    [[maybe_unused]] bool removed = platform::RemoveFile(body_file_name_, nullptr);
  }
}

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
  path_ = vfs::NormalisePath(decoded);
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
  if (method_ != Method::kPost) return true;
  return content_length_ >= 0 && !content_type_.empty();
}

bool HttpRequest::IsComplete() const {
  if (refused_) return false;
  if (body_complete_) return true;
  return IsValid() && method_ != Method::kPost;
}

void HttpRequest::HeadersEnded() {
  if (method_ == Method::kPost && IsValid() && content_length_ == 0) body_complete_ = true;
}

bool HttpRequest::PostCannotComplete() const {
  return method_ == Method::kPost && !IsValid();
}

bool HttpRequest::StartBody() {
  body_file_ = std::make_unique<vfs::FileHandle>();
  if (!body_file_->CreateUnique(temp_folder_, "", &body_file_name_)) return false;
  field_ = FormField{};
  in_name_ = true;
  in_part_headers_ = false;
  has_part_ = false;
  return true;
}

bool HttpRequest::WriteBody(const char* bytes, std::size_t count) {
  pending_.append(bytes, count);
  written_ += static_cast<std::uint32_t>(count);
  if (has_part_ && !in_part_headers_) part_.length += static_cast<std::uint32_t>(count);
  return pending_.size() < kWriteBatch || FlushBody();
}

bool HttpRequest::FlushBody() {
  const bool ok = pending_.empty() || body_file_->WriteAll(pending_.data(), pending_.size());
  pending_.clear();
  return ok;
}

void HttpRequest::DiscardBody() { discard_body_ = true; }

void HttpRequest::Refuse() {
  refused_ = true;
  pending_.clear();
  if (body_file_) body_file_->Close();
  if (!body_file_name_.empty()) {
    [[maybe_unused]] const bool removed = platform::RemoveFile(body_file_name_, nullptr);
  }
  body_file_name_.clear();
  fields_.clear();
  parts_.clear();
}

bool HttpRequest::FeedBody(const char* bytes, std::size_t count) {
  if (body_complete_ || refused_ || method_ != Method::kPost || content_length_ < 0) return true;
  const std::size_t wanted = static_cast<std::size_t>(content_length_) - consumed_;
  count = std::min(count, wanted);  // bytes beyond the Content-Length are ignored
  if (discard_body_) {
    consumed_ += static_cast<std::uint32_t>(count);
    if (consumed_ >= content_length_) body_complete_ = true;
    return true;
  }
  if (!body_file_ && !StartBody()) return false;
  if (boundary_.empty() && !url_encoded_) {
    if (!WriteBody(bytes, count)) return false;
    consumed_ += static_cast<std::uint32_t>(count);
  } else {
    for (std::size_t i = 0; i < count && !body_complete_; ++i) {
      ++consumed_;
      const bool ok = url_encoded_ ? FeedUrlEncoded(bytes[i]) : FeedMultipart(bytes[i]);
      if (!ok) return false;
      if (refused_) return true;
    }
  }
  if (!body_complete_ && consumed_ >= content_length_) FinishBody();
  return FlushBody() && !write_failed_;
}

bool HttpRequest::FeedUrlEncoded(char byte) {
  if (byte == '+') byte = ' ';
  if (in_name_) {
    if (byte == '=') {
      field_.name = DecodeValue(Cut(field_.name, kMaxName));
      field_.offset = written_;
      in_name_ = false;
    } else if (byte != '&' && field_.name.size() < kMaxName + 1) {
      field_.name.push_back(byte);
    }
    return true;
  }
  if (escape_left_ > 0) {
    const int digit = HexDigit(byte);
    if (digit < 0) escape_bad_ = true;
    escape_value_ = escape_value_ * 16 + std::max(digit, 0);
    if (--escape_left_ > 0) return true;
    const char decoded = escape_bad_ ? '#' : static_cast<char>(escape_value_);
    ++field_.length;
    return WriteBody(&decoded, 1);
  }
  if (byte == '%') {
    escape_left_ = 2;
    escape_value_ = 0;
    escape_bad_ = false;
    return true;
  }
  if (byte == '&') {
    if (fields_.size() >= kMaxFormEntries) {
      Refuse();
      return true;
    }
    fields_.push_back(field_);
    field_ = FormField{};
    field_.offset = written_;
    in_name_ = true;
    return true;
  }
  ++field_.length;
  return WriteBody(&byte, 1);
}

bool HttpRequest::EndPartHeaderLine() {
  const std::string line = std::move(part_header_line_);
  part_header_line_.clear();
  if (line.empty()) {
    // The content follows, also after a Content-Disposition that promised
    // more parameters with a final ";" and gave none.
    in_part_headers_ = false;
    disposition_continues_ = false;
    part_.offset = written_;
    part_.length = 0;
    return true;
  }
  std::string_view tokens;
  if (disposition_continues_) {
    tokens = line;
  } else if (line.size() > 21 && StartsWithNoCase(line, "Content-Disposition: ")) {
    tokens = std::string_view(line).substr(21);
  } else {
    return true;
  }
  ForEachToken(tokens, [this](std::string_view token) {
    if (token.size() > 8 && StartsWithNoCase(token, "filename")) {
      std::string name = TokenValue(token);
      const std::size_t last = name.find_last_of("\\/");
      if (last != std::string::npos) name.erase(0, last + 1);
      part_.file_name = Cut(name, kMaxFileName);
    } else if (token.size() > 5 && StartsWithNoCase(token, "name")) {
      part_.name = Cut(TokenValue(token), kMaxName);
    }
  });
  disposition_continues_ = !tokens.empty() && tokens.back() == ';';
  return true;
}

void HttpRequest::StorePart() {
  if (!has_part_) return;
  // The CR LF before the boundary is not part of the content.
  if (part_.length >= 2) {
    if (parts_.size() >= kMaxFormEntries) {
      Refuse();
      return;
    }
    part_.length -= 2;
    parts_.push_back(part_);
  }
  has_part_ = false;
}

bool HttpRequest::FeedMultipart(char byte) {
  if (skip_lf_) {  // the LF of a CR LF that ended a header line or a boundary
    skip_lf_ = false;
    if (byte == '\n') return true;
  }
  if (in_part_headers_) {
    if (byte == '\r') {
      skip_lf_ = true;
      return EndPartHeaderLine();
    }
    part_header_line_.push_back(byte);
    return part_header_line_.size() < kMaxPartHeaderLine;
  }
  if (after_boundary_) {
    after_boundary_ = false;
    StorePart();
    if (byte != '\r') {  // the closing "--"
      FinishBody();
      return true;
    }
    has_part_ = true;
    part_ = FormPart{};
    in_part_headers_ = true;
    skip_lf_ = true;
    disposition_continues_ = false;
    return true;
  }
  if (byte == boundary_[boundary_matched_]) {
    if (++boundary_matched_ == boundary_.size()) {
      boundary_matched_ = 0;
      after_boundary_ = true;
    }
    return true;
  }
  // No rescan: the bytes matched so far and this one are content.
  const std::size_t matched = boundary_matched_;
  boundary_matched_ = 0;
  return WriteBody(boundary_.data(), matched) && WriteBody(&byte, 1);
}

void HttpRequest::FinishBody() {
  if (url_encoded_) {
    if (!in_name_) fields_.push_back(field_);  // a field still naming itself is dropped
  } else if (!boundary_.empty()) {
    StorePart();
  }
  if (body_file_) {
    write_failed_ = !FlushBody();
    body_file_->Close();
  }
  body_complete_ = true;
}

bool HttpRequest::FormFieldExists(std::string_view name) const {
  return std::any_of(fields_.begin(), fields_.end(),
                     [name](const FormField& field) { return field.name == name; });
}

bool HttpRequest::FormFieldValue(std::string_view name, std::string* value,
                                 std::size_t capacity) const {
  value->clear();
  auto field = std::find_if(fields_.begin(), fields_.end(),
                            [name](const FormField& f) { return f.name == name; });
  if (field == fields_.end()) return false;
  vfs::FileHandle file;
  if (!file.Open(body_file_name_, false, false) || !file.SeekTo(field->offset)) return true;
  value->resize(std::min<std::size_t>(field->length, capacity > 0 ? capacity - 1 : 0));
  value->resize(file.Read(value->data(), value->size()));
  value->resize(std::min(value->size(), value->find('\0')));
  return true;
}

std::string HttpRequest::PartContent(const FormPart& part) const {
  std::string content(part.length, '\0');
  vfs::FileHandle file;
  if (!file.Open(body_file_name_, false, false) || !file.SeekTo(part.offset)) return {};
  content.resize(file.Read(content.data(), content.size()));
  return content;
}

}  // namespace quillon::admin
