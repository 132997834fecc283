// The response of the remote admin's HTTP server to one request: a status
// line and headers, and a body held in memory or read from a file while it
// is sent. Built by one of the response operations; the connection sends it.
//
// Thread-safety: belongs to its connection's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/fs.h"
#include "fileutil/file_handle.h"

namespace quillon::http {

inline constexpr const char* kProgramName = "Quillon FTP Server 1.03";
inline constexpr const char* kMakerName = "Marrowind";
inline constexpr const char* kHomePage = "https://quillon.marrowind.example/";

// The HTTP date of a time (RFC 1123, UTC): "Sun, 06 Nov 1994 08:49:37 GMT".
std::string HttpDate(std::int64_t seconds);
// `text` (a name, path, file name, setting or query value) for a page or
// a quoted attribute: &, <, >, " and ' written as entities.
std::string EscapeHtml(std::string_view text);
// As EscapeHtml, except that a complete character reference ("&quot;",
// "&#39;", "&#x41;") stays as it is. For the messages of the error and
// notice pages, which travel in the query: the fixed refusal texts carry
// entities on purpose. A reference cannot make markup, so nothing but text
// reaches the page either way.
std::string EscapeHtmlKeepingReferences(std::string_view text);
// `text` percent-encoded for a URL path segment or query value: every byte
// but letters, digits and "-._~" is written as "%XX".
std::string EncodeUrl(std::string_view text);
// A decoded path ("/a b/c") as a URL path: as EncodeUrl, with "/" kept.
std::string EncodeUrlPath(std::string_view path);
// A query as it came in a request line, fit for a Location header: its
// escapes and URL characters ("%&=+?/:@!$'()*,;") stay, every other byte
// (control bytes, blanks, quotes, '#', bytes above 127) becomes "%XX".
std::string EncodeUrlQuery(std::string_view query);
// The Content-Type for a type word or file extension (exact, case-sensitive).
const char* MimeType(std::string_view word);
// The body of the built-in 404 page (also written as the default error404.html).
std::string BuiltInNotFoundPage();

class HttpResponse {
 public:
  enum class Kind { kNone = 0, kOk = 1, kNotFound = 2, kBadRequest = 3, kRedirection = 4, kBusy = 5 };
  // How long a browser told the server is busy waits before it asks again.
  static constexpr int kBusyRetrySeconds = 5;

  explicit HttpResponse(platform::Clock& clock) : clock_(clock) {}
  ~HttpResponse();
  HttpResponse(const HttpResponse&) = delete;
  HttpResponse& operator=(const HttpResponse&) = delete;

  // Serves a file; false (and nothing prepared) when it cannot be opened.
  // `type_word` chooses the content type; empty: the file's extension.
  [[nodiscard]] bool SendFile(const std::string& path, int status, bool delete_after_send,
                              std::string_view type_word = {});
  // As SendFile with status 200, for a regular file that `path` names
  // itself: false (and nothing prepared) when its last component is a
  // symbolic link or anything but a regular file (the open does not follow
  // a link, so none can take the file's place meanwhile).
  [[nodiscard]] bool SendRegularFile(const std::string& path);
  // 404: `file` when given and readable, else the not-found page, else the
  // built-in page.
  void NotFound(const std::string& file = {});
  // 400: `file` when given and readable, else the built-in page.
  void BadRequest(const std::string& file = {});
  // 503 with "Retry-After": the request was not looked at because the
  // server is busy with others of its kind; asked again later, it will be.
  // `file` when given and readable, else the built-in page.
  void Busy(const std::string& file = {});
  void NotModified();
  // 307 for GET and HEAD; after a POST, a 200 page that makes the browser
  // load the target. Blanks in the target are sent as "%20".
  void Redirect(std::string_view target, bool after_post);
  // A listing of a folder's sub-folders and regular files (the log viewer's
  // index). Symbolic links, FIFOs, sockets and devices are left out.
  [[nodiscard]] bool DirectoryIndex(const std::string& folder, std::string_view query_suffix,
                                    std::string_view title, std::string_view up_link);
  // A page from memory (the admin pages), with the usual headers.
  void SendPage(std::string body, std::string_view type_word = "html");
  // An answer for programs rather than browsers (the metrics, the JSON
  // interface): `status` with `body` of `content_type` as given (a full
  // media type).
  void SendData(std::string body, std::string_view content_type, int status = 200);
  // 401 with "WWW-Authenticate: Bearer": one plain line that tells nothing
  // about why.
  void Unauthorised();

  void SetSendDates(bool on) { send_dates_ = on; }
  // The answer goes over TLS: every header then tells the browser to use
  // only HTTPS for this server for a year (Strict-Transport-Security).
  void SetStrictTransportSecurity(bool on) { strict_transport_ = on; }
  void SetNotFoundPage(std::string path) { not_found_page_ = std::move(path); }
  // Serves "<root><request path>" ("/" gives index.html) with dates; a
  // missing file gives not found; an unchanged file gives not modified.
  // These static files are the only answers a browser may keep in its
  // cache: every other answer says "Cache-Control: no-store".
  void ServeStatic(const std::string& root, const std::string& request_path,
                   std::string_view if_modified_since);

  bool IsReady() const { return ready_; }
  Kind GetKind() const { return kind_; }
  const std::string& Header() const { return header_; }
  // Copies the next piece of the body into `buffer` (at most `capacity`);
  // 0 at the end. False when the body file cannot be read.
  [[nodiscard]] bool NextBodyPiece(char* buffer, std::size_t capacity, std::size_t* length);
  // The whole body held in memory (empty for file bodies).
  const std::string& BodyText() const { return body_; }

 private:
  void Reset();
  void BuiltIn(std::string header, std::string body, Kind kind);
  // The end of a header: the guard headers, Strict-Transport-Security over
  // TLS, "no-store" unless the answer is a static file a browser may keep,
  // and the connection's end.
  std::string HeaderEnd(bool cacheable) const;
  // SendFile, opening the file with `links`.
  [[nodiscard]] bool Send(const std::string& path, int status, bool delete_after_send,
                          std::string_view type_word, platform::Links links);

  platform::Clock& clock_;
  std::string header_;
  std::string body_;
  std::size_t body_sent_ = 0;
  std::unique_ptr<fileutil::FileHandle> file_;
  // Bytes of the file still to send: its size when opened, so a file that
  // grows meanwhile is never sent past its Content-Length.
  std::uint64_t file_left_ = 0;
  std::string delete_after_send_;
  std::string not_found_page_;
  Kind kind_ = Kind::kNone;
  bool ready_ = false;
  bool send_dates_ = false;
  bool strict_transport_ = false;
};

}  // namespace quillon::http
