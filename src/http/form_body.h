// The body of a POST: spooled to a temporary file while the url-encoded
// fields or the multipart parts are noted (name, offset, length), so that no
// form, however large, is held in memory. Bytes may arrive in any chunks.
// The spool file is deleted with the body.
//
// Thread-safety: belongs to its request's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/limits.h"
#include "fileutil/file_handle.h"

namespace quillon::http {

class FormBody {
 public:
  static constexpr std::size_t kMaxName = 29;  // field and part names
  static constexpr std::size_t kMaxPartHeaderLine = 1024;
  static constexpr std::size_t kMaxFileName = limits::kRequestPath;
  // Fields or parts kept of one body; a body with more is refused.
  static constexpr std::size_t kMaxEntries = 4096;

  struct Part {
    std::string name;
    std::string file_name;
    std::uint32_t offset = 0;  // of the content in the spool file
    std::uint32_t length = 0;
  };

  // A body of `length` bytes. `url_encoded` and `boundary` ("--" and the
  // boundary of a multipart body, or "") choose the parser; with neither,
  // the bytes are only spooled. The spool file goes to `temp_folder`.
  FormBody(std::string temp_folder, std::uint32_t length, bool url_encoded, std::string boundary);
  ~FormBody();
  FormBody(const FormBody&) = delete;
  FormBody& operator=(const FormBody&) = delete;

  // Takes body bytes (those beyond the length are ignored). False when the
  // spool file cannot be made or written, or a part header line is too long.
  [[nodiscard]] bool Feed(const char* bytes, std::size_t count);
  // The body is read (so the connection stays in step) but neither stored
  // nor parsed.
  void Discard() { discard_ = true; }
  // Drops what was stored: the body held more entries than a form has.
  void Refuse();
  bool IsRefused() const { return refused_; }
  bool IsComplete() const { return complete_ && !refused_; }

  // Url-encoded fields (REQUIRES: IsComplete()).
  bool FieldExists(std::string_view name) const;
  // At most capacity - 1 bytes of the value, up to a NUL; false (and "")
  // when absent.
  bool FieldValue(std::string_view name, std::string* value, std::size_t capacity) const;
  // Every value of the fields named `name` in body order (the checked boxes
  // of a list), each cut as FieldValue cuts it.
  std::vector<std::string> FieldValues(std::string_view name, std::size_t capacity) const;
  const std::vector<Part>& Parts() const { return parts_; }
  // The bytes of a stored part (REQUIRES: IsComplete()).
  std::string PartContent(const Part& part) const;
  const std::string& FileName() const { return file_name_; }

 private:
  struct Field {
    std::string name;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
  };

  bool Start();
  // Appends to the spool file through a small batch, so byte-wise parsers
  // do not cost a system call per byte.
  bool Write(const char* bytes, std::size_t count);
  bool Flush();
  bool FeedUrlEncoded(char byte);
  bool FeedMultipart(char byte);
  bool EndPartHeaderLine();
  void StorePart();
  void Finish();

  const std::string temp_folder_;
  const std::uint32_t length_;
  const bool url_encoded_;
  const std::string boundary_;
  std::string file_name_;
  std::unique_ptr<fileutil::FileHandle> file_;
  std::uint32_t consumed_ = 0;  // body bytes taken (up to the length)
  std::uint32_t written_ = 0;   // bytes in the spool file, the batch included
  std::string pending_;         // the batch not yet written
  static constexpr std::size_t kWriteBatch = limits::kSpoolBatch;
  bool write_failed_ = false;
  bool complete_ = false;
  bool discard_ = false;
  bool refused_ = false;
  // Url-encoded fields.
  std::vector<Field> fields_;
  Field field_;
  bool in_name_ = true;
  int escape_left_ = 0;  // hex digits still expected after '%'
  int escape_value_ = 0;
  bool escape_bad_ = false;
  // Multipart parts.
  std::vector<Part> parts_;
  bool in_part_headers_ = false;
  bool skip_lf_ = false;
  bool disposition_continues_ = false;
  std::string part_header_line_;
  std::size_t boundary_matched_ = 0;
  bool after_boundary_ = false;
  bool has_part_ = false;
  Part part_;
};

}  // namespace quillon::http
