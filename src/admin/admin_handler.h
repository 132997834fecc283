// The remote admin's request handler: it serves the static files of the
// "remoteadmin" folder, checks the administrator's session id on every admin
// path (one beginning with "/_"), logs the administrator in and out, routes
// the admin paths to their pages and form processors, and fills page
// templates with their placeholders.
//
// An admin path without a session id is answered 404 (except the login
// post); a wrong or expired id is sent to "/badlogin.html".
//
// Programs rather than browsers (a metrics scraper, automation) use API
// routes: no session id, but an "Authorization: Bearer <token>" header
// checked against the API tokens. A wrong token counts as a wrong password
// does (the same per-address turn and pause) and is logged without itself. A GET that no
// route takes shows the template of the same name (path + ".html") with the
// common placeholders only, so plain pages need nothing but their file.
//
// Thread-safety: requests arrive on their connections' threads at once. The
// session, the edit state, the settings and the stores lock themselves;
// the router never holds two of those locks at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "admin/admin_session.h"
#include "admin/edit_state.h"
#include "ftp/ftp_server.h"
#include "http/http_server.h"
#include "platform/clock.h"
#include "runtime/critical_section.h"
#include "runtime/limits.h"
#include "settings/log_file.h"

namespace quillon::admin {

class AdminHandler final : public http::RequestHandler {
 public:
  static constexpr std::uint32_t kLoginFailurePauseMs = limits::kAdminLoginPauseMs;
  // The passwords of one address are checked one at a time, at most one per
  // kLoginFailurePauseMs after a wrong one, so parallel connections cannot
  // multiply an address's guessing rate; other addresses do not wait for
  // them. Beyond this many of one address waiting for their turn, a
  // password is answered "busy" unchecked (never with the bad-login page:
  // it was not compared).
  static constexpr int kMaxWaitingGuesses = 2;
  // Addresses with a password being checked, waiting or paused are tracked
  // up to this many (more than the remote admin's connections); a password
  // from yet another address is answered "busy" unchecked.
  static constexpr std::size_t kMaxGuessAddresses = 128;
  // The page a password that was not checked is answered with (503); the
  // built-in page when the folder has none.
  static constexpr const char* kBusyPage = "busy.html";
  static constexpr std::uint32_t kLogSizeLimit = 51200;
  static constexpr std::size_t kPasswordCapacity = 100;
  // Form fields are read up to this many characters.
  static constexpr std::size_t kFieldCapacity = 1024;
  // Characters that messages and reasons shown to FTP clients may not hold.
  static constexpr std::string_view kIllegalMessageChars = "\"*:;'?><,|\t\r\n";
  static constexpr const char* kIncompleteForm = "Incomplete Form";
  static constexpr const char* kNotSavedMessage =
      "Your changes have taken effect but failed to be saved to the hard drive. If this message "
      "continues, you should check the applications 'config' folder and ensure all files within are "
      "not set to read only.";

  using Method = http::HttpRequest::Method;
  // What a request's bearer token allows.
  enum class TokenGrant {
    kNone,       // the request carries no Authorization header
    kRefused,    // a token (or other credentials) that is no valid token
    kBusy,       // not checked: its address has too many checks waiting
    kReadOnly,   // a valid read-only token
    kReadWrite,  // a valid token that may change things
  };
  // Answers an API route; `grant` is what the request's token allows.
  using ApiHandler = std::function<void(http::HttpRequest& request, TokenGrant grant)>;
  // Answers a routed request; `id` is the request's (valid) session id.
  using RouteHandler = std::function<void(http::HttpRequest& request, const std::string& id)>;
  // Appends the text of a page's own placeholder NAME (unknown names: nothing).
  using PageFiller = std::function<void(std::string_view name, std::string* out)>;

  // The templates and static files are read from program_folder/remoteadmin,
  // the log goes to program_folder/logs/remoteadmin_<n>.txt.
  AdminHandler(ftp::FtpServer& server, platform::Clock& clock, const std::string& program_folder);

