// Ed25519 signatures of release files, checked by platform/crypto.h.
// A release is signed with the project's private key (scripts/sign-release.sh);
// the program holds only the public key, compiled in.
//
// Thread-safety: free functions, safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/crypto.h"

namespace quillon::update {

inline constexpr std::size_t kPublicKeyBytes = platform::kEd25519PublicKeyBytes;
inline constexpr std::size_t kSignatureBytes = platform::kEd25519SignatureBytes;

// True when `signature` (64 bytes) signs `message` under `public_key` (32
// raw bytes). False for keys or signatures of the wrong size.
bool VerifySignature(std::string_view public_key, std::string_view message,
                     std::string_view signature);

// The release key this build trusts (32 raw bytes; empty when the build
// was configured without one).
std::string ReleasePublicKey();

// 64 hexadecimal digits as 32 bytes; empty when `hex` is not exactly that.
std::string KeyFromHex(std::string_view hex);

}  // namespace quillon::update
