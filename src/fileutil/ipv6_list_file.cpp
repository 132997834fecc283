#include "fileutil/ipv6_list_file.h"

#include <optional>

#include "fileutil/file_handle.h"
#include "fileutil/paths.h"

namespace quillon::fileutil {

namespace {

constexpr std::string_view kUnreadMark = "# not read: ";

std::string EscapeOwner(std::string_view owner) {
  std::string out;
  for (char ch : owner) {
    switch (ch) {
      case '%': out += "%25"; break;
      case '\t': out += "%09"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      default: out += ch;
    }
  }
  return out;
}

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

bool UnescapeOwner(std::string_view text, std::string* owner) {
  owner->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      *owner += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    *owner += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

}  // namespace

std::string Ipv6ListFile::PathFor(const std::string& store_path) {
  std::string base = store_path;
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dta") == 0) base.resize(base.size() - 4);
  return base + "-ipv6.txt";
}

void Ipv6ListFile::Add(std::string_view owner, List list, const runtime::IpRangeList& ips) {
  for (const std::string& entry : ips.Ipv6EntryTexts()) {
    lines_ += list == List::kSafe ? "safe\t" : "blocked\t";
    lines_ += entry;
    if (!owner.empty()) lines_ += "\t" + EscapeOwner(owner);
    lines_ += "\n";
    ++entries_;
  }
}

std::string Ipv6ListFile::Text(std::string_view store_name) const {
  std::string text = "# The IPv6 entries of the IP lists in ";
  text += store_name;
  text += ", which holds the IPv4 ones.\n# <safe|blocked> TAB <entry> [TAB <account or group>]\n";
  text += lines_;
  for (const std::string& line : unread_) text += std::string(kUnreadMark) + line + "\n";
  return text;
}

bool Ipv6ListFile::Write(const std::string& path, std::string_view store_name, FileWriter& writer,
                         OrderedSave* order, std::uint64_t ticket) const {
  // The look for a file is part of the ordered write, so a save that finds
  // none cannot be overtaken by an older one that still had entries.
  const bool something = HasEntries() || !unread_.empty();
  return order->WriteIf(ticket, writer, path, Text(store_name), FileHandle::kOwnerOnlyFile,
                        [&] { return something || PathExists(path); });
}

void Ipv6ListFile::KeepUnread(const std::vector<std::string>& lines) {
  unread_.insert(unread_.end(), lines.begin(), lines.end());
}

void Ipv6ListFile::Parse(std::string_view text, const Taker& take, std::vector<std::string>* unread) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.substr(0, kUnreadMark.size()) == kUnreadMark) {
      unread->emplace_back(line.substr(kUnreadMark.size()));
      continue;
    }
    if (line.empty() || line.front() == '#') continue;
    const std::size_t tab = line.find('\t');
    const std::string_view list_word = line.substr(0, tab);
    const std::string_view rest = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
    const std::size_t owner_tab = rest.find('\t');
    const std::optional<runtime::IpRange> range = runtime::IpRangeList::ParseEntry(rest.substr(0, owner_tab));
    std::string owner;
    const bool owner_ok =
        owner_tab == std::string_view::npos || UnescapeOwner(rest.substr(owner_tab + 1), &owner);
    if ((list_word != "safe" && list_word != "blocked") || !range || !owner_ok ||
        !take(owner, list_word == "safe" ? List::kSafe : List::kBlocked, *range))
      unread->emplace_back(line);
  }
}

bool Ipv6ListFile::Read(const std::string& path, const Taker& take, std::vector<std::string>* unread) {
  unread->clear();
  if (!PathExists(path)) return true;
  std::string text;
  if (!ReadWholeFile(path, kMaxFileBytes, &text, platform::Links::kRefuse)) return false;
  Parse(text, take, unread);
  return true;
}

}  // namespace quillon::fileutil
