#include "ftp/command_table.h"

#include "ftp/ftp_session.h"
#include "ftp/replies.h"
#include "fileutil/text.h"

namespace quillon::ftp {

std::span<const Command> CommandTable() {
  constexpr VerbMatch kLine = VerbMatch::kWholeLine;
  constexpr VerbMatch kPrefix = VerbMatch::kPrefix;
  constexpr VerbMatch kWord = VerbMatch::kWord;
  constexpr std::uint8_t kAlways = kBeforeLogin | kLoggedIn;
  constexpr std::uint8_t kAnyTime = kLoggedIn | kTransferring;
  constexpr const char* kNeed = replies::kNeedParameter;
  using S = FtpSession;
  // ABOR and STAT come first: they are the two that a running transfer
  // answers. Clients send ABOR as urgent data, which reads inline as an
  // ordinary line once the Telnet bytes before it are stripped.
  static constexpr Command kRows[] = {
      {"ABOR", kLine, nullptr, nullptr, kAnyTime, false, &S::Abor},
      {"STAT", kPrefix, nullptr, nullptr, kAnyTime, false, &S::Stat},
      {"AUTH", kWord, nullptr, nullptr, kAlways, true, &S::Auth},
      {"PBSZ", kWord, nullptr, nullptr, kAlways, true, &S::Pbsz},
      {"PROT", kWord, nullptr, nullptr, kAlways, true, &S::Prot},
      {"CCC", kWord, nullptr, nullptr, kAlways, true, &S::Ccc},
      {"QUIT", kLine, nullptr, nullptr, kAlways, false, &S::Quit},
      {"NOOP", kLine, nullptr, nullptr, kLoggedIn, false, &S::Noop},
      {"ALLO", kPrefix, nullptr, nullptr, kLoggedIn, false, &S::Allo},
      {"MDTM", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Mdtm},
      {"MFMT", kWord, nullptr, replies::kMfmtSyntax, kLoggedIn, false, &S::Mfmt},
      {"PWD", kLine, "XPWD", nullptr, kLoggedIn, false, &S::Pwd},
      {"CDUP", kLine, "XCUP", nullptr, kLoggedIn, false, &S::Cdup},
      {"CWD", kPrefix, "XCWD", kNeed, kLoggedIn, false, &S::Cwd},
      {"MKD", kPrefix, "XMKD", kNeed, kLoggedIn, false, &S::Mkd},
      {"RMD", kPrefix, "XRMD", kNeed, kLoggedIn, false, &S::Rmd},
      {"PORT", kPrefix, nullptr, replies::kPortParameters, kLoggedIn, false, &S::Port},
      {"PASV", kLine, nullptr, nullptr, kLoggedIn, false, &S::Pasv},
      {"RNFR", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Rnfr},
      // "RNFR first" comes before the missing argument.
      {"RNTO", kPrefix, nullptr, nullptr, kLoggedIn, false, &S::Rnto},
      {"DELE", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Dele},
      {"SIZE", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Size},
      {"HASH", kWord, nullptr, kNeed, kLoggedIn, false, &S::Hash},
      {"REST", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Rest},
      {"SYST", kLine, nullptr, nullptr, kLoggedIn, false, &S::Syst},
      {"HELP", kPrefix, nullptr, nullptr, kLoggedIn, false, &S::Help},
      {"TYPE", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Type},
      {"STRU", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Stru},
      {"MODE", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Mode},
      {"SITE", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Site},
      {"RETR", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Transfer},
      {"STOR", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Transfer},
      {"APPE", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Transfer},
      {"STOU", kLine, nullptr, nullptr, kLoggedIn, false, &S::Transfer},
      {"LIST", kPrefix, nullptr, nullptr, kLoggedIn, false, &S::Transfer},
      {"NLST", kPrefix, nullptr, nullptr, kLoggedIn, false, &S::Transfer},
      {"FEAT", kLine, nullptr, nullptr, kAlways, false, &S::Feat},
      // Clients may name themselves before they log in.
      {"CLNT", kWord, nullptr, kNeed, kAlways, false, &S::Clnt},
      {"OPTS", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Opts},
      {"EPSV", kPrefix, nullptr, nullptr, kLoggedIn, false, &S::Epsv},
      {"EPRT", kPrefix, nullptr, kNeed, kLoggedIn, false, &S::Eprt},
      {"MLSD", kPrefix, nullptr, nullptr, kLoggedIn, false, &S::Transfer},
      {"MLST", kPrefix, nullptr, nullptr, kLoggedIn, false, &S::Mlst},
  };
  return kRows;
}

std::optional<FoundCommand> FindCommand(std::string_view line, std::uint8_t phase, bool tls_offered) {
  for (const Command& command : CommandTable()) {
    if ((command.phases & phase) == 0 || (command.tls_only && !tls_offered)) continue;
    if (const std::optional<CommandLine> parsed = MatchVerb(line, command.verb, command.match, command.alias))
      return FoundCommand{&command, *parsed};
  }
  return std::nullopt;
}

const char* UnknownCommandReply(std::string_view line) {
  // Known verbs this server does not run, and a second login.
  for (const char* word : {"ACCT", "MD5", "MMD5", "SMNT"})
    if (fileutil::StartsWithNoCase(line, word)) return replies::kNotImplemented;
  if (fileutil::EqualNoCase(line, "REIN")) return replies::kNotImplemented;
  if (fileutil::StartsWithNoCase(line, "USER") || fileutil::StartsWithNoCase(line, "PASS"))
    return replies::kAlreadyLoggedIn;
  return replies::kNotUnderstood;
}

}  // namespace quillon::ftp
