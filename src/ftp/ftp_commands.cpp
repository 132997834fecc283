// The command handlers of an FTP session: each gets its row of the command
// table, the line's argument and the line, answers the client, and says
// whether the session goes on.
#include <algorithm>
#include <utility>

#include "accountfs/messages.h"
#include "ftp/transfer_log.h"
#include "ftp/command_line.h"
#include "ftp/ftp_session.h"
#include "ftp/replies.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"
#include "fileutil/time_format.h"

namespace quillon::ftp {

namespace {

using fileutil::EqualNoCase;
using fileutil::FormatText;
using fileutil::StartsWithNoCase;

}  // namespace

bool FtpSession::Abor(const Command&, std::string_view, std::string_view) {
  if (hashing_.IsRunning()) {
    hashing_.Stop("");
    return true;
  }
  if (!transfer_.IsRunning()) return Answer(replies::kNoTransfer);
  transfer_.Stop("");
  return true;
}

bool FtpSession::Stat(const Command&, std::string_view, std::string_view) {
  if (Busy()) return Answer(replies::kTransferOk);
  SendReplyLines(MessageBlock(211));
  return true;
}

bool FtpSession::Quit(const Command&, std::string_view, std::string_view) {
  SendReply(replies::kGoodbye);
  Socket().Shutdown();
  data_.Close();
  return false;
}

bool FtpSession::Noop(const Command&, std::string_view, std::string_view) {
  SendReply(replies::kNoop);
  return true;
}

bool FtpSession::Allo(const Command&, std::string_view, std::string_view) {
  SendReply(replies::kAllo);
  return true;
}

bool FtpSession::Mdtm(const Command&, std::string_view argument, std::string_view line) {
  std::string message;
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  if (account_->IsFile(path)) {
    platform::FileTime time;
    if (account_->GetFileTime(path, &time, &message)) {
      SendReply(FormatText(replies::kMdtm, fileutil::FormatMdtm(time, false).c_str()));
    } else {
      SendReply(FormatText(replies::kFailed, message.c_str()));
    }
    return true;
  }
  MdtmSetting setting;
  platform::FileTime time;
  if (!ParseMdtmSetting(line, &setting) || !fileutil::ParseMdtm(setting.stamp, &time))
    return Answer(replies::kMdtmNoFile);
  return SetModifyTime(setting, time, false);
}

bool FtpSession::Mfmt(const Command&, std::string_view, std::string_view line) {
  // The line has MDTM's setting form under another verb of four letters.
  MdtmSetting setting;
  platform::FileTime time;
  if (!ParseMdtmSetting(line, &setting) || !fileutil::ParseMdtm(setting.stamp, &time))
    return Answer(replies::kMfmtSyntax);
  return SetModifyTime(setting, time, true);
}

bool FtpSession::SetModifyTime(const MdtmSetting& setting, const platform::FileTime& time, bool mfmt) {
  std::string path;
  if (!BuildPath(setting.path, &path)) return RefusePath();
  std::string message;
  if (!account_->SetFileTime(path, time, &message))
    return Answer(FormatText(replies::kMdtmSetFailed, message.c_str()));
  return Answer(FormatText(mfmt ? replies::kMfmtSet : replies::kMdtmSet, std::string(setting.stamp).c_str(),
                           std::string(setting.path).c_str()));
}

bool FtpSession::Hash(const Command&, std::string_view argument, std::string_view) {
  // The digest covers the whole file: a restart offset is used up unheeded.
  restart_offset_ = 0;
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  std::string message;
  if (!hashing_.Open(*account_, path, argument, kHashAlgorithms[hash_choice_], &message))
    return Answer(FormatText(replies::kFailed, message.c_str()));
  // The command loop runs the steps; the reply comes with the last one.
  next_admission_tick_ = GetClock().TickMs() + kTransferAdmissionMs;
  return true;
}

bool FtpSession::Clnt(const Command&, std::string_view argument, std::string_view) {
  // Logged once a session: a client repeating it cannot fill the log.
  if (!client_logged_) LogLine(FormatText(replies::kLogClient, std::string(argument).c_str()));
  client_logged_ = true;
  return Answer(replies::kClientNoted);
}

bool FtpSession::Pwd(const Command&, std::string_view, std::string_view) {
  SendReply(FormatText(replies::kPwd, current_directory_.c_str()));
  return true;
}

bool FtpSession::Cdup(const Command& command, std::string_view, std::string_view) {
  return Cwd(command, "..", "cwd ..");
}

bool FtpSession::Cwd(const Command&, std::string_view argument, std::string_view) {
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  if (!account_->IsFolder(path)) return Answer(replies::kNoDirectory);
  fileutil::CopyText(&current_directory_, path, fileutil::kDiskPathCapacity);
  activity_.SetActivity(replies::kActInDirectory, current_directory_);
  return Answer(FormatText(replies::kCwd, current_directory_.c_str()));
}

bool FtpSession::Mkd(const Command&, std::string_view argument, std::string_view) {
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

bool FtpSession::Rmd(const Command&, std::string_view argument, std::string_view) {
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

bool FtpSession::Port(const Command&, std::string_view argument, std::string_view) {
  return Answer(data_.Port(argument, auth_.AllowSiteToSite()));
}

bool FtpSession::Pasv(const Command&, std::string_view, std::string_view) {
  data_.SetPortRange(passive_.FirstPort(), passive_.LastPort());
  // Clients outside the private ranges get the public address when one is set.
  const std::string announced = passive_.AddressFor(endpoint_.address);
  return Answer(data_.Pasv(announced.empty() ? std::string(Socket().LocalAddressText()) : announced));
}

bool FtpSession::Epsv(const Command&, std::string_view argument, std::string_view) {
  data_.SetPortRange(passive_.FirstPort(), passive_.LastPort());
  return Answer(data_.Epsv(argument));
}

bool FtpSession::Eprt(const Command&, std::string_view argument, std::string_view) {
  return Answer(data_.Eprt(argument, auth_.AllowSiteToSite()));
}

bool FtpSession::Feat(const Command&, std::string_view, std::string_view) {
  std::vector<std::string> lines;
  for (const char* line : replies::kFeatLines) {
    if (line == replies::kFeatHash) {
      lines.push_back(FormatText(replies::kFeatHash, HashAlgorithmList(hash_choice_).c_str()));
    } else {
      lines.emplace_back(line);
    }
  }
  if (TlsOffered())
    lines.insert(lines.begin() + 1, std::begin(replies::kFeatTlsLines), std::end(replies::kFeatTlsLines));
  SendReplyLines(lines);
  return true;
}

bool FtpSession::Auth(const Command&, std::string_view argument, std::string_view) {
  if (Socket().IsTls()) return Answer(replies::kAuthAgain);
  if (!EqualNoCase(argument, "TLS") && !EqualNoCase(argument, "SSL") &&
      !EqualNoCase(argument, "TLS-C"))
    return Answer(replies::kAuthMechanism);
  if (!SendReply(replies::kAuthProceed)) return false;
  // Whatever the client sent after AUTH in clear must not count as sent
  // under TLS.
  Socket().DiscardBuffered();
  if (!HandshakeControlTls()) return false;
  protect_data_ = false;
  if (account_ != nullptr) ShareTlsSession();
  return true;
}

bool FtpSession::HandshakeControlTls() {
  std::string error = "TLS is not set up";
  const bool done = tls_.context != nullptr &&
                    Socket().AcceptTls(*tls_.context, tls_session_, platform::TlsRole::kControl, &StopEvent(),
                                       GetClock(), kTlsHandshakeLimitMs, &error);
  auth_.Counters().CountTlsHandshake(done);
  LogLine(done ? FormatText(replies::kLogTlsStarted, Socket().TlsVersionText().c_str())
               : FormatText(replies::kLogTlsFailed, error.c_str()));
  return done;
}

bool FtpSession::Pbsz(const Command&, std::string_view, std::string_view) {
  return Answer(Socket().IsTls() ? replies::kPbszOk : replies::kTlsFirst);
}

bool FtpSession::Prot(const Command&, std::string_view argument, std::string_view) {
  if (!Socket().IsTls()) return Answer(replies::kTlsFirst);
  if (EqualNoCase(argument, "P")) {
    protect_data_ = true;
    return Answer(replies::kProtPrivate);
  }
  if (EqualNoCase(argument, "C")) {
    if (tls_.data_required) return Answer(replies::kProtClearRefused);
    protect_data_ = false;
    return Answer(replies::kProtClear);
  }
  return Answer(replies::kProtUnsupported);
}

bool FtpSession::Ccc(const Command&, std::string_view, std::string_view) {
  return Answer(Socket().IsTls() ? replies::kCccRefused : replies::kTlsFirst);
}

void FtpSession::ShareTlsSession() {
  // Clients that run transfers in parallel (several control connections of
  // one account from one address) often keep one TLS session for all of
  // their data connections. The group is the account and the address; the
  // name's length keeps every pair apart.
  const std::string name = account_->Name();
  Socket().JoinTlsGroup(std::to_string(name.size()) + ":" + name + "@" + peer_address_);
}

const char* FtpSession::TlsTransferRefusal() const {
  if (tls_.mode == TlsConfig::Mode::kOff || !tls_.data_required || protect_data_) return nullptr;
  return replies::kDataMustBeProtected;
}

bool FtpSession::DataAwaitsTls() const {
  const runtime::LineSocket& data = data_.Socket();
  return protect_data_ && tls_.data_at_connect && !transfer_.IsRunning() &&
         data.GetState() == runtime::TcpSocket::State::kConnected && !data.IsTls();
}

bool FtpSession::HandshakeData(std::string* error, const char** reply) {
  runtime::LineSocket& data = data_.Socket();
  *reply = replies::kDataTlsFailed;
  if (!data.IsTls()) {
    const bool secured = data.AcceptTls(*tls_.context, tls_session_, platform::TlsRole::kData, &StopEvent(),
                                        GetClock(), kTlsHandshakeLimitMs, error);
    auth_.Counters().CountTlsHandshake(secured);
    if (!secured) return false;
  }
  if (!tls_.reuse_required || data.TlsResumed()) return true;
  *error = "the TLS session of the control connection was not resumed";
  *reply = replies::kDataNotResumed;
  data.Close();
  return false;
}

void FtpSession::SecureDataEarly() {
  std::uint8_t first = 0;
  if (!DataAwaitsTls() || !data_.Socket().PeekFirstByte(&first)) return;
  std::string error;
  const char* reply = nullptr;
  if (!HandshakeData(&error, &reply)) LogLine(FormatText(replies::kLogDataTlsFailed, error.c_str()));
}

bool FtpSession::SecureDataConnection() {
  const char* reply = nullptr;
  for (;;) {
    std::string error;
    if (HandshakeData(&error, &reply)) {
      data_.StopListening();
      return true;
    }
    LogLine(FormatText(replies::kLogDataTlsFailed, error.c_str()));
    // Whoever failed its handshake does not end the wait for the client's
    // own connection.
    const DataConnection::Opened next = data_.OpenAnother(auth_.AllowSiteToSite(), DataWatch());
    if (next != DataConnection::Opened::kOpen) {
      if (next == DataConnection::Opened::kNoLongerAllowed) {
        bool goes_on = true;
        return DataConnectionOpened(next, &goes_on);  // hands the transfer back and ends the session
      }
      break;
    }
  }
  LogTransferEnd({transfer_.Abandon(replies::kReasonNoData)});
  data_.Close();
  // A client that offered a session without a ticket may try again with one.
  Socket().OfferTlsTicket();
  SendReply(reply);
  return false;
}

bool FtpSession::Opts(const Command&, std::string_view argument, std::string_view) {
  if (EqualNoCase(argument, "UTF8 ON") || EqualNoCase(argument, "UTF8")) return Answer(replies::kUtf8On);
  if (EqualNoCase(argument, "UTF8 OFF")) return Answer(replies::kUtf8Off);  // names pass as sent either way
  if (StartsWithNoCase(argument, "HASH") && (argument.size() == 4 || argument[4] == ' ')) {
    // "HASH" alone asks for the algorithm in use; "HASH name" chooses one.
    std::string_view name = argument.substr(4);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    if (!name.empty()) {
      const std::optional<std::size_t> found = FindHashAlgorithm(name);
      if (!found) return Answer(replies::kHashUnknown);
      hash_choice_ = *found;
    }
    return Answer(FormatText(replies::kHashChoice, kHashAlgorithms[hash_choice_].name));
  }
  if (!StartsWithNoCase(argument, "MLST")) return Answer(replies::kOptsUnknown);
  // "MLST type;size;": the facts later MLSD and MLST lines carry.
  struct Fact {
    std::string_view name;
    std::uint32_t bit;
  };
  static constexpr Fact kFacts[] = {{"type", accountfs::kFactType},
                                    {"size", accountfs::kFactSize},
                                    {"modify", accountfs::kFactModify},
                                    {"perm", accountfs::kFactPerm},
                                    {"unique", accountfs::kFactUnique}};
  std::string_view list = argument.substr(4);
  while (!list.empty() && list.front() == ' ') list.remove_prefix(1);
  std::uint32_t chosen = 0;
  while (!list.empty()) {
    const std::size_t end = std::min(list.find(';'), list.size());
    for (const Fact& fact : kFacts)
      if (EqualNoCase(list.substr(0, end), fact.name)) chosen |= fact.bit;
    list.remove_prefix(std::min(end + 1, list.size()));
  }
  mlst_facts_ = chosen;
  std::string names;
  for (const Fact& fact : kFacts)
    if (chosen & fact.bit) names += std::string(fact.name) + ";";
  return Answer(FormatText(replies::kMlstOpts, names.c_str()));
}

bool FtpSession::Mlst(const Command&, std::string_view argument, std::string_view) {
  std::string path = current_directory_;
  if (!argument.empty() && !BuildPath(argument, &path)) return RefusePath();
  std::string line, message;
  if (!account_->FactsOf(path, mlst_facts_, &line, &message))
    return Answer(FormatText(replies::kFailed, message.c_str()));
  SendReplyLines({FormatText(replies::kMlstFirst, path.c_str()), " " + line, replies::kMlstEnd});
  return true;
}

bool FtpSession::Rnfr(const Command&, std::string_view argument, std::string_view) {
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

bool FtpSession::Rnto(const Command&, std::string_view argument, std::string_view) {
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

bool FtpSession::Dele(const Command&, std::string_view argument, std::string_view) {
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  std::string message;
  // What the event tells of the file, taken while it is still there.
  const std::string disk_path = account_->MapPath(path).disk_path;
  std::uint64_t size = 0;
  const bool size_known = account_->GetFileSize(path, &size, &message);
  if (!account_->DeleteFile(path, &message))
    return Answer(FormatText(replies::kFailed, message.c_str()));
  LogLine(FormatText(replies::kLogDeletedFile, path.c_str()));
  PostEvent(EventRunner::Event::kDelete, path, disk_path, size_known, size);
  Touch();
  activity_.SetActivity(replies::kActDeletedFile, path);
  return Answer(replies::kDeleted);
}

bool FtpSession::Size(const Command&, std::string_view argument, std::string_view) {
  std::uint64_t size = 0;
  std::string message;
  std::string path;
  if (!BuildPath(argument, &path)) return RefusePath();
  if (!account_->GetFileSize(path, &size, &message))
    return Answer(FormatText(replies::kFailed, message.c_str()));
  SendReply(FormatText(replies::kSize, static_cast<unsigned long long>(size)));
  return true;
}

bool FtpSession::Rest(const Command&, std::string_view argument, std::string_view) {
  if (argument.find('-') != std::string_view::npos) return Answer(replies::kNotAccepted);
  std::uint64_t offset = 0;
  if (!ParseOffset(argument, &offset)) return Answer(replies::kNeedParameter);
  restart_offset_ = offset;
  SendReply(replies::kRest);
  return true;
}

bool FtpSession::Syst(const Command&, std::string_view, std::string_view) {
  SendReply(replies::kSyst);
  return true;
}

bool FtpSession::Help(const Command&, std::string_view, std::string_view) {
  std::vector<std::string> lines(std::begin(replies::kHelpLines), std::end(replies::kHelpLines));
  lines.push_back(FormatText(replies::kHelpLast, auth_.HelpMessage().c_str()));
  SendReplyLines(lines);
  return true;
}

bool FtpSession::Type(const Command&, std::string_view argument, std::string_view) {
  if (argument.front() == 'A' || argument.front() == 'I') {
    representation_type_ = argument.front();
    SendReply(representation_type_ == 'A' ? replies::kTypeAscii : replies::kTypeImage);
  } else {
    SendReply(replies::kNotImplementedParameter);
  }
  return true;
}

bool FtpSession::Stru(const Command&, std::string_view argument, std::string_view) {
  SendReply(argument.front() == 'F' ? replies::kStru : replies::kNotImplementedParameter);
  return true;
}

bool FtpSession::Mode(const Command&, std::string_view argument, std::string_view) {
  SendReply(argument.front() == 'S' ? replies::kMode : replies::kNotImplementedParameter);
  return true;
}

bool FtpSession::Site(const Command&, std::string_view, std::string_view line) {
  if (line.size() < 11 || !EqualNoCase(line.substr(4, 6), " CPWD "))
    return Answer(replies::kNotAccepted);
  std::string message;
  if (!auth_.ChangePassword(account_, line.substr(10), &message))
    return Answer(FormatText(replies::kSiteFailed, message.c_str()));
  activity_.SetActivity(replies::kActChangedPassword, current_directory_);
  return Answer(replies::kPasswordChanged);
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

bool FtpSession::Transfer(const Command& command, std::string_view argument, std::string_view) {
  using Kind = TransferLoop::Kind;
  const std::string_view verb = command.verb;
  const bool retr = verb == "RETR";
  const bool stor = verb == "STOR";
  const bool appe = verb == "APPE";
  const bool stou = verb == "STOU";
  const bool nlst = verb == "NLST";
  const bool mlsd = verb == "MLSD";
  // A restart offset serves the transfer command that follows it, and only
  // that one, whatever becomes of it: a later transfer starts at 0 again.
  const std::uint64_t restart_offset = std::exchange(restart_offset_, 0);
  if (!data_.HasSetup()) return Answer(replies::kUsePortOrPasv);
  if (const char* refusal = TlsTransferRefusal()) return Answer(refusal);

  std::string message;
  std::string path;
  std::string unique_name;
  Kind kind = Kind::kDownload;
  if (retr) {
    if (!BuildPath(argument, &path)) return RefusePath();
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
  } else {
    kind = Kind::kListing;
    // MLSD takes no options: its argument is the path as written.
    const std::string_view named = mlsd ? argument : ListingPath(argument);
    if (named.empty()) {
      path = current_directory_;
    } else if (!BuildPath(named, &path)) {
      return RefusePath();
    }
  }
  TransferLoop::Options options;
  options.offset = restart_offset;  // appends and listings pay it no heed
  options.append = appe;
  options.style = nlst ? accountfs::ListingStyle::kNames
                  : mlsd ? accountfs::ListingStyle::kFacts
                         : accountfs::ListingStyle::kLong;
  options.facts = mlst_facts_;
  if (!transfer_.Open(*account_, kind, path, options, &message)) {
    if (kind == Kind::kUpload && IsAllowanceRefusal(message))
      LogLine(FormatText(replies::kLogUploadRefused, path.c_str(), message.c_str()));
    return Answer(FormatText(replies::kFailed, message.c_str()));
  }

  if (bool goes_on = true; !OpenDataConnection(&goes_on)) return goes_on;
  const std::uint32_t data_opened_tick = GetClock().TickMs();
  if (!protect_data_) data_.StopListening();
  const std::string opened = stou ? FormatText(replies::kDataOpenedUnique, unique_name.c_str())
                                  : std::string(replies::kDataOpened);
  // Over TLS the client starts its handshake once it has the 150 reply.
  if (protect_data_) {
    SendReply(opened);
    if (!SecureDataConnection()) return true;
  }
  transfer_.Begin(data_.Socket(), GetClock(), data_opened_tick);
  transfer_bytes_counted_ = 0;
  if (kind != Kind::kListing) activity_.StartTransfer(kind == Kind::kUpload, transfer_.SizeToMove());
  next_admission_tick_ = GetClock().TickMs() + kTransferAdmissionMs;
  activity_.SetActivity(kind == Kind::kDownload ? replies::kActDownloading
                        : kind == Kind::kUpload ? replies::kActUploading
                                                : replies::kActViewing,
                        path);
  return protect_data_ || Answer(opened);
}

}  // namespace quillon::ftp
