#include "ftp/ftp_session.h"

#include <algorithm>
#include <cstdio>

#include "ftp/command_line.h"
#include "ftp/replies.h"
#include "ftp/session_messages.h"
#include "accountfs/messages.h"
#include "vfs/paths.h"
#include "vfs/text.h"
#include "vfs/time_format.h"

namespace quillon::ftp {

namespace {

using vfs::EqualNoCase;
using vfs::StartsWithNoCase;

using vfs::FormatText;

}  // namespace

// In the order of kCommandWords.
const FtpSession::Handler FtpSession::kHandlers[] = {
    &FtpSession::Quit, &FtpSession::Noop,     &FtpSession::Allo,     &FtpSession::Mdtm,
    &FtpSession::Pwd,  &FtpSession::Cdup,     &FtpSession::Cwd,  &FtpSession::Mkd,      &FtpSession::Rmd,      &FtpSession::Port,
    &FtpSession::Pasv, &FtpSession::Rnfr,     &FtpSession::Rnto,     &FtpSession::Dele,
    &FtpSession::Size, &FtpSession::Rest,     &FtpSession::Syst,     &FtpSession::Help,
    &FtpSession::Type, &FtpSession::Stru,     &FtpSession::Mode,     &FtpSession::Site,
    &FtpSession::Transfer, &FtpSession::Transfer, &FtpSession::Transfer, &FtpSession::Transfer,
    &FtpSession::Transfer, &FtpSession::Transfer,
};

FtpSession::FtpSession(std::unique_ptr<runtime::LineSocket> socket, access::AuthManager& auth,
                       settings::LogFile& log, platform::Clock& clock,
                       std::uint32_t idle_timeout_ms, std::uint32_t session_id)
    : TcpConnection(std::move(socket), idle_timeout_ms, clock),
      auth_(auth),
      log_(log),
      session_id_(session_id) {
  // Sessions count as active only where the protocol says so.
  SetTouchOnOutput(false);
  SetSecondarySocket(&data_socket_);
  [[maybe_unused]] bool started = Begin();  // a session that did not start stays finished
}

FtpSession::~FtpSession() { Stop(kStopWaitMs); }

void FtpSession::Serve() {
  runtime::LineSocket& control = Socket();
  control.SetNoDelay();
  peer_address_ = control.PeerAddressText();
  std::copy_n(control.PeerAddressBytes(), 4, endpoint_.address.begin());
  endpoint_.port = control.PeerPort();
  endpoint_.key = &control;
  LogLine(replies::kLogAccepted);

  std::string reason;
  if (!auth_.AdmitConnection(endpoint_.address, &reason)) {
    Refuse(reason);
    return;
  }
  if (!SendReply(FormatText(replies::kGreeting, auth_.WelcomeMessage().c_str()))) {
    auth_.ConnectionEnded();
    return;
  }
  if (LoginLoop()) {
    AfterLogin();
    CommandLoop();
  }
  if (transfer_ != nullptr) {
    transfer_->MarkFailed();
    account_->CloseTransfer(transfer_);
    transfer_ = nullptr;
  }
  if (account_ != nullptr) {
    auth_.Logout(endpoint_.key, account_);
    account_ = nullptr;
  }
  if (control.GetState() == runtime::TcpSocket::kConnected) SendFinalLine(control, replies::kClosing);
  auth_.ConnectionEnded();
  LogLine(replies::kLogEnded);
}

bool FtpSession::LoginLoop() {
  bool expect_pass = false;
  char buffer[kLineBuffer];
  std::string reason;
  for (;;) {
    wake_.Reset();
    if (StopRequested() || Socket().GetState() != runtime::TcpSocket::kConnected) return false;
    if (!Socket().ReadLine(buffer, sizeof buffer)) {
      if (Socket().LastError() != runtime::TcpSocket::kErrorNoLine) return false;
      if (!auth_.Admit(endpoint_.address, false, &reason)) {
        Refuse(reason);
        return false;
      }
      WaitForInput(kMaxWaitMs);
      continue;
    }
    RefreshCounters();
    if (!auth_.Admit(endpoint_.address, false, &reason)) {
      Refuse(reason);
      return false;
    }
    const std::string_view line = StripTelnet(buffer);
    if (EqualNoCase(line, "quit")) {
      SendReply(replies::kGoodbye);
      Socket().Shutdown();
      return false;
    }
    if (!expect_pass) {
      if (!StartsWithNoCase(line, "user ")) {
        SendReply(replies::kUserFirst);
        continue;
      }
      user_name_.assign(line.substr(5));
      expect_pass = true;
      SendReply(replies::kSendPass);
      activity_.SetUser(user_name_, session_id_);
      activity_.SetPeerAddress(peer_address_);
      activity_.SetActivity(replies::kActLoggingIn, "");
      continue;
    }
    expect_pass = false;
    if (!StartsWithNoCase(line, "pass ")) {
      SendReply(replies::kRestartFromUser);
      continue;
    }
    password_.assign(line.substr(5));
    account_ = auth_.Login(endpoint_, user_name_, password_, &activity_, &reason);
    if (account_ != nullptr) return true;
    LogLine(FormatText(replies::kLogBadLogin, user_name_.c_str(), static_cast<int>(password_.size())));
    user_name_.clear();
    password_.clear();
    if (StopEvent().Wait(kBadLoginPauseMs)) return false;
    SendReply(FormatText(replies::kBadLogin, reason.c_str()));
  }
}

void FtpSession::AfterLogin() {
  const accounts::EffectiveRecord record = account_->RecordCopy();
  if (record.mUseStartDir) {
    std::string start;
    if (BuildPath(record.StartDir(), &start) && account_->IsFolder(start)) current_directory_ = start;
  }
  LogLine(FormatText(replies::kLogLoggedIn, static_cast<int>(password_.size())));
  std::vector<std::string> lines = MessageBlock(230);
  lines.insert(lines.begin(), FormatText(replies::kWelcome, user_name_.c_str()));
  // Bookkeeping first: whoever looks once the client has its reply sees it.
  Touch();
  activity_.SetUser(user_name_, session_id_);
  activity_.SetPeerAddress(peer_address_);
  activity_.SetActivity(replies::kActLoggedIn, current_directory_);
  SendReplyLines(lines);
}

void FtpSession::CommandLoop() {
  char buffer[kLineBuffer];
  last_command_tick_ = GetClock().TickMs();
  for (;;) {
    wake_.Reset();
    if (StopRequested() || Socket().GetState() != runtime::TcpSocket::kConnected) return;
    if (!TakeSessionAction()) return;
    // During a transfer the admission check runs every kTransferAdmissionMs,
    // not for every chunk.
    const std::uint32_t now = GetClock().TickMs();
    if (transfer_ == nullptr || static_cast<std::int32_t>(now - next_admission_tick_) >= 0) {
      if (!StillAdmitted()) return;
      next_admission_tick_ = now + kTransferAdmissionMs;
    }
    if (transfer_ == nullptr && data_socket_.GetState() == runtime::TcpSocket::kListening) {
      [[maybe_unused]] bool accepted = data_socket_.AcceptInPlace();
    }
    if (Socket().ReadLine(buffer, sizeof buffer)) {
      last_command_tick_ = GetClock().TickMs();
      idle_shown_ = false;
      UpdateCounters();
      const std::string_view line = StripTelnet(buffer);
      if (line.size() < 3) {
        SendReply(replies::kBadCommand);
        continue;
      }
      if (!auth_.BlockTimeOutStopping()) Touch();
      if (!Dispatch(line)) return;
      continue;
    }
    if (Socket().LastError() != runtime::TcpSocket::kErrorNoLine) return;
    if (transfer_ != nullptr) {
      TransferStep();
      last_command_tick_ = GetClock().TickMs();
      idle_shown_ = false;
      UpdateCounters();
      continue;
    }
    const std::uint32_t quiet = GetClock().TickMs() - last_command_tick_;
    if (!idle_shown_ && quiet >= kIdleActivityMs) {
      activity_.SetActivity(replies::kActIdle, current_directory_);
      idle_shown_ = true;
    }
    WaitForInput(idle_shown_ ? kMaxWaitMs : std::min(kMaxWaitMs, kIdleActivityMs - quiet));
    UpdateCounters();
  }
}

bool FtpSession::TakeSessionAction() {
  const std::optional<access::SessionAction> action = auth_.TakeSessionAction(session_id_);
  if (!action) return true;
  const std::string reason = action->reason.empty() ? replies::kNoReason : action->reason;
  if (action->kind == access::SessionActionKind::kKick) {
    SendReply(FormatText(replies::kKicked, reason.c_str()));
    Socket().Shutdown();
    return false;
  }
  if (transfer_ != nullptr) {
    transfer_stop_ = true;
    stop_reason_ = reason;
  }
  return true;
}

bool FtpSession::StillAdmitted() {
  std::string reason;
  if (account_->StillAllowed(endpoint_.address) && auth_.Admit(endpoint_.address, true, &reason))
    return true;
  if (transfer_ != nullptr) transfer_->MarkFailed();
  SendFinalLine(Socket(), replies::kNoLongerAllowed);
  Socket().Shutdown();
  return false;
}

void FtpSession::WaitForInput(std::uint32_t timeout_ms) {
  platform::PollItem items[4];
  items[0].descriptor = Socket().Handle();
  items[1].descriptor = StopEvent().PollDescriptor();
  items[2].descriptor = wake_.PollDescriptor();
  if (transfer_ == nullptr && data_socket_.GetState() == runtime::TcpSocket::kListening)
    items[3].descriptor = data_socket_.Handle();
  for (auto& item : items) item.want_read = true;
  platform::Poll(items, 4, timeout_ms);
}

bool FtpSession::Dispatch(std::string_view line) {
  if (EqualNoCase(line, "ABOR")) {
    if (transfer_ != nullptr) {
      transfer_stop_ = true;
      stop_reason_.clear();
    } else {
      SendReply(replies::kNoTransfer);
    }
    return true;
  }
  if (StartsWithNoCase(line, "STAT")) {
    if (transfer_ != nullptr) {
      SendReply(replies::kTransferOk);
    } else {
      SendReplyLines(MessageBlock(211));
    }
    return true;
  }
  if (transfer_ != nullptr) {
    SendReply(replies::kInTransfer);
    return true;
  }
  static_assert(std::size(kHandlers) == kCommandCount, "one handler per command word");
  if (const std::optional<CommandLine> command = MatchCommand(line)) {
    const char* missing = kCommandWords[command->index].missing_argument;
    if (missing != nullptr && command->argument.empty()) return Answer(missing);
    return (this->*kHandlers[command->index])(command->argument, command->line);
  }
  for (const char* word : {"ACCT", "MLST", "MLSD", "MD5", "MMD5", "SMNT"}) {
    if (StartsWithNoCase(line, word)) {
      SendReply(replies::kNotImplemented);
      return true;
    }
  }
  if (EqualNoCase(line, "REIN")) {
    SendReply(replies::kNotImplemented);
  } else if (StartsWithNoCase(line, "USER") || StartsWithNoCase(line, "PASS")) {
    SendReply(replies::kAlreadyLoggedIn);
  } else {
    SendReply(replies::kNotUnderstood);
  }
  return true;
}

bool FtpSession::SendReply(std::string_view text) { return SendLine(Socket(), text); }

bool FtpSession::Answer(std::string_view text) {
  SendReply(text);
  return true;
}

void FtpSession::SendReplyLines(const std::vector<std::string>& lines) {
  // One buffer: a multi-line reply leaves in one write.
  std::string text;
  for (const std::string& line : lines) {
    text.append(line);
    text.append("\r\n");
  }
  [[maybe_unused]] bool sent = SendBuffer(Socket(), text.data(), text.size());
}

void FtpSession::Refuse(std::string_view reason) {
  SendFinalLine(Socket(), FormatText(replies::kRefused, std::string(reason).c_str()));
  Socket().Shutdown();
}

void FtpSession::LogLine(std::string_view text) {
  const std::string body(text);
  const std::string line = user_name_.empty()
                               ? FormatText("%s -> %s", peer_address_.c_str(), body.c_str())
                               : FormatText("%s -> %s -> %s", peer_address_.c_str(),
                                        user_name_.c_str(), body.c_str());
  [[maybe_unused]] bool written = log_.WriteLine(line);  // logging never stops a session
  if (account_ != nullptr && account_->KeepsAccountLog())
    account_->WriteAccountLog(FormatText("%s -> %s", peer_address_.c_str(), body.c_str()));
}

void FtpSession::UpdateCounters() {
  RefreshCounters();
  activity_.SetCounters(BytesSent(), BytesReceived());
}

bool FtpSession::BuildPath(std::string_view argument, std::string* path) const {
  return vfs::BuildFtpPath(current_directory_, argument, path);
}

bool FtpSession::RefusePath() {
  return Answer(FormatText(replies::kFailed, accountfs::messages::kInaccessible));
}

std::vector<std::string> FtpSession::MessageBlock(int code) {
  const accounts::EffectiveRecord record = account_->RecordCopy();
  SessionStatus status;
  status.server_users = auth_.LoggedInCount();
  status.account_sessions = static_cast<std::uint32_t>(account_->SessionCount());
  status.use_max_size = record.mUseMaxSize;
  status.free_bytes = record.mUseMaxSize ? account_->AccountFreeSpace() : 0;
  status.use_credits = record.mUseCredits;
  status.credits = record.mCurrentCredits;
  status.download_ratio = record.mDownloadCredits;
  status.upload_ratio = record.mUploadCredits;
  status.directory = current_directory_;
  return SessionMessageBlock(code, status);
}

// ---- Commands ----

bool FtpSession::Quit(std::string_view, std::string_view) {
  SendReply(replies::kGoodbye);
  Socket().Shutdown();
  data_socket_.Close();
  return false;
}

bool FtpSession::Noop(std::string_view, std::string_view) {
  SendReply(replies::kNoop);
  return true;
}

bool FtpSession::Allo(std::string_view, std::string_view) {
  SendReply(replies::kAllo);
  return true;
}

bool FtpSession::Mdtm(std::string_view argument, std::string_view line) {
  std::string message;
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  if (account_->IsFile(path)) {
    platform::FileTime time;
    if (account_->GetFileTime(path, &time, &message)) {
      SendReply(FormatText(replies::kMdtm, vfs::FormatMdtm(time, false).c_str()));
    } else {
      SendReply(FormatText(replies::kFailed, message.c_str()));
    }
    return true;
  }
  MdtmSetting setting;
  platform::FileTime time;
  if (!ParseMdtmSetting(line, &setting) || !vfs::ParseMdtm(setting.stamp, &time))
    return Answer(replies::kMdtmNoFile);
  if (!BuildPath(setting.path, &path)) return RefusePath();
  if (account_->SetFileTime(path, time, &message)) {
    SendReply(FormatText(replies::kMdtmSet, std::string(setting.stamp).c_str(),
                         std::string(setting.path).c_str()));
  } else {
    SendReply(FormatText(replies::kMdtmSetFailed, message.c_str()));
  }
  return true;
}

bool FtpSession::Pwd(std::string_view, std::string_view) {
  SendReply(FormatText(replies::kPwd, current_directory_.c_str()));
  return true;
}

bool FtpSession::Cdup(std::string_view, std::string_view) {
  return Cwd("..", "cwd ..");
}

bool FtpSession::Cwd(std::string_view argument, std::string_view) {
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  if (!account_->IsFolder(path)) return Answer(replies::kNoDirectory);
  vfs::CopyText(&current_directory_, path, vfs::kDiskPathCapacity);
  activity_.SetActivity(replies::kActInDirectory, current_directory_);
  return Answer(FormatText(replies::kCwd, current_directory_.c_str()));
}

bool FtpSession::Mkd(std::string_view argument, std::string_view) {
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  std::string message;
  if (!account_->MakeFolder(path, &message))
    return Answer(FormatText(replies::kFailed, message.c_str()));
  LogLine(FormatText(replies::kLogCreatedFolder, path.c_str()));
  Touch();
  activity_.SetActivity(replies::kActCreatedDirectory, path);
  return Answer(FormatText(replies::kCreated, path.c_str()));
}

bool FtpSession::Rmd(std::string_view argument, std::string_view) {
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  if (path == "/") return Answer(replies::kDeleteRoot);
  std::string message;
  if (!account_->RemoveFolder(path, &message))
    return Answer(FormatText(replies::kFailed, message.c_str()));
  LogLine(FormatText(replies::kLogDeletedFolder, path.c_str()));
  Touch();
  activity_.SetActivity(replies::kActDeletedDirectory, path);
  return Answer(FormatText(replies::kRemoved, path.c_str()));
}

bool FtpSession::Port(std::string_view argument, std::string_view) {
  std::string address;
  std::uint32_t port = 0;
  switch (ParsePortArgument(argument, &address, &port)) {
    case PortArgument::kTooFewNumbers: return Answer(replies::kPortParameters);
    case PortArgument::kOutOfRange: return Answer(replies::kPortRange);
    case PortArgument::kPrivilegedPort: return Answer(replies::kNotImplementedParameter);
    case PortArgument::kOk: break;
  }
  port_address_ = std::move(address);
  port_port_ = port;
  if (!auth_.AllowSiteToSite() && port_address_ != peer_address_) {
    port_address_.clear();
    return Answer(replies::kSiteToSite);
  }
  data_socket_.Close();
  SendReply(replies::kPortOk);
  return true;
}

bool FtpSession::Pasv(std::string_view, std::string_view) {
  data_socket_.Close();
  if (!data_socket_.ListenOn(0)) return Answer(replies::kPasvFailed);
  port_address_.clear();
  port_port_ = 0;
  const int port = data_socket_.LocalPort();
  std::string reply = FormatText(replies::kPasv, Socket().LocalAddressText(), port / 256, port % 256);
  vfs::ReplaceChar(&reply, '.', ',');
  SendReply(reply);
  return true;
}

bool FtpSession::Rnfr(std::string_view argument, std::string_view) {
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  if (path == "/") return Answer(replies::kRenameRoot);
  bool is_file = false;
  std::string message;
  if (!account_->CheckModifyRight(path, &is_file, &message))
    return Answer(FormatText(replies::kFailed, message.c_str()));
  rename_from_ = path;
  SendReply(replies::kSendRnto);
  return true;
}

bool FtpSession::Rnto(std::string_view argument, std::string_view) {
  if (rename_from_.empty()) return Answer(replies::kRnfrFirst);
  if (argument.empty()) return Answer(replies::kNeedParameter);
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  bool was_file = false;
  std::string message;
  if (!account_->Rename(rename_from_, path, &was_file, &message))
    return Answer(FormatText(replies::kFailed, message.c_str()));
  LogLine(FormatText(was_file ? replies::kLogRenamedFile : replies::kLogRenamedFolder,
                 rename_from_.c_str(), path.c_str()));
  activity_.SetActivity(replies::kActRenamedFile, path);
  rename_from_.clear();
  Touch();
  return Answer(replies::kRenamed);
}

bool FtpSession::Dele(std::string_view argument, std::string_view) {
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  std::string message;
  if (!account_->DeleteFile(path, &message))
    return Answer(FormatText(replies::kFailed, message.c_str()));
  LogLine(FormatText(replies::kLogDeletedFile, path.c_str()));
  Touch();
  activity_.SetActivity(replies::kActDeletedFile, path);
  return Answer(replies::kDeleted);
}

bool FtpSession::Size(std::string_view argument, std::string_view) {
  std::uint64_t size = 0;
  std::string message;
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  if (!account_->GetFileSize(path, &size, &message))
    return Answer(FormatText(replies::kFailed, message.c_str()));
  SendReply(FormatText(replies::kSize, static_cast<unsigned long long>(size)));
  return true;
}

bool FtpSession::Rest(std::string_view argument, std::string_view) {
  if (argument.find('-') != std::string_view::npos) return Answer(replies::kNotAccepted);
  std::uint64_t offset = 0;
  if (!ParseOffset(argument, &offset)) return Answer(replies::kNeedParameter);
  restart_offset_ = offset;
  SendReply(replies::kRest);
  return true;
}

bool FtpSession::Syst(std::string_view, std::string_view) {
  SendReply(replies::kSyst);
  return true;
}

bool FtpSession::Help(std::string_view, std::string_view) {
  std::vector<std::string> lines(std::begin(replies::kHelpLines), std::end(replies::kHelpLines));
  lines.push_back(FormatText(replies::kHelpLast, auth_.HelpMessage().c_str()));
  SendReplyLines(lines);
  return true;
}

bool FtpSession::Type(std::string_view argument, std::string_view) {
  if (argument.front() == 'A' || argument.front() == 'I') {
    representation_type_ = argument.front();
    SendReply(representation_type_ == 'A' ? replies::kTypeAscii : replies::kTypeImage);
  } else {
    SendReply(replies::kNotImplementedParameter);
  }
  return true;
}

bool FtpSession::Stru(std::string_view argument, std::string_view) {
  SendReply(argument.front() == 'F' ? replies::kStru : replies::kNotImplementedParameter);
  return true;
}

bool FtpSession::Mode(std::string_view argument, std::string_view) {
  SendReply(argument.front() == 'S' ? replies::kMode : replies::kNotImplementedParameter);
  return true;
}

bool FtpSession::Site(std::string_view, std::string_view line) {
  if (line.size() < 11 || !EqualNoCase(line.substr(4, 6), " CPWD "))
    return Answer(replies::kNotAccepted);
  std::string message;
  if (!auth_.ChangePassword(account_, line.substr(10), &message))
    return Answer(FormatText(replies::kSiteFailed, message.c_str()));
  activity_.SetActivity(replies::kActChangedPassword, current_directory_);
  return Answer(replies::kPasswordChanged);
}

bool FtpSession::HasDataSetup() const {
  return !port_address_.empty() || data_socket_.GetState() != runtime::TcpSocket::kClosed;
}

std::string FtpSession::UniqueName() {
  platform::CalendarTime t;
  const std::int64_t now = GetClock().WallTimeNs() / 1'000'000'000;
  if (!platform::ToCalendar(now, true, &t)) t = platform::CalendarTime{};
  // A small generator of the session's own, seeded from the time and the id.
  random_state_ = random_state_ * 1'103'515'245u + 12'345u;
  return FormatText("unique_%04d%02d%02d%02d%02d%02d%u.tmp", t.year, t.month, t.day, t.hour, t.minute,
                t.second, (random_state_ >> 8) % 1'000'000u);
}

bool FtpSession::Transfer(std::string_view argument, std::string_view line) {
  using Kind = accountfs::FileTransfer::Kind;
  const bool retr = StartsWithNoCase(line, "RETR");
  const bool stor = StartsWithNoCase(line, "STOR");
  const bool appe = StartsWithNoCase(line, "APPE");
  const bool stou = EqualNoCase(line, "STOU");
  const bool nlst = StartsWithNoCase(line, "NLST");
  if (!HasDataSetup()) return Answer(replies::kUsePortOrPasv);

  std::string message;
  std::string path;
  std::string unique_name;
  accountfs::FileTransfer* opened = nullptr;
  Kind kind = Kind::kDownload;
  if (retr) {
    if (!BuildPath(argument, &path)) return RefusePath();
    opened = account_->OpenForDownload(path, restart_offset_, &message);
  } else if (stor || appe || stou) {
    kind = Kind::kUpload;
    if (stou) {
      random_state_ ^= static_cast<std::uint32_t>(GetClock().WallTimeNs()) ^ session_id_;
      for (int attempt = 0; attempt <= 100 && path.empty(); ++attempt) {
        unique_name = UniqueName();
        std::string candidate;
        if (BuildPath(unique_name, &candidate) && !account_->IsFile(candidate)) path = candidate;
      }
      if (path.empty()) return Answer(replies::kNoUniqueName);
    } else if (!BuildPath(argument, &path)) {
      return RefusePath();
    }
    opened = account_->OpenForUpload(path, appe, &message);
  } else {
    kind = Kind::kListing;
    if (argument.empty() || argument == "-al") {
      path = current_directory_;
    } else if (!BuildPath(argument, &path)) {
      return RefusePath();
    }
    opened = account_->OpenListing(path, nlst, &message);
  }
  if (opened == nullptr) return Answer(FormatText(replies::kFailed, message.c_str()));

  transfer_ = opened;
  transfer_kind_ = kind;
  current_item_ = path;
  std::string error;
  bool lost = false;
  if (!OpenDataConnection(&error, &lost)) {
    transfer_->MarkFailed();
    account_->CloseTransfer(transfer_);
    transfer_ = nullptr;
    LogLine(TransferLog(true, replies::kReasonNoData));
    if (lost) return false;
    return Answer(error.empty() ? replies::kDataFailed : error);
  }
  const bool upload = kind == Kind::kUpload;
  chunk_ = (kind != Kind::kListing && account_->UsesCredits()) || account_->IsMetered(upload)
               ? kMeteredChunk
               : kFreeChunk;
  if (!transfer_buffer_) transfer_buffer_ = std::make_unique_for_overwrite<char[]>(kFreeChunk);
  pending_offset_ = pending_bytes_ = 0;
  next_admission_tick_ = GetClock().TickMs() + kTransferAdmissionMs;
  activity_.SetActivity(kind == Kind::kDownload ? replies::kActDownloading
                        : upload                ? replies::kActUploading
                                                : replies::kActViewing,
                        path);
  return Answer(stou ? FormatText(replies::kDataOpenedUnique, unique_name.c_str())
                     : std::string(replies::kDataOpened));
}

bool FtpSession::DataPeerAllowed() const {
  return auth_.AllowSiteToSite() ||
         std::string_view(data_socket_.PeerAddressText()) == peer_address_;
}

bool FtpSession::OpenDataConnection(std::string* error, bool* lost) {
  transfer_stop_ = false;
  stop_reason_.clear();
  if (data_socket_.GetState() == runtime::TcpSocket::kConnected) {
    if (DataPeerAllowed()) return true;
    data_socket_.Close();
    *error = replies::kDataSiteToSite;
    return false;
  }
  if (data_socket_.GetState() != runtime::TcpSocket::kListening) {
    if (port_address_.empty()) return false;
    // Bounded by the idle time-out, and cut short by a stop.
    if (!data_socket_.Connect(port_address_.c_str(), static_cast<std::uint16_t>(port_port_),
                              &StopEvent(), std::max<std::uint32_t>(IdleTimeoutMs(), 1000)))
      return false;
    Touch();
    return true;
  }
  for (int attempt = 0; attempt < kPassiveTries; ++attempt) {
    if (StopRequested() || Socket().GetState() != runtime::TcpSocket::kConnected) return false;
    std::string reason;
    if (!account_->StillAllowed(endpoint_.address) || !auth_.Admit(endpoint_.address, true, &reason)) {
      SendFinalLine(Socket(), replies::kNoLongerAllowed);
      Socket().Shutdown();
      *lost = true;
      return false;
    }
    if (data_socket_.AcceptInPlace()) {
      if (!DataPeerAllowed()) {
        data_socket_.Close();
        *error = replies::kDataSiteToSite;
        return false;
      }
      Touch();
      return true;
    }
    if (data_socket_.GetState() != runtime::TcpSocket::kListening) return false;
    data_socket_.WaitReadable(&StopEvent(), 1000);
  }
  return false;
}

const char* FtpSession::TransferActivity() const {
  switch (transfer_kind_) {
    case accountfs::FileTransfer::Kind::kUpload: return replies::kActUploaded;
    case accountfs::FileTransfer::Kind::kListing: return replies::kActViewed;
    case accountfs::FileTransfer::Kind::kDownload: break;
  }
  return replies::kActDownloaded;
}

std::string FtpSession::TransferLog(bool failed, const char* reason) const {
  const char* item = current_item_.c_str();
  switch (transfer_kind_) {
    case accountfs::FileTransfer::Kind::kUpload:
      return failed ? FormatText(replies::kLogUploadFailed, item, reason) : FormatText(replies::kLogUploaded, item);
    case accountfs::FileTransfer::Kind::kListing:
      return failed ? FormatText(replies::kLogViewFailed, item, reason) : FormatText(replies::kLogViewed, item);
    case accountfs::FileTransfer::Kind::kDownload: break;
  }
  return failed ? FormatText(replies::kLogDownloadFailed, item, reason) : FormatText(replies::kLogDownloaded, item);
}

void FtpSession::EndTransfer(bool failed, const std::string& log,
                             const std::vector<std::string>& lines, const char* activity) {
  if (failed) transfer_->MarkFailed();
  account_->CloseTransfer(transfer_);
  transfer_ = nullptr;
  pending_offset_ = pending_bytes_ = 0;
  transfer_buffer_.reset();  // idle sessions keep no transfer buffer
  data_socket_.Shutdown();
  if (!log.empty()) LogLine(log);
  activity_.SetActivity(activity, current_item_);
  SendReplyLines(lines);
}

void FtpSession::WaitForData(DataWait wait, std::uint32_t timeout_ms) {
  platform::PollItem items[4];
  items[0].descriptor = wait == DataWait::kNone ? -1 : data_socket_.Handle();
  items[0].want_read = wait == DataWait::kReadable;
  items[0].want_write = wait == DataWait::kWritable;
  items[1].descriptor = Socket().Handle();
  items[2].descriptor = StopEvent().PollDescriptor();
  items[3].descriptor = wake_.PollDescriptor();
  for (int i = 1; i < 4; ++i) items[i].want_read = true;
  platform::Poll(items, 4, timeout_ms);
}

void FtpSession::TransferStep() {
  if (transfer_kind_ == accountfs::FileTransfer::Kind::kUpload) {
    UploadStep();
  } else {
    DownloadStep();
  }
}

void FtpSession::DownloadStep() {
  const bool connected = data_socket_.GetState() == runtime::TcpSocket::kConnected;
  if (!connected || transfer_stop_) {
    std::vector<std::string> lines;
    if (transfer_stop_ && !stop_reason_.empty()) {
      lines.push_back(FormatText(replies::kTransferStopped, stop_reason_.c_str()));
    } else if (transfer_stop_) {
      lines = {replies::kTransferComplete, replies::kTransferAborted};
    } else {
      lines.push_back(replies::kTransferLost);
    }
    EndTransfer(true, TransferLog(true, replies::kReasonStoppedOrLost), lines, TransferActivity());
    return;
  }
  if (pending_bytes_ == 0) {
    if (transfer_->IsFinished()) {
      EndTransfer(false, TransferLog(false, nullptr), {replies::kTransferComplete}, TransferActivity());
      return;
    }
    const std::uint32_t grant = account_->DownloadAllowance(chunk_);
    if (grant == 0) {
      WaitForData(DataWait::kNone, kSendRetryMs);  // the limiters refill meanwhile
      return;
    }
    std::size_t length = grant;
    std::string reason;
    if (!transfer_->Read(transfer_buffer_.get(), &length, &reason)) {
      EndTransfer(true, "", {FormatText(replies::kTransferFailed, reason.c_str())}, TransferActivity());
      return;
    }
    pending_offset_ = 0;
    pending_bytes_ = length;
  }
  if (pending_bytes_ > 0) {
    std::size_t sent = pending_bytes_;
    if (!data_socket_.Send(transfer_buffer_.get() + pending_offset_, &sent)) return;  // next step ends it
    if (sent == 0) {
      WaitForData(DataWait::kWritable, kMaxWaitMs);
      return;
    }
    pending_offset_ += sent;
    pending_bytes_ -= sent;
    Touch();
  }
  if (pending_bytes_ == 0 && transfer_->IsFinished())
    EndTransfer(false, TransferLog(false, nullptr), {replies::kTransferComplete}, TransferActivity());
}

void FtpSession::UploadStep() {
  if (transfer_stop_) {
    std::vector<std::string> lines;
    if (!stop_reason_.empty()) {
      lines.push_back(FormatText(replies::kTransferStopped, stop_reason_.c_str()));
    } else {
      lines = {replies::kTransferComplete, replies::kTransferAborted};
    }
    EndTransfer(true, TransferLog(true, replies::kReasonStopped), lines, replies::kActUploaded);
    return;
  }
  if (data_socket_.GetState() != runtime::TcpSocket::kConnected) {
    // The client closed the data connection: the upload is complete.
    EndTransfer(false, TransferLog(false, nullptr), {replies::kTransferComplete}, replies::kActUploaded);
    return;
  }
  const std::uint32_t grant = account_->UploadAllowance(chunk_);
  if (grant == 0) {
    WaitForData(DataWait::kNone, kSendRetryMs);
    return;
  }
  std::size_t length = grant;
  if (!data_socket_.Receive(transfer_buffer_.get(), &length)) {
    EndTransfer(false, TransferLog(false, nullptr), {replies::kTransferComplete}, replies::kActUploaded);
    return;
  }
  if (length == 0) {
    WaitForData(DataWait::kReadable, kMaxWaitMs);
    return;
  }
  std::string reason;
  if (!transfer_->Write(transfer_buffer_.get(), length, &reason)) {
    // Handed back, not aborted: what was written (all that fit) stays.
    EndTransfer(false, TransferLog(true, replies::kReasonWriteFailed),
                {FormatText(replies::kTransferFailed, reason.c_str())}, replies::kActUploaded);
    return;
  }
  Touch();
}

}  // namespace quillon::ftp
