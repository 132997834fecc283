#include "settings/server_settings.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "settings/settings_file.h"
#include "fileutil/file_handle.h"
#include "fileutil/paths.h"
#include "fileutil/stored_password.h"
#include "fileutil/text.h"

namespace quillon::settings {

namespace {

constexpr const char* kDefaultWelcome = "Welcome to Marrowind Quillon FTP Server.";
constexpr const char* kDefaultHelp = "Please contact the adminstrator for more information.";
constexpr const char* kDefaultStopReason = "The adminstrator forcefully ended your transfer.";
constexpr const char* kDefaultKickReason = "The adminstrator forcefully ended your session.";
constexpr const char* kDefaultBadExts = "exe,pif,scr,com,bat";

// The keys added last; files written before them keep these defaults.
constexpr std::string_view kLateMarker = "mDeleteToRecycleBin";
bool IsLateKey(std::string_view name) {
  return name == kLateMarker || name == "mUseBannedFiles" || name == "mBadExts";
}

// Puts every key into a SettingsFile.
struct Writer {
  SettingsFile* file;
  void String(const char* name, const std::string& value, std::size_t capacity) {
    std::string cut;
    fileutil::CopyText(&cut, value, capacity);
    file->PutString(name, cut);
  }
  void Flag(const char* name, bool value) { file->PutInteger(name, value ? 1 : 0); }
  void Integer(const char* name, std::uint32_t value) { file->PutInteger(name, value); }
  void Speed(const char* name, const runtime::RateLimiter& limiter) {
    file->PutInteger(name, limiter.Limit());
  }
  void IpList(const char* name, const runtime::IpRangeList& list) {
    const std::string bytes = list.Serialise();
    file->PutBytes(name, bytes.data(), bytes.size());
  }
  void BadExts(const char* name, const fileutil::BannedTypes& types) {
    file->PutString(name, types.Joined());
  }
};

// Takes every key from a SettingsFile: the main group only when the file
// has mWelcomeMsg, the late keys only when it has mDeleteToRecycleBin.
struct Reader {
  const SettingsFile* file;
  bool main_group;
  bool late_group;

  bool Wanted(const char* name) const { return IsLateKey(name) ? late_group : main_group; }
  void String(const char* name, std::string& value, std::size_t capacity) {
    if (!Wanted(name)) return;
    std::string buffer(capacity, '\0');
    const std::uint32_t copied =
        file->Copy(name, buffer.data(), static_cast<std::uint32_t>(capacity - 1));
    value.assign(buffer.data(), strnlen(buffer.data(), copied));
  }
  void Flag(const char* name, bool& value) {
    if (Wanted(name)) value = file->Integer(name) == 1;
  }
  void Integer(const char* name, std::uint32_t& value) {
    if (Wanted(name)) value = file->Integer(name);
  }
  void Speed(const char* name, runtime::RateLimiter& limiter) {
    if (Wanted(name)) limiter.SetLimit(file->Integer(name));
  }
  void IpList(const char* name, runtime::IpRangeList& list) {
    if (Wanted(name) && file->Size(name) > 0) list.LoadBytes(file->Data(name), file->Size(name));
  }
  void BadExts(const char* name, fileutil::BannedTypes& types) {
    const std::uint32_t size = file->Size(name);
    if (!Wanted(name) || size == 0) return;
    const char* text = reinterpret_cast<const char*>(file->Data(name));
    types.Parse(std::string_view(text, strnlen(text, size - 1)));
  }
};

// Finds what a parsed file holds that no file written by a save (of this
// version or an older one) can hold: entries whose names are no key, keys
// twice, data of a size or value its key cannot have, group keys without
// the key that marks their group.
struct DamageCheck {
  const SettingsFile* file;
  std::vector<std::string> known;  // every key, in the save order
  std::vector<std::string> bad;    // keys present with impossible data

