// Path helpers. FTP paths and disk paths both use "/", the only separator
// of this system: every other byte but NUL may be part of a name, and a name
// is always taken as written ("aux", "x*y", "name  ", ".htaccess" and
// "a\b" are names like any other).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/limits.h"

namespace quillon::fileutil {

// Capacity of an FTP or disk path (4095 bytes and the NUL, as the system).
inline constexpr std::size_t kDiskPathCapacity = limits::kPathCapacity;
// The longest name of a file or folder (bytes).
inline constexpr std::size_t kMaxNameLength = limits::kMaxNameLength;

// Turns any path into a clean path without "." or ".." steps that can never
// climb above its beginning:
//  - runs of "/" collapse to one;
//  - a leading "/" is kept when the path has 2 or more characters;
//  - empty components and "." are dropped; each ".." also drops the nearest
//    kept component before it, and ".." steps with nothing left to drop are
//    absorbed;
//  - every other component is kept exactly as written.
// Examples: /a/b/../c gives /a/c; /../../x gives /x; /aux/.x gives /aux/.x;
// "/" and "" give "".
std::string NormalisePath(std::string_view path);

// NormalisePath for a path of the remote-admin web server: "\" separates
// like "/", and components that begin with "." (other than "..") are
// dropped, so a web path never names a hidden file.
std::string NormaliseWebPath(std::string_view path);

// The FTP path that a client's path argument names, built against the
// current folder `current` (itself a built path): an argument that begins
// with "/" stands alone, any other is joined to `current`; then the result
// is normalised ("" becomes "/"). False, with *out untouched, when the
// argument cannot name anything safely:
//  - it holds a control byte (below 0x20, or 0x7F), which would become part
//    of a real file name and could forge lines in listings and logs;
//  - a component of the normalised path is longer than kMaxNameLength;
//  - the normalised path is longer than kDiskPathCapacity - 1 bytes.
// Such names are refused, never cut to name another file.
[[nodiscard]] bool BuildFtpPath(std::string_view current, std::string_view argument,
                                std::string* out);

// The path up to (not including) its last "/" ("/" for a path whose only
// separator is the first character). False when the path is shorter than 2
// characters, has no separator, or the result would be shorter than 2
// characters (other than "/") or longer than capacity - 1.
bool ParentFolder(std::string_view path, std::string* out, std::size_t capacity);
// The part after the last "/" (the whole text when there is none).
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

}  // namespace quillon::fileutil
