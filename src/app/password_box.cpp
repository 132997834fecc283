#include "app/password_box.h"

#include "fileutil/stored_password.h"

namespace quillon::app {

std::string PasswordShown(std::string_view field) {
  return std::string(fileutil::IsPasswordHash(field) ? std::string_view(kHashedPasswordShown) : field);
}

std::string PasswordFromBox(std::string_view box, std::string_view field) {
  return std::string(fileutil::IsPasswordHash(field) && box == kHashedPasswordShown ? field : box);
}

}  // namespace quillon::app
