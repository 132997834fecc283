#include "update/signature.h"

#include "platform/crypto.h"

namespace quillon::update {

namespace {

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

}  // namespace

bool VerifySignature(std::string_view public_key, std::string_view message,
                     std::string_view signature) {
  return platform::VerifyEd25519(public_key, message, signature);
}

std::string KeyFromHex(std::string_view hex) {
  if (hex.size() != 2 * kPublicKeyBytes) return {};
  std::string key;
  for (std::size_t at = 0; at < hex.size(); at += 2) {
    const int high = HexDigit(hex[at]);
    const int low = HexDigit(hex[at + 1]);
    if (high < 0 || low < 0) return {};
    key.push_back(static_cast<char>(high * 16 + low));
  }
  return key;
}

std::string ReleasePublicKey() { return KeyFromHex(QUILLON_RELEASE_PUBLIC_KEY); }

}  // namespace quillon::update
