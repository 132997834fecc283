// One-way password hashes in the modular-crypt form ("$id$...") through the
// system's crypt library: yescrypt with its default cost where the library
// offers it, otherwise the strongest method it does offer.
//
// Thread-safety: free functions, safe from any thread; each call works in a
// buffer of its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::platform {

// At most this many hashes are computed at once (fewer on a machine with
// fewer cores, never fewer than 2); further calls wait their turn.
inline constexpr std::ptrdiff_t kMaxHashesAtOnce = 8;

// A hash longer than this does not fit a 100-byte stored field with its NUL.
inline constexpr std::size_t kMaxPasswordHashBytes = 99;

// Fills `hash` with a salted hash of `password` (salt from the system's
// random source); the hash begins with "$" and is at most
// kMaxPasswordHashBytes long. False, with `error` filled and `hash` left
// as it was, when no method is available, no random bytes can be read, the
// password holds a NUL byte, or the result would not fit.
[[nodiscard]] bool HashPassword(std::string_view password, std::string* hash,
                                std::string* error);

// True when `hash` (as HashPassword makes it) is a hash of `password`. False
// for any other password and for a hash that is empty, too long, damaged or
// of a method the library does not know. The result is compared in
// constant time.
bool VerifyPassword(std::string_view password, std::string_view hash);

// Spends the time of a VerifyPassword that fails, for a login whose name has
// no hash to check: a wrong name then answers as late as a wrong password,
// so timing tells no one which names exist.
void VerifyAgainstNoHash(std::string_view password);

}  // namespace quillon::platform
