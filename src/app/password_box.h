// What a desktop password box shows for a stored password field, and the
// field the box stands for once the window is closed. A hash is never shown:
// the box shows eight characters no password may hold ("<" is refused in
// passwords), and a box still holding them keeps the hash as it was.
//
// Thread-safety: free functions, safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace quillon::app {

inline constexpr const char* kHashedPasswordShown = "<<<<<<<<";

// The box's text for `field`: the placeholder for a hash, the field otherwise.
std::string PasswordShown(std::string_view field);
// The password the box gives: `field` itself when the box still shows the
// placeholder of a hash, the box's text otherwise.
std::string PasswordFromBox(std::string_view box, std::string_view field);

}  // namespace quillon::app
