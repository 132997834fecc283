#include "http/http_response.h"

#include <algorithm>
#include <cstdio>

#include "platform/fs.h"
#include "fileutil/directory_enumerator.h"
#include "fileutil/paths.h"
#include "fileutil/text.h"
#include "fileutil/time_format.h"

namespace quillon::http {

namespace {

constexpr const char* kUnderline = "_____________________________________";

using fileutil::FormatText;

// The signature block of the built-in pages.
std::string Signature() {
  return FormatText("<p>%s<br>%s by %s<br>Visit: <a href=\"%s\">%s</a></p>", kUnderline, kProgramName,
                kMakerName, kHomePage, kHomePage);
}

// The comment that pads the error pages.
std::string Padding() { return "<!-" + std::string(567, '*') + "-!>"; }

// Headers of every answer: no page of the admin may be framed by another
// site (clickjacking), no body is read as another type than it is sent as,
// and no Referer carries the session id, which travels in URLs, elsewhere.
constexpr const char* kGuardHeaders =
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n";
// Pages, log files, error pages and redirects hold session ids and the
// server's state: no cache may keep them.
constexpr const char* kNoStore = "Cache-Control: no-store\r\n";

// Answers over TLS: browsers that trust the certificate come back over
// HTTPS only, so no later plain request can carry a session id in clear.
// Sub-domains are left out: the server's name may lead other services.
constexpr const char* kStrictTransport = "Strict-Transport-Security: max-age=31536000\r\n";

// The type of the built-in pages. With "nosniff" a page without one would
// show as text, and a refresh page would not lead on.
constexpr const char* kHtmlType = "Content-Type: text/html\r\n";

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }
bool IsHexDigit(char ch) { return IsDigit(ch) || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F'); }
bool IsLetter(char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'); }
bool IsLetterOrDigit(char ch) { return IsLetter(ch) || IsDigit(ch); }

// The length of the character reference ("&name;", "&#123;" or "&#x7B;")
// that begins at text[at] (an '&'), or 0 when none begins there.
std::size_t ReferenceLength(std::string_view text, std::size_t at) {
  constexpr std::size_t kLongestBody = 32;
  std::size_t end = at + 1;
  bool (*accept)(char) = IsLetterOrDigit;
  if (end < text.size() && text[end] == '#') {
    ++end;
    accept = IsDigit;
    if (end < text.size() && (text[end] == 'x' || text[end] == 'X')) {
      ++end;
      accept = IsHexDigit;
    }
  } else if (end >= text.size() || !IsLetter(text[end])) {
    return 0;
  }
  const std::size_t first = end;
  while (end < text.size() && end - first < kLongestBody && accept(text[end])) ++end;
  if (end == first || end >= text.size() || text[end] != ';') return 0;
  return end + 1 - at;
}

// The escaping of EscapeHtml, with `keep_references` leaving complete
// character references as they are.
std::string Escape(std::string_view text, bool keep_references) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    switch (ch) {
      case '&':
        if (const std::size_t length = keep_references ? ReferenceLength(text, i) : 0; length > 0) {
          out.append(text.substr(i, length));
          i += length - 1;
        } else {
          out += "&amp;";
        }
        break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(ch);
    }
  }
  return out;
}

// A URL for the double-quoted content attribute of a refresh: quotes and
// angle brackets as entities. Its "&" separators stay as they are; each is
// followed by a query name and "=", which no browser reads as a reference.
std::string EscapeRefreshUrl(std::string_view url) {
  std::string out;
  out.reserve(url.size());
  for (const char ch : url) {
    switch (ch) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(ch);
    }
  }
  return out;
}

}  // namespace

std::string HttpDate(std::int64_t seconds) {
  return fileutil::FormatFileTime(platform::FileTime{seconds, 0}, fileutil::TimeFormat::kHttp, false) + " GMT";
}

std::string EscapeHtml(std::string_view text) { return Escape(text, false); }

std::string EscapeHtmlKeepingReferences(std::string_view text) { return Escape(text, true); }

namespace {

// `text` with every byte but letters, digits, "-._~" and those of `keep`
// written as "%XX".
std::string EncodeUrlKeeping(std::string_view text, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
        ch == '-' || ch == '.' || ch == '_' || ch == '~' || keep.find(ch) != std::string_view::npos) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    }
  }
  return out;
}

}  // namespace

std::string EncodeUrl(std::string_view text) { return EncodeUrlKeeping(text, {}); }

std::string EncodeUrlPath(std::string_view path) { return EncodeUrlKeeping(path, "/"); }

std::string EncodeUrlQuery(std::string_view query) { return EncodeUrlKeeping(query, "%&=+?/:@!$'()*,;"); }

