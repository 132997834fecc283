// One FTP control connection, served on its own thread from admission to
// the end: greeting, the USER/PASS login loop, the command loop with its
// dispatch, and the end sequence. The data connection and the transfer loop
// are parts of their own; the command handlers live in ftp_commands.cpp.
// All file-system work goes through the logged-in account.
//
// Thread-safety: everything runs on the session's thread, except Wake()
// (any thread) and the activity record, which other threads read through
// the auth manager's snapshots.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "access/active_account.h"
#include "access/activity_record.h"
#include "access/auth_manager.h"
#include "ftp/command_table.h"
#include "ftp/data_connection.h"
#include "ftp/event_runner.h"
#include "ftp/hash_loop.h"
#include "ftp/command_line.h"
#include "ftp/passive_config.h"
#include "ftp/prelogin_limit.h"
#include "ftp/tls_config.h"
#include "ftp/transfer_loop.h"
#include "platform/event.h"
#include "runtime/limits.h"
#include "runtime/line_socket.h"
#include "runtime/tcp_connection.h"
#include "settings/log_file.h"

namespace quillon::ftp {

class FtpSession final : public runtime::TcpConnection {
 public:
  // Lines longer than this (without CR LF) are cut.
  static constexpr std::size_t kLineBuffer = limits::kControlLineBuffer;
  // A failed PASS makes the client wait this long for its answer.
  static constexpr std::uint32_t kBadLoginPauseMs = limits::kBadLoginPauseMs;
  // After this long without commands or transfers the activity says "Idle".
  static constexpr std::uint32_t kIdleActivityMs = limits::kIdleActivityMs;
  // A TLS handshake (control or data) that is not done in this time fails.
  static constexpr std::uint32_t kTlsHandshakeLimitMs = limits::kTlsHandshakeLimitMs;
  // While a transfer runs, admission is checked again this often.
  static constexpr std::uint32_t kTransferAdmissionMs = 250;
  // Longest wait for input before the session looks at its state again;
  // events (input, stop, kicks, changed rules) wake it earlier.
  static constexpr std::uint32_t kMaxWaitMs = limits::kMaxWaitMs;

  // Starts serving at once; check IsFinished() for a thread that did not start.
  // The connection counts against its address's share in `prelogin` until
  // it logs in; one over the share is refused at once.
  FtpSession(std::unique_ptr<runtime::LineSocket> socket, access::AuthManager& auth,
             settings::LogFile& log, settings::TransferLogFile& xferlog, PassiveConfig& passive,
             PreloginLimit& prelogin, const TlsConfig& tls, EventRunner& events,
             platform::Clock& clock,
             std::uint32_t idle_timeout_ms, std::uint32_t session_id, bool implicit_tls = false);
  ~FtpSession() override;

  // Makes a waiting session look at its state (session actions, admission).
  void Wake() { wake_.Set(); }
  std::uint32_t SessionId() const { return session_id_; }

 private:
  // The table names the command handlers below.
  friend std::span<const Command> CommandTable();

  void Serve() override;
  // The control connection's TLS handshake (after AUTH, or at once on the
  // implicit TLS port), counted and logged; false (connection closed) when
  // it fails.
  bool HandshakeControlTls();
  // The TLS commands are understood: TLS is on for the server, or this
  // session came in on the implicit TLS port.
  bool TlsOffered() const { return tls_.mode != TlsConfig::Mode::kOff || implicit_tls_; }
  bool LoginLoop();
  // The connection no longer counts as one waiting to log in.
  void LeavePrelogin();
  void AfterLogin();
  void CommandLoop();
  // false ends the command loop.
  bool Dispatch(std::string_view line);
  // The row's handler, unless the line lacks the argument the row needs;
  // false ends the session.
  bool Run(const FoundCommand& found);
  bool TakeSessionAction();
  bool StillAdmitted();
  // Takes the load balancer's PROXY protocol header: from then on the
  // client it names is the peer, counted before login by its address. False
  // (logged, the connection closed) when the peer may not send one or sent
  // none whole within the login time-out.
  bool TakeProxyHeader();
  // Waits for input on the control (and a listening data, or a data
  // connection awaiting TLS) socket, a stop, a wake-up, or `timeout_ms`.
  void WaitForInput(std::uint32_t timeout_ms);
  bool SendReply(std::string_view text);
  // Sends a reply; a command handler's way of saying "the loop goes on".
  bool Answer(std::string_view text);
  void SendReplyLines(const std::vector<std::string>& lines);
  void Refuse(std::string_view reason);
  void LogLine(std::string_view text);
  // The lines of a transfer that ended, then its transfer-log line.
  void LogTransferEnd(const std::vector<std::string>& lines);
  // "Session Kicked" with `reason` (a reply text without its code).
  void LogKick(std::string_view reason);
  void UpdateCounters();
  // Posts an event of this session's account for `ftp_path` (disk path
  // and size as given; none for a login).
  void PostEvent(EventRunner::Event event, const std::string& ftp_path, const std::string& disk_path,
                 bool size_known, std::uint64_t size);
  // The FTP path a client's argument names; false when it names nothing
  // safely (control bytes, hidden components, too long).
  [[nodiscard]] bool BuildPath(std::string_view argument, std::string* path) const;
  // "550 The path is in accessible." for an argument BuildPath refused.
  bool RefusePath();
  std::vector<std::string> MessageBlock(int code);

