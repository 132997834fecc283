#include "update/updater.h"

#include <algorithm>
#include <optional>
#include <string>

#include "platform/fs.h"
#include "update/release_version.h"
#include "update/signature.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"

namespace quillon::update {

namespace {

using Guard = runtime::CriticalSection::Guard;

constexpr const char* kRequestTemplate =
    "GET %s HTTP/1.1\r\nAccept: */*\r\nPragma: no-cache\r\nIf-Modified-Since: Thu, 15 Mar 2001 "
    "12:36:46 GMT\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)\r\nHost: %s\r\n"
    "Referer: %s\r\nConnection: Close\r\n\r\n";
constexpr std::string_view kLengthHeader = "Content-Length";
constexpr std::string_view kTransferEncodingHeader = "Transfer-Encoding";
// Shorter than every fetch's time, so a connect never overruns it.
constexpr std::uint32_t kConnectTimeoutMs = 30'000;
static_assert(kConnectTimeoutMs < Updater::kSmallFileDeadlineMs);

constexpr Updater::Fetch kVersionFetch = {"the version file", Updater::kVersionReadBytes,
                                          Updater::kSmallFileDeadlineMs};
constexpr Updater::Fetch kSignatureFetch = {"the program file's signature", kSignatureBytes,
                                            Updater::kSmallFileDeadlineMs};
constexpr Updater::Fetch kProgramFetch = {"the program file", Updater::kProgramSizeCap,
                                          Updater::kProgramDeadlineMs};

// "HTTP/1.x 200", then the end of the line or a space and the reason
// phrase: the code is the second word, wherever else "200" may appear.
bool IsSuccessStatusLine(std::string_view line) {
  constexpr std::string_view kVersionStart = "HTTP/1.";
  constexpr std::string_view kSuccess = " 200";
  const std::size_t code = kVersionStart.size() + 1;
  return line.size() >= code + kSuccess.size() &&
         line.substr(0, kVersionStart.size()) == kVersionStart &&
         line[kVersionStart.size()] >= '0' && line[kVersionStart.size()] <= '9' &&
         line.substr(code, kSuccess.size()) == kSuccess &&
         (line.size() == code + kSuccess.size() || line[code + kSuccess.size()] == ' ');
}

// A Content-Length value: digits between optional blanks. Nothing for
// anything else; a value over `cap` comes back as cap + 1, however long.
std::optional<std::uint64_t> ParseContentLength(std::string_view text, std::uint32_t cap) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    value = std::min<std::uint64_t>(value * 10 + static_cast<unsigned>(ch - '0'), cap + 1ull);
  }
  return value;
}

// "128 MiB", "49 bytes".
std::string SizeText(std::uint32_t bytes) {
  constexpr std::uint32_t kMiB = 1u << 20;
  return bytes % kMiB == 0 ? fileutil::FormatText("%u MiB", bytes / kMiB)
                           : fileutil::FormatText("%u bytes", bytes);
}

// "10 minutes", "60 seconds".
std::string DurationText(std::uint32_t ms) {
  constexpr std::uint32_t kMinuteMs = 60'000;
  return ms % kMinuteMs == 0 && ms > kMinuteMs ? fileutil::FormatText("%u minutes", ms / kMinuteMs)
                                               : fileutil::FormatText("%u seconds", ms / 1000);
}

}  // namespace

std::optional<UpdateSource> SourceFromUrl(std::string_view url) {
  constexpr std::string_view kScheme = "http://";
  if (url.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  url.remove_prefix(kScheme.size());
  const std::size_t slash = url.find('/');
  std::string_view authority = url.substr(0, slash);
  std::string folder(slash == std::string_view::npos ? "/" : url.substr(slash));
  if (folder.back() != '/') folder += '/';
  UpdateSource source;
  const std::size_t colon = authority.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view digits = authority.substr(colon + 1);
    unsigned long port = 0;
    for (char ch : digits) {
      if (ch < '0' || ch > '9' || port > 65535) return std::nullopt;
      port = port * 10 + static_cast<unsigned>(ch - '0');
    }
    if (digits.empty() || port == 0 || port > 65535) return std::nullopt;
    source.port = static_cast<std::uint16_t>(port);
    authority = authority.substr(0, colon);
  }
  if (authority.empty() || folder.find_first_of(" \t\r\n") != std::string::npos ||
      authority.find_first_of(" \t\r\n/@") != std::string_view::npos)
    return std::nullopt;
  source.host = std::string(authority);
  source.program_path = folder + "updates/quillon-ftp-server";
  source.version_path = folder + "updates/qfs.txt";
  return source;
}

