#include "settings/api_tokens.h"

#include <algorithm>

#include "fileutil/file_handle.h"
#include "fileutil/paths.h"
#include "platform/crypto.h"
#include "platform/fs.h"

namespace quillon::settings {

namespace {

constexpr char kBase64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr const char* kReadOnly = "read-only";
constexpr const char* kReadWrite = "read-write";
constexpr const char* kHeader =
    "# API tokens of the remote admin: NAME ACCESS CREATED DIGEST (SHA-256 of the token).\n"
    "# Managed with quillon-setup token add|list|remove.\n";

// Unpadded base64url: 4 characters per 3 bytes, 2 or 3 for a last 1 or 2.
std::string Base64Url(const unsigned char* bytes, std::size_t count) {
  std::string text;
  for (std::size_t at = 0; at < count; at += 3) {
    const std::size_t left = std::min<std::size_t>(3, count - at);
    std::uint32_t group = static_cast<std::uint32_t>(bytes[at]) << 16;
    if (left > 1) group |= static_cast<std::uint32_t>(bytes[at + 1]) << 8;
    if (left > 2) group |= bytes[at + 2];
    for (std::size_t i = 0; i <= left; ++i) text.push_back(kBase64Url[(group >> (18 - 6 * i)) & 0x3F]);
  }
  return text;
}

constexpr std::size_t kTokenLength = ApiTokens::kPrefix.size() + (ApiTokens::kRandomBytes * 4 + 2) / 3;

std::string ToHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

bool FromHex(std::string_view text, std::string* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (std::size_t at = 0; at < text.size(); at += 2) {
    const int high = HexValue(text[at]), low = HexValue(text[at + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high << 4 | low));
  }
  return true;
}

bool ReadSeconds(std::string_view text, std::int64_t* seconds) {
  if (text.empty() || text.size() > 12) return false;
  std::int64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    value = value * 10 + (ch - '0');
  }
  *seconds = value;
  return true;
}

// The blank-separated fields of a line.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (!line.empty()) {
    const std::size_t blank = line.find(' ');
    fields.push_back(line.substr(0, blank));
    if (blank == std::string_view::npos) break;
    line.remove_prefix(blank + 1);
  }
  return fields;
}

}  // namespace

bool ApiTokens::IsValidName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  return std::all_of(name.begin(), name.end(), [](char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-' ||
           ch == '_' || ch == '.';
  });
}

bool ApiTokens::LooksLikeToken(std::string_view text) {
  if (text.size() != kTokenLength || !text.starts_with(kPrefix)) return false;
  text.remove_prefix(kPrefix.size());
  return std::all_of(text.begin(), text.end(), [](char ch) {
    return std::string_view(kBase64Url).find(ch) != std::string_view::npos;
  });
}

bool ApiTokens::ParseLine(std::string_view line, Entry* entry) const {
  const std::vector<std::string_view> fields = Fields(line);
  if (fields.size() != 4 || !IsValidName(fields[0])) return false;
  if (fields[1] != kReadOnly && fields[1] != kReadWrite) return false;
  if (!ReadSeconds(fields[2], &entry->created_seconds)) return false;
  if (fields[3].size() != 2 * platform::kSha256Bytes || !FromHex(fields[3], &entry->digest)) return false;
  entry->name = std::string(fields[0]);
  entry->read_only = fields[1] == kReadOnly;
  return true;
}

bool ApiTokens::LoadText(std::string_view text, const std::string& name, std::string* message) {
  entries_.clear();
  std::string problems;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    Entry entry;
    const bool taken = ParseLine(line, &entry) && std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
                         return e.name == entry.name;
                       });
    if (!entry.name.empty() && !taken && entries_.size() < kMaxTokens) {
      entries_.push_back(std::move(entry));
      continue;
    }
    problems += (problems.empty() ? "" : ", ") + std::string("line ") + std::to_string(number) + " is not a valid token";
  }
  if (problems.empty()) return true;
  *message = name + ": " + problems;
  return false;
}

bool ApiTokens::Load(const std::string& path, std::string* message) {
  entries_.clear();
  if (!fileutil::PathExists(path)) return true;
  std::string text;
  if (!fileutil::ReadWholeFile(path, kMaxFileBytes, &text, platform::Links::kRefuse)) {
    *message = "Unable to read " + path;
    return false;
  }
  return LoadText(text, path, message);
}

std::string ApiTokens::Text() const {
  std::string text = kHeader;
  for (const Entry& entry : entries_)
    text += entry.name + " " + (entry.read_only ? kReadOnly : kReadWrite) + " " +
            std::to_string(entry.created_seconds) + " " + ToHex(entry.digest) + "\n";
  return text;
}

bool ApiTokens::Save(const std::string& path, fileutil::FileWriter& writer) const {
  return writer.ReplaceFile(path, Text(), fileutil::FileHandle::kOwnerOnlyFile);
}

bool ApiTokens::Add(const std::string& name, bool read_only, std::int64_t created_seconds,
                    std::string* token, std::string* message) {
  if (!IsValidName(name)) {
    *message = "A token name has 1 to 64 letters, digits, '-', '_' or '.'.";
    return false;
  }
  if (std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.name == name; })) {
    *message = "There is already a token named " + name + ".";
    return false;
  }
  if (entries_.size() >= kMaxTokens) {
    *message = "There are " + std::to_string(kMaxTokens) + " tokens already.";
    return false;
  }
  unsigned char bytes[kRandomBytes];
  if (!platform::RandomBytes(bytes, sizeof bytes)) {
    *message = "Unable to read the system's random source.";
    return false;
  }
  std::string text = std::string(kPrefix) + Base64Url(bytes, sizeof bytes);
  std::string digest = platform::Sha256(text);
  if (digest.empty()) {
    *message = "Unable to compute the token's digest.";
    return false;
  }
  entries_.push_back(Entry{name, read_only, created_seconds, std::move(digest)});
  *token = std::move(text);
  return true;
}

bool ApiTokens::Remove(std::string_view name) {
  return std::erase_if(entries_, [name](const Entry& entry) { return entry.name == name; }) > 0;
}

const ApiTokens::Entry* ApiTokens::Match(std::string_view token) const {
  if (!LooksLikeToken(token)) return nullptr;
  const std::string digest = platform::Sha256(token);
  if (digest.empty()) return nullptr;
  const Entry* found = nullptr;
  for (const Entry& entry : entries_)
    if (platform::EqualInConstantTime(entry.digest, digest) && found == nullptr) found = &entry;
  return found;
}

}  // namespace quillon::settings