  // Commands, each run by its row of the table.
  bool Abor(const Command&, std::string_view, std::string_view);
  bool Stat(const Command&, std::string_view, std::string_view);
  // AUTH, PBSZ, PROT and CCC, offered while TLS is on.
  bool Auth(const Command&, std::string_view argument, std::string_view);
  bool Pbsz(const Command&, std::string_view, std::string_view);
  bool Prot(const Command&, std::string_view argument, std::string_view);
  bool Ccc(const Command&, std::string_view, std::string_view);
  bool Quit(const Command&, std::string_view, std::string_view);
  bool Noop(const Command&, std::string_view, std::string_view);
  bool Allo(const Command&, std::string_view, std::string_view);
  bool Mdtm(const Command&, std::string_view argument, std::string_view line);
  bool Mfmt(const Command&, std::string_view, std::string_view line);
  // The time-setting form of MDTM, and MFMT: sets the modification time of
  // the file `setting` names, with the rights and replies of MDTM, and
  // answers success with MFMT's text when `mfmt`, else MDTM's.
  bool SetModifyTime(const MdtmSetting& setting, const platform::FileTime& time, bool mfmt);
  bool Hash(const Command&, std::string_view argument, std::string_view);
  bool Clnt(const Command&, std::string_view argument, std::string_view);
  bool Pwd(const Command&, std::string_view, std::string_view);
  bool Cdup(const Command&, std::string_view, std::string_view);
  bool Cwd(const Command&, std::string_view argument, std::string_view);
  bool Mkd(const Command&, std::string_view argument, std::string_view);
  bool Rmd(const Command&, std::string_view argument, std::string_view);
  bool Port(const Command&, std::string_view argument, std::string_view line);
  bool Pasv(const Command&, std::string_view, std::string_view);
  bool Rnfr(const Command&, std::string_view argument, std::string_view);
  bool Rnto(const Command&, std::string_view argument, std::string_view);
  bool Dele(const Command&, std::string_view argument, std::string_view);
  bool Size(const Command&, std::string_view argument, std::string_view);
  bool Rest(const Command&, std::string_view argument, std::string_view);
  bool Syst(const Command&, std::string_view, std::string_view);
  bool Help(const Command&, std::string_view, std::string_view);
  bool Type(const Command&, std::string_view argument, std::string_view);
  bool Stru(const Command&, std::string_view argument, std::string_view);
  bool Mode(const Command&, std::string_view argument, std::string_view);
  bool Site(const Command&, std::string_view argument, std::string_view line);
  bool Transfer(const Command& command, std::string_view argument, std::string_view);
  bool Feat(const Command&, std::string_view, std::string_view);
  bool Opts(const Command&, std::string_view argument, std::string_view);
  bool Epsv(const Command&, std::string_view argument, std::string_view);
  bool Eprt(const Command&, std::string_view argument, std::string_view);
  bool Mlst(const Command&, std::string_view argument, std::string_view);
  // The reply that keeps a transfer from starting under the TLS rules, or null.
  const char* TlsTransferRefusal() const;
  // Once logged in over TLS: shares the control connection's TLS session with
  // the data connections of the account's other sessions from the same
  // address, and theirs with this one's.
  void ShareTlsSession();
  // TLS on the just opened data connection (after its 150 reply); on a
  // passive port a connection whose handshake fails (or does not resume) is
  // closed and the next one tried, within the port's wait. False with the
  // transfer handed back and the client told.
  bool SecureDataConnection();
  // Clients that start the data connection's handshake as soon as it is
  // connected, before their transfer command (curl, say), wait for the
  // server's answer first: a passive connection whose first bytes arrived
  // is secured at once. One that fails is closed and logged; the port waits
  // on for the client's own.
  void SecureDataEarly();
  // The data connection's handshake, unless it ran early, and the check
  // that it resumed as required. False with *error and the *reply for the
  // client; the connection is then closed.
  bool HandshakeData(std::string* error, const char** reply);
  // A protected passive connection that is connected but not yet secured.
  bool DataAwaitsTls() const;

