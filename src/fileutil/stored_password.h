// The form a password takes in a stored field (an account's password, the
// remote admin's): the text itself, or a salted one-way hash of it, which
// begins with "$". Both forms live in the same 100 bytes, so the files keep
// their layout whichever form an installation chooses.
//
// Thread-safety: free functions, safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace quillon::fileutil {

// A stored field that is a one-way hash.
inline bool IsPasswordHash(std::string_view field) { return !field.empty() && field[0] == '$'; }

// Fills `field` with the form `password` is stored in: its hash when
// `hash_passwords`, or when it begins with "$" (kept as it is, it would read
// as a hash and never match); the text as it is otherwise, and always when
// empty. False, with `error` filled and `field` unchanged, when it cannot be
// hashed. A hash takes tens of milliseconds.
[[nodiscard]] bool StoredPasswordForm(std::string_view password, bool hash_passwords,
                                      std::string* field, std::string* error);

// True when `typed` is the password `field` stands for: through the hash
// when the field is one, the same text otherwise. Compared in constant time.
bool StoredPasswordMatches(std::string_view typed, std::string_view field);

}  // namespace quillon::fileutil