  // A present key passes `ok` on its (first) data.
  template <typename Test>
  void Check(const char* name, Test ok) {
    known.emplace_back(name);
    if (!file->Has(name)) return;
    for (std::size_t i = 0; i < file->Count(); ++i) {
      if (file->NameAt(i) != name) continue;
      if (!ok(file->DataAt(i))) bad.emplace_back(name);
      return;
    }
  }
  static bool IsText(const std::string& data) { return !data.empty() && data.back() == '\0'; }
  void String(const char* name, const std::string&, std::size_t) { Check(name, IsText); }
  void Flag(const char* name, bool) {
    Check(name, [this, name](const std::string& data) {
      return data.size() == 4 && file->Integer(name) <= 1;
    });
  }
  void Integer(const char* name, std::uint32_t) {
    Check(name, [](const std::string& data) { return data.size() == 4; });
  }
  void Speed(const char* name, const runtime::RateLimiter&) { Integer(name, 0); }
  void IpList(const char* name, const runtime::IpRangeList&) {
    Check(name, [](const std::string& data) {
      return data.size() % runtime::IpRangeList::kBytesPerRange == 0;
    });
  }
  void BadExts(const char* name, const fileutil::BannedTypes&) { Check(name, IsText); }

  // What is wrong, parts joined by ", "; "" for a sound file.
  std::string Faults(std::size_t left_over) const {
    std::vector<std::string> parts;
    std::size_t unknown = 0;
    bool main_keys = false, late_keys = false;
    std::vector<std::string> twice;
    for (std::size_t i = 0; i < file->Count(); ++i) {
      const std::string& name = file->NameAt(i);
      if (std::find(known.begin(), known.end(), name) == known.end()) {
        ++unknown;
        continue;
      }
      (IsLateKey(name) ? late_keys : main_keys) = true;
      for (std::size_t j = 0; j < i; ++j) {
        if (file->NameAt(j) != name) continue;
        if (std::find(twice.begin(), twice.end(), name) == twice.end()) twice.push_back(name);
        break;
      }
    }
    if (unknown > 0)
      parts.push_back(fileutil::FormatText(unknown == 1 ? "%zu entry with an unknown name"
                                                   : "%zu entries with unknown names",
                                      unknown));
    if (main_keys && !file->Has("mWelcomeMsg")) parts.emplace_back("mWelcomeMsg missing");
    if (late_keys && !file->Has(kLateMarker))
      parts.emplace_back(std::string(kLateMarker) + " missing");
    if (!bad.empty()) parts.push_back("impossible data in " + Joined(bad));
    if (!twice.empty()) parts.push_back(Joined(twice) + " more than once");
    if (left_over > 0) parts.push_back(fileutil::FormatText("%zu bytes left over", left_over));
    return Joined(parts, ", ");
  }
  static std::string Joined(const std::vector<std::string>& items, const char* between = " and ") {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : between) + item;
    return text;
  }
};

// Reads or writes the one key named `key` as text: flags as 1 or 0,
// integers in decimal, speeds in KB/s, IP lists as comma-separated entries
// ("10.0.0.1" or "10.0.0.1-10.0.0.255"), banned types as "exe,pif".
struct TextAccess {
  std::string_view key;
  const std::string* input;  // null: read the value into *output
  std::string* output;
  std::string* message;
  bool found = false;
  bool ok = false;

  bool Mine(const char* name) {
    if (key != name) return false;
    found = true;
    return true;
  }
  bool Fail(std::string text) {
    *message = std::move(text);
    return false;
  }
  bool Number(std::uint32_t* value) {
    const std::string& text = *input;
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoull(text) > 0xFFFFFFFFull)
      return Fail("The value of " + std::string(key) + " must be a whole number from 0 to 4294967295.");
    *value = static_cast<std::uint32_t>(std::stoull(text));
    return true;
  }

