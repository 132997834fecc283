// The IP list pages of the remote admin: the safe and blocked lists of the
// server, or of the account or group being edited. The lists are changed in
// the administrator's edit state; nothing reaches the server or the disk
// until the update button (server lists) or the record's store step
// (account and group lists).
//
// Thread-safety: the edit lock guards the work lists and flags; the
// server's lists are read and stored through control::SettingsControl,
// never under the edit lock.
#pragma once

#include <string>

#include "admin/admin_handler.h"

namespace quillon::admin {

class IpPages {
 public:
  // Registers _genips, _ips, _processips and _processaddip with `handler`,
  // which must outlive this object.
  explicit IpPages(AdminHandler& handler);

  // What the update button does for an account's or group's lists: the
  // record's store step, which the account pages provide. Set before the
  // server starts.
  void SetRecordStore(AdminHandler::RouteHandler store) { store_record_ = std::move(store); }

 private:
  void OpenServerLists(http::HttpRequest& request, const std::string& id);
  void Page(http::HttpRequest& request, const std::string& id);
  void Process(http::HttpRequest& request, const std::string& id);
  void ProcessAdd(http::HttpRequest& request, const std::string& id);
  // The confirmation page of "Block all" (a form without confirmed=1).
  void ConfirmBlockAll(http::HttpRequest& request, const std::string& id);
  // Copies the work lists and flags to the server's settings, applies and saves.
  void UpdateServerLists(http::HttpRequest& request, const std::string& id);

  AdminHandler& handler_;
  AdminHandler::RouteHandler store_record_;
};

}  // namespace quillon::admin
