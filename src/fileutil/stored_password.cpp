#include "fileutil/stored_password.h"

#include "platform/crypto.h"
#include "platform/password_hash.h"

namespace quillon::fileutil {

bool StoredPasswordForm(std::string_view password, bool hash_passwords, std::string* field,
                        std::string* error) {
  if (password.empty() || (!hash_passwords && !IsPasswordHash(password))) {
    *field = password;
    return true;
  }
  return platform::HashPassword(password, field, error);
}

bool StoredPasswordMatches(std::string_view typed, std::string_view field) {
  if (IsPasswordHash(field)) return platform::VerifyPassword(typed, field);
  return platform::EqualInConstantTime(typed, field);
}

}  // namespace quillon::fileutil