const char* MimeType(std::string_view word) {
  struct Entry {
    std::string_view word;
    const char* type;
  };
  // The last five: browsers refuse a stylesheet or script, and do not draw
  // an SVG image, that comes as application/zip.
  static constexpr Entry kTable[] = {
      {"jpg", "image/jpeg"},  {"gif", "image/gif"},           {"txt", "text/plain"},
      {"htm", "text/html"},   {"html", "text/html"},          {"asp", "text/html"},
      {"css", "text/css"},    {"js", "text/javascript"},      {"svg", "image/svg+xml"},
      {"png", "image/png"},   {"ico", "image/x-icon"}};
  for (const Entry& entry : kTable)
    if (entry.word == word) return entry.type;
  return "application/zip";
}

std::string BuiltInNotFoundPage() {
  return "<HTML><HEAD><TITLE>Not Found</TITLE></HEAD><BODY><p>Error 404<br>Sorry, the file was not "
         "found.</p>" +
         Signature() + Padding() + "</BODY></HTML>";
}

HttpResponse::~HttpResponse() { Reset(); }

void HttpResponse::Reset() {
  header_.clear();
  body_.clear();
  body_sent_ = 0;
  file_.reset();
  file_left_ = 0;
  if (!delete_after_send_.empty()) {
    [[maybe_unused]] bool removed = platform::RemoveFile(delete_after_send_, nullptr);
    delete_after_send_.clear();
  }
  kind_ = Kind::kNone;
  ready_ = false;
}

bool HttpResponse::SendFile(const std::string& path, int status, bool delete_after_send,
                            std::string_view type_word) {
  return Send(path, status, delete_after_send, type_word, platform::Links::kFollow);
}

