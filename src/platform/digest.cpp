#include "platform/digest.h"

#include <openssl/evp.h>

namespace quillon::platform {

struct Digest::State {
  EVP_MD_CTX* context = nullptr;
  bool usable = false;
  ~State() { EVP_MD_CTX_free(context); }
};

namespace {

const EVP_MD* MethodOf(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kSha256: return EVP_sha256();
    case DigestAlgorithm::kSha1: return EVP_sha1();
    case DigestAlgorithm::kMd5: return EVP_md5();
  }
  return nullptr;
}

}  // namespace

Digest::Digest(DigestAlgorithm algorithm) : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  const EVP_MD* method = MethodOf(algorithm);
  state_->usable = state_->context != nullptr && method != nullptr &&
                   EVP_DigestInit_ex(state_->context, method, nullptr) == 1;
}

Digest::~Digest() = default;

bool Digest::Update(std::string_view bytes) {
  if (!state_->usable) return false;
  if (EVP_DigestUpdate(state_->context, bytes.data(), bytes.size()) != 1) state_->usable = false;
  return state_->usable;
}

bool Digest::Finish(std::string* digest) {
  if (!state_->usable) return false;
  state_->usable = false;  // a context that has finished takes no more bytes
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->context, bytes, &length) != 1) return false;
  digest->assign(reinterpret_cast<const char*>(bytes), length);
  return true;
}

}  // namespace quillon::platform
