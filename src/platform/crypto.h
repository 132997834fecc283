// Public-key signatures, checked with the system's libcrypto: the one place
// outside TLS that reaches OpenSSL.
//
// Thread-safety: free functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillon::platform {

inline constexpr std::size_t kEd25519PublicKeyBytes = 32;
inline constexpr std::size_t kEd25519SignatureBytes = 64;

// True when `signature` (64 bytes) is an Ed25519 signature of `message`
// under `public_key` (32 raw bytes). False when it is not, when the key or
// the signature has the wrong size, or when the library cannot check it.
[[nodiscard]] bool VerifyEd25519(std::string_view public_key, std::string_view message,
                                 std::string_view signature);

}  // namespace quillon::platform
