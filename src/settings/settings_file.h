// A small keyed record file: an ordered list of named entries, each a name
// and a run of data bytes.
//
// File layout (integers little-endian):
//   u32 format version (3), u32 entry count, then per entry:
//   char[300] name (NUL-filled), u32 data length N, N data bytes.
//
// Thread-safety: none; owners guard it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fileutil/file_writer.h"

namespace quillon::settings {

class SettingsFile {
 public:
  static constexpr std::uint32_t kVersion = 3;
  static constexpr std::size_t kNameBytes = 300;  // 299 characters and the NUL
  static constexpr std::size_t kHeaderBytes = 8;
  static constexpr std::size_t kEntryHeadBytes = kNameBytes + 4;
  // A settings file is a few kilobytes; anything far larger is not one.
  static constexpr std::uint64_t kMaxFileBytes = 64ull << 20;

  // What Parse saw besides the entries: why it failed, or how many bytes
  // followed the last announced entry.
  struct ParseNotes {
    std::string failure;  // "the header is cut short", "version 2 instead of 3", ...
    std::size_t left_over = 0;
  };

  // An entry holding the text and its NUL.
  void PutString(std::string_view name, std::string_view text);
  // An entry of 4 bytes.
  void PutInteger(std::string_view name, std::uint32_t value);
  // Replaces the first entry of that name (case-sensitive) in its place, or
  // appends a new one. Names are cut to 299 characters.
  void PutBytes(std::string_view name, const void* data, std::size_t length);

  // The file's bytes in the layout above.
  std::string Serialise() const;
  // Replaces the file at `path` through `writer`, owner-only.
  [[nodiscard]] bool Write(const std::string& path, fileutil::FileWriter& writer) const;
  // Empties the list and reads the file. False, with the list empty, when
  // the file is absent, short, or not of version 3.
  [[nodiscard]] bool Read(const std::string& path);
  // As Read, from bytes in memory; `notes` (may be null) tells more.
  [[nodiscard]] bool Parse(std::string_view bytes, ParseNotes* notes = nullptr);

  bool Has(std::string_view name) const { return Find(name) != nullptr; }
  // The value when the entry holds exactly 4 bytes, otherwise 0.
  std::uint32_t Integer(std::string_view name) const;
  // Data length; 0 when absent.
  std::uint32_t Size(std::string_view name) const;
  // The data; null when absent or empty.
  const std::uint8_t* Data(std::string_view name) const;
  // Copies min(N, max) bytes and returns that count; 0 when absent.
  std::uint32_t Copy(std::string_view name, void* buffer, std::uint32_t max) const;
  std::size_t Count() const { return entries_.size(); }
  // The name and data of the entry at `index` (< Count()), in file order.
  const std::string& NameAt(std::size_t index) const { return entries_[index].name; }
  const std::string& DataAt(std::size_t index) const { return entries_[index].data; }

 private:
  struct Entry {
    std::string name;
    std::string data;
  };
  // The first entry of that name, or null.
  const Entry* Find(std::string_view name) const;

  std::vector<Entry> entries_;
};

}  // namespace quillon::settings
