#include "ftp/ftp_session.h"

#include <algorithm>
#include <cstdio>

#include "ftp/command_line.h"
#include "ftp/replies.h"
#include "ftp/session_messages.h"
#include "ftp/transfer_log.h"
#include "accountfs/messages.h"
#include "runtime/socket_wait.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"
#include "fileutil/time_format.h"

namespace quillon::ftp {

namespace {

using fileutil::StartsWithNoCase;
using fileutil::FormatText;

}  // namespace

FtpSession::FtpSession(std::unique_ptr<runtime::LineSocket> socket, access::AuthManager& auth,
                       settings::LogFile& log, settings::TransferLogFile& xferlog, PassiveConfig& passive,
                       PreloginLimit& prelogin, const TlsConfig& tls, EventRunner& events,
                       platform::Clock& clock, std::uint32_t idle_timeout_ms,
                       std::uint32_t session_id, bool implicit_tls)
    : TcpConnection(std::move(socket), idle_timeout_ms, clock),
      auth_(auth),
      log_(log),
      xferlog_(xferlog),
      passive_(passive),
      prelogin_(prelogin),
      tls_config_(tls),
      events_(events),
      session_id_(session_id),
      implicit_tls_(implicit_tls),
      proxied_(prelogin.ProxyProtocol()),
      activity_(clock),
      data_(clock) {
  // Sessions count as active only where the protocol says so.
  SetTouchOnOutput(false);
  SetSecondarySocket(&data_.Socket());
  // What per-address limits count this client by: an IPv6 client by its /64.
  limit_key_ = runtime::IpAddress::FromBytes(Socket().PeerAddress()).LimitKeyText();
  // Counted here, on the accepting thread, so connections from one address
  // are counted in the order they came. Behind a load balancer the client
  // is known only from the header the session reads first.
  if (!proxied_) prelogin_counted_ = prelogin_.TryAdd(limit_key_);
  login_deadline_tick_ = clock.TickMs() + prelogin_.LoginTimeoutMs();
  // A clock moved by hand wakes the login wait, which has a deadline.
  clock.WakeOnAdvance(&wake_);
  [[maybe_unused]] bool started = Begin();  // a session that did not start stays finished
}

FtpSession::~FtpSession() {
  Stop(kStopWaitMs);
  GetClock().StopWakingOnAdvance(&wake_);
  LeavePrelogin();  // a thread that never started
}

void FtpSession::LeavePrelogin() {
  if (!prelogin_counted_) return;
  prelogin_counted_ = false;
  prelogin_.Remove(limit_key_);
}

void FtpSession::Serve() {
  runtime::LineSocket& control = Socket();
  control.SetNoDelay();
  // Clients send ABOR, or the Telnet interrupt and synch before it, as
  // urgent data; inline, it reads as an ordinary line (StripTelnet drops the
  // Telnet bytes), also while a transfer runs.
  control.SetUrgentInline();
  if (proxied_ && !TakeProxyHeader()) return;
  peer_address_ = control.PeerAddressText();
  data_.SetControlPeer(peer_address_);
  data_.SetListenerSlots({[this] { return passive_.TryAddListener(limit_key_); },
                          [this] { passive_.RemoveListener(limit_key_); }});
  data_.SetRefusedPeerReport(
      [this](const std::string& peer) { LogLine(FormatText(replies::kLogDataPeerRefused, peer.c_str())); });
  endpoint_.address = runtime::IpAddress::FromBytes(control.PeerAddress());
  endpoint_.port = control.PeerPort();
  endpoint_.key = &control;
  tls_ = tls_config_.Get();
  // Only this session's data connections can resume its TLS session.
  if (TlsOffered()) tls_session_ = platform::TlsSessionContext::MakeRandom();
  LogLine(replies::kLogAccepted);
  if (!prelogin_counted_) {
    // One address must not hold every slot with connections that never log in.
    LogLine(replies::kLogTooManyFromAddress);
    // A client of implicit TLS would read the reply as a broken handshake.
    if (!implicit_tls_) SendFinalLine(control, replies::kTooManyFromAddress);
    control.Shutdown();
    LogLine(replies::kLogEnded);
    return;
  }

  // On the implicit TLS port everything from here on, a refusal included,
  // goes over TLS.
  if (implicit_tls_) {
    if (!HandshakeControlTls()) {
      LeavePrelogin();
      LogLine(replies::kLogEnded);
      return;
    }
    protect_data_ = true;  // as after PROT P
  }
  std::string reason;
  if (!auth_.AdmitConnection(endpoint_.address, &reason)) {
    Refuse(reason);
    LeavePrelogin();
    return;
  }
  if (!SendReply(FormatText(replies::kGreeting, auth_.WelcomeMessage().c_str()))) {
    auth_.ConnectionEnded();
    LeavePrelogin();
    return;
  }
  const bool logged_in = LoginLoop();
  LeavePrelogin();
  if (logged_in) {
    AfterLogin();
    CommandLoop();
  }
  // The listener ends a session left idle past its time-out.
  if (StopRequested() && IdleExpired()) LogKick(replies::WithoutCode(replies::kClosing));
  if (const std::string log = transfer_.Abort(); !log.empty()) {
    LogTransferEnd({log});
  } else {
    LogTransferEnd({});  // a download cut short still has its transfer-log line
  }
  hashing_.Abort();
  data_.Close();  // gives the passive port's slot back at once
  if (account_ != nullptr) {
    auth_.Logout(endpoint_.key, account_);
    account_ = nullptr;
  }
  if (control.GetState() == runtime::TcpSocket::State::kConnected) SendFinalLine(control, replies::kClosing);
  auth_.ConnectionEnded();
  LogLine(replies::kLogEnded);
}

bool FtpSession::LoginLoop() {
  bool expect_pass = false;
  char buffer[kLineBuffer];
  std::string reason;
  for (;;) {
    wake_.Reset();
    if (StopRequested() || Socket().GetState() != runtime::TcpSocket::State::kConnected) return false;
    if (!Socket().ReadLine(buffer, sizeof buffer)) {
      if (Socket().LastStatus() != runtime::SocketStatus::kNoLine) return false;
      if (!auth_.Admit(endpoint_.address, false, &reason)) {
        Refuse(reason);
        return false;
      }
      // Nothing needs a look until input, a stop, a wake (a change of the
      // settings or accounts) or the login deadline.
      const std::int32_t left = static_cast<std::int32_t>(login_deadline_tick_ - GetClock().TickMs());
      if (left <= 0) {
        LogLine(replies::kLogLoginTimedOut);
        return false;
      }
      WaitForInput(static_cast<std::uint32_t>(left));
      continue;
    }
    RefreshCounters();
    if (!auth_.Admit(endpoint_.address, false, &reason)) {
      Refuse(reason);
      return false;
    }
    const std::string_view line = StripTelnet(buffer);
    // Clients ask what the server offers, and may secure the connection,
    // before they log in.
    const bool tls_offered = TlsOffered();
    if (const std::optional<FoundCommand> found = FindCommand(line, kBeforeLogin, tls_offered)) {
      if (!Run(*found)) return false;
      if (found->command->tls_only) expect_pass = false;  // a new security state begins with USER again
      continue;
    }
    if (!expect_pass) {
      if (!StartsWithNoCase(line, "user ")) {
        SendReply(replies::kUserFirst);
        continue;
      }
      if (tls_.mode == TlsConfig::Mode::kRequired && !Socket().IsTls()) {
        SendReply(replies::kTlsRequired);
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
    auth_.Counters().CountLogin(account_ != nullptr);
    if (account_ != nullptr) return true;
    LogLine(FormatText(replies::kLogBadLogin, user_name_.c_str(), static_cast<int>(password_.size())));
    user_name_.clear();
    password_.clear();
    if (StopEvent().Wait(kBadLoginPauseMs)) return false;
    SendReply(FormatText(replies::kBadLogin, reason.c_str()));
  }
}

void FtpSession::AfterLogin() {
  ShareTlsSession();
  const accounts::EffectiveRecord record = account_->RecordCopy();
  if (record.mUseStartDir) {
    // An administrator wrote it, in editors that read "\" as "/" (as in
    // virtual folder names); every component is then a name as written.
    std::string written = record.StartDir();
    fileutil::ReplaceChar(&written, '\\', '/');
    std::string start;
    if (BuildPath(written, &start) && account_->IsFolder(start)) current_directory_ = start;
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
  PostEvent(EventRunner::Event::kLogin, "", "", false, 0);
}

void FtpSession::PostEvent(EventRunner::Event event, const std::string& ftp_path, const std::string& disk_path,
                           bool size_known, std::uint64_t size) {
  EventRunner::Facts facts;
  facts.event = event;
  facts.user = account_ != nullptr ? account_->Name() : user_name_;
  facts.disk_path = disk_path;
  facts.virtual_path = ftp_path;
  facts.size_known = size_known;
  facts.size = size;
  facts.remote_ip = peer_address_;
  facts.session_id = session_id_;
  events_.Post(facts);
}

void FtpSession::CommandLoop() {
  char buffer[kLineBuffer];
  last_command_tick_ = GetClock().TickMs();
  for (;;) {
    wake_.Reset();
    if (StopRequested() || Socket().GetState() != runtime::TcpSocket::State::kConnected) return;
    if (!TakeSessionAction()) return;
    // During a transfer (or a HASH) the admission check runs every kTransferAdmissionMs,
    // not for every chunk.
    const std::uint32_t now = GetClock().TickMs();
    if (!Busy() || static_cast<std::int32_t>(now - next_admission_tick_) >= 0) {
      if (!StillAdmitted()) return;
      next_admission_tick_ = now + kTransferAdmissionMs;
    }
    if (!transfer_.IsRunning()) {
      data_.AcceptIfWaiting(auth_.AllowSiteToSite());
      SecureDataEarly();
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
    if (Socket().LastStatus() != runtime::SocketStatus::kNoLine) return;
    if (transfer_.IsRunning()) {
      TransferStep();
      last_command_tick_ = GetClock().TickMs();
      idle_shown_ = false;
      UpdateCounters();
      continue;
    }
    if (hashing_.IsRunning()) {
      HashStep();
      last_command_tick_ = GetClock().TickMs();
      idle_shown_ = false;
      continue;
    }
    const std::uint32_t quiet = GetClock().TickMs() - last_command_tick_;
    if (!idle_shown_ && quiet >= kIdleActivityMs) {
      activity_.SetActivity(replies::kActIdle, current_directory_);
      idle_shown_ = true;
    }
    // The deadlines of a quiet session: the moment it shows "Idle", and the
    // end of a passive port nobody uses.
    std::uint32_t wait = idle_shown_ ? platform::kWaitForever : kIdleActivityMs - quiet;
    std::uint32_t passive_left = platform::kWaitForever;
    if (data_.CloseUnusedPassive(&passive_left)) {
      LogLine(replies::kLogUnusedPassiveClosed);
      continue;
    }
    WaitForInput(std::min(wait, passive_left));
    UpdateCounters();
  }
}

bool FtpSession::TakeProxyHeader() {
  runtime::LineSocket& control = Socket();
  peer_address_ = control.PeerAddressText();  // the balancer, for a refusal's log line
  std::string reason = runtime::ProxyHeader::kUntrusted;
  if (prelogin_.ProxyTrusted(runtime::IpAddress::FromBytes(control.PeerAddress())) &&
      control.TakeProxyHeader(&StopEvent(), GetClock(), prelogin_.LoginTimeoutMs(), &reason)) {
    limit_key_ = runtime::IpAddress::FromBytes(control.PeerAddress()).LimitKeyText();
    prelogin_counted_ = prelogin_.TryAdd(limit_key_);
    return true;
  }
  LogLine(FormatText(replies::kLogProxyRefused, reason.c_str()));
  control.Shutdown();
  return false;
}

bool FtpSession::TakeSessionAction() {
  const std::optional<access::SessionAction> action = auth_.TakeSessionAction(session_id_);
  if (!action) return true;
  const std::string reason = action->reason.empty() ? replies::kNoReason : action->reason;
  if (action->kind == access::SessionActionKind::kKick) {
    LogKick(reason);
    SendReply(FormatText(replies::kKicked, reason.c_str()));
    Socket().Shutdown();
    return false;
  }
  if (transfer_.IsRunning()) transfer_.Stop(reason);
  if (hashing_.IsRunning()) hashing_.Stop(reason);
  return true;
}

bool FtpSession::StillAdmitted() {
  std::string reason;
  if (account_->StillAllowed(endpoint_.address) && auth_.Admit(endpoint_.address, true, &reason))
    return true;
  LogKick(reason.empty() ? replies::WithoutCode(replies::kNoLongerAllowed) : reason);
  transfer_.MarkFailed();
  SendFinalLine(Socket(), replies::kNoLongerAllowed);
  Socket().Shutdown();
  return false;
}

void FtpSession::WaitForInput(std::uint32_t timeout_ms) {
  runtime::SocketWait wait;
  wait.Readable(Socket()).Until(&StopEvent()).Until(&wake_);
  if (!transfer_.IsRunning() && data_.IsListening()) wait.Readable(data_.Listener());
  if (DataAwaitsTls()) wait.Readable(data_.Socket());
  wait.Wait(timeout_ms);
}

bool FtpSession::Dispatch(std::string_view line) {
  const bool transferring = Busy();
  const std::optional<FoundCommand> found =
      FindCommand(line, transferring ? kTransferring : kLoggedIn, TlsOffered());
  if (found) return Run(*found);
  return Answer(transferring ? replies::kInTransfer : UnknownCommandReply(line));
}

bool FtpSession::Run(const FoundCommand& found) {
  const Command& command = *found.command;
  if (command.missing_argument != nullptr && found.parsed.argument.empty())
    return Answer(command.missing_argument);
  return (this->*command.handler)(command, found.parsed.argument, found.parsed.line);
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
  LogLine(FormatText(replies::kLogConnectionRefused, std::string(reason).c_str()));
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

void FtpSession::LogTransferEnd(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) LogLine(line);
  const std::optional<TransferLoop::Outcome> outcome = transfer_.TakeOutcome();
  if (!outcome || account_ == nullptr) return;
  const bool upload = outcome->kind == TransferLoop::Kind::kUpload;
  auth_.Counters().CountTransferEnd(
      upload ? access::ServerCounters::Direction::kUpload : access::ServerCounters::Direction::kDownload,
      outcome->state);
  if (outcome->completed)
    PostEvent(upload ? EventRunner::Event::kUpload : EventRunner::Event::kDownload, outcome->item,
              outcome->disk_path, true, outcome->figures.bytes);
  XferRecord record;
  record.end_seconds = GetClock().WallTimeNs() / 1'000'000'000;
  record.duration_ms = outcome->figures.duration_ms;
  record.remote_host = peer_address_;
  record.bytes = outcome->figures.bytes;
  record.ftp_path = outcome->item;
  record.binary = representation_type_ != 'A';
  record.incoming = outcome->kind == TransferLoop::Kind::kUpload;
  record.anonymous = fileutil::EqualNoCase(account_->Name(), "anonymous");
  record.user = user_name_;
  record.completed = outcome->completed;
  [[maybe_unused]] bool written = xferlog_.WriteLine(XferLogLine(record));  // best effort, as the FTP log
}

void FtpSession::LogKick(std::string_view reason) {
  LogLine(FormatText(replies::kLogKicked, std::string(reason).c_str()));
}

void FtpSession::UpdateCounters() {
  RefreshCounters();
  activity_.SetCounters(BytesSent(), BytesReceived());
}

bool FtpSession::BuildPath(std::string_view argument, std::string* path) const {
  return fileutil::BuildFtpPath(current_directory_, argument, path);
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

bool FtpSession::OpenDataConnection(bool* goes_on) {
  const DataConnection::Watch watch = DataWatch();
  const DataConnection::Opened opened = data_.Open(auth_.AllowSiteToSite(), watch);
  return DataConnectionOpened(opened, goes_on);
}

DataConnection::Watch FtpSession::DataWatch() {
  DataConnection::Watch watch;
  watch.stop = &StopEvent();
  watch.clock = &GetClock();
  // An active connect is bounded by the idle time-out.
  watch.connect_timeout_ms = std::max<std::uint32_t>(IdleTimeoutMs(), 1000);
  watch.control_alive = [this] {
    return !StopRequested() && Socket().GetState() == runtime::TcpSocket::State::kConnected;
  };
  watch.still_admitted = [this] {
    std::string reason;
    return account_->StillAllowed(endpoint_.address) && auth_.Admit(endpoint_.address, true, &reason);
  };
  return watch;
}

bool FtpSession::DataConnectionOpened(DataConnection::Opened opened, bool* goes_on) {
  if (opened == DataConnection::Opened::kOpen) {
    Touch();
    return true;
  }
  LogTransferEnd({transfer_.Abandon(replies::kReasonNoData)});
  *goes_on = opened != DataConnection::Opened::kNoLongerAllowed;
  switch (opened) {
    case DataConnection::Opened::kNoLongerAllowed:
      SendFinalLine(Socket(), replies::kNoLongerAllowed);
      Socket().Shutdown();
      break;
    case DataConnection::Opened::kSiteToSite: SendReply(replies::kDataSiteToSite); break;
    default: SendReply(replies::kDataFailed); break;
  }
  return false;
}

void FtpSession::TransferStep() {
  const TransferLoop::Step step = transfer_.Next(data_.Socket());
  if (step.progressed) {
    Touch();
    if (transfer_.GetKind() != TransferLoop::Kind::kListing) activity_.TransferProgress(transfer_.Moved());
  }
  if ((step.progressed || step.ended) && transfer_.GetKind() != TransferLoop::Kind::kListing) {
    // One relaxed atomic add per step, no lock: the counters stay cheap.
    const std::uint64_t moved = step.ended ? step.ending.moved : transfer_.Moved();
    if (moved > transfer_bytes_counted_) {
      auth_.Counters().CountTransferBytes(transfer_.GetKind() == TransferLoop::Kind::kUpload
                                              ? access::ServerCounters::Direction::kUpload
                                              : access::ServerCounters::Direction::kDownload,
                                          moved - transfer_bytes_counted_);
      transfer_bytes_counted_ = moved;
    }
  }
  if (step.ended) {
    data_.Shutdown();
    LogTransferEnd(step.ending.logs);
    if (transfer_.GetKind() != TransferLoop::Kind::kListing)
      activity_.EndTransfer(step.ending.state, step.ending.moved);
    activity_.SetActivity(step.ending.activity, transfer_.Item());
    // The client's next data connection resumes with a fresh ticket.
    if (protect_data_) Socket().OfferTlsTicket();
    SendReplyLines(step.ending.replies);
    return;
  }
  switch (step.wait) {
    case TransferLoop::Wait::kNone: break;
    case TransferLoop::Wait::kReadable: WaitForData(DataWait::kReadable, kMaxWaitMs); break;
    case TransferLoop::Wait::kWritable: WaitForData(DataWait::kWritable, kMaxWaitMs); break;
    case TransferLoop::Wait::kRefill: WaitForData(DataWait::kNone, kSendRetryMs); break;
  }
}

void FtpSession::HashStep() {
  const HashLoop::Step step = hashing_.Next();
  if (step.progressed) Touch();
  if (step.ended) SendReplyLines(step.replies);
}

void FtpSession::WaitForData(DataWait wait, std::uint32_t timeout_ms) {
  runtime::SocketWait watch;
  if (wait == DataWait::kReadable) watch.Readable(data_.Socket());
  if (wait == DataWait::kWritable) watch.Writable(data_.Socket());
  watch.Readable(Socket()).Until(&StopEvent()).Until(&wake_);
  watch.Wait(timeout_ms);
}

}  // namespace quillon::ftp
