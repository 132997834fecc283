// Little-endian fields of the stored file formats: a writer that appends to
// a byte string and a reader that never reads past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quillon::fileutil {

class ByteWriter {
 public:
  explicit ByteWriter(std::string* out) : out_(out) {}

  void U8(std::uint8_t value) { out_->push_back(static_cast<char>(value)); }
  void U32(std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out_->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
  void Bytes(std::string_view bytes) { out_->append(bytes); }
  void Zeros(std::size_t count) { out_->append(count, '\0'); }
  // `text` cut to width - 1 bytes, then zeros to fill `width`.
  void Text(std::string_view text, std::size_t width) {
    const std::size_t n = text.size() < width ? text.size() : width - 1;
    out_->append(text.substr(0, n));
    Zeros(width - n);
  }

 private:
  std::string* out_;
};

class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}

  // Each read fails (false) without moving when fewer bytes are left.
  [[nodiscard]] bool U8(std::uint8_t* value) {
    if (Left() < 1) return false;
    *value = static_cast<std::uint8_t>(bytes_[at_++]);
    return true;
  }
  [[nodiscard]] bool U32(std::uint32_t* value) {
    if (Left() < 4) return false;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(bytes_[at_ + i]);
    at_ += 4;
    *value = v;
    return true;
  }
  [[nodiscard]] bool Bytes(std::size_t count, std::string_view* out) {
    if (Left() < count) return false;
    *out = bytes_.substr(at_, count);
    at_ += count;
    return true;
  }
  // A fixed-width text field: the bytes before the first zero, at most
  // width - 1 of them.
  [[nodiscard]] bool Text(std::size_t width, std::string* out) {
    std::string_view field;
    if (!Bytes(width, &field)) return false;
    out->assign(field.data(), strnlen(field.data(), width - 1));
    return true;
  }
  [[nodiscard]] bool Skip(std::size_t count) {
    std::string_view ignored;
    return Bytes(count, &ignored);
  }

  std::size_t Left() const { return bytes_.size() - at_; }
  std::size_t Position() const { return at_; }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

}  // namespace quillon::fileutil
