#include "admin/admin_handler.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "control/record_control.h"
#include "control/settings_control.h"
#include "http/template_scanner.h"
#include "fileutil/file_handle.h"
#include "fileutil/text.h"

namespace quillon::admin {

namespace {

using http::EscapeHtml;
using http::EscapeHtmlKeepingReferences;
using http::HttpRequest;
using http::HttpResponse;
using http::TemplateScanner;
using Guard = runtime::CriticalSection::Guard;
using fileutil::FormatText;

constexpr const char* kBadLoginPage = "/badlogin.html";
constexpr const char* kLoggedOutPage = "/loggedout.html";
constexpr std::uint64_t kMaxTemplateBytes = 4 * 1024 * 1024;
constexpr std::uint32_t kPauseStepMs = 50;

// Placeholders that stand for a link carrying the session id.
struct IdLink {
  std::string_view name;
  const char* format;
};
constexpr IdLink kIdLinks[] = {
    {"MENULINK", "_menu?id=%s"},
    {"STATUSLINK", "_status?id=%s"},
    {"ACCOUNTSLINK", "_accounts?id=%s"},
    {"GROUPSLINK", "_groups?id=%s"},
    {"LOGOUTLINK", "_logout?id=%s"},
    {"GENSETTINGSLINK", "_gensettings?id=%s"},
    {"GENIPSLINK", "_genips?id=%s"},
    {"PROCESSGENSETTINGS", "_processgensettings?id=%s"},
    {"PROCESSIPS", "_processips?id=%s"},
    {"PROCESSADDIP", "_processaddip?id=%s"},
    {"PROCESSACCOUNTSELECTION", "_processaccountselection?id=%s&mode=account"},
    {"PROCESSGROUPSELECTION", "_processaccountselection?id=%s&mode=group"},
    {"PROCESSACCOUNTBULK", "_processrecordbulk?id=%s&mode=account"},
    {"PROCESSGROUPBULK", "_processrecordbulk?id=%s&mode=group"},
    {"PROCESSACCOUNTGEN", "_processaccountgen?id=%s"},
    {"PROCESSACCOUNTFOLDERS", "_processaccountfolders?id=%s"},
    {"PROCESSACCOUNTLIMITS", "_processaccountlimits?id=%s"},
    {"PROCESSACCOUNTVF", "_processaccountvf?id=%s"},
    {"LOGSLINK", "_logs?id=%s"},
    {"SYSTEMLOGSLINK", "_viewlogs/system/?id=%s"},
    {"ACCOUNTLOGSLINK", "_viewlogs/accounts/?id=%s"},
};

bool IsPost(const HttpRequest& request) { return request.GetMethod() == HttpRequest::Method::kPost; }

}  // namespace

AdminHandler::AdminHandler(ftp::FtpServer& server, platform::Clock& clock,
                           const std::string& program_folder)
    : server_(server),
      clock_(clock),
      folder_(program_folder + "/remoteadmin"),
      log_(clock, 0, kLogSizeLimit),
      session_(clock) {
  log_.SetPrefix(program_folder, std::string(settings::kLogsFolder) + "/" + settings::kAdminLogName);
  AddRoute(Method::kPost, "/_login", [this](HttpRequest& request, const std::string&) { Login(request); });
  AddRoute(Method::kGet, "/_logout", [this](HttpRequest& request, const std::string&) { Logout(request); });
}

void AdminHandler::AddRoute(Method method, std::string_view path, RouteHandler handler) {
  routes_.push_back(Route{method, std::string(path), std::move(handler)});
}

void AdminHandler::AddPrefixRoute(std::string_view prefix, RouteHandler handler) {
  prefix_routes_.push_back(Route{Method::kGet, std::string(prefix), std::move(handler)});
}

void AdminHandler::AddApiRoute(std::string_view path, bool prefix, ApiHandler handler, bool every_method) {
  api_routes_.push_back(ApiRoute{std::string(path), prefix, std::move(handler), every_method});
}

const AdminHandler::ApiRoute* AdminHandler::FindApiRoute(const std::string& path) const {
  for (const ApiRoute& route : api_routes_) {
    if (route.prefix ? fileutil::StartsWithNoCase(path, route.path) : fileutil::EqualNoCase(path, route.path))
      return &route;
  }
  return nullptr;
}

AdminHandler::TokenGrant AdminHandler::AuthoriseToken(const HttpRequest& request) {
  if (!request.HasAuthorization()) return TokenGrant::kNone;
  if (!TakeGuessTurn(request)) {
    Log(request, "Token Not Checked: Server Busy");
    return TokenGrant::kBusy;
  }
  std::string name;
  const ftp::TokenAccess access = server_.MatchApiToken(request.BearerToken(), &name);
  if (access == ftp::TokenAccess::kNone) {
    StartPause(request);
    // The turn is kept through the pause, so the address's next check waits its end.
    [[maybe_unused]] const bool waited = WaitOutPause(request);
  }
  ReleaseGuessTurn(request);
  switch (access) {
    case ftp::TokenAccess::kReadOnly: return TokenGrant::kReadOnly;
    case ftp::TokenAccess::kReadWrite: return TokenGrant::kReadWrite;
    case ftp::TokenAccess::kNone: break;
  }
  Log(request, FormatText("Token Refused: Length=[%d]", static_cast<int>(request.BearerToken().size())));
  return TokenGrant::kRefused;
}

void AdminHandler::HandleRequest(HttpRequest& request) {
  HttpResponse& response = request.Response();
  response.SetNotFoundPage(folder_ + "/error404.html");
  const std::string& path = request.Path();
  if (const ApiRoute* route = FindApiRoute(path)) {
    const Method method = request.GetMethod();
    if (method == Method::kNone || method == Method::kHead || (method != Method::kGet && !route->every_method)) {
      response.BadRequest();
      return;
    }
    route->handler(request, AuthoriseToken(request));
    return;
  }
  if (path.size() < 2 || path[1] != '_') {
    response.ServeStatic(folder_, path, request.IfModifiedSince());
    return;
  }
  if (request.GetMethod() == Method::kHead) {
    response.BadRequest();
    return;
  }
  response.NotFound();
  const std::string* id = request.QueryParam("id");
  if (id == nullptr) {
    if (IsPost(request) && fileutil::EqualNoCase(path, "/_login")) Login(request);
    return;
  }
  if (!session_.Accept(*id)) {
    response.Redirect(kBadLoginPage, IsPost(request));
    return;
  }
  Dispatch(request, *id);
}

bool AdminHandler::TakesBody(const HttpRequest& request) const {
  if (const ApiRoute* route = FindApiRoute(request.Path())) return route->every_method && request.HasBody();
  return std::any_of(routes_.begin(), routes_.end(), [&request](const Route& route) {
    return route.method == Method::kPost && fileutil::EqualNoCase(route.path, request.Path());
  });
}

void AdminHandler::Dispatch(HttpRequest& request, const std::string& id) {
  const Method method = request.GetMethod();
  const std::string& path = request.Path();
  for (const Route& route : routes_) {
    if (route.method == method && fileutil::EqualNoCase(route.path, path)) {
      route.handler(request, id);
      return;
    }
  }
  if (method != Method::kGet) return;
  for (const Route& route : prefix_routes_) {
    if (path.size() > route.path.size() && fileutil::StartsWithNoCase(path, route.path)) {
      route.handler(request, id);
      return;
    }
  }
  // A plain page: its template named after the path, common placeholders only.
  Page(request, id, path.substr(1) + ".html", nullptr);
}

void AdminHandler::Login(HttpRequest& request) {
  if (!request.IsUrlEncoded() || !request.IsComplete()) return;
  HttpResponse& response = request.Response();
  std::string password;
  if (!request.FormFieldValue("pass", &password, kPasswordCapacity)) {
    response.Redirect(kBadLoginPage, true);
    return;
  }
  if (!TakeGuessTurn(request)) {
    // Not compared, so neither right nor wrong: the browser is asked to try again.
    response.Busy(folder_ + "/" + kBusyPage);
    Log(request, "Login Not Checked: Server Busy");
    return;
  }
  const bool match = control::SettingsControl(server_).AdminPasswordMatches(password);
  if (!match) {
    StartPause(request);
    // The turn is kept through the pause, so the address's next guess waits its end.
    [[maybe_unused]] const bool waited = WaitOutPause(request);
  }
  ReleaseGuessTurn(request);
  if (!match) {
    response.Redirect(kBadLoginPage, true);
    Log(request, FormatText("Login Failure: Password Length=[%d]", static_cast<int>(password.size())));
    return;
  }
  control::SettingsControl(server_).HashAdminPasswordAfterLogin(password);
  const std::string id = session_.LogIn();
  if (id.empty()) return;  // no random source: the 404 stays
  response.Redirect("_menu?id=" + id, true);
  Log(request, "Logged In");
}

std::string AdminHandler::LaneKey(const HttpRequest& request) {
  const std::optional<runtime::IpAddress> peer = runtime::IpAddress::Parse(request.PeerIp());
  return peer ? peer->LimitKeyText() : request.PeerIp();
}

bool AdminHandler::TakeGuessTurn(const HttpRequest& request) {
  std::unique_lock<std::mutex> lock(guess_lock_);
  auto found = lanes_.find(LaneKey(request));
  if (found == lanes_.end()) {
    if (lanes_.size() >= kMaxGuessAddresses) PruneLanesLocked(clock_.MonotonicMs());
    if (lanes_.size() >= kMaxGuessAddresses) return false;
    found = lanes_.emplace(LaneKey(request), GuessLane{}).first;
  }
  // A lane with a turn taken or a waiter is never pruned: the reference holds.
  GuessLane& lane = found->second;
  if (lane.turn_taken) {
    if (lane.waiting >= kMaxWaitingGuesses) return false;
    ++lane.waiting;
    while (lane.turn_taken) {
      // Waiters do not sleep on the clock: only the turn's holder does.
      guess_turn_free_.wait_for(lock, std::chrono::milliseconds(kPauseStepMs));
      if (stopping_.load() || request.StopRequested()) {
        --lane.waiting;
        return false;
      }
    }
    --lane.waiting;
  }
  lane.turn_taken = true;
  lock.unlock();
  // A pause cut short by its own connection still holds back the next check.
  if (WaitOutPause(request)) return true;
  ReleaseGuessTurn(request);
  return false;
}

void AdminHandler::StartPause(const HttpRequest& request) {
  std::lock_guard<std::mutex> guard(guess_lock_);
  // The lane exists: its turn is taken.
  lanes_[LaneKey(request)].next_check_ms = clock_.MonotonicMs() + kLoginFailurePauseMs;
}

void AdminHandler::ReleaseGuessTurn(const HttpRequest& request) {
  {
    std::lock_guard<std::mutex> guard(guess_lock_);
    const auto found = lanes_.find(LaneKey(request));
    if (found != lanes_.end()) {
      GuessLane& lane = found->second;
      lane.turn_taken = false;
      if (lane.waiting == 0 && lane.next_check_ms <= clock_.MonotonicMs()) lanes_.erase(found);
    }
  }
  // Lanes share the signal: each waiter looks at its own.
  guess_turn_free_.notify_all();
}

bool AdminHandler::WaitOutPause(const HttpRequest& request) {
  std::uint64_t until;
  {
    std::lock_guard<std::mutex> guard(guess_lock_);
    const auto found = lanes_.find(LaneKey(request));
    until = found == lanes_.end() ? 0 : found->second.next_check_ms;
  }
  // Ends when the clock passes `until`, or when the steps slept add up to
  // the time that was left (whichever comes first).
  const std::uint64_t start = clock_.MonotonicMs();
  const std::uint64_t left = until > start ? until - start : 0;
  for (std::uint64_t slept = 0; slept < left && clock_.MonotonicMs() < until;) {
    if (stopping_.load() || request.StopRequested()) return false;
    const auto step = static_cast<std::uint32_t>(std::min<std::uint64_t>(left - slept, kPauseStepMs));
    clock_.SleepMs(step);
    slept += step;
  }
  return true;
}

void AdminHandler::PruneLanesLocked(std::uint64_t now) {
  std::erase_if(lanes_, [now](const auto& entry) {
    const GuessLane& lane = entry.second;
    return !lane.turn_taken && lane.waiting == 0 && lane.next_check_ms <= now;
  });
}

std::size_t AdminHandler::GuessAddressCount() {
  std::lock_guard<std::mutex> guard(guess_lock_);
  const std::uint64_t now = clock_.MonotonicMs();
  return static_cast<std::size_t>(std::count_if(lanes_.begin(), lanes_.end(), [now](const auto& entry) {
    const GuessLane& lane = entry.second;
    return lane.turn_taken || lane.waiting > 0 || lane.next_check_ms > now;
  }));
}

void AdminHandler::Logout(HttpRequest& request) {
  session_.LogOut();
  request.Response().Redirect(kLoggedOutPage, IsPost(request));
}

bool AdminHandler::LoadTemplate(std::string_view name, std::string* text) const {
  if (fileutil::ReadWholeFile(folder_ + "/" + std::string(name), kMaxTemplateBytes, text)) return true;
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(), fileutil::FoldCase);
  return lower != name && fileutil::ReadWholeFile(folder_ + "/" + lower, kMaxTemplateBytes, text);
}

