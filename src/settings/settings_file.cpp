#include "settings/settings_file.h"

#include <algorithm>
#include <cstring>

#include "fileutil/bytes.h"
#include "fileutil/file_handle.h"
#include "fileutil/text.h"

namespace quillon::settings {

namespace {

std::uint32_t ReadU32(std::string_view bytes) {
  std::uint32_t value = 0;
  fileutil::ByteReader reader(bytes);
  return reader.U32(&value) ? value : 0;
}

}  // namespace

void SettingsFile::PutString(std::string_view name, std::string_view text) {
  std::string data(text);
  data.push_back('\0');
  PutBytes(name, data.data(), data.size());
}

void SettingsFile::PutInteger(std::string_view name, std::uint32_t value) {
  std::string data;
  fileutil::ByteWriter(&data).U32(value);
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
  fileutil::ByteWriter writer(&out);
  writer.U32(kVersion);
  writer.U32(static_cast<std::uint32_t>(entries_.size()));
  for (const Entry& entry : entries_) {
    writer.Text(entry.name, kNameBytes);
    writer.U32(static_cast<std::uint32_t>(entry.data.size()));
    writer.Bytes(entry.data);
  }
  return out;
}

bool SettingsFile::Write(const std::string& path, fileutil::FileWriter& writer) const {
  return writer.ReplaceFile(path, Serialise(), fileutil::FileHandle::kOwnerOnlyFile);
}

bool SettingsFile::Read(const std::string& path) {
  entries_.clear();
  std::string bytes;
  return fileutil::ReadWholeFile(path, kMaxFileBytes, &bytes, platform::Links::kRefuse) && Parse(bytes);
}

bool SettingsFile::Parse(std::string_view bytes, ParseNotes* notes) {
  ParseNotes unused;
  ParseNotes& seen = notes != nullptr ? *notes : unused;
  seen = ParseNotes();
  entries_.clear();
  fileutil::ByteReader reader(bytes);
  std::uint32_t version = 0;
  std::uint32_t count = 0;
  if (!reader.U32(&version) || !reader.U32(&count)) {
    seen.failure = "the header is cut short";
    return false;
  }
  if (version != kVersion) {
    seen.failure = fileutil::FormatText("version %u instead of %u", version, kVersion);
    return false;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    Entry entry;
    std::uint32_t length = 0;
    std::string_view data;
    if (!reader.Text(kNameBytes, &entry.name) || !reader.U32(&length) ||
        !reader.Bytes(length, &data)) {
      entries_.clear();
      seen.failure = fileutil::FormatText("entry %u of %u is cut short", i + 1, count);
      return false;
    }
    entry.data.assign(data);
    entries_.push_back(std::move(entry));
  }
  seen.left_over = reader.Left();
  return true;
}

const SettingsFile::Entry* SettingsFile::Find(std::string_view name) const {
  for (const Entry& entry : entries_)
    if (entry.name == name) return &entry;
  return nullptr;
}

std::uint32_t SettingsFile::Integer(std::string_view name) const {
  const Entry* entry = Find(name);
  return entry != nullptr && entry->data.size() == 4 ? ReadU32(entry->data) : 0;
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
