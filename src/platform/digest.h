// A message digest (SHA-256, SHA-1 or MD5) computed over bytes given in
// pieces, through the system's libcrypto; the header keeps the library's
// types out of its users.
//
// Thread-safety: one object belongs to one thread; separate objects are
// independent.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace quillon::platform {

enum class DigestAlgorithm { kSha256, kSha1, kMd5 };

class Digest {
 public:
  // A digest of no bytes yet. When the library cannot compute this
  // algorithm, Update and Finish fail.
  explicit Digest(DigestAlgorithm algorithm);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  // Adds `bytes` to what the digest covers. False when the library failed
  // (the digest is then unusable).
  [[nodiscard]] bool Update(std::string_view bytes);
  // The digest of every byte given so far, as raw bytes (32 for SHA-256,
  // 20 for SHA-1, 16 for MD5). False when the library failed or the digest
  // was already finished. REQUIRES: called once.
  [[nodiscard]] bool Finish(std::string* digest);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quillon::platform