  void String(const char* name, std::string& value, std::size_t capacity) {
    if (!Mine(name)) return;
    if (input == nullptr) {
      *output = value;
      ok = true;
    } else if (input->size() >= capacity) {
      ok = Fail("The value of " + std::string(key) + " may hold at most " +
                std::to_string(capacity - 1) + " characters.");
    } else {
      value = *input;
      ok = true;
    }
  }
  void Flag(const char* name, bool& value) {
    if (!Mine(name)) return;
    if (input == nullptr) {
      *output = value ? "1" : "0";
      ok = true;
      return;
    }
    const std::string& text = *input;
    if (text == "1" || fileutil::EqualNoCase(text, "on") || fileutil::EqualNoCase(text, "true") ||
        fileutil::EqualNoCase(text, "yes")) {
      value = true;
      ok = true;
    } else if (text == "0" || fileutil::EqualNoCase(text, "off") || fileutil::EqualNoCase(text, "false") ||
               fileutil::EqualNoCase(text, "no")) {
      value = false;
      ok = true;
    } else {
      ok = Fail("The value of " + std::string(key) + " must be 1 or 0 (on or off).");
    }
  }
  void Integer(const char* name, std::uint32_t& value) {
    if (!Mine(name)) return;
    if (input == nullptr) {
      *output = std::to_string(value);
      ok = true;
    } else {
      ok = Number(&value);
    }
  }
  void Speed(const char* name, runtime::RateLimiter& limiter) {
    if (!Mine(name)) return;
    std::uint32_t kb = limiter.Limit() >> 10;
    if (input == nullptr) {
      *output = std::to_string(kb);
      ok = true;
    } else if ((ok = Number(&kb))) {
      if (kb > (0xFFFFFFFFu >> 10)) {
        ok = Fail("The value of " + std::string(key) + " is too large.");
        return;
      }
      limiter.SetLimit(kb << 10);
    }
  }
  void IpList(const char* name, runtime::IpRangeList& list) {
    if (!Mine(name)) return;
    if (input == nullptr) {
      output->clear();
      for (std::size_t i = 0; i < list.Count(); ++i) *output += (i > 0 ? "," : "") + list.EntryText(i);
      ok = true;
      return;
    }
    runtime::IpRangeList parsed;
    std::string_view rest = *input;
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      const std::string_view entry = rest.substr(0, comma);
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      const std::optional<runtime::IpRange> range = runtime::IpRangeList::ParseEntry(entry);
      if (!range) {
        ok = Fail("\"" + std::string(entry) + "\" is not an IP address or a range of them.");
        return;
      }
      parsed.AddRange(range->first, range->last);
    }
    list = parsed;
    ok = true;
  }
  void BadExts(const char* name, fileutil::BannedTypes& types) {
    if (!Mine(name)) return;
    if (input == nullptr) {
      *output = types.Joined();
    } else {
      types.Parse(*input);
    }
    ok = true;
  }
};

}  // namespace

ServerSettings::ServerSettings(platform::Clock& clock, std::string path, fileutil::FileWriter* writer)
    : mMaxUploadSpeed(clock),
      mMaxDownloadSpeed(clock),
      path_(std::move(path)),
      writer_(writer != nullptr ? writer : &default_writer_),
      damage_(path_, *writer_, clock) {
  ResetToDefaults();
}

template <typename Visitor, typename Self>
void ServerSettings::VisitKeys(Self& s, Visitor& v) {
  v.String("mWelcomeMsg", s.mWelcomeMsg, kMessageCapacity);
  v.String("mHelpMsg", s.mHelpMsg, kMessageCapacity);
  v.Flag("mUseMaxUploadSpeed", s.mUseMaxUploadSpeed);
  v.Speed("mMaxUploadSpeed", s.mMaxUploadSpeed);
  v.Flag("mUseMaxDownloadSpeed", s.mUseMaxDownloadSpeed);
  v.Speed("mMaxDownloadSpeed", s.mMaxDownloadSpeed);
  v.Flag("mUseMaxUsers", s.mUseMaxUsers);
  v.Integer("mMaxUsers", s.mMaxUsers);
  v.Flag("mAllowPassChange", s.mAllowPassChange);
  v.Flag("mBlockTimeOutStopping", s.mBlockTimeOutStopping);
  v.Flag("mAntiHammering", s.mAntiHammering);
  v.Flag("mAutoHide", s.mAutoHide);
  v.Flag("mAutoActivate", s.mAutoActivate);
  v.Integer("mPort", s.mPort);
  v.Flag("mUseSafeIPs", s.mUseSafeIPs);
  v.Flag("mUseBlockIPs", s.mUseBlockIPs);
  v.IpList("mSafeIPs", s.mSafeIPs);
  v.IpList("mBlockIPs", s.mBlockIPs);
  v.Integer("mFTPLogStartVal", s.mFTPLogStartVal);
  v.Integer("mMaxUsersPerIP", s.mMaxUsersPerIP);
  v.Flag("mUseMaxUsersPerIP", s.mUseMaxUsersPerIP);
  v.Integer("mIdleTimeOut", s.mIdleTimeOut);
  v.Flag("mAllowSiteToSite", s.mAllowSiteToSite);
  v.Flag("mShowNTServiceIcon", s.mShowNTServiceIcon);
  v.Flag("mUseRA", s.mUseRA);
  v.Integer("mRAPort", s.mRAPort);
  v.String("mRAPass", s.mRAPass, kMessageCapacity);
  v.Flag("mRAUseFixToDir", s.mRAUseFixToDir);
  v.String("mRAFixToDir", s.mRAFixToDir, kFolderCapacity);
  v.Integer("mRALogStartVal", s.mRALogStartVal);
  v.String("mKickReason", s.mKickReason, kReasonCapacity);
  v.String("mStopReason", s.mStopReason, kReasonCapacity);
  v.Flag("mDeleteToRecycleBin", s.mDeleteToRecycleBin);
  v.Flag("mUseBannedFiles", s.mUseBannedFiles);
  v.BadExts("mBadExts", s.mBadExts);
}

