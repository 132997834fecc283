// The texts that record a file transfer: the line of the FTP log and the
// account log (what moved, how long it took, how fast), and the line of the
// transfer log in the classic xferlog layout that log analysers read.
//
// Figures: KB are 1024 bytes; the time runs from the data connection's
// opening to the transfer's end; a transfer that took no measurable time
// counts as 1 ms for its rate, so a rate is always finite.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "accountfs/file_transfer.h"

namespace quillon::ftp {

// What a transfer moved, and in how long.
struct TransferFigures {
  std::uint64_t bytes = 0;
  std::uint32_t duration_ms = 0;
};

// The FTP and account log line of a file transfer of `kind` on `item` (its
// FTP path): done (`reason` null) with size, time and rate, or failed for
// `reason` with size and time. Listings give the listing lines, without
// figures.
std::string TransferLogText(accountfs::FileTransfer::Kind kind, std::string_view item,
                            const char* reason, const TransferFigures& figures);

// True when `reason` is the account's refusal of an upload for its space
// allocation or its transfer credits (the texts of accountfs::messages).
bool IsAllowanceRefusal(std::string_view reason);

// One line of the transfer log.
struct XferRecord {
  std::int64_t end_seconds = 0;  // wall time of the end, seconds since 1970 (UTC)
  std::uint32_t duration_ms = 0;
  std::string remote_host;
  std::uint64_t bytes = 0;
  std::string ftp_path;
  bool binary = true;     // TYPE I (else TYPE A)
  bool incoming = false;  // an upload
  bool anonymous = false;
  std::string user;
  bool completed = true;
};

// The line without its line end: "Tue Dec  8 23:16:10 2026 3 127.0.0.1 1048576
// /a_b.txt b _ i r alice ftp 0 * c" (the date in local time). The seconds are
// the duration rounded to the nearest second, at least 1 (analysers divide
// by it). Blanks in the path and user name become "_", control bytes and
// backslashes "\xHH" escapes, so the line keeps its 18 blank-separated
// fields whatever the names hold.
std::string XferLogLine(const XferRecord& record);

// `text` with blanks made "_" and control bytes (below 0x20, 0x7F) and
// backslashes written "\xHH", so it is one field of a blank-separated line
// ("_" for an empty text). Other bytes (UTF-8 names) stay as they are.
std::string XferField(std::string_view text);

}  // namespace quillon::ftp