void AdminHandler::Page(HttpRequest& request, const std::string& id, std::string_view name,
                        const PageFiller* filler) {
  std::string page;
  if (!Fill(request, id, name, filler, &page)) return;
  request.Response().SendPage(std::move(page), "html");
}

bool AdminHandler::Fill(const HttpRequest& request, const std::string& id, std::string_view name,
                        const PageFiller* filler, std::string* out) {
  std::string text;
  if (!LoadTemplate(name, &text)) return false;
  out->reserve(out->size() + text.size() + 1024);
  TemplateScanner scanner(text);
  std::string placeholder;
  for (;;) {
    scanner.Next(out, &placeholder);
    if (placeholder.empty()) break;
    if (!CommonPlaceholder(request, id, placeholder, out) && filler != nullptr && *filler)
      (*filler)(placeholder, out);
  }
  return true;
}

bool AdminHandler::CommonPlaceholder(const HttpRequest& request, const std::string& id,
                                     std::string_view name, std::string* out) {
  static constexpr std::string_view kMessages[] = {"MSG1", "MSG2", "MSG3"};
  static constexpr std::string_view kMessageParams[] = {"msg1", "msg2", "msg3"};
  for (std::size_t i = 0; i < std::size(kMessages); ++i) {
    if (name != kMessages[i]) continue;
    // The fixed refusal texts travel here with their entities.
    if (const std::string* value = request.QueryParam(kMessageParams[i]))
      *out += EscapeHtmlKeepingReferences(*value);
    return true;
  }
  if (name == "ID") {
    *out += id;
    return true;
  }
  for (const IdLink& link : kIdLinks) {
    if (name != link.name) continue;
    *out += FormatText(link.format, id.c_str());
    return true;
  }
  if (name == "ACCOUNTSOPTIONSLIST") {
    AppendOptions(control::RecordControl(server_, control::RecordKind::kAccount).Names(), out);
    Guard guard(edit_.Lock());
    edit_.ClearLocked();
    return true;
  }
  if (name == "GROUPSOPTIONSLIST") {
    AppendOptions(control::RecordControl(server_, control::RecordKind::kGroup).Names(), out);
    return true;
  }
  if (name == "MAXACCOUNTS") {
    *out += "Unlimited";
    return true;
  }
  if (name == "CURRENTACCOUNTCOUNT") {
    *out += std::to_string(control::RecordControl(server_, control::RecordKind::kAccount).Count());
    return true;
  }
  if (name == "ADDIPMSG") {
    bool add_to_safe;
    {
      Guard guard(edit_.Lock());
      add_to_safe = edit_.add_to_safe;
    }
    *out += add_to_safe ? "Adding to the Safe IP's..." : "Adding to the Blocked IP's...";
    return true;
  }
  return false;
}