void ServerSettings::ResetToDefaults() {
  mWelcomeMsg = kDefaultWelcome;
  mHelpMsg = kDefaultHelp;
  mUseMaxUploadSpeed = false;
  mMaxUploadSpeed.SetLimit(0);
  mUseMaxDownloadSpeed = false;
  mMaxDownloadSpeed.SetLimit(0);
  mUseMaxUsers = true;
  mMaxUsers = 100;
  mAllowPassChange = false;
  mBlockTimeOutStopping = false;
  mAntiHammering = false;
  mAutoHide = false;
  mAutoActivate = true;
  mUseSafeIPs = false;
  mSafeIPs.Clear();
  mUseBlockIPs = false;
  mBlockIPs.Clear();
  mPort = 21;
  mFTPLogStartVal = 0;
  mUseMaxUsersPerIP = false;
  mMaxUsersPerIP = 0;
  mIdleTimeOut = 300;
  mAllowSiteToSite = false;
  mShowNTServiceIcon = true;
  mUseRA = false;
  mRAPort = 7088;
  mRAPass.clear();
  mRAUseFixToDir = false;
  mRAFixToDir.clear();
  mRALogStartVal = 0;
  mStopReason = kDefaultStopReason;
  mKickReason = kDefaultKickReason;
  mDeleteToRecycleBin = false;
  mUseBannedFiles = false;
  mBadExts.Parse(kDefaultBadExts);
}

std::string ServerSettings::ExtraPath() const {
  std::string folder;
  if (!fileutil::ParentFolder(path_, &folder, 4096)) folder = ".";
  return folder + "/" + ExtraSettings::kFileName;
}

bool ServerSettings::SaveExtra() { return extra_.Save(ExtraPath(), *writer_); }

bool ServerSettings::Load() {
  ResetToDefaults();
  extra_message_.clear();
  damage_.Clear();
  ipv6_readable_ = true;
  ipv6_unread_.clear();
  // Faulty lines are skipped and the rest applies; the owner reports the
  // message.
  [[maybe_unused]] const bool extra_read = extra_.Load(ExtraPath(), &extra_message_);
  std::string bytes;
  if (!fileutil::ReadWholeFile(path_, SettingsFile::kMaxFileBytes, &bytes, platform::Links::kRefuse))
    return false;
  SettingsFile file;
  SettingsFile::ParseNotes notes;
  if (!file.Parse(bytes, &notes)) {
    damage_.Found(bytes, notes.failure, kDefaultsInPlace);
    return false;
  }
  Reader reader{&file, file.Has("mWelcomeMsg"), file.Has(kLateMarker)};
  VisitKeys(*this, reader);
  if (reader.main_group) LoadIpv6Entries();
  DamageCheck check{&file, {}, {}};
  VisitKeys(static_cast<const ServerSettings&>(*this), check);
  const std::string faults = check.Faults(notes.left_over);
  if (!faults.empty()) damage_.Found(bytes, faults, reader.main_group ? "" : kDefaultsInPlace);
  return true;
}

