#include "platform/password_hash.h"

#include <crypt.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <memory>
#include <semaphore>
#include <thread>

#include "platform/crypto.h"
#include "platform/fs.h"

namespace quillon::platform {

namespace {

// Strongest first; the first one the library can make a setting for is used.
// 16 salt bytes suit all but SHA-512, whose 86-character digest leaves room
// for an 8-character salt (6 bytes) within the stored field.
struct Method {
  const char* prefix;
  std::size_t salt_bytes;
};
constexpr std::array<Method, 5> kMethods = {
    {{"$y$", 16}, {"$gy$", 16}, {"$7$", 16}, {"$2b$", 16}, {"$6$", 6}}};
constexpr std::size_t kSaltBytes = 16;

// The library's work area (about 32 KiB): on the heap, as session threads
// run on small stacks, and wiped afterwards, as it held the password.
struct CryptArea {
  CryptArea() : data(std::make_unique<crypt_data>()) {}
  ~CryptArea() { explicit_bzero(data.get(), sizeof(crypt_data)); }
  CryptArea(const CryptArea&) = delete;
  CryptArea& operator=(const CryptArea&) = delete;
  std::unique_ptr<crypt_data> data;
};

// A hash costs tens of milliseconds of one core and, for yescrypt, 16 MiB:
// at most this many run at once, whoever asks (logins, the remote admin,
// password changes), so a burst of guesses cannot take every core or the
// memory. Others wait their turn.
std::counting_semaphore<>& HashTurns() {
  static std::counting_semaphore<> turns(
      std::clamp<std::ptrdiff_t>(std::thread::hardware_concurrency(), 2, kMaxHashesAtOnce));
  return turns;
}

class HashTurn {
 public:
  HashTurn() { HashTurns().acquire(); }
  ~HashTurn() { HashTurns().release(); }
  HashTurn(const HashTurn&) = delete;
  HashTurn& operator=(const HashTurn&) = delete;
};

// The hash of `password` under `setting`, or "" when the library refuses.
// REQUIRES: both hold no NUL byte.
std::string Crypt(const std::string& password, const std::string& setting) {
  HashTurn turn;
  CryptArea area;
  const char* out = crypt_rn(password.c_str(), setting.c_str(), area.data.get(),
                             static_cast<int>(sizeof(crypt_data)));
  // A failed call returns null or, in some builds, a string starting "*".
  if (out == nullptr || out[0] != '$') return {};
  return out;
}

bool HasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

}  // namespace

bool HashPassword(std::string_view password, std::string* hash, std::string* error) {
  if (HasNul(password)) {
    *error = "The password holds a NUL byte.";
    return false;
  }
  std::array<char, kSaltBytes> salt{};
  if (!RandomBytes(salt.data(), salt.size())) {
    *error = "No random bytes for the password's salt.";
    return false;
  }
  std::array<char, CRYPT_GENSALT_OUTPUT_SIZE> setting{};
  for (const Method& method : kMethods) {
    // Cost 0: the method's default.
    if (crypt_gensalt_rn(method.prefix, 0, salt.data(), static_cast<int>(method.salt_bytes),
                         setting.data(), static_cast<int>(setting.size())) == nullptr)
      continue;
    std::string result = Crypt(std::string(password), setting.data());
    if (result.empty() || result.size() > kMaxPasswordHashBytes) continue;
    *hash = std::move(result);
    return true;
  }
  *error = "The system's crypt library offers no password hash method that fits.";
  return false;
}

bool VerifyPassword(std::string_view password, std::string_view hash) {
  if (hash.empty() || hash[0] != '$' || hash.size() > kMaxPasswordHashBytes || HasNul(hash) ||
      HasNul(password))
    return false;
  const std::string computed = Crypt(std::string(password), std::string(hash));
  return !computed.empty() && EqualInConstantTime(computed, hash);
}

void VerifyAgainstNoHash(std::string_view password) {
  // Made once, of random bytes no one knows, with the method new hashes use.
  static const std::string unmatchable = [] {
    std::array<char, kSaltBytes> secret{};
    std::string hash, error;
    if (!RandomBytes(secret.data(), secret.size())) return std::string();
    std::string text;
    for (const char byte : secret) text += static_cast<char>('a' + (static_cast<unsigned char>(byte) % 26));
    if (!HashPassword(text, &hash, &error)) return std::string();
    return hash;
  }();
  [[maybe_unused]] const bool matched = VerifyPassword(password, unmatchable);
}

}  // namespace quillon::platform
