#include "fileutil/paths.h"

#include <algorithm>
#include <vector>

#include "platform/fs.h"

namespace quillon::fileutil {

namespace {

// How Normalise reads a path.
enum class PathRules {
  kNames,  // only "/" separates; every component but "." and ".." is a name
  kWeb,    // "\" separates too, and hidden components are dropped
};

std::string Normalise(std::string_view path, PathRules rules) {
  // Separators unified and collapsed.
  std::string clean;
  clean.reserve(path.size());
  for (char ch : path) {
    if (ch == '/' || (rules == PathRules::kWeb && ch == '\\')) {
      if (clean.empty() || clean.back() != '/') clean.push_back('/');
    } else {
      clean.push_back(ch);
    }
  }
  std::string_view rest = clean;
  std::string result;
  if (rest.size() >= 2 && rest.front() == '/') {
    result = "/";
    rest.remove_prefix(1);
  }

  // Every component takes part: leaving any out would name another path.
  std::vector<std::string_view> components;
  for (;;) {
    const std::size_t slash = rest.find('/');
    components.push_back(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }

  // Walk from the last component to the first; `credit` says whether the
  // component at hand survives the ".." steps that follow it.
  std::vector<bool> keep(components.size(), false);
  int credit = 1;
  for (std::size_t i = components.size(); i-- > 0;) {
    std::string_view component = components[i];
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      --credit;
      continue;
    }
    if (rules == PathRules::kWeb && component.front() == '.') continue;
    keep[i] = credit > 0;
    credit = std::min(credit + 1, 1);
  }

  bool first = true;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (!keep[i]) continue;
    if (!first) result.push_back('/');
    result.append(components[i]);
    first = false;
  }
  return result;
}

}  // namespace

std::string NormalisePath(std::string_view path) { return Normalise(path, PathRules::kNames); }

std::string NormaliseWebPath(std::string_view path) { return Normalise(path, PathRules::kWeb); }

bool BuildFtpPath(std::string_view current, std::string_view argument, std::string* out) {
  for (char ch : argument) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  std::string joined;
  if (!argument.empty() && argument.front() == '/') {
    joined.assign(argument);
  } else {
    joined.reserve(current.size() + 1 + argument.size());
    joined.assign(current);
    if (joined.empty() || joined.back() != '/') joined.push_back('/');
    joined.append(argument);
  }
  std::string normalised = NormalisePath(joined);
  if (normalised.size() + 1 > kDiskPathCapacity) return false;
  for (std::size_t start = 0; start < normalised.size();) {
    std::size_t end = normalised.find('/', start);
    if (end == std::string::npos) end = normalised.size();
    if (end - start > kMaxNameLength) return false;
    start = end + 1;
  }
  *out = normalised.empty() ? "/" : std::move(normalised);
  return true;
}

bool ParentFolder(std::string_view path, std::string* out, std::size_t capacity) {
  if (path.size() < 2) return false;
  const std::size_t last = path.rfind('/');
  if (last == std::string_view::npos) return false;
  std::string_view parent = last == 0 ? std::string_view("/") : path.substr(0, last);
  if ((parent.size() < 2 && parent != "/") || parent.size() + 1 > capacity) return false;
  out->assign(parent);
  return true;
}

std::string FileNamePart(std::string_view path) {
  const std::size_t last = path.rfind('/');
  return std::string(last == std::string_view::npos ? path : path.substr(last + 1));
}

bool Extension(std::string_view name, std::string* out, std::size_t capacity) {
  if (name.size() < 2 || name.back() == '.') return false;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string_view extension = name.substr(dot + 1);
  if (extension.size() + 1 > capacity) return false;
  out->assign(extension);
  return true;
}

std::string AbsoluteFolder(std::string_view path) {
  std::string result;
  if (!path.empty() && path.front() == '/') {
    result.assign(path);
  } else {
    result = platform::CurrentFolder();
    if (!path.empty()) {
      if (result.empty() || result.back() != '/') result.push_back('/');
      result.append(path);
    }
  }
  if (result.empty() || result.back() != '/') result.push_back('/');
  return result;
}

std::string ResolveNearest(const std::string& path) {
  std::string probe = path;
  std::string resolved;
  while (!platform::ResolvePath(probe, &resolved)) {
    std::string parent;
    if (!ParentFolder(probe, &parent, 4096) || parent == probe) return {};
    probe = std::move(parent);
  }
  return resolved;
}

bool IsAtOrBelow(const std::string& resolved_base, const std::string& resolved) {
  if (resolved_base.empty() || resolved.empty()) return false;
  if (resolved_base == "/" || resolved == resolved_base) return true;
  return resolved.size() > resolved_base.size() &&
         resolved.compare(0, resolved_base.size(), resolved_base) == 0 &&
         resolved[resolved_base.size()] == '/';
}

bool StaysWithin(const std::string& base, const std::string& path) {
  std::string resolved_base;
  if (!platform::ResolvePath(base, &resolved_base)) return true;
  return IsAtOrBelow(resolved_base, ResolveNearest(path));
}

bool PathExists(const std::string& path) {
  platform::PathInfo info;
  return platform::StatPath(path, &info);
}

bool FileExists(const std::string& path) {
  platform::PathInfo info;
  return platform::StatPath(path, &info) && info.is_regular;
}

bool FolderExists(const std::string& path) {
  platform::PathInfo info;
  return platform::StatPath(path, &info) && info.is_folder;
}

std::uint64_t FileSizeOf(const std::string& path) {
  platform::PathInfo info;
  return platform::StatPath(path, &info) ? info.size : 0;
}

bool MakeFolders(const std::string& path, unsigned permissions) {
  if (FolderExists(path)) return true;
  std::string parent;
  if (ParentFolder(path, &parent, 4096) && parent != path && !MakeFolders(parent, permissions))
    return false;
  return platform::MakeFolder(path, permissions, nullptr) || FolderExists(path);
}

}  // namespace quillon::fileutil
