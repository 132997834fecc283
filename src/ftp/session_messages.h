// The session message block: the multi-line status that ends the 230 reply
// after login and answers STAT outside a transfer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::ftp {

struct SessionStatus {
  std::uint32_t server_users = 0;    // logged in on the whole server
  std::uint32_t account_sessions = 0;
  bool use_max_size = false;
  std::uint64_t free_bytes = 0;
  bool use_credits = false;
  std::uint32_t credits = 0;
  std::int32_t download_ratio = 0;  // credits per KB
  std::int32_t upload_ratio = 0;
  std::string directory;
};

// The block's reply lines for `code` (230 or 211); all but the last are
// continuation lines ("230-...").
std::vector<std::string> SessionMessageBlock(int code, const SessionStatus& status);

}  // namespace quillon::ftp
