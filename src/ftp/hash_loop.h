// The digest a HASH command computes over one file, one step per pass of the
// session's command loop, so that ABOR, STAT, session actions, a stop and
// the admission checks are seen between steps, as during a transfer. The
// file opens through the account as a download does (same mapping, same
// rights), but no byte goes to the client: the digest books no credits and
// counts in no transfer statistics, activity or transfer log.
//
// Thread-safety: belongs to its session's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access/active_account.h"
#include "accountfs/file_transfer.h"
#include "platform/digest.h"
#include "runtime/limits.h"

namespace quillon::ftp {

// An algorithm HASH offers, by the name clients use.
struct HashAlgorithm {
  const char* name;
  platform::DigestAlgorithm algorithm;
};
// Every algorithm offered, in the order FEAT lists them; the first is the
// one a session starts with.
inline constexpr HashAlgorithm kHashAlgorithms[] = {
    {"SHA-256", platform::DigestAlgorithm::kSha256},
    {"SHA-1", platform::DigestAlgorithm::kSha1},
    {"MD5", platform::DigestAlgorithm::kMd5},
};
// The index in kHashAlgorithms of the algorithm `name` (any case) names, or none.
std::optional<std::size_t> FindHashAlgorithm(std::string_view name);
// The algorithms as FEAT lists them, "*" after the one at `chosen`:
// "SHA-256*;SHA-1;MD5".
std::string HashAlgorithmList(std::size_t chosen);

class HashLoop {
 public:
  // Bytes read and digested per step.
  static constexpr std::size_t kStepBytes = limits::kHashStep;

  struct Step {
    bool progressed = false;  // bytes were digested: the session counts as active
    bool ended = false;
    std::vector<std::string> replies;  // when ended
  };

  bool IsRunning() const { return source_ != nullptr; }

  // Opens the file at FTP path `path` through `account` for a digest with
  // `algorithm`; `named` is the path as the client wrote it, for the reply.
  // False with the account's message (no such file, a folder, no read
  // right, cannot open). REQUIRES: !IsRunning().
  [[nodiscard]] bool Open(access::ActiveAccount& account, const std::string& path, std::string_view named,
                          const HashAlgorithm& algorithm, std::string* message);
  // Reads and digests up to kStepBytes. At the end of the file the step
  // ends the digest with its "213" reply; a failed read ends it with a
  // "451" reply; after Stop it ends with the replies of a stopped transfer.
  Step Next();
  // ABOR (no reason) or an administrator's stop (with the reason): the next
  // step ends the digest.
  void Stop(std::string reason);
  // Hands the file back without a reply (the session is ending).
  void Abort();

 private:
  Step End(std::vector<std::string> replies);

  access::ActiveAccount* account_ = nullptr;
  accountfs::FileTransfer* source_ = nullptr;
  const HashAlgorithm* algorithm_ = nullptr;
  std::unique_ptr<platform::Digest> digest_;
  std::unique_ptr<char[]> buffer_;  // kStepBytes while a digest runs
  std::string named_;
  std::uint64_t digested_ = 0;
  bool stop_ = false;
  std::string stop_reason_;
};

}  // namespace quillon::ftp