UpdateSource ConfiguredSource() {
  const std::string url = platform::EnvironmentValue("QUILLON_UPDATE_URL");
  if (!url.empty()) {
    if (std::optional<UpdateSource> source = SourceFromUrl(url)) return *source;
  }
  return *SourceFromUrl(QUILLON_UPDATE_URL);
}

UpdateProgress DescribeUpdate(std::uint32_t state, std::uint32_t bytes_received,
                              std::uint32_t content_length) {
  switch (state) {
    case Updater::kLooking:
      return {"Looking for updates...", std::nullopt, false};
    case Updater::kDownloading: {
      const unsigned long long kb_received = (bytes_received + 512ull) / 1024;
      const unsigned long long kb_total = (content_length + 512ull) / 1024;
      std::optional<int> percent;
      if (content_length > 0)
        percent = static_cast<int>(std::min<unsigned long long>(
            100, bytes_received * 100ull / content_length));
      return {fileutil::FormatText("Downloading (%llu KB of %llu KB)...", kb_received, kb_total),
              percent, false};
    }
    case Updater::kInstalled:
      return {"Completed.", 100, true};
    case Updater::kNoUpdate:
      return {"Completed, no update required.", 100, true};
    case Updater::kFailed:
      return {"Error occured while updating.", std::nullopt, true};
    default:
      return {"Unable to retrieve update.", std::nullopt, true};
  }
}

Updater::~Updater() { StopUpdate(); }

bool Updater::StartUpdate(const Job& job) {
  if (IsRunning()) return false;
  job_ = job;
  {
    // Set before the thread runs, so nothing it reports is overwritten.
    Guard guard(lock_);
    state_ = kLooking;
    bytes_received_ = 0;
    content_length_ = 0;
    failure_.clear();
  }
  if (Start()) return true;
  SetState(kNotStarted);
  return false;
}

Updater::State Updater::GetState() {
  Guard guard(lock_);
  return state_;
}

std::uint32_t Updater::BytesReceived() {
  Guard guard(lock_);
  return bytes_received_;
}

std::uint32_t Updater::ContentLength() {
  Guard guard(lock_);
  return content_length_;
}

std::string Updater::FailureText() {
  Guard guard(lock_);
  return failure_;
}

void Updater::SetState(State state) {
  Guard guard(lock_);
  state_ = state;
}

Updater::State Updater::Fail(std::string text) {
  Guard guard(lock_);
  if (failure_.empty()) failure_ = std::move(text);
  return kFailed;
}

bool Updater::Refuse(std::string text) {
  Guard guard(lock_);
  failure_ = std::move(text);
  return false;
}

void Updater::ThreadBody() {
  const State state = Run();
  socket_.Close();
  SetState(state);
}

