#include "settings/server_settings.h"

#include <cstring>
#include <string_view>

#include "settings/settings_file.h"
#include "vfs/text.h"

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
    vfs::CopyText(&cut, value, capacity);
    file->PutString(name, cut);
  }
  void Flag(const char* name, bool value) { file->PutInteger(name, value ? 1 : 0); }
  void Integer(const char* name, std::uint32_t value) { file->PutInteger(name, value); }
  void Speed(const char* name, const runtime::RateLimiter& limiter) {
    file->PutInteger(name, limiter.Limit());
  }
  void IpList(const char* name, const access::IpRangeList& list) {
    const std::string bytes = list.Serialise();
    file->PutBytes(name, bytes.data(), bytes.size());
  }
  void BadExts(const char* name, const vfs::BannedTypes& types) {
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
  void IpList(const char* name, access::IpRangeList& list) {
    if (Wanted(name) && file->Size(name) > 0) list.LoadBytes(file->Data(name), file->Size(name));
  }
  void BadExts(const char* name, vfs::BannedTypes& types) {
    const std::uint32_t size = file->Size(name);
    if (!Wanted(name) || size == 0) return;
    const char* text = reinterpret_cast<const char*>(file->Data(name));
    types.Parse(std::string_view(text, strnlen(text, size - 1)));
  }
};

}  // namespace

ServerSettings::ServerSettings(platform::Clock& clock, std::string path, vfs::FileWriter* writer)
    : mMaxUploadSpeed(clock),
      mMaxDownloadSpeed(clock),
      path_(std::move(path)),
      writer_(writer != nullptr ? writer : &default_writer_) {
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

bool ServerSettings::Load() {
  ResetToDefaults();
  SettingsFile file;
  if (!file.Read(path_)) return false;
  Reader reader{&file, file.Has("mWelcomeMsg"), file.Has(kLateMarker)};
  VisitKeys(*this, reader);
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

bool ServerSettings::Save() {
  SettingsFile file;
  Fill(&file);
  return file.Write(path_, *writer_);
}

}  // namespace quillon::settings
