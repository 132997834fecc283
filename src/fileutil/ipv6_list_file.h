// The IPv6 entries of IP lists, kept in a text file beside a binary file
// whose layout holds IPv4 ranges only (settings.dta, accounts.dta,
// groups.dta), so those files stay as they always were.
//
// Layout: lines ending in LF; "#" starts a comment line. Each entry line is
//   <list> TAB <entry> [TAB <owner>]
// where <list> is "safe" or "blocked", <entry> an IpRangeList entry text
// ("2001:db8::1", "2001:db8::/48", "2001:db8::1-2001:db8::9") and <owner>
// the name of the account or group the list belongs to (none for the
// server's lists), with "%", TAB, CR and LF written as %25, %09, %0D, %0A.
// Lines a load could not use (no entry, or an owner the store does not
// have) are written back after "# not read: ", so a typing slip in a
// hand-edited file is never lost, only set aside.
//
// Thread-safety: a value type; callers guard it.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fileutil/file_writer.h"
#include "runtime/ip_range_list.h"

namespace quillon::fileutil {

class Ipv6ListFile {
 public:
  enum class List { kSafe, kBlocked };
  // A companion file is a few kilobytes; anything far larger is not one.
  static constexpr std::uint64_t kMaxFileBytes = 1u << 20;

  // "config/accounts.dta" -> "config/accounts-ipv6.txt".
  static std::string PathFor(const std::string& store_path);

  // Adds the IPv6 entries of `ips` for `owner` ("" for the server).
  void Add(std::string_view owner, List list, const runtime::IpRangeList& ips);
  // Lines to write back after "# not read: " (see above).
  void KeepUnread(const std::vector<std::string>& lines);
  bool HasEntries() const { return entries_ > 0; }
  // The file's text: a header naming `store_name`, then the entry lines.
  std::string Text(std::string_view store_name) const;

  // Writes the text to `path` (owner-only) when there are entries, or when
  // a file is there already (it must not keep entries that were removed);
  // otherwise writes nothing. False when a write fails.
  [[nodiscard]] bool Write(const std::string& path, std::string_view store_name, FileWriter& writer,
                           OrderedSave* order, std::uint64_t ticket) const;

  // Calls `take` for every valid entry line of `text` in order; false from
  // `take` means the entry could not be used. The lines that are no valid
  // entry, or that `take` refused, go to *unread (lines set aside earlier
  // among them, without their mark).
  using Taker = std::function<bool(std::string_view owner, List list, const runtime::IpRange& range)>;
  static void Parse(std::string_view text, const Taker& take, std::vector<std::string>* unread);
  // Reads the file at `path` and parses it. A missing file has no entries;
  // false when a file is there but cannot be read.
  [[nodiscard]] static bool Read(const std::string& path, const Taker& take, std::vector<std::string>* unread);

 private:
  std::string lines_;
  std::size_t entries_ = 0;
  std::vector<std::string> unread_;
};

}  // namespace quillon::fileutil
