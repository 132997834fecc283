// A file writer for save tests: while `failing` it writes part of the new
// contents and then reports a failure, as a full disk would; it counts every
// write it is asked for.
#pragma once

#include <string_view>

#include "fileutil/file_handle.h"
#include "fileutil/file_writer.h"

namespace quillon::testing {

class FailingWriter : public fileutil::FileWriter {
 public:
  explicit FailingWriter(bool failing_from_start = true) : failing(failing_from_start) {}

  bool failing;
  int writes = 0;

 protected:
  bool WriteContents(fileutil::FileHandle& file, std::string_view bytes) override {
    ++writes;
    if (!failing) return FileWriter::WriteContents(file, bytes);
    return file.WriteAll(bytes.data(), bytes.size() / 2) && false;
  }
};

}  // namespace quillon::testing
