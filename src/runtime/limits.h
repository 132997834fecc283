// The program's fixed limits in one place: field capacities, line and chunk
// sizes, and time-outs. Classes name them under their own names where that
// reads better (FtpSession::kLineBuffer), but the values live here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/fs.h"

namespace quillon::limits {

// Paths. An FTP path, and the disk path it maps to, holds what the system
// takes: 4095 bytes (the capacity counts the NUL), names of up to 255 bytes.
// Longer paths and names are refused, never cut.
inline constexpr std::size_t kPathCapacity = platform::kMaxPathBytes;
inline constexpr std::size_t kMaxNameLength = platform::kMaxNameBytes;
// A disk folder stored in a record or the settings (an account's root and
// start folders, the remote-admin folder): 260 characters and the NUL, the
// width of the field in the binary stores.
inline constexpr std::size_t kStoredPathCapacity = 261;
// The longest path an HTTP request, an uploaded file name or the folder
// browser's start takes.
inline constexpr std::size_t kRequestPath = 260;

// Lines and chunks.
inline constexpr std::size_t kControlLineBuffer = 2048;      // an FTP command line and its NUL
inline constexpr std::size_t kReceiveChunk = 2048;           // read from a control socket at once
inline constexpr std::size_t kMaxUnterminatedLine = 64 * 1024;  // then the peer counts as gone
inline constexpr std::uint32_t kMeteredChunk = 2048;         // per step while credits or limits meter
inline constexpr std::uint32_t kFreeChunk = 64 * 1024;       // per step otherwise
inline constexpr std::uint32_t kTlsChunk = 256 * 1024;       // per step otherwise, encrypted here
inline constexpr std::uint32_t kDirectStep = 4 * 1024 * 1024;  // most bytes a zero-copy download step offers
inline constexpr std::size_t kHashStep = 1024 * 1024;       // a HASH reads and digests per step
inline constexpr std::size_t kSpoolBatch = 64 * 1024;        // form bodies reach their file in these

// Time-outs and pauses (milliseconds).
inline constexpr std::uint32_t kSendFinalLimitMs = 10'000;   // closing replies to a peer that does not read
inline constexpr std::uint32_t kRequestTimeLimitMs = 30'000;  // one remote-admin request, headers and body
inline constexpr std::uint32_t kTlsHandshakeLimitMs = 10'000;  // an FTP TLS handshake
// A remote-admin connection sends the first byte of its request, and ends
// its TLS handshake, this soon after it is accepted (a browser sends at
// once; a silent peer must not hold an admin slot for long).
inline constexpr std::uint32_t kRequestFirstByteLimitMs = 5000;
inline constexpr std::uint32_t kAdminTlsHandshakeLimitMs = 5000;
inline constexpr std::uint32_t kIdleActivityMs = 30'000;      // a quiet session shows "Idle"
inline constexpr std::uint32_t kMaxWaitMs = 5000;             // longest wait before a session looks again
inline constexpr std::uint32_t kBadLoginPauseMs = 3000;       // a failed PASS waits this long
inline constexpr std::uint32_t kAdminLoginPauseMs = 5000;     // a wrong admin password waits this long
inline constexpr int kPassiveTries = 60;                      // one-second waits for a passive client

}  // namespace quillon::limits