  void HandleRequest(http::HttpRequest& request) override;
  // Only the form processors (and the login) read bodies.
  bool TakesBody(const http::HttpRequest& request) const override;

  // Adds a route; `path` begins with "/_" and is compared without regard to
  // case. The page families register their routes here.
  void AddRoute(Method method, std::string_view path, RouteHandler handler);
  // Adds a GET route for every path longer than `prefix` that begins with it
  // (without regard to case) and that no exact route takes.
  void AddPrefixRoute(std::string_view prefix, RouteHandler handler);

  // Adds an API route: GET of `path` exactly (without regard to case), or
  // with `prefix` every path that begins with it; with `every_method` also
  // POST, PUT, PATCH and DELETE, whose bodies the handler reads. The
  // handler decides what the grant lets the request have; it answers 401
  // or 403 otherwise.
  void AddApiRoute(std::string_view path, bool prefix, ApiHandler handler, bool every_method = false);
  // Checks the request's bearer token (once per request; the API routes
  // do it before their handler). kNone without an Authorization header.
  // Otherwise the check waits for its address's turn as a password does
  // (kBusy when it cannot have it); a token that does not match starts the
  // address's pause, is logged as "Token Refused: Length=[n]" and gives
  // kRefused.
  TokenGrant AuthoriseToken(const http::HttpRequest& request);
  // Whether `grant` is a valid token, and one that may change things when
  // `write`.
  static bool GrantAllows(TokenGrant grant, bool write) {
    return grant == TokenGrant::kReadWrite || (!write && grant == TokenGrant::kReadOnly);
  }

  // Page frame: fills the template `name` (a file of the remoteadmin folder)
  // and sends it. Each NAME goes to the common placeholders first, then to
  // `filler` (may be null). A missing template leaves the response as it was.
  void Page(http::HttpRequest& request, const std::string& id, std::string_view name,
            const PageFiller* filler);
  // Fills the template `name` as Page does and appends it to *out; false
  // (nothing appended) when the template is missing.
  bool Fill(const http::HttpRequest& request, const std::string& id, std::string_view name,
            const PageFiller* filler, std::string* out);
  // Appends the text of a placeholder every page knows; false when `name` is
  // not one of them.
  bool CommonPlaceholder(const http::HttpRequest& request, const std::string& id,
                         std::string_view name, std::string* out);

  // Form-processor frame. True when the processor goes on. False when the
  // body is not a readable url-encoded form (the 404 stays) or the form was
  // cancelled ("buttoncancel"): the browser is then sent back to `back_page`
  // ("_menu", ...) and nothing changes.
  bool OpenForm(http::HttpRequest& request, const std::string& id, std::string_view back_page);
  // A form field the processor cannot do without; when it is missing the
  // browser gets the error page with "Incomplete Form" and the result is false.
  bool RequiredField(http::HttpRequest& request, const std::string& id, std::string_view name,
                     std::string* value, std::size_t capacity);
  // A step that asks before an action that cannot be taken back (with
  // script the page asks in a dialog and posts "confirmed" itself). The
  // confirmation page posts `fields` (hidden, name=value, names and values
  // plain) with confirmed=1 and the button `button_name` to `action`;
  // Cancel leads to `cancel_page` ("_status", ...).
  struct Confirmation {
    std::string title;
    std::string message;
    std::string action;  // the path and query after the session id, e.g. "_activate?action=stop"
    std::string button_name;
    std::string button;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string cancel_page;
  };
  // True when the form carries confirmed=1.
  static bool Confirmed(const http::HttpRequest& request);
  // Shows the confirmation page (template _confirm.html).
  void ConfirmPage(http::HttpRequest& request, const std::string& id, const Confirmation& confirmation);
  // Sends the browser to the error page showing `message` (plain text; its
  // character references, such as "&quot;", show as their characters). The
  // message travels percent-encoded whole, so any character comes back as
  // it was.
  void ErrorRedirect(http::HttpRequest& request, const std::string& id, std::string_view message);
  // Sends the browser to `page` ("_menu", ...) with the session id.
  void RedirectTo(http::HttpRequest& request, const std::string& id, std::string_view page);
  // Stores the remote-admin log's number in the settings and saves
  // settings, accounts and groups. Saved: the browser goes to `page`;
  // otherwise to the error page saying the changes were not saved.
  void SaveAndRedirect(http::HttpRequest& request, const std::string& id, std::string_view page);
  // Applies the settings, accounts and groups to the running server (which
  // stops it when its port cannot be opened: the browser is then told so),
  // then saves as SaveAndRedirect does.
  // A non-empty `done_message` is shown on the error page instead of `page`
  // when all went well (a warning the administrator must read).
  void ApplyAndSave(http::HttpRequest& request, const std::string& id, std::string_view page,
                    std::string_view done_message = {});
  // Writes "<peer ip> -> <text>" to the remote-admin log.
  void Log(const http::HttpRequest& request, std::string_view text);

