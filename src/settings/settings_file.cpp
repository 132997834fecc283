#include "settings/settings_file.h"

#include <algorithm>
#include <cstring>

#include "vfs/file_handle.h"

namespace quillon::settings {

namespace {

// A settings file is a few kilobytes; anything far larger is not one.
constexpr std::uint64_t kMaxFileBytes = 64ull << 20;

void AppendU32(std::string* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t ReadU32(const char* at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(at[i]);
  return value;
}

}  // namespace

void SettingsFile::PutString(std::string_view name, std::string_view text) {
  std::string data(text);
  data.push_back('\0');
  PutBytes(name, data.data(), data.size());
}

void SettingsFile::PutInteger(std::string_view name, std::uint32_t value) {
  std::string data;
  AppendU32(&data, value);
  PutBytes(name, data.data(), data.size());
}

void SettingsFile::PutBytes(std::string_view name, const void* data, std::size_t length) {
  std::string key(name.substr(0, kNameBytes - 1));
  std::string bytes(static_cast<const char*>(data), length);
  for (Entry& entry : entries_) {
    if (entry.name == key) {
      entry.data = std::move(bytes);
      return;
    }
  }
  entries_.push_back(Entry{std::move(key), std::move(bytes)});
}

std::string SettingsFile::Serialise() const {
  std::size_t total = kHeaderBytes;
  for (const Entry& entry : entries_) total += kEntryHeadBytes + entry.data.size();
  std::string out;
  out.reserve(total);
  AppendU32(&out, kVersion);
  AppendU32(&out, static_cast<std::uint32_t>(entries_.size()));
  for (const Entry& entry : entries_) {
    out.append(entry.name);
    out.append(kNameBytes - entry.name.size(), '\0');
    AppendU32(&out, static_cast<std::uint32_t>(entry.data.size()));
    out.append(entry.data);
  }
  return out;
}

bool SettingsFile::Write(const std::string& path, vfs::FileWriter& writer) const {
  return writer.ReplaceFile(path, Serialise(), vfs::FileHandle::kOwnerOnlyFile);
}

bool SettingsFile::Read(const std::string& path) {
  entries_.clear();
  vfs::FileHandle file;
  if (!file.Open(path, false, false)) return false;
  const std::uint64_t size = file.Size();
  if (size > kMaxFileBytes) return false;
  std::string bytes(static_cast<std::size_t>(size), '\0');
  bytes.resize(file.Read(bytes.data(), bytes.size()));
  return Parse(bytes);
}

bool SettingsFile::Parse(std::string_view bytes) {
  entries_.clear();
  if (bytes.size() < kHeaderBytes || ReadU32(bytes.data()) != kVersion) return false;
  const std::uint32_t count = ReadU32(bytes.data() + 4);
  std::size_t at = kHeaderBytes;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (bytes.size() - at < kEntryHeadBytes) {
      entries_.clear();
      return false;
    }
    const char* head = bytes.data() + at;
    const std::size_t name_length = strnlen(head, kNameBytes - 1);
    const std::uint32_t length = ReadU32(head + kNameBytes);
    at += kEntryHeadBytes;
    if (bytes.size() - at < length) {
      entries_.clear();
      return false;
    }
    entries_.push_back(Entry{std::string(head, name_length), std::string(bytes.substr(at, length))});
    at += length;
  }
  return true;
}

const SettingsFile::Entry* SettingsFile::Find(std::string_view name) const {
  for (const Entry& entry : entries_)
    if (entry.name == name) return &entry;
  return nullptr;
}

std::uint32_t SettingsFile::Integer(std::string_view name) const {
  const Entry* entry = Find(name);
  return entry != nullptr && entry->data.size() == 4 ? ReadU32(entry->data.data()) : 0;
}

std::uint32_t SettingsFile::Size(std::string_view name) const {
  const Entry* entry = Find(name);
  return entry != nullptr ? static_cast<std::uint32_t>(entry->data.size()) : 0;
}

const std::uint8_t* SettingsFile::Data(std::string_view name) const {
  const Entry* entry = Find(name);
  if (entry == nullptr || entry->data.empty()) return nullptr;
  return reinterpret_cast<const std::uint8_t*>(entry->data.data());
}

std::uint32_t SettingsFile::Copy(std::string_view name, void* buffer, std::uint32_t max) const {
  const Entry* entry = Find(name);
  if (entry == nullptr) return 0;
  const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(entry->data.size(), max));
  std::memcpy(buffer, entry->data.data(), n);
  return n;
}

}  // namespace quillon::settings