  // Data connections and transfers.
  // Opens the data connection for the transfer just opened; on failure the
  // transfer is handed back, the client told, and *goes_on says whether the
  // session goes on.
  bool OpenDataConnection(bool* goes_on);
  // What a data connection's wait watches: stop, control connection, admission.
  DataConnection::Watch DataWatch();
  // The outcome of a data connection's wait, told as OpenDataConnection tells it.
  bool DataConnectionOpened(DataConnection::Opened opened, bool* goes_on);
  // One step of the running transfer, and what it ended with.
  void TransferStep();
  // One step of the running HASH, and its reply when it ended.
  void HashStep();
  // A transfer or a HASH runs: only ABOR and STAT are taken.
  bool Busy() const { return transfer_.IsRunning() || hashing_.IsRunning(); }
  // Waits for the data socket (as asked), the control socket, a stop or a
  // wake-up; input either socket already holds ends the wait at once.
  enum class DataWait { kNone, kReadable, kWritable };
  void WaitForData(DataWait wait, std::uint32_t timeout_ms);
  std::string UniqueName();

  // Fixed at construction.
  access::AuthManager& auth_;
  settings::LogFile& log_;
  settings::TransferLogFile& xferlog_;
  PassiveConfig& passive_;
  PreloginLimit& prelogin_;
  const TlsConfig& tls_config_;
  EventRunner& events_;
  const std::uint32_t session_id_;
  const bool implicit_tls_;  // TLS from the first byte (the implicit TLS port)
  bool client_logged_ = false;  // CLNT has written its log line
  platform::Event wake_;

  // Login: whether the connection counts in prelogin_ (set before the
  // thread starts, cleared on it), and the tick by which it must log in.
  bool prelogin_counted_ = false;
  // The connection starts with a PROXY protocol header (taken when the
  // session began).
  const bool proxied_;
  std::uint32_t login_deadline_tick_ = 0;
  access::SessionEndpoint endpoint_;
  std::string peer_address_;
  std::string limit_key_;  // the address, or an IPv6 one's /64: what per-address limits count
  std::string user_name_;
  std::string password_;
  access::ActiveAccount* account_ = nullptr;
  access::ActivityRecord activity_;

  // TLS: the rules when the session began, the session context its data
  // connections resume, and PROT P.
  TlsConfig::Rules tls_;
  platform::TlsSessionContext tls_session_;
  bool protect_data_ = false;

  // Commands.
  std::string current_directory_ = "/";
  std::string rename_from_;
  char representation_type_ = 'A';
  std::uint64_t restart_offset_ = 0;  // set by REST, used up by the next transfer command
  std::uint32_t last_command_tick_ = 0;
  bool idle_shown_ = false;

  // Data connection and transfer.
  DataConnection data_;
  TransferLoop transfer_;
  std::uint64_t transfer_bytes_counted_ = 0;  // of the running transfer, in the counters
  std::uint32_t next_admission_tick_ = 0;
  std::uint32_t random_state_ = 0;
  std::uint32_t mlst_facts_ = accountfs::kAllFacts;  // chosen by OPTS MLST

  // HASH: the running digest, and the algorithm OPTS HASH chose (an index
  // in kHashAlgorithms).
  HashLoop hashing_;
  std::size_t hash_choice_ = 0;
};

}  // namespace quillon::ftp
