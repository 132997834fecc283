// Every fixed reply and log text of the FTP engine, as clients and
// administrators see them.
#pragma once

#include "runtime/proxy_header.h"

namespace quillon::ftp::replies {

// Connection and login.
inline constexpr const char* kRefused = "421 %s.";
inline constexpr const char* kGreeting = "220 %s";
inline constexpr const char* kClosing = "421 Control connection time-out or forced closure.";
inline constexpr const char* kGoodbye = "221 Thanks for visiting.";
inline constexpr const char* kSendPass = "331 Please send PASS now.";
inline constexpr const char* kUserFirst = "530 Please send the USER command first.";
inline constexpr const char* kBadLogin = "530 %s. Restart from USER.";
inline constexpr const char* kRestartFromUser = "530 Bad command, please restart from USER.";
inline constexpr const char* kWelcome = "230-Welcome '%s'.";
inline constexpr const char* kPassiveShareUsed = "425 Too many passive ports open from your address.";
inline constexpr const char* kTooManyFromAddress = "421 Too many connections from your address.";
inline constexpr const char* kNoLongerAllowed = "421 Your session is no longer allowed access.";
inline constexpr const char* kKicked = "421 %s";
inline constexpr const char* kNoReason = "No reason given.";

// Commands.
inline constexpr const char* kBadCommand = "550 Bad command.";
inline constexpr const char* kNoTransfer = "225 No transfer in progress.";
inline constexpr const char* kTransferOk = "211 The transfer is operating correctly.";
inline constexpr const char* kInTransfer = "550 Cannot process command in transfer mode.";
inline constexpr const char* kNoop = "200 NOOP command received.";
inline constexpr const char* kAllo = "202 ALLO command not required and ignored.";
inline constexpr const char* kPwd = "257 \"%s\" is current directory.";
inline constexpr const char* kNeedParameter = "501 a parameter is required.";
inline constexpr const char* kNoDirectory = "550 Directory does not exist.";
inline constexpr const char* kCwd = "250 '%s' is current directory.";
inline constexpr const char* kFailed = "550 %s.";
inline constexpr const char* kCreated = "257 '%s' directory created.";
inline constexpr const char* kDeleteRoot = "550 Cannot delete root directory.";
inline constexpr const char* kRemoved = "250 '%s' directory deleted.";
inline constexpr const char* kRenameRoot = "550 Cannot rename root directory.";
inline constexpr const char* kSendRnto = "350 Now send the RNTO command.";
inline constexpr const char* kRnfrFirst = "503 Please send the RNFR command first.";
inline constexpr const char* kRenamed = "250 Renaming was successful.";
inline constexpr const char* kDeleted = "250 File deleted.";
inline constexpr const char* kSize = "213 %llu";
inline constexpr const char* kNotAccepted = "501 Parameter not accepted.";
inline constexpr const char* kRest = "350 REST command successful.";
inline constexpr const char* kSyst = "215 UNIX Type: L8";
inline constexpr const char* kTypeAscii = "200 Type set to 'A' (ASCII).";
inline constexpr const char* kTypeImage = "200 Type set to 'I' (IMAGE).";
inline constexpr const char* kNotImplementedParameter =
    "504 Command not implemented for that parameter.";
inline constexpr const char* kStru = "200 Structure 'F' Accepted.";
inline constexpr const char* kMode = "200 Mode 'S' Accepted.";
inline constexpr const char* kPasswordChanged = "200 Password changed successfully.";
inline constexpr const char* kSiteFailed = "501 %s.";
inline constexpr const char* kMdtm = "213 %s";
inline constexpr const char* kMdtmSet = "213 ModifyTime=%s; %s";
inline constexpr const char* kMdtmNoFile = "550 File does not exist.";
inline constexpr const char* kMdtmSetFailed = "550 %s";
// MFMT: the stamp and the path as the client wrote them.
inline constexpr const char* kMfmtSet = "213 Modify=%s; %s";
inline constexpr const char* kMfmtSyntax = "501 Expected a time (YYYYMMDDHHMMSS) and a path.";
// HASH: the algorithm, the bytes covered, the digest and the path as the
// client wrote it; OPTS HASH names the algorithm in use.
inline constexpr const char* kHash = "213 %s 0-%llu %s %s";
inline constexpr const char* kHashChoice = "200 %s";
inline constexpr const char* kHashUnknown = "501 Unknown algorithm, current selection not changed";
inline constexpr const char* kReasonDigestFailed = "The digest could not be computed";
inline constexpr const char* kClientNoted = "200 Noted.";
inline constexpr const char* kNotImplemented = "502 Command not implemented.";
inline constexpr const char* kAlreadyLoggedIn = "530 You are already logged in.";
inline constexpr const char* kNotUnderstood = "500 Command not understood.";

// Data connections.
inline constexpr const char* kUsePortOrPasv = "503 Please use PORT or PASV first.";
inline constexpr const char* kPortParameters = "501 6 parameters are required.";
inline constexpr const char* kPortRange = "501 Incorrect parameters (each must be 0-255).";
inline constexpr const char* kSiteToSite = "500 Site to site transfers are disabled.";
inline constexpr const char* kPortOk = "200 PORT command successful.";
inline constexpr const char* kPasvFailed = "550 Internal error, listening port failed to open.";
inline constexpr const char* kPasv = "227 Entering Passive Mode (%s,%i,%i)";
// Extended and modern commands.
inline constexpr const char* kEpsv = "229 Entering Extended Passive Mode (|||%i|)";
inline constexpr const char* kEpsvAll = "200 EPSV ALL command successful.";
inline constexpr const char* kEpsvAllInForce = "503 Only EPSV may set up data connections after EPSV ALL.";
inline constexpr const char* kNetworkProtocol = "522 Network protocol not supported, use (1)";
inline constexpr const char* kNetworkProtocolIpv6 = "522 Network protocol not supported, use (2)";
// PASV and PORT carry IPv4 addresses only.
inline constexpr const char* kPasvOnIpv6 = "522 Use EPSV on an IPv6 connection.";
inline constexpr const char* kPortOnIpv6 = "522 Use EPRT on an IPv6 connection.";
inline constexpr const char* kEprtOk = "200 EPRT command successful.";
inline constexpr const char* kEprtSyntax = "501 EPRT parameters are not valid.";
// The HASH line lists the algorithms, "*" after the one in use.
inline constexpr const char* kFeatHash = " HASH %s";
inline constexpr const char* kFeatLines[] = {
    "211-Features:", " EPRT", " EPSV", kFeatHash, " MDTM", " MFMT",
    " MLST type*;size*;modify*;perm*;unique*;", " REST STREAM", " SIZE", " UTF8", "211 End"};
// TLS (offered only while it is on).
inline constexpr const char* kFeatTlsLines[] = {" AUTH TLS", " PBSZ", " PROT"};
inline constexpr const char* kAuthProceed = "234 Proceed with TLS negotiation.";
inline constexpr const char* kAuthMechanism = "504 AUTH TLS and AUTH SSL are the mechanisms offered.";
inline constexpr const char* kAuthAgain = "503 TLS is already in use on this connection.";
inline constexpr const char* kTlsRequired = "530 This server requires TLS: send AUTH TLS before USER.";
inline constexpr const char* kTlsFirst = "503 Use AUTH TLS first.";
inline constexpr const char* kPbszOk = "200 PBSZ=0";
inline constexpr const char* kProtPrivate = "200 Protection level set to Private.";
inline constexpr const char* kProtClear = "200 Protection level set to Clear.";
inline constexpr const char* kProtClearRefused = "534 Data connections must be protected here: use PROT P.";
inline constexpr const char* kProtUnsupported = "536 Only PROT P and PROT C are supported.";
inline constexpr const char* kCccRefused = "534 The control connection stays protected.";
inline constexpr const char* kDataMustBeProtected = "521 Data connections must be protected: use PROT P.";
inline constexpr const char* kDataTlsFailed = "425 TLS negotiation on the data connection failed.";
inline constexpr const char* kDataNotResumed =
    "522 The data connection must resume the TLS session of the control connection.";
inline constexpr const char* kUtf8On = "200 UTF8 set to on";
inline constexpr const char* kUtf8Off = "200 UTF8 set to off";
inline constexpr const char* kMlstOpts = "200 MLST OPTS %s";
inline constexpr const char* kOptsUnknown = "501 Option not understood.";
inline constexpr const char* kMlstFirst = "250-Listing %s";
inline constexpr const char* kMlstEnd = "250 End";

inline constexpr const char* kDataFailed = "425 Data connection failed.";
inline constexpr const char* kDataSiteToSite =
    "425 Data connection failed, site to site transfers are disabled.";
inline constexpr const char* kDataOpened = "150 Data connetion established, beginning transfer.";
inline constexpr const char* kDataOpenedUnique = "150 Data connetion established: %s";
inline constexpr const char* kNoUniqueName = "550 Unable to generate unique file name.";
inline constexpr const char* kTransferComplete = "226 Transfer complete.";
inline constexpr const char* kTransferAborted = "426 Transfer successfully aborted.";
inline constexpr const char* kTransferLost = "426 Transfer incomplete, data connection was lost.";
inline constexpr const char* kTransferFailed = "451 %s.";
inline constexpr const char* kTransferStopped = "451 %s";

// Help.
inline constexpr const char* kHelpLines[] = {
    "214-Supported commands are:",
    "214-USER PASS HELP PORT PASV PWD  CWD  CDUP",
    "214-RETR STOR APPE STOU LIST NLST ALLO REST",
    "214-MKD  RMD  DELE RNFR RNTO ABOR NOOP SIZE",
    "214-XMKD XRMD XCWD XCUP XPWD STAT SYST QUIT",
    "214-TYPE STRU MODE MDTM SITE",
    "214-SITE commands available are:-",
    "214-SITE CPWD (newpassword)",
};
inline constexpr const char* kHelpLast = "214 %s";

// Log lines.
inline constexpr const char* kLogAccepted = "Connection Accepted.";
inline constexpr const char* kLogEnded = "Connection Ended.";
inline constexpr const char* kLogBadLogin = "Bad Login: User=[%s], Password=[%i characters]";
inline constexpr const char* kLogLoggedIn = "Logged In: Password=[%i characters]";
inline constexpr const char* kLogCreatedFolder = "Created Folder: Folder=[%s]";
inline constexpr const char* kLogDeletedFolder = "Deleted Folder: Folder=[%s]";
inline constexpr const char* kLogRenamedFile = "Renamed File: Old=[%s], New=[%s]";
inline constexpr const char* kLogRenamedFolder = "Renamed Directory: Old=[%s], New=[%s]";
inline constexpr const char* kLogDeletedFile = "Deleted File: File=[%s]";
// CLNT: the client's text as it sent it.
inline constexpr const char* kLogClient = "Client Identified: Client=[%s]";
// Transfers: the file, then what moved (bytes, seconds, KB per second).
inline constexpr const char* kLogDownloaded =
    "File Downloaded: File=[%s], Size=[%llu bytes], Time=[%.2f s], Rate=[%.1f KB/s]";
inline constexpr const char* kLogDownloadFailed =
    "Download Failed: File=[%s], Reason=[%s], Size=[%llu bytes], Time=[%.2f s]";
inline constexpr const char* kLogUploaded =
    "File Uploaded: File=[%s], Size=[%llu bytes], Time=[%.2f s], Rate=[%.1f KB/s]";
inline constexpr const char* kLogUploadFailed =
    "Upload Failed: File=[%s], Reason=[%s], Size=[%llu bytes], Time=[%.2f s]";
// An upload the account's allocation or credits did not allow (at its start
// or part way), and a session ended by the server, with the client's text.
inline constexpr const char* kLogUploadRefused = "Upload Refused: File=[%s], Reason=[%s]";
inline constexpr const char* kLogKicked = "Session Kicked: Reason=[%s]";
// The text of a "421 ..." reply without its code, as a log line's reason.
constexpr const char* WithoutCode(const char* reply) { return reply + 4; }
inline constexpr const char* kLogConnectionRefused = "Connection Refused: Reason=[%s]";
inline constexpr const char* kLogOldLogsRemoved = "Old Logs Removed: Count=[%u]";
inline constexpr const char* kLogViewed = "Directory Viewed: Directory=[%s]";
inline constexpr const char* kLogViewFailed = "Directory View Failed: File=[%s], Reason=[%s]";
inline constexpr const char* kLogTlsStarted = "TLS Started: Version=[%s]";
inline constexpr const char* kLogTlsFailed = "TLS Failed: Reason=[%s]";
inline constexpr const char* kLogDataTlsFailed = "Data Connection TLS Failed: Reason=[%s]";
inline constexpr const char* kLogProxyRefused = runtime::ProxyHeader::kLogRefused;
inline constexpr const char* kLogTooManyFromAddress =
    "Connection Refused: Reason=[too many connections from this address before login]";
inline constexpr const char* kLogUnusedPassiveClosed = "Passive Port Closed: Reason=[unused for 60 seconds]";
inline constexpr const char* kLogLoginTimedOut = "Login Timed Out.";
inline constexpr const char* kLogDataPeerRefused =
    "Data Connection Refused: Address=[%s], Reason=[not the client's address]";
inline constexpr const char* kReasonNoData = "Data Connection Failed";
inline constexpr const char* kReasonStopped = "Aborted / Stopped";
inline constexpr const char* kReasonStoppedOrLost = "Aborted / Stopped / Data Connection Failure";
inline constexpr const char* kReasonWriteFailed = "File Write Failed";
// An upload still running when its session ends (the control connection
// closed, a kick, an idle time-out, the server stopping).
inline constexpr const char* kReasonSessionEnded = "Session Ended / Connection Closed";

// Activity texts.
inline constexpr const char* kActLoggingIn = "Logging In...";
inline constexpr const char* kActLoggedIn = "Logged In";
inline constexpr const char* kActIdle = "Idle";
inline constexpr const char* kActInDirectory = "In Directory";
inline constexpr const char* kActCreatedDirectory = "Created Directory";
inline constexpr const char* kActDeletedDirectory = "Deleted Directory";
inline constexpr const char* kActRenamedFile = "Renamed File";
inline constexpr const char* kActDeletedFile = "Deleted File";
inline constexpr const char* kActChangedPassword = "Changed Password";
inline constexpr const char* kActDownloading = "Downloading...";
inline constexpr const char* kActUploading = "Uploading...";
inline constexpr const char* kActViewing = "Viewing Directory...";
inline constexpr const char* kActDownloaded = "Downloaded";
inline constexpr const char* kActUploaded = "Uploaded";
inline constexpr const char* kActViewed = "Viewed Directory";
// A transfer the administrator or the client (ABOR) stopped, and one whose
// data connection broke or whose file could not be read or written.
inline constexpr const char* kActDownloadStopped = "Download Stopped";
inline constexpr const char* kActUploadStopped = "Upload Stopped";
inline constexpr const char* kActDownloadFailed = "Download Failed";
inline constexpr const char* kActUploadFailed = "Upload Failed";

}  // namespace quillon::ftp::replies