Updater::State Updater::Run() {
  const std::optional<ReleaseVersion> own = ParseReleaseVersion(job_.own_version);
  if (!own) return Fail("this program's version " + job_.own_version + " cannot be compared");
  std::string offered;
  if (!Request(kVersionFetch, job_.source.version_path) ||
      !ReadBody(ContentLength(), &offered) || offered.size() != ContentLength())
    return Fail("the version file could not be fetched");
  // A version file saved with a line end names the same version.
  while (!offered.empty() && (offered.back() == '\n' || offered.back() == '\r')) offered.pop_back();
  const std::optional<ReleaseVersion> offered_version = ParseReleaseVersion(offered);
  if (!offered_version) return Fail("the version file names no version");
  if (*offered_version <= *own) return kNoUpdate;
  if (job_.public_key.size() != kPublicKeyBytes)
    return Fail("this build holds no release key to check updates with");

  std::string signature;
  if (!Request(kSignatureFetch, job_.source.program_path + kSignatureSuffix) ||
      ContentLength() != kSignatureBytes || !ReadBody(kSignatureBytes, &signature) ||
      signature.size() != kSignatureBytes)
    return Fail("the program file's signature could not be fetched");

  if (!Request(kProgramFetch, job_.source.program_path))
    return Fail("the program file could not be fetched");
  SetState(kDownloading);
  std::string folder;
  if (!fileutil::ParentFolder(job_.program_file, &folder, fileutil::kDiskPathCapacity))
    return Fail("the program file has no folder");
  // Beside the program file, so that the last step is a rename on one file
  // system; a folder that cannot be written fails here, before anything.
  std::string temporary;
  fileutil::FileHandle file;
  if (!file.CreateUnique(folder, ".quillon-update-", &temporary))
    return Fail("no temporary file can be created in " + folder);
  const bool downloaded = Download(file);
  const std::uint64_t size = file.Size();
  file.Close();
  if (!downloaded || size != ContentLength()) {
    [[maybe_unused]] const bool removed = platform::RemoveFile(temporary, nullptr);
    return downloaded ? Fail("the program file arrived incomplete") : kFailed;
  }
  return Install(temporary, signature, offered);
}

bool Updater::InTime() {
  if (clock_.MonotonicMs() < deadline_ms_) return true;
  return Refuse(std::string(fetch_->name) + " did not arrive within " +
                DurationText(fetch_->deadline_ms));
}

bool Updater::Await(bool readable) {
  for (;;) {
    if (!InTime()) return false;
    const std::uint32_t wait = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(kPeerSilenceMs, deadline_ms_ - clock_.MonotonicMs()));
    const bool ready = readable ? socket_.WaitReadable(&StopEvent(), wait)
                                : socket_.WaitWritable(&StopEvent(), wait);
    if (StopRequested()) return false;
    if (ready) return true;
    if (wait == kPeerSilenceMs) return false;  // the server has been silent for that long
    // A wait shortened by the fetch's time: the loop's check notes the time
    // being up (a clock moved by hand may not have reached it yet).
  }
}

bool Updater::Request(const Fetch& fetch, const std::string& path) {
  socket_.Close();
  fetch_ = &fetch;
  deadline_ms_ = clock_.MonotonicMs() + fetch.deadline_ms;
  {
    Guard guard(lock_);
    content_length_ = 0;
  }
  if (!socket_.Connect(job_.source.host.c_str(), job_.source.port, &StopEvent(),
                       kConnectTimeoutMs))
    return false;
  const std::string request =
      fileutil::FormatText(kRequestTemplate, path.c_str(), job_.source.host.c_str(),
                      job_.referer.c_str());
  std::size_t sent = 0;
  while (sent < request.size()) {
    if (!InTime()) return false;
    std::size_t length = request.size() - sent;
    if (!socket_.Send(request.data() + sent, &length)) return false;
    sent += length;
    if (length == 0 && !Await(false)) return false;
    if (StopRequested()) return false;
  }

  char line[kHeaderLineCapacity + 1];
  bool first = true;
  std::optional<std::uint64_t> length;
  for (;;) {
    if (!InTime()) return false;
    if (!socket_.ReadLine(line, sizeof line)) {
      if (socket_.LastStatus() != runtime::SocketStatus::kNoLine) return false;
      if (!Await(true)) return false;
      continue;
    }
    const std::string_view text(line);
    // A line that fills the buffer may have been cut: what it says is unknown.
    if (text.size() >= kHeaderLineCapacity) return false;
    if (first) {
      if (!IsSuccessStatusLine(text)) return false;
      first = false;
      continue;
    }
    if (text.empty()) break;
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = text.substr(0, colon);
    if (fileutil::EqualNoCase(name, kTransferEncodingHeader)) return false;  // bodies are read as sent
    if (!fileutil::EqualNoCase(name, kLengthHeader)) continue;
    const std::optional<std::uint64_t> value =
        ParseContentLength(text.substr(colon + 1), fetch.size_cap);
    // Two different lengths leave the body's end unknown.
    if (!value || (length && *length != *value)) return false;
    if (*value > fetch.size_cap)
      return Refuse(std::string(fetch.name) + " is larger than " + SizeText(fetch.size_cap));
    length = value;
  }
  if (!length) return false;
  Guard guard(lock_);
  content_length_ = static_cast<std::uint32_t>(*length);
  return true;
}

