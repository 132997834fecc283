#include "update/signature.h"

#include <openssl/evp.h>

#include <memory>

namespace quillon::update {

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

}  // namespace

bool VerifySignature(std::string_view public_key, std::string_view message,
                     std::string_view signature) {
  if (public_key.size() != kPublicKeyBytes || signature.size() != kSignatureBytes) return false;
  std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_PKEY_new_raw_public_key(
      EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(public_key.data()),
      public_key.size()));
  std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  if (key == nullptr || context == nullptr) return false;
  // Ed25519 signs the message itself, in one piece, with no separate digest.
  if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
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