bool HttpResponse::Send(const std::string& path, int status, bool delete_after_send,
                        std::string_view type_word, platform::Links links) {
  Reset();
  auto file = std::make_unique<fileutil::FileHandle>();
  if (!file->Open(path, fileutil::FileHandle::Mode::kRead, fileutil::FileHandle::kSharedFile, links)) return false;
  std::string extension;
  if (type_word.empty() && fileutil::Extension(fileutil::FileNamePart(path), &extension, 20))
    type_word = extension;
  const char* type = MimeType(type_word);
  const char* text = status == 400   ? "Bad Request"
                     : status == 404 ? "Not Found"
                     : status == 503 ? "Service Unavailable"
                                     : "OK";
  kind_ = status == 400   ? Kind::kBadRequest
          : status == 404 ? Kind::kNotFound
          : status == 503 ? Kind::kBusy
                          : Kind::kOk;
  // A busy answer says when to ask again.
  const std::string retry =
      status == 503 ? FormatText("Retry-After: %d\r\n", kBusyRetrySeconds) : std::string();
  const auto size = static_cast<unsigned long long>(file->Size());
  // A dated 200 answer is a static file: the browser may keep it and ask
  // again with If-Modified-Since.
  if (send_dates_ && status == 200) {
    platform::FileTime modified;
    const bool dated = file->GetTimes(nullptr, nullptr, &modified);
    header_ = FormatText(
        "HTTP/1.1 %d %s\r\nDate: %s\r\nServer: %s by %s\r\nLast-Modified: %s\r\nAccept-Ranges: "
        "bytes\r\nContent-Type: %s\r\nContent-Length: %llu\r\n%s",
        status, text, HttpDate(clock_.WallTimeNs() / 1'000'000'000).c_str(), kProgramName,
        kMakerName, dated ? HttpDate(modified.seconds).c_str() : "", type, size,
        HeaderEnd(true).c_str());
  } else {
    header_ = FormatText(
        "HTTP/1.1 %d %s\r\n%sServer: %s by %s\r\nAccept-Ranges: bytes\r\nContent-Type: "
        "%s\r\nContent-Length: %llu\r\n%s",
        status, text, retry.c_str(), kProgramName, kMakerName, type, size, HeaderEnd(false).c_str());
  }
  file_ = std::move(file);
  file_left_ = size;
  if (delete_after_send) delete_after_send_ = path;
  ready_ = true;
  return true;
}

bool HttpResponse::SendRegularFile(const std::string& path) {
  return Send(path, 200, false, {}, platform::Links::kRefuse);
}

std::string HttpResponse::HeaderEnd(bool cacheable) const {
  return std::string(kGuardHeaders) + (strict_transport_ ? kStrictTransport : "") +
         (cacheable ? "" : kNoStore) + "Connection: close\r\n\r\n";
}

void HttpResponse::BuiltIn(std::string header, std::string body, Kind kind) {
  Reset();
  header_ = std::move(header);
  body_ = std::move(body);
  kind_ = kind;
  ready_ = true;
}

void HttpResponse::NotFound(const std::string& file) {
  if (!file.empty() && SendFile(file, 404, false)) return;
  if (!not_found_page_.empty() && SendFile(not_found_page_, 404, false)) return;
  BuiltIn("HTTP/1.1 404 Not Found\r\n" + std::string(kHtmlType) + HeaderEnd(false), BuiltInNotFoundPage(),
          Kind::kNotFound);
}

void HttpResponse::BadRequest(const std::string& file) {
  if (!file.empty() && SendFile(file, 400, false)) return;
  BuiltIn("HTTP/1.1 400 Bad Request\r\n" + std::string(kHtmlType) + HeaderEnd(false),
          "<HTML><HEAD><TITLE>Bad Request</TITLE></HEAD><BODY><p>Error 400<br>Sorry, Bad "
          "Request.</p>" +
              Signature() + Padding() + "</BODY></HTML>",
          Kind::kBadRequest);
}

void HttpResponse::Busy(const std::string& file) {
  if (!file.empty() && SendFile(file, 503, false)) return;
  BuiltIn(FormatText("HTTP/1.1 503 Service Unavailable\r\nRetry-After: %d\r\n%s%s", kBusyRetrySeconds,
                     kHtmlType, HeaderEnd(false).c_str()),
          "<HTML><HEAD><TITLE>Server Busy</TITLE></HEAD><BODY><p>Error 503<br>Sorry, the server is busy. "
          "Please try again in a few seconds.</p>" +
              Signature() + Padding() + "</BODY></HTML>",
          Kind::kBusy);
}

void HttpResponse::NotModified() {
  // The answer to a static file's revalidation: the copy stays cacheable,
  // with the type it was stored with (no Content-Type here).
  BuiltIn("HTTP/1.1 304 Not Modified\r\n" + HeaderEnd(true),
          "<HTML><HEAD><TITLE>Not Modified</TITLE></HEAD><BODY><p>304<br>The page as not been "
          "modified.</p>" +
              Signature() + "</BODY></HTML>",
          Kind::kOk);
}

void HttpResponse::Redirect(std::string_view target, bool after_post) {
  // Line ends would break out of the Location header: they are encoded too.
  std::string location;
  for (char ch : target) {
    if (ch == ' ') {
      location += "%20";
    } else if (ch == '\r') {
      location += "%0D";
    } else if (ch == '\n') {
      location += "%0A";
    } else {
      location.push_back(ch);
    }
  }
  if (after_post) {
    BuiltIn("HTTP/1.1 200 OK\r\n" + std::string(kHtmlType) + HeaderEnd(false),
            FormatText("<HTML><HEAD><meta HTTP-EQUIV=\"refresh\" content=\"0;URL=%s\"></HEAD><BODY></BODY></HTML>",
                   EscapeRefreshUrl(location).c_str()),
            Kind::kRedirection);
    return;
  }
  BuiltIn(FormatText("HTTP/1.1 307 Temporary Redirect\r\nLocation: %s\r\n%s%s", location.c_str(),
                     kHtmlType, HeaderEnd(false).c_str()),
          "<HTML><HEAD><TITLE>Temporary Redirect</TITLE></HEAD><BODY><p>307<br>This page has been "
          "moved.</p>" +
              Signature() + "</BODY></HTML>",
          Kind::kRedirection);
}

void HttpResponse::SendPage(std::string body, std::string_view type_word) {
  // The header first: it needs the body's size before the body moves.
  std::string header =
      FormatText("HTTP/1.1 200 OK\r\nServer: %s by %s\r\nAccept-Ranges: bytes\r\nContent-Type: "
             "%s\r\nContent-Length: %zu\r\n%s",
             kProgramName, kMakerName, MimeType(type_word), body.size(), HeaderEnd(false).c_str());
  BuiltIn(std::move(header), std::move(body), Kind::kOk);
}

namespace {

// The reason phrase of the statuses the server's programs' answers use.
const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 422: return "Unprocessable Content";
    case 503: return "Service Unavailable";
    default: return "Internal Server Error";
  }
}

}  // namespace

void HttpResponse::SendData(std::string body, std::string_view content_type, int status) {
  const std::string type(content_type);
  // A 204 has neither body nor type.
  const std::string type_line = status == 204 ? std::string() : "Content-Type: " + type + "\r\n";
  std::string header = FormatText("HTTP/1.1 %d %s\r\nServer: %s by %s\r\n%sContent-Length: %zu\r\n%s", status,
                                  ReasonPhrase(status), kProgramName, kMakerName, type_line.c_str(), body.size(),
                                  HeaderEnd(false).c_str());
  const Kind kind = status < 300 ? Kind::kOk : status == 404 ? Kind::kNotFound : status == 503 ? Kind::kBusy
                                                                                            : Kind::kBadRequest;
  BuiltIn(std::move(header), std::move(body), kind);
}

