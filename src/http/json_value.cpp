#include "http/json_value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace quillon::http {

namespace {

// The length of the valid UTF-8 sequence at text[at], or 0 when the bytes
// there are not one (overlong forms, surrogates and values above U+10FFFF
// are not valid).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length;
  std::uint32_t code;
  std::uint32_t least;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

void AppendUtf8(std::uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

class JsonValue::Parser {
 public:
  Parser(std::string_view text, std::string* message) : text_(text), message_(message) {}

  std::optional<JsonValue> Document() {
    JsonValue value;
    SkipBlanks();
    if (!Value(0, &value)) return std::nullopt;
    SkipBlanks();
    if (at_ != text_.size()) return Fail("unexpected text after the value");
    return value;
  }

 private:
  std::nullopt_t Fail(const char* what) {
    *message_ = std::string(what) + " at offset " + std::to_string(at_);
    return std::nullopt;
  }
  bool Failed(const char* what) {
    Fail(what);
    return false;
  }
  void SkipBlanks() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }
  bool Literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return Failed("invalid literal");
    at_ += word.size();
    return true;
  }

  bool Value(int depth, JsonValue* out) {
    if (at_ >= text_.size()) return Failed("missing value");
    switch (text_[at_]) {
      case '{':
        return ObjectValue(depth + 1, out);
      case '[':
        return ArrayValue(depth + 1, out);
      case '"':
        *out = JsonValue(Type::kString);
        return StringValue(&out->text_);
      case 't':
        *out = JsonValue(true);
        return Literal("true");
      case 'f':
        *out = JsonValue(false);
        return Literal("false");
      case 'n':
        *out = JsonValue();
        return Literal("null");
      default:
        return NumberValue(out);
    }
  }

  bool ObjectValue(int depth, JsonValue* out) {
    if (depth > kMaxDepth) return Failed("nesting too deep");
    *out = JsonValue(Type::kObject);
    ++at_;
    SkipBlanks();
    if (at_ < text_.size() && text_[at_] == '}') {
      ++at_;
      return true;
    }
    for (;;) {
      SkipBlanks();
      if (at_ >= text_.size() || text_[at_] != '"') return Failed("expected a member name");
      std::string key;
      const std::size_t key_at = at_;
      if (!StringValue(&key)) return false;
      if (out->Find(key) != nullptr) {
        at_ = key_at;
        return Failed("duplicate member name");
      }
      SkipBlanks();
      if (at_ >= text_.size() || text_[at_] != ':') return Failed("expected ':'");
      ++at_;
      SkipBlanks();
      JsonValue member;
      if (!Value(depth, &member)) return false;
      out->members_.emplace_back(std::move(key), std::move(member));
      SkipBlanks();
      if (at_ < text_.size() && text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_ < text_.size() && text_[at_] == '}') {
        ++at_;
        return true;
      }
      return Failed("expected ',' or '}'");
    }
  }

  bool ArrayValue(int depth, JsonValue* out) {
    if (depth > kMaxDepth) return Failed("nesting too deep");
    *out = JsonValue(Type::kArray);
    ++at_;
    SkipBlanks();
    if (at_ < text_.size() && text_[at_] == ']') {
      ++at_;
      return true;
    }
    for (;;) {
      SkipBlanks();
      JsonValue item;
      if (!Value(depth, &item)) return false;
      out->items_.push_back(std::move(item));
      SkipBlanks();
      if (at_ < text_.size() && text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_ < text_.size() && text_[at_] == ']') {
        ++at_;
        return true;
      }
      return Failed("expected ',' or ']'");
    }
  }

