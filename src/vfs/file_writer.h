// Replaces whole files safely: the new contents go to a temporary file in
// the same folder, which is flushed to the disk and then renamed over the
// old file. A crash, a full disk or a failed write leaves the old file whole.
//
// Tests derive from it to make the write step fail.
//
// Thread-safety: stateless; callers serialise saves of one file.
#pragma once

#include <string>
#include <string_view>

#include "vfs/file_handle.h"

namespace quillon::vfs {

class FileWriter {
 public:
  virtual ~FileWriter() = default;

  // Replaces the file at `path` with `bytes`; the file gets `permissions`
  // (for example FileHandle::kOwnerOnlyFile). False, with the old file left
  // as it was and no temporary file left behind, when any step fails.
  [[nodiscard]] bool ReplaceFile(const std::string& path, std::string_view bytes,
                                 unsigned permissions);

 protected:
  // Writes the new contents into the open temporary file.
  virtual bool WriteContents(FileHandle& file, std::string_view bytes);
};

}  // namespace quillon::vfs