void AdminHandler::AppendOptions(const std::vector<std::string>& names, std::string* out) {
  for (const std::string& name : names) {
    const std::string shown = EscapeHtml(name);
    *out += FormatText("<option value=\"%s\">%s</option>\r\n", shown.c_str(), shown.c_str());
  }
}

void AdminHandler::ApplyAndSave(HttpRequest& request, const std::string& id, std::string_view page,
                                std::string_view done_message) {
  std::string error;
  switch (control::SettingsControl(server_).ApplyAndSave(log_.Number(), &error)) {
    case control::CommitResult::kDone:
      if (done_message.empty()) {
        RedirectTo(request, id, page);
      } else {
        ErrorRedirect(request, id, done_message);
      }
      return;
    case control::CommitResult::kPortNotApplied:
      ErrorRedirect(request, id, error + ". The FTP Server has now deactivated.");
      return;
    case control::CommitResult::kNotSaved: ErrorRedirect(request, id, kNotSavedMessage); return;
  }
}

bool AdminHandler::OpenForm(HttpRequest& request, const std::string& id, std::string_view back_page) {
  if (!request.IsUrlEncoded() || !request.IsComplete()) return false;
  if (request.FormFieldExists("buttoncancel")) {
    RedirectTo(request, id, back_page);
    return false;
  }
  return true;
}