  bool Hex4(std::uint32_t* code) {
    if (at_ + 4 > text_.size()) return Failed("short \\u escape");
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char ch = text_[at_++];
      value <<= 4;
      if (ch >= '0' && ch <= '9') {
        value |= static_cast<std::uint32_t>(ch - '0');
      } else if (ch >= 'a' && ch <= 'f') {
        value |= static_cast<std::uint32_t>(ch - 'a' + 10);
      } else if (ch >= 'A' && ch <= 'F') {
        value |= static_cast<std::uint32_t>(ch - 'A' + 10);
      } else {
        --at_;
        return Failed("invalid \\u escape");
      }
    }
    *code = value;
    return true;
  }

  bool Escape(std::string* out) {
    if (at_ >= text_.size()) return Failed("unterminated string");
    const char ch = text_[at_++];
    switch (ch) {
      case '"': out->push_back('"'); return true;
      case '\\': out->push_back('\\'); return true;
      case '/': out->push_back('/'); return true;
      case 'b': out->push_back('\b'); return true;
      case 'f': out->push_back('\f'); return true;
      case 'n': out->push_back('\n'); return true;
      case 'r': out->push_back('\r'); return true;
      case 't': out->push_back('\t'); return true;
      case 'u': break;
      default:
        --at_;
        return Failed("invalid escape");
    }
    std::uint32_t code = 0;
    if (!Hex4(&code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return Failed("lone low surrogate");
    if (code >= 0xD800 && code <= 0xDBFF) {
      std::uint32_t low = 0;
      if (text_.substr(at_, 2) != "\\u") return Failed("lone high surrogate");
      at_ += 2;
      if (!Hex4(&low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return Failed("lone high surrogate");
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(code, out);
    return true;
  }

  bool StringValue(std::string* out) {
    ++at_;  // the opening quote
    for (;;) {
      if (at_ >= text_.size()) return Failed("unterminated string");
      const unsigned char ch = static_cast<unsigned char>(text_[at_]);
      if (ch == '"') {
        ++at_;
        return true;
      }
      if (ch == '\\') {
        ++at_;
        if (!Escape(out)) return false;
        continue;
      }
      if (ch < 0x20) return Failed("control character in string");
      const std::size_t length = Utf8SequenceLength(text_, at_);
      if (length == 0) return Failed("invalid UTF-8");
      out->append(text_.substr(at_, length));
      at_ += length;
    }
  }

  bool NumberValue(JsonValue* out) {
    const std::size_t start = at_;
    const auto digit = [&] { return at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9'; };
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    if (!digit()) return Failed("invalid value");
    if (text_[at_] == '0') {
      ++at_;
    } else {
      while (digit()) ++at_;
    }
    bool integer = true;
    if (at_ < text_.size() && text_[at_] == '.') {
      integer = false;
      ++at_;
      if (!digit()) return Failed("invalid number");
      while (digit()) ++at_;
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      integer = false;
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!digit()) return Failed("invalid number");
      while (digit()) ++at_;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + at_;
    if (integer) {
      std::int64_t value = 0;
      const auto [end, error] = std::from_chars(first, last, value);
      if (error == std::errc() && end == last) {
        *out = JsonValue(value);
        return true;
      }
    }
    double real = 0;
    const auto [end, error] = std::from_chars(first, last, real);
    if (error != std::errc() || end != last || !std::isfinite(real)) {
      at_ = start;
      return Failed("number out of range");
    }
    *out = JsonValue(real);
    return true;
  }

  std::string_view text_;
  std::string* message_;
  std::size_t at_ = 0;
};

JsonValue::JsonValue(std::uint64_t value) : type_(Type::kNumber) {
  if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    is_integer_ = true;
    integer_ = static_cast<std::int64_t>(value);
  } else {
    real_ = static_cast<double>(value);
  }
}

std::optional<JsonValue> JsonValue::Parse(std::string_view text, std::string* message) {
  return Parser(text, message).Document();
}

bool JsonValue::AsInteger(std::int64_t* value) const {
  if (type_ != Type::kNumber) return false;
  if (is_integer_) {
    *value = integer_;
    return true;
  }
  // Doubles from -2^63 up to (not including) 2^63 convert exactly.
  if (std::trunc(real_) != real_ || real_ < -9223372036854775808.0 || real_ >= 9223372036854775808.0)
    return false;
  *value = static_cast<std::int64_t>(real_);
  return true;
}

const JsonValue* JsonValue::Find(std::string_view key) const {
  for (const Member& member : members_)
    if (member.first == key) return &member.second;
  return nullptr;
}

JsonValue& JsonValue::Set(std::string_view key, JsonValue value) {
  type_ = Type::kObject;
  for (Member& member : members_) {
    if (member.first == key) {
      member.second = std::move(value);
      return *this;
    }
  }
  members_.emplace_back(std::string(key), std::move(value));
  return *this;
}

void JsonValue::AppendQuoted(std::string_view text, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto escape = [out](unsigned char byte) {
    out->append("\\u00");
    out->push_back(kHex[byte >> 4]);
    out->push_back(kHex[byte & 0xF]);
  };
  out->push_back('"');
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char ch = static_cast<unsigned char>(text[at]);
    switch (ch) {
      case '"': out->append("\\\""); ++at; continue;
      case '\\': out->append("\\\\"); ++at; continue;
      case '\n': out->append("\\n"); ++at; continue;
      case '\r': out->append("\\r"); ++at; continue;
      case '\t': out->append("\\t"); ++at; continue;
      default: break;
    }
    if (ch < 0x20 || ch == '<' || ch == '>' || ch == '&' || ch == 0x7F) {
      escape(ch);
      ++at;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      // A stray byte: its Latin-1 character.
      AppendUtf8(ch, out);
      ++at;
      continue;
    }
    out->append(text.substr(at, length));
    at += length;
  }
  out->push_back('"');
}

void JsonValue::DumpTo(std::string* out) const {
  switch (type_) {
    case Type::kNull:
      out->append("null");
      return;
    case Type::kBool:
      out->append(bool_ ? "true" : "false");
      return;
    case Type::kNumber: {
      char buffer[32];
      if (is_integer_) {
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, integer_);
        out->append(buffer, result.ptr);
      } else if (!std::isfinite(real_)) {
        out->append("null");  // JSON has no infinities
      } else if (real_ == 0) {
        out->append("0");  // -0 reads back as the integer 0: both are written so
      } else {
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, real_);
        out->append(buffer, result.ptr);
      }
      return;
    }
    case Type::kString:
      AppendQuoted(text_, out);
      return;
    case Type::kArray: {
      out->push_back('[');
      for (std::size_t i = 0; i < items_.size(); ++i) {
        if (i > 0) out->push_back(',');
        items_[i].DumpTo(out);
      }
      out->push_back(']');
      return;
    }
    case Type::kObject: {
      out->push_back('{');
      for (std::size_t i = 0; i < members_.size(); ++i) {
        if (i > 0) out->push_back(',');
        AppendQuoted(members_[i].first, out);
        out->push_back(':');
        members_[i].second.DumpTo(out);
      }
      out->push_back('}');
      return;
    }
  }
}

std::string JsonValue::Dump() const {
  std::string out;
  DumpTo(&out);
  return out;
}

}  // namespace quillon::http
