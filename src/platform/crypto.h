// Public-key signatures and digests, through the system's libcrypto: the one
// place outside TLS that reaches OpenSSL.
//
// Thread-safety: free functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::platform {

inline constexpr std::size_t kEd25519PublicKeyBytes = 32;
inline constexpr std::size_t kEd25519SignatureBytes = 64;

// True when `signature` (64 bytes) is an Ed25519 signature of `message`
// under `public_key` (32 raw bytes). False when it is not, when the key or
// the signature has the wrong size, or when the library cannot check it.
[[nodiscard]] bool VerifyEd25519(std::string_view public_key, std::string_view message,
                                 std::string_view signature);

inline constexpr std::size_t kSha256Bytes = 32;

// The SHA-256 digest of `bytes` (32 raw bytes); "" when the library cannot
// compute it.
std::string Sha256(std::string_view bytes);

// True when `a` and `b` hold the same bytes. Strings of the same length are
// compared in a time that does not depend on where they differ; the lengths
// themselves are not secret.
bool EqualInConstantTime(std::string_view a, std::string_view b);

}  // namespace quillon::platform