bool AdminHandler::RequiredField(HttpRequest& request, const std::string& id, std::string_view name,
                                 std::string* value, std::size_t capacity) {
  if (request.FormFieldValue(name, value, capacity)) return true;
  ErrorRedirect(request, id, kIncompleteForm);
  return false;
}

bool AdminHandler::Confirmed(const HttpRequest& request) {
  std::string value;
  return request.FormFieldValue("confirmed", &value, 8) && value == "1";
}

void AdminHandler::ConfirmPage(HttpRequest& request, const std::string& id,
                               const Confirmation& confirmation) {
  const PageFiller filler = [&](std::string_view name, std::string* out) {
    if (name == "CONFIRMTITLE") {
      *out += EscapeHtml(confirmation.title);
    } else if (name == "CONFIRMMESSAGE") {
      *out += EscapeHtml(confirmation.message);
    } else if (name == "CONFIRMACTION") {
      const std::size_t query = confirmation.action.find('?');
      *out += EscapeHtml(query == std::string::npos
                             ? confirmation.action + "?id=" + id
                             : confirmation.action.substr(0, query) + "?id=" + id + "&" +
                                   confirmation.action.substr(query + 1));
    } else if (name == "CONFIRMFIELDS") {
      for (const auto& [field, value] : confirmation.fields)
        *out += FormatText("<input type=\"hidden\" name=\"%s\" value=\"%s\">\r\n", EscapeHtml(field).c_str(),
                           EscapeHtml(value).c_str());
    } else if (name == "CONFIRMBUTTONNAME") {
      *out += EscapeHtml(confirmation.button_name);
    } else if (name == "CONFIRMBUTTON") {
      *out += EscapeHtml(confirmation.button);
    } else if (name == "CONFIRMCANCEL") {
      *out += EscapeHtml(confirmation.cancel_page + "?id=" + id);
    }
  };
  Page(request, id, "_confirm.html", &filler);
}

void AdminHandler::ErrorRedirect(HttpRequest& request, const std::string& id,
                                 std::string_view message) {
  // Every byte but letters, digits and "-._~" travels as "%XX": a "?", "&"
  // or "#" of the message cannot end its value or lose the session id, and
  // a "%" or "+" comes back as itself.
  request.Response().Redirect("_error?id=" + id + "&msg1=" + http::EncodeUrl(message), IsPost(request));
}

void AdminHandler::RedirectTo(HttpRequest& request, const std::string& id, std::string_view page) {
  request.Response().Redirect(std::string(page) + "?id=" + id, IsPost(request));
}

void AdminHandler::SaveAndRedirect(HttpRequest& request, const std::string& id,
                                   std::string_view page) {
  if (control::SettingsControl(server_).Save(log_.Number())) {
    RedirectTo(request, id, page);
  } else {
    ErrorRedirect(request, id, kNotSavedMessage);
  }
}

void AdminHandler::Log(const HttpRequest& request, std::string_view text) {
  [[maybe_unused]] const bool written =
      log_.WriteLine(request.PeerIp() + " -> " + std::string(text));
}

}  // namespace quillon::admin
