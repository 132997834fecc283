// A file writer for save tests: while `failing` it writes part of the new
// contents and then reports a failure, as a full disk would; it counts every
// write it is asked for.
#pragma once

#include <string_view>

#include "vfs/file_handle.h"
#include "vfs/file_writer.h"

namespace quillon::testing {

class FailingWriter : public vfs::FileWriter {
 public:
  explicit FailingWriter(bool failing_from_start = true) : failing(failing_from_start) {}

  bool failing;
  int writes = 0;

 protected:
  bool WriteContents(vfs::FileHandle& file, std::string_view bytes) override {
    ++writes;
    if (!failing) return FileWriter::WriteContents(file, bytes);
    return file.WriteAll(bytes.data(), bytes.size() / 2) && false;
  }
};

}  // namespace quillon::testing