void HttpResponse::Unauthorised() {
  BuiltIn("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Bearer\r\nContent-Type: text/plain\r\n"
          "Content-Length: 13\r\n" + HeaderEnd(false),
          "Unauthorized\n", Kind::kBadRequest);
}

bool HttpResponse::DirectoryIndex(const std::string& folder, std::string_view query_suffix,
                                  std::string_view title, std::string_view up_link) {
  if (!fileutil::FolderExists(folder)) return false;
  Reset();
  const std::string name = EscapeHtml(title);
  const std::string up = EscapeHtml(up_link);
  const std::string suffix(query_suffix);
  std::string body = FormatText(
      "<HTML><HEAD><TITLE>Contents of %s</TITLE></HEAD><body bgcolor=\"#FFFFFF\" text=\"#000000\" "
      "link=\"#0000FF\" vlink=\"#000066\" alink=\"#FF0000\"><h2>Contents of %s</h2><hr "
      "width=\"95%%\"><pre>  <a href=\"%s\"><- Up 1 Level</a>\r\n\r\n  Type    Modified           "
      "         Size       Name\r\n  ****    ********                    ****       ****\r\n\r\n",
      name.c_str(), name.c_str(), up.c_str());
  for (const bool folders : {true, false}) {
    fileutil::DirectoryEnumerator walk;
    fileutil::DirectoryEntry entry;
    for (bool more = walk.First(folder, &entry, {.files = !folders, .folders = folders}); more;
         more = walk.Next(&entry)) {
      if (entry.name == "." || entry.name == "..") continue;
      // The walk follows links; the entry itself must be what it seems.
      platform::PathInfo own;
      if (!platform::StatPathNoFollow(folder + "/" + entry.name, &own) || own.is_link ||
          !(folders ? own.is_folder : own.is_regular))
        continue;
      const std::string date =
          fileutil::FormatFileTime(entry.last_write, fileutil::TimeFormat::kHttp, true);
      std::string line = FormatText("  %s%s   %llu", folders ? "DIR     " : "FILE    ", date.c_str(),
                                static_cast<unsigned long long>(entry.size));
      if (line.size() < 49) line.append(49 - line.size(), ' ');
      // The link names the entry in URL form ('+', '&', '#', '%' and blanks
      // would otherwise change what it points at), the text in HTML form.
      const std::string slash = folders ? "/" : "";
      const std::string link =
          EncodeUrl(entry.name) + slash + (suffix.empty() ? "" : "?" + EscapeHtml(suffix));
      line += "<a href=\"" + link + "\">" + EscapeHtml(entry.name) + slash + "</a>\r\n";
      body += line;
    }
  }
  body += FormatText("</pre><hr width=\"95%%\"><p>%s by %s</p></BODY></HTML>", kProgramName, kMakerName);
  header_ = FormatText(
      "HTTP/1.1 200 OK\r\nServer: %s by %s\r\nAccept-Ranges: bytes\r\nContent-Type: "
      "text/html\r\n%s",
      kProgramName, kMakerName, HeaderEnd(false).c_str());
  body_ = std::move(body);
  ready_ = true;
  return true;
}

void HttpResponse::ServeStatic(const std::string& root, const std::string& request_path,
                               std::string_view if_modified_since) {
  std::string path = request_path == "/" ? "/index.html" : request_path.substr(0, 249);
  SetSendDates(true);
  if (!SendFile(root + path, 200, false)) {
    NotFound();
    return;
  }
  platform::FileTime modified;
  if (!if_modified_since.empty() && file_->GetTimes(nullptr, nullptr, &modified) &&
      fileutil::EqualNoCase(HttpDate(modified.seconds), if_modified_since))
    NotModified();
}

bool HttpResponse::NextBodyPiece(char* buffer, std::size_t capacity, std::size_t* length) {
  if (file_) {
    if (file_left_ == 0) {
      *length = 0;
      return true;
    }
    *length = file_->Read(buffer, static_cast<std::size_t>(std::min<std::uint64_t>(capacity, file_left_)));
    file_left_ -= *length;
    return *length > 0 || file_->AtEnd();
  }
  *length = std::min(capacity, body_.size() - body_sent_);
  body_.copy(buffer, *length, body_sent_);
  body_sent_ += *length;
  return true;
}

}  // namespace quillon::http
