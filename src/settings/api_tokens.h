// The tokens that let programs use the remote admin's port without the
// administrator's password (the metrics, the automation interface), kept in
// config/tokens.conf. A token is shown once, when it is made; the file keeps
// only its SHA-256 digest, with its name, whether it may only read, and when
// it was made.
//
// The file: "#" begins a comment line; every other line is one token,
//   NAME ACCESS CREATED DIGEST
// separated by single blanks: NAME 1-64 letters, digits, "-", "_" or ".";
// ACCESS "read-only" or "read-write"; CREATED seconds since 1970-01-01 UTC;
// DIGEST the 64 lower-case hex digits of the token's SHA-256.
//
// A token is "qt_" followed by its 32 random bytes in unpadded base64url
// (46 characters in all).
//
// Thread-safety: none of its own; owners guard it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fileutil/file_writer.h"

namespace quillon::settings {

class ApiTokens {
 public:
  static constexpr const char* kFileName = "tokens.conf";
  static constexpr std::string_view kPrefix = "qt_";
  static constexpr std::size_t kRandomBytes = 32;
  static constexpr std::size_t kMaxNameLength = 64;
  // A file holds at most this many tokens; more lines are refused.
  static constexpr std::size_t kMaxTokens = 1000;
  // Larger files are not read.
  static constexpr std::uint64_t kMaxFileBytes = 1 << 20;

  struct Entry {
    std::string name;
    bool read_only = false;
    std::int64_t created_seconds = 0;
    std::string digest;  // SHA-256 of the token, 32 raw bytes
  };

  // Replaces the tokens by those of `text`. False when a line was skipped
  // (not a token, a name used twice, or more than kMaxTokens): *message then
  // begins with `name` and names every such line; the others are kept.
  [[nodiscard]] bool LoadText(std::string_view text, const std::string& name, std::string* message);
  // As LoadText, from the file at `path`, never through a link. A missing
  // file means no tokens. False with *message when it cannot be read.
  [[nodiscard]] bool Load(const std::string& path, std::string* message);
  // The file's text: a comment line, then one line per token.
  std::string Text() const;
  // Writes the file at `path` owner-only, replacing it whole.
  [[nodiscard]] bool Save(const std::string& path, fileutil::FileWriter& writer) const;

  // Makes a new token named `name` from the system's random source; *token
  // gets its text, which is kept nowhere. False with *message for a name
  // that is not valid or is taken, a full file, or no random source.
  [[nodiscard]] bool Add(const std::string& name, bool read_only, std::int64_t created_seconds,
                         std::string* token, std::string* message);
  // False when no token has that name.
  bool Remove(std::string_view name);

  const std::vector<Entry>& Entries() const { return entries_; }
  // The token whose digest is that of `token`, or null. The digest is
  // compared with every entry's, each in constant time, so the time taken
  // does not tell how much of a digest matched.
  const Entry* Match(std::string_view token) const;

  static bool IsValidName(std::string_view name);
  // Whether `text` has the form of a token (prefix, length, alphabet), so
  // anything else can be refused before it is hashed.
  static bool LooksLikeToken(std::string_view text);

 private:
  bool ParseLine(std::string_view line, Entry* entry) const;

  std::vector<Entry> entries_;
};

}  // namespace quillon::settings