  // Makes a pending wrong-password pause end at once (while the remote admin
  // stops), or lets pauses run again.
  void SetStopping(bool stopping) { stopping_.store(stopping); }
  // The addresses whose passwords are being checked, wait or pause now.
  std::size_t GuessAddressCount();

  settings::LogFile& LogFile() { return log_; }
  AdminSession& Session() { return session_; }
  EditState& Edit() { return edit_; }
  ftp::FtpServer& Server() { return server_; }
  const std::string& Folder() const { return folder_; }

 private:
  struct Route {
    Method method;
    std::string path;
    RouteHandler handler;
  };

  struct ApiRoute {
    std::string path;
    bool prefix;
    ApiHandler handler;
    bool every_method;
  };

  void Dispatch(http::HttpRequest& request, const std::string& id);
  // The API route of the request's path, or null.
  const ApiRoute* FindApiRoute(const std::string& path) const;
  void Login(http::HttpRequest& request);
  void Logout(http::HttpRequest& request);
  // Reads a template; a name missing as written is tried in lower case
  // (paths compare without regard to case, file names do not).
  bool LoadTemplate(std::string_view name, std::string* text) const;
  // One option line per name, names escaped.
  static void AppendOptions(const std::vector<std::string>& names, std::string* out);
  // One address's turn to have a password checked.
  struct GuessLane {
    bool turn_taken = false;         // a password of the address is checked or pauses
    int waiting = 0;                 // passwords of the address waiting for the turn
    std::uint64_t next_check_ms = 0; // MonotonicMs; no check of the address before it
  };
  // Waits for the turn of the request's address to check a password: until
  // no other password of the address is being checked and the pause after
  // its last wrong one is over. False, without the turn, when too many of
  // the address wait already, when too many addresses are tracked, or when
  // the wait was cut short (the connection or the remote admin stops).
  bool TakeGuessTurn(const http::HttpRequest& request);
  // What the pause counts a client by: its address, or an IPv6 one's /64.
  static std::string LaneKey(const http::HttpRequest& request);
  // After a wrong password: no check of the address before the pause ends.
  void StartPause(const http::HttpRequest& request);
  void ReleaseGuessTurn(const http::HttpRequest& request);
  // Waits until the address's pause is over; false when cut short.
  bool WaitOutPause(const http::HttpRequest& request);
  // Forgets the lanes that hold nothing: no turn, no waiter, pause over.
  // REQUIRES: guess_lock_ held.
  void PruneLanesLocked(std::uint64_t now);

  ftp::FtpServer& server_;
  platform::Clock& clock_;
  const std::string folder_;  // the remoteadmin folder
  settings::LogFile log_;
  AdminSession session_;
  EditState edit_;
  std::vector<Route> routes_;  // filled before the server starts
  std::vector<Route> prefix_routes_;
  std::vector<ApiRoute> api_routes_;  // filled before the server starts
  // Each address's turn to check a password, so its parallel guesses queue.
  std::mutex guess_lock_;
  std::condition_variable guess_turn_free_;
  std::map<std::string, GuessLane, std::less<>> lanes_;  // guarded by guess_lock_; by LaneKey
  std::atomic<bool> stopping_{false};
};

}  // namespace quillon::admin