bool Updater::ReadBody(std::size_t limit, std::string* body) {
  char buffer[kDownloadPiece];
  while (body->size() < limit) {
    if (!InTime()) return false;
    std::size_t length = std::min(sizeof buffer, limit - body->size());
    if (!socket_.Receive(buffer, &length)) return true;  // closed: the body is complete
    body->append(buffer, length);
    if (length == 0 && !Await(true)) return false;
  }
  return true;
}

bool Updater::Download(fileutil::FileHandle& file) {
  // Request took no length over kProgramSizeCap, so what is stored never
  // passes it either.
  const std::uint64_t limit = ContentLength();
  char buffer[kDownloadPiece];
  std::uint64_t written = 0;
  for (;;) {
    if (StopRequested()) return Refuse("stopped");
    if (!InTime()) return false;
    std::size_t length = sizeof buffer;
    if (!socket_.Receive(buffer, &length)) return true;  // the download ends when the peer closes
    if (length == 0) {
      if (Await(true)) continue;
      if (StopRequested()) return Refuse("stopped");
      return InTime() ? Refuse("the update server stopped sending") : false;
    }
    written += length;
    if (written > limit) return Refuse("the program file is larger than announced");
    if (!file.WriteAll(buffer, length, &StopEvent()))
      return Refuse("the program file could not be written");
    Guard guard(lock_);
    bytes_received_ = static_cast<std::uint32_t>(written);
  }
}

Updater::State Updater::Install(const std::string& temporary, const std::string& signature,
                                const std::string& offered) {
  auto discard = [&temporary](std::string text) {
    [[maybe_unused]] const bool removed = platform::RemoveFile(temporary, nullptr);
    return text;
  };
  std::string contents;
  if (!fileutil::ReadWholeFile(temporary, ContentLength(), &contents) ||
      !VerifySignature(job_.public_key, contents, signature))
    return Fail(discard("the program file's signature does not verify"));
  // The signature covers the release mark: it tells which release this
  // really is, whichever the version file named.
  std::string marked;
  std::string error;
  if (!FindReleaseMark(contents, &marked, &error)) return Fail(discard(error));
  const ReleaseVersion release = *ParseReleaseVersion(marked);
  if (release <= *ParseReleaseVersion(job_.own_version))
    return Fail(discard("the program file is version " + marked +
                        ", not newer than this program's " + job_.own_version));
  if (release != *ParseReleaseVersion(offered))
    return Fail(discard("the program file is version " + marked + ", not the " + offered +
                        " the version file offers"));
  // The new file gets the program file's mode (it is created owner-only).
  const unsigned mode = platform::PermissionsOf(job_.program_file);
  if (mode == 0 || !platform::SetPermissions(temporary, mode))
    return Fail(discard("the program file's mode cannot be given to the new file"));

  const std::string old = job_.program_file + kOldSuffix;
  [[maybe_unused]] const bool removed_old = platform::RemoveFile(old, nullptr);
  if (!platform::RenamePath(job_.program_file, old, nullptr))
    return Fail(discard("the program file cannot be renamed"));
  if (!platform::RenamePath(temporary, job_.program_file, nullptr)) {
    [[maybe_unused]] const bool restored = platform::RenamePath(old, job_.program_file, nullptr);
    return Fail(discard("the new program file cannot be put in place"));
  }
  return kInstalled;
}

}  // namespace quillon::update
