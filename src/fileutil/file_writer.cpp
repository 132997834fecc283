#include "fileutil/file_writer.h"

#include "platform/fs.h"
#include "fileutil/directory_enumerator.h"
#include "fileutil/paths.h"

namespace quillon::fileutil {

namespace {
constexpr std::string_view kTemporaryMark = ".tmp.";
constexpr std::size_t kUniqueLetters = 6;  // the XXXXXX of mkstemp

bool IsTemporaryName(std::string_view name) {
  if (name.size() <= kTemporaryMark.size() + kUniqueLetters) return false;
  const std::size_t mark = name.size() - kUniqueLetters - kTemporaryMark.size();
  if (name.substr(mark, kTemporaryMark.size()) != kTemporaryMark) return false;
  for (const char c : name.substr(name.size() - kUniqueLetters))
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  return true;
}
}  // namespace

bool FileWriter::WriteTemporary(const std::string& path, std::string_view bytes,
                                unsigned permissions, std::string* temporary) {
  std::string parent;
  const std::string folder = ParentFolder(path, &parent, 4096) ? parent : std::string(".");
  std::string prefix = FileNamePart(path);
  prefix.append(kTemporaryMark);
  FileHandle file;
  if (!file.CreateUnique(folder, prefix, temporary)) return false;
  bool ok = WriteContents(file, bytes) && file.Flush();
  file.Close();
  ok = ok && platform::SetPermissions(*temporary, permissions);
  if (!ok) {
    [[maybe_unused]] bool removed = platform::RemoveFile(*temporary, nullptr);
  }
  return ok;
}

bool FileWriter::ReplaceFile(const std::string& path, std::string_view bytes,
                             unsigned permissions) {
  std::string temporary;
  if (!WriteTemporary(path, bytes, permissions, &temporary)) return false;
  if (platform::RenamePath(temporary, path, nullptr)) return true;
  [[maybe_unused]] bool removed = platform::RemoveFile(temporary, nullptr);
  return false;
}

bool FileWriter::CreateNewFile(const std::string& path, std::string_view bytes,
                               unsigned permissions, bool* taken) {
  *taken = false;
  std::string temporary;
  if (!WriteTemporary(path, bytes, permissions, &temporary)) return false;
  int error = 0;
  if (platform::RenameNoReplace(temporary, path, &error)) return true;
  *taken = platform::IsAlreadyExistsError(error);
  [[maybe_unused]] bool removed = platform::RemoveFile(temporary, nullptr);
  return false;
}

bool FileWriter::WriteContents(FileHandle& file, std::string_view bytes) {
  return file.WriteAll(bytes.data(), bytes.size());
}

bool OrderedSave::Write(std::uint64_t ticket, FileWriter& writer, const std::string& path,
                        std::string_view bytes, unsigned permissions) {
  return WriteIf(ticket, writer, path, bytes, permissions, [] { return true; });
}

bool OrderedSave::WriteIf(std::uint64_t ticket, FileWriter& writer, const std::string& path,
                          std::string_view bytes, unsigned permissions, const std::function<bool()>& wanted) {
  std::lock_guard<std::mutex> guard(write_lock_);
  if (ticket < written_) return true;
  if (wanted() && !writer.ReplaceFile(path, bytes, permissions)) return false;
  written_ = ticket;
  return true;
}

std::size_t RemoveStaleTemporaries(const std::string& folder) {
  std::size_t removed = 0;
  DirectoryEnumerator walk;
  DirectoryEntry entry;
  for (bool more = walk.First(folder, &entry, {.files = true}); more; more = walk.Next(&entry)) {
    if (IsTemporaryName(entry.name) && platform::RemoveFile(folder + "/" + entry.name, nullptr))
      ++removed;
  }
  return removed;
}

}  // namespace quillon::fileutil