void ServerSettings::Fill(SettingsFile* file) const {
  Writer writer{file};
  VisitKeys(*this, writer);
}

std::string ServerSettings::Serialise() const {
  SettingsFile file;
  Fill(&file);
  return file.Serialise();
}

bool ServerSettings::Save() { return CompleteSave(PrepareSave()); }

ServerSettings::PreparedSave ServerSettings::PrepareSave() {
  PreparedSave save{Serialise(), save_order_.Ticket(), {}, ipv6_save_order_.Ticket(), ipv6_readable_};
  save.ipv6.KeepUnread(ipv6_unread_);
  save.ipv6.Add("", fileutil::Ipv6ListFile::List::kSafe, mSafeIPs);
  save.ipv6.Add("", fileutil::Ipv6ListFile::List::kBlocked, mBlockIPs);
  return save;
}

bool ServerSettings::CompleteSave(const PreparedSave& save) {
  // The copy of a damaged file is written before anything replaces it, and
  // a companion file there but unreadable is never written over.
  if (!damage_.SaveAllowed() || !save.ipv6_readable) return false;
  if (!save_order_.Write(save.ticket, *writer_, path_, save.bytes, fileutil::FileHandle::kOwnerOnlyFile))
    return false;
  return save.ipv6.Write(fileutil::Ipv6ListFile::PathFor(path_), fileutil::FileNamePart(path_), *writer_,
                         &ipv6_save_order_, save.ipv6_ticket);
}

void ServerSettings::LoadIpv6Entries() {
  using fileutil::Ipv6ListFile;
  ipv6_readable_ = Ipv6ListFile::Read(
      Ipv6ListFile::PathFor(path_),
      [this](std::string_view owner, Ipv6ListFile::List list, const runtime::IpRange& range) {
        if (!owner.empty()) return false;  // the server's lists have no owner
        (list == Ipv6ListFile::List::kSafe ? mSafeIPs : mBlockIPs).AddRange(range.first, range.last);
        return true;
      },
      &ipv6_unread_);
}

bool ServerSettings::SetFromText(std::string_view key, const std::string& value,
                                 std::string* message) {
  const std::string admin_password = mRAPass;
  std::string unused;
  TextAccess access{key, &value, &unused, message};
  VisitKeys(*this, access);
  if (!access.found) *message = "There is no setting named " + std::string(key) + ".";
  if (!access.found || !access.ok) return false;
  if (key != "mRAPass") return true;
  // The text passed the field's checks; it is stored in its password form.
  std::string typed = std::move(mRAPass);
  mRAPass = admin_password;
  return SetAdminPassword(typed, message);
}

bool ServerSettings::SetAdminPassword(std::string_view password, std::string* message) {
  if (password == mRAPass) return true;
  std::string field;
  if (!fileutil::StoredPasswordForm(password.substr(0, kMessageCapacity - 1), extra_.HashPasswords(),
                                    &field, message))
    return false;
  mRAPass = std::move(field);
  return true;
}

namespace {
// Collects the name of every key.
struct NameList {
  std::vector<std::string>* names;
  template <typename T> void String(const char* name, T&, std::size_t) { names->push_back(name); }
  template <typename T> void Flag(const char* name, T&) { names->push_back(name); }
  template <typename T> void Integer(const char* name, T&) { names->push_back(name); }
  template <typename T> void Speed(const char* name, T&) { names->push_back(name); }
  template <typename T> void IpList(const char* name, T&) { names->push_back(name); }
  template <typename T> void BadExts(const char* name, T&) { names->push_back(name); }
};
}  // namespace

std::vector<std::string> ServerSettings::KeyNames() {
  // The visitor needs an object to walk; the defaults serve.
  static platform::SystemClock clock;
  static const ServerSettings defaults(clock, "");
  std::vector<std::string> names;
  NameList list{&names};
  VisitKeys(defaults, list);
  return names;
}

bool ServerSettings::GetAsText(std::string_view key, std::string* value, std::string* message) {
  TextAccess access{key, nullptr, value, message};
  VisitKeys(*this, access);
  if (!access.found) *message = "There is no setting named " + std::string(key) + ".";
  return access.found && access.ok;
}

}  // namespace quillon::settings
