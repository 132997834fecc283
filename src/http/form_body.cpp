#include "http/form_body.h"

#include <algorithm>

#include "http/http_text.h"
#include "platform/fs.h"
#include "fileutil/text.h"

namespace quillon::http {

using fileutil::StartsWithNoCase;

FormBody::FormBody(std::string temp_folder, std::uint32_t length, bool url_encoded, std::string boundary)
    : temp_folder_(std::move(temp_folder)),
      length_(length),
      url_encoded_(url_encoded),
      boundary_(std::move(boundary)),
      complete_(length == 0) {}

FormBody::~FormBody() {
  file_.reset();
  if (!file_name_.empty()) {
    [[maybe_unused]] bool removed = platform::RemoveFile(file_name_, nullptr);
  }
}

bool FormBody::Start() {
  file_ = std::make_unique<fileutil::FileHandle>();
  return file_->CreateUnique(temp_folder_, "", &file_name_);
}

bool FormBody::Write(const char* bytes, std::size_t count) {
  pending_.append(bytes, count);
  written_ += static_cast<std::uint32_t>(count);
  if (has_part_ && !in_part_headers_) part_.length += static_cast<std::uint32_t>(count);
  return pending_.size() < kWriteBatch || Flush();
}

bool FormBody::Flush() {
  const bool ok = pending_.empty() || file_->WriteAll(pending_.data(), pending_.size());
  pending_.clear();
  return ok;
}

void FormBody::Refuse() {
  refused_ = true;
  pending_.clear();
  if (file_) file_->Close();
  if (!file_name_.empty()) {
    [[maybe_unused]] const bool removed = platform::RemoveFile(file_name_, nullptr);
  }
  file_name_.clear();
  fields_.clear();
  parts_.clear();
}

bool FormBody::Feed(const char* bytes, std::size_t count) {
  if (complete_ || refused_) return true;
  count = std::min<std::size_t>(count, length_ - consumed_);  // bytes beyond the length are ignored
  if (discard_) {
    consumed_ += static_cast<std::uint32_t>(count);
    if (consumed_ >= length_) complete_ = true;
    return true;
  }
  if (!file_ && !Start()) return false;
  if (boundary_.empty() && !url_encoded_) {
    if (!Write(bytes, count)) return false;
    consumed_ += static_cast<std::uint32_t>(count);
  } else {
    for (std::size_t i = 0; i < count && !complete_; ++i) {
      ++consumed_;
      const bool ok = url_encoded_ ? FeedUrlEncoded(bytes[i]) : FeedMultipart(bytes[i]);
      if (!ok) return false;
      if (refused_) return true;
    }
  }
  if (!complete_ && consumed_ >= length_) Finish();
  return Flush() && !write_failed_;
}

bool FormBody::FeedUrlEncoded(char byte) {
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
    return Write(&decoded, 1);
  }
  if (byte == '%') {
    escape_left_ = 2;
    escape_value_ = 0;
    escape_bad_ = false;
    return true;
  }
  if (byte == '&') {
    if (fields_.size() >= kMaxEntries) {
      Refuse();
      return true;
    }
    fields_.push_back(field_);
    field_ = Field{};
    field_.offset = written_;
    in_name_ = true;
    return true;
  }
  ++field_.length;
  return Write(&byte, 1);
}

bool FormBody::EndPartHeaderLine() {
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

void FormBody::StorePart() {
  if (!has_part_) return;
  // The CR LF before the boundary is not part of the content.
  if (part_.length >= 2) {
    if (parts_.size() >= kMaxEntries) {
      Refuse();
      return;
    }
    part_.length -= 2;
    parts_.push_back(part_);
  }
  has_part_ = false;
}

bool FormBody::FeedMultipart(char byte) {
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
      Finish();
      return true;
    }
    has_part_ = true;
    part_ = Part{};
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
  return Write(boundary_.data(), matched) && Write(&byte, 1);
}

void FormBody::Finish() {
  if (url_encoded_) {
    if (!in_name_) fields_.push_back(field_);  // a field still naming itself is dropped
  } else if (!boundary_.empty()) {
    StorePart();
  }
  if (file_) {
    write_failed_ = !Flush();
    file_->Close();
  }
  complete_ = true;
}

bool FormBody::FieldExists(std::string_view name) const {
  return std::any_of(fields_.begin(), fields_.end(),
                     [name](const Field& field) { return field.name == name; });
}

bool FormBody::FieldValue(std::string_view name, std::string* value, std::size_t capacity) const {
  value->clear();
  auto field = std::find_if(fields_.begin(), fields_.end(), [name](const Field& f) { return f.name == name; });
  if (field == fields_.end()) return false;
  fileutil::FileHandle file;
  if (!file.Open(file_name_, fileutil::FileHandle::Mode::kRead) || !file.SeekTo(field->offset)) return true;
  value->resize(std::min<std::size_t>(field->length, capacity > 0 ? capacity - 1 : 0));
  value->resize(file.Read(value->data(), value->size()));
  value->resize(std::min(value->size(), value->find('\0')));
  return true;
}

std::vector<std::string> FormBody::FieldValues(std::string_view name, std::size_t capacity) const {
  std::vector<std::string> values;
  fileutil::FileHandle file;
  bool opened = false;
  for (const Field& field : fields_) {
    if (field.name != name) continue;
    if (!opened && !file.Open(file_name_, fileutil::FileHandle::Mode::kRead)) return values;
    opened = true;
    std::string value;
    if (file.SeekTo(field.offset)) {
      value.resize(std::min<std::size_t>(field.length, capacity > 0 ? capacity - 1 : 0));
      value.resize(file.Read(value.data(), value.size()));
      value.resize(std::min(value.size(), value.find('\0')));
    }
    values.push_back(std::move(value));
  }
  return values;
}

std::string FormBody::PartContent(const Part& part) const {
  std::string content(part.length, '\0');
  fileutil::FileHandle file;
  if (!file.Open(file_name_, fileutil::FileHandle::Mode::kRead) || !file.SeekTo(part.offset)) return {};
  content.resize(file.Read(content.data(), content.size()));
  return content;
}

}  // namespace quillon::http
