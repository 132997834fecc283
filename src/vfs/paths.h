// Path helpers. FTP paths and disk paths both use "/"; a "\" that a client
// sends is read as a separator too, so it can never smuggle a step past the
// normaliser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/limits.h"

namespace quillon::vfs {

// Capacity of a disk path field (260 characters and the NUL).
inline constexpr std::size_t kDiskPathCapacity = limits::kPathCapacity;

// Turns any path into a clean path without "." or ".." steps that can never
// climb above its beginning:
//  - "\" counts as "/", and runs of "/" collapse to one;
//  - a leading "/" is kept when the path has 2 or more characters;
//  - empty components, device names (aux, con, com1-com4, lpt1-lpt3, prn,
//    nul, any case) and components beginning with "." are dropped; each
//    ".." also drops the nearest kept component before it, and ".." steps
//    with nothing left to drop are absorbed.
// Examples: /a/b/../c gives /a/c; /../../x gives /x; /com1/z gives /z;
// "/" and "" give "".
std::string NormalisePath(std::string_view path);

// The FTP path that a client's path argument names, built against the
// current folder `current` (itself a built path): an argument that begins
// with "/" or "\" stands alone, any other is joined to `current`; then the
// result is normalised ("" becomes "/"). False, with *out untouched, when
// the argument cannot name anything safely:
//  - it holds a control byte (below 0x20, or 0x7F), which would become part
//    of a real file name and could forge lines in listings and logs;
//  - one of its components begins with "." and is neither "." nor "..":
//    normalising would drop it and act on its parent instead;
//  - the normalised path is longer than kDiskPathCapacity - 1 characters
//    (it is refused, never cut to name another file).
[[nodiscard]] bool BuildFtpPath(std::string_view current, std::string_view argument,
                                std::string* out);

// The path up to (not including) its last "/" or "\" ("/" for a path whose
// only separator is the first character). False when the path is shorter than
// 2 characters, has no separator, or the result would be shorter than 2
// characters (other than "/") or longer than capacity - 1.
bool ParentFolder(std::string_view path, std::string* out, std::size_t capacity);
// The part after the last "/" or "\" (the whole text when there is none).
std::string FileNamePart(std::string_view path);
// The text after the last "."; false when the name is shorter than 2, ends
// with ".", has no ".", or the extension is longer than capacity - 1.
// ".profile" has the extension "profile".
bool Extension(std::string_view name, std::string* out, std::size_t capacity);
// `path` made absolute against the current folder, ending with "/".
std::string AbsoluteFolder(std::string_view path);

// Makes the folder and any missing folders above it (owner-only unless
// `permissions` says otherwise); true when it exists afterwards.
bool MakeFolders(const std::string& path, unsigned permissions = 0700);

// True when `path`, with its symbolic links resolved, is `base` or lies
// below it (`base` resolved too). A part of `path` that does not exist yet
// is judged by the nearest existing folder above it. A base that does not
// exist contains nothing that exists, so the answer is then true.
bool StaysWithin(const std::string& base, const std::string& path);
// The resolved form of `path`, or of its nearest existing folder above it
// ("" when nothing of it exists).
std::string ResolveNearest(const std::string& path);
// Both resolved: `resolved` is `resolved_base` or lies below it (false when
// either is empty).
bool IsAtOrBelow(const std::string& resolved_base, const std::string& resolved);

bool PathExists(const std::string& path);
// A regular file (links followed); FIFOs, sockets and devices are not files.
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
// Size of the file at `path`; 0 when there is none.
std::uint64_t FileSizeOf(const std::string& path);

}  // namespace quillon::vfs
