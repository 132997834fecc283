#include "admin/json_api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "accounts/account_store.h"
#include "control/config_commands.h"
#include "support/free_port.h"
#include "support/ftp_server_fixture.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace quillon::admin {
namespace {

using http::JsonValue;

class JsonApiTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    target_ = std::make_unique<control::LiveTarget>(*server_, nullptr);
    api_ = std::make_unique<JsonApi>(*server_, *target_, dir_.Path());
  }

  ApiReply Call(ApiVerb verb, const std::string& path, const std::string& body = {},
                std::map<std::string, std::string> query = {}, bool read_only = false) {
    ApiCall call;
    call.verb = verb;
    call.path = path;
    call.body = body;
    call.read_only = read_only;
    call.query = [query = std::move(query)](std::string_view name) -> const std::string* {
      auto found = query.find(std::string(name));
      return found == query.end() ? nullptr : &found->second;
    };
    ApiReply reply = api_->Handle(call);
    if (!reply.change.empty()) logged_.push_back(reply.change);
    return reply;
  }
  static std::string Code(const ApiReply& reply) {
    const JsonValue* error = reply.body.Find("error");
    return error != nullptr ? error->Find("code")->AsString() : std::string();
  }
  static std::string Message(const ApiReply& reply) { return reply.body.Find("error")->Find("message")->AsString(); }
  accounts::AccountRecord Stored(const std::string& name) {
    accounts::AccountRecord record;
    EXPECT_TRUE(server_->Accounts().GetCopy(name, &record)) << name;
    return record;
  }

  std::unique_ptr<control::LiveTarget> target_;
  std::unique_ptr<JsonApi> api_;
  std::vector<std::string> logged_;
};

TEST_F(JsonApiTest, AnAccountIsCreatedWithFoldersReadChangedRenamedCopiedAndDeleted) {
  std::filesystem::create_directories(dir_.File("pub"));
  const std::string body = R"({"name":"carol","password":"pw1","root_folder":")" + dir_.File("root") +
                           R"(","rights":"rwl","max_size_mb":5,"vfolders":[{"name":"pub","path":")" +
                           dir_.File("pub") + R"(","rights":"rl","max_size_mb":2}]})";
  const ApiReply created = Call(ApiVerb::kPost, "/accounts", body);
  ASSERT_EQ(created.status, 201) << created.body.Dump();
  EXPECT_EQ(created.body.Find("password_set")->AsBool(), true);
  EXPECT_EQ(created.body.Find("password"), nullptr) << "passwords are write-only";
  EXPECT_EQ(created.body.Find("vfolders")->Items().at(0).Find("name")->AsString(), "/pub");
  const accounts::AccountRecord carol = Stored("carol");
  EXPECT_TRUE(carol.MatchLogin("carol", "pw1"));
  EXPECT_TRUE(carol.mUseMaxSize);
  EXPECT_EQ(carol.mMaxSize, 5u);
  ASSERT_EQ(carol.FolderCount(), 1u);
  EXPECT_EQ(carol.FolderAt(0).mMaxSize, 2u);
  // Saved as well as applied: the file on disk holds the account.
  accounts::AccountStore reread(dir_.File("config/accounts.dta"));
  ASSERT_TRUE(reread.Load());
  EXPECT_TRUE(reread.Exists("carol"));

  // A subset of fields; null turns a limit off.
  const ApiReply changed = Call(ApiVerb::kPatch, "/accounts/carol",
                                R"({"max_size_mb":null,"enabled":false,"max_sessions":3,"always_allow_login":true})");
  ASSERT_EQ(changed.status, 200) << changed.body.Dump();
  EXPECT_TRUE(changed.body.Find("max_size_mb")->IsNull());
  EXPECT_EQ(changed.body.Find("max_sessions")->Dump(), "3");
  EXPECT_FALSE(Stored("carol").mEnabled);
  EXPECT_TRUE(Stored("carol").mAlwaysAllowLogin);
  EXPECT_EQ(Stored("carol").mMaxSize, 5u) << "the value stays, unused";
  // A refused value is named by its field, and nothing of the change is stored.
  const ApiReply refused = Call(ApiVerb::kPatch, "/accounts/carol", R"({"enabled":true,"max_sessions":"many"})");
  EXPECT_EQ(refused.status, 422);
  EXPECT_EQ(Message(refused), "The value of max_sessions must be a whole number, not \"many\".");
  EXPECT_FALSE(Stored("carol").mEnabled);

  EXPECT_EQ(Call(ApiVerb::kPost, "/accounts/carol/rename", R"({"name":"dora"})").status, 200);
  EXPECT_FALSE(server_->Accounts().Exists("carol"));
  EXPECT_EQ(Call(ApiVerb::kPost, "/accounts/dora/copy", R"({"name":"eve"})").status, 201);
  EXPECT_TRUE(Stored("eve").MatchLogin("eve", "pw1"));

  EXPECT_EQ(Call(ApiVerb::kPost, "/accounts/eve/vfolders", R"({"name":"/PUB","path":")" + dir_.File("pub") + "\"}")
                .status,
            409);
  EXPECT_EQ(Call(ApiVerb::kDelete, "/accounts/eve/vfolders", {}, {{"name", "/nothing"}}).status, 404);
  EXPECT_EQ(Call(ApiVerb::kDelete, "/accounts/eve/vfolders", {}, {{"name", "PUB"}}).status, 204);
  EXPECT_EQ(Stored("eve").FolderCount(), 0u);
  EXPECT_EQ(Call(ApiVerb::kDelete, "/accounts/eve").status, 204);
  EXPECT_FALSE(server_->Accounts().Exists("eve"));
  EXPECT_EQ(Code(Call(ApiVerb::kGet, "/accounts/eve")), "not_found");
  EXPECT_FALSE(logged_.empty());
}

TEST_F(JsonApiTest, RefusalsCarryTheRightStatusAndTheEditorsText) {
  struct Case {
    ApiVerb verb;
    std::string path;
    std::string body;
    int status;
    std::string code;
  };
  const std::vector<Case> cases = {
      {ApiVerb::kPost, "/accounts", R"({"name":"BOB","root_folder":null,"password":"p"})", 409, "name_taken"},
      {ApiVerb::kPost, "/accounts", R"({"name":"nobody"})", 422, "invalid_value"},  // no root folder
      {ApiVerb::kPost, "/accounts", R"({"name":"a b"})", 422, "invalid_value"},
      {ApiVerb::kPost, "/accounts", R"({"password":"x"})", 400, "invalid_request"},
      {ApiVerb::kPost, "/accounts", R"({"name":"x",})", 400, "invalid_json"},
      {ApiVerb::kPost, "/accounts", R"([1])", 400, "invalid_json"},
      {ApiVerb::kPatch, "/accounts/bob", R"({"rights":"rwz"})", 422, "invalid_value"},
      {ApiVerb::kPatch, "/accounts/bob", R"({"max_size_mb":-1})", 422, "invalid_value"},
      {ApiVerb::kPatch, "/accounts/bob", R"({"mystery":1})", 400, "unknown_field"},
      {ApiVerb::kPatch, "/accounts/bob", R"({"rights":["r"]})", 422, "invalid_value"},
      {ApiVerb::kPatch, "/groups/bob", R"({"enabled":true})", 404, "not_found"},
      {ApiVerb::kPatch, "/nothing/bob", "", 404, "unknown_path"},
      {ApiVerb::kPut, "/accounts/bob", "", 405, "method_not_allowed"},
      {ApiVerb::kPatch, "/settings", R"({"mPort":0})", 422, "invalid_value"},
      {ApiVerb::kPatch, "/settings", R"({"mNoSuchKey":1})", 400, "unknown_field"},
      {ApiVerb::kPut, "/ips/blocked", R"({"enabled":true,"entries":["10.0.0.9-10.0.0.1"]})", 422, "invalid_value"},
      {ApiVerb::kPost, "/sessions/77/kick", "", 404, "not_found"},
      {ApiVerb::kGet, "/logs/system/..", "", 404, "not_found"},
      {ApiVerb::kGet, "/logs/elsewhere/x.txt", "", 404, "not_found"},
  };
  const accounts::AccountRecord before = Stored("bob");
  for (const Case& c : cases) {
    const ApiReply reply = Call(c.verb, c.path, c.body);
    EXPECT_EQ(reply.status, c.status) << c.path << " " << c.body << " " << reply.body.Dump();
    EXPECT_EQ(Code(reply), c.code) << c.path << " " << c.body;
  }
  // A taken name is refused in the editors' words, and nothing changed.
  EXPECT_EQ(Message(Call(ApiVerb::kPost, "/accounts/bob/copy", R"({"name":"Bob"})")),
            control::RecordControl::CopyRefusalText(control::RecordResult::kNameTaken, control::RecordKind::kAccount));
  EXPECT_EQ(Stored("bob").mRights, before.mRights);
  EXPECT_EQ(Stored("bob").mUseMaxSize, before.mUseMaxSize);
}

TEST_F(JsonApiTest, AReadOnlyCallerReadsButChangesNothing) {
  EXPECT_EQ(Call(ApiVerb::kGet, "/accounts", {}, {}, true).status, 200);
  EXPECT_EQ(Call(ApiVerb::kGet, "/settings", {}, {}, true).status, 200);
  for (const auto& [verb, path] : std::vector<std::pair<ApiVerb, std::string>>{
           {ApiVerb::kPost, "/accounts"}, {ApiVerb::kPatch, "/accounts/bob"}, {ApiVerb::kDelete, "/accounts/bob"},
           {ApiVerb::kPatch, "/settings"}, {ApiVerb::kPost, "/server/deactivate"}, {ApiVerb::kPut, "/ips/blocked"}}) {
    const ApiReply reply = Call(verb, path, R"({"name":"zed"})", {}, true);
    EXPECT_EQ(reply.status, 403) << path;
    EXPECT_EQ(Code(reply), "read_only");
  }
  EXPECT_TRUE(server_->Accounts().Exists("bob"));
  EXPECT_FALSE(server_->Accounts().Exists("zed"));
}

TEST_F(JsonApiTest, ListsPageAndFilterAndSettingsChangeWholeOrNotAtAll) {
  for (const char* name : {"alpha1", "alpha2", "beta"})
    ASSERT_EQ(Call(ApiVerb::kPost, "/accounts", std::string(R"({"name":")") + name + R"(","root_folder":null,"password":"p"})").status, 201);
  const ApiReply page = Call(ApiVerb::kGet, "/accounts", {}, {{"filter", "ALPHA"}, {"offset", "1"}, {"limit", "5"}});
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(page.body.Find("total")->Dump(), "2");
  ASSERT_EQ(page.body.Find("items")->Items().size(), 1u);
  EXPECT_EQ(page.body.Find("items")->Items()[0].Find("name")->AsString(), "alpha2");
  EXPECT_EQ(Call(ApiVerb::kGet, "/accounts", {}, {{"limit", "0"}}).status, 400);
  EXPECT_EQ(Call(ApiVerb::kGet, "/accounts", {}, {{"offset", "-1"}}).status, 400);

  // The fixture's port 0 (any port) is no port a change may keep.
  ChangeSettings([](settings::ServerSettings& s) { s.mPort = testing::UnusedPort(); });
  // The second value is refused: the first is not applied either.
  const std::string welcome_before = Call(ApiVerb::kGet, "/settings").body.Find("mWelcomeMsg")->AsString();
  EXPECT_EQ(Call(ApiVerb::kPatch, "/settings", R"({"mWelcomeMsg":"Hello there","mIdleTimeOut":1})").status, 422);
  EXPECT_EQ(Call(ApiVerb::kGet, "/settings").body.Find("mWelcomeMsg")->AsString(), welcome_before);
  const ApiReply set = Call(ApiVerb::kPatch, "/settings", R"({"mWelcomeMsg":"Hello there","mIdleTimeOut":60})");
  ASSERT_EQ(set.status, 200) << set.body.Dump();
  EXPECT_EQ(set.body.Find("mWelcomeMsg")->AsString(), "Hello there");
  EXPECT_EQ(set.body.Find("mRAPass"), nullptr) << "the admin password is never shown";
  ASSERT_NE(set.body.Find("mRAPassSet"), nullptr);
}

TEST_F(JsonApiTest, SessionsAreListedKickedAndBlockedAndTheBlockedListIsSaved) {
  port_ = Start();
  auto client = LoggedIn();
  std::uint32_t id = 0;
  ASSERT_TRUE(testing::WaitUntil([&] {
    const ApiReply list = Call(ApiVerb::kGet, "/sessions");
    if (list.body.Find("items")->Items().empty()) return false;
    std::int64_t number = 0;
    EXPECT_TRUE(list.body.Find("items")->Items()[0].Find("id")->AsInteger(&number));
    id = static_cast<std::uint32_t>(number);
    return list.body.Find("items")->Items()[0].Find("user")->AsString() == "bob";
  }));
  EXPECT_EQ(Code(Call(ApiVerb::kPost, "/sessions/" + std::to_string(id) + "/kick", R"({"reason":"a;b"})")),
            "invalid_value");
  const ApiReply blocked = Call(ApiVerb::kPost, "/sessions/" + std::to_string(id) + "/block", R"({"reason":"bye"})");
  ASSERT_EQ(blocked.status, 202) << blocked.body.Dump();
  EXPECT_EQ(blocked.body.Find("address")->AsString(), "127.0.0.1");
  const ApiReply lists = Call(ApiVerb::kGet, "/ips");
  EXPECT_EQ(lists.body.Find("blocked")->Dump(), R"({"enabled":true,"entries":["127.0.0.1"]})");
  EXPECT_NE(testing::ReadWholeFile(dir_.File("config/settings.dta")).find('\x7f'), std::string::npos);
  EXPECT_TRUE(testing::WaitUntil([&] { return Call(ApiVerb::kGet, "/sessions").body.Find("items")->Items().empty(); }));

  EXPECT_EQ(Call(ApiVerb::kPut, "/ips/blocked", R"({"enabled":false,"entries":[]})").status, 200);
  EXPECT_EQ(Call(ApiVerb::kGet, "/ips").body.Find("blocked")->Dump(), R"({"enabled":false,"entries":[]})");
  EXPECT_EQ(Call(ApiVerb::kPost, "/server/deactivate").body.Find("active")->AsBool(), false);
  EXPECT_EQ(Call(ApiVerb::kPost, "/server/activate").body.Find("active")->AsBool(), true);
}

TEST_F(JsonApiTest, LogsAreListedAndReadInRangesOnlyInsideTheirFolders) {
  testing::WriteWholeFile(dir_.File("logs/ftp_0.txt"), "0123456789");
  std::filesystem::create_symlink("/etc/passwd", dir_.File("logs/link.txt"));
  const ApiReply list = Call(ApiVerb::kGet, "/logs");
  ASSERT_EQ(list.status, 200);
  EXPECT_NE(list.body.Dump().find(R"({"folder":"system","name":"ftp_0.txt","size":10,)"), std::string::npos)
      << list.body.Dump();
  const ApiReply part = Call(ApiVerb::kGet, "/logs/system/ftp_0.txt", {}, {{"offset", "3"}, {"length", "4"}});
  ASSERT_EQ(part.status, 200);
  EXPECT_EQ(part.body.Find("text")->AsString(), "3456");
  EXPECT_EQ(Call(ApiVerb::kGet, "/logs/system/ftp_0.txt", {}, {{"offset", "99"}}).body.Find("text")->AsString(), "");
  EXPECT_EQ(Call(ApiVerb::kGet, "/logs/system/link.txt").status, 404);
  EXPECT_EQ(Call(ApiVerb::kGet, "/logs/system/ftp_0.txt", {}, {{"length", "2000000"}}).status, 400);
}

// The shipped description names every route, and every route it names
// exists and answers as one (not as an unknown path or verb).
TEST_F(JsonApiTest, TheDescriptionAndTheRoutesAgree) {
  std::string message;
  const auto doc = JsonValue::Parse(testing::ReadWholeFile(QUILLON_PAGES_SOURCE "/openapi.json"), &message);
  ASSERT_TRUE(doc.has_value()) << message;
  ASSERT_EQ(doc->Find("openapi")->AsString().substr(0, 2), "3.");
  std::vector<std::string> described;
  const std::map<std::string, std::string> examples = {{"{name}", "bob"},      {"{session}", "1"},
                                                       {"{action}", "kick"},   {"{list}", "blocked"},
                                                       {"{folder}", "system"}, {"{file}", "ftp_0.txt"}};
  for (const auto& [path, operations] : doc->Find("paths")->Members()) {
    for (const auto& [verb, operation] : operations.Members()) {
      std::string upper = verb;
      for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      described.push_back(upper + " " + path);
      ASSERT_NE(operation.Find("responses"), nullptr) << path;
      std::string concrete = path;
      for (const auto& [name, value] : examples)
        if (const std::size_t at = concrete.find(name); at != std::string::npos) concrete.replace(at, name.size(), value);
      const ApiVerb api_verb = upper == "GET"     ? ApiVerb::kGet
                               : upper == "POST"  ? ApiVerb::kPost
                               : upper == "PUT"   ? ApiVerb::kPut
                               : upper == "PATCH" ? ApiVerb::kPatch
                                                  : ApiVerb::kDelete;
      // Read-only, so the check changes nothing whatever the route does.
      const ApiReply reply = Call(api_verb, concrete, {}, {}, upper != "GET");
      EXPECT_NE(Code(reply), "unknown_path") << upper << " " << concrete;
      EXPECT_NE(reply.status, 405) << upper << " " << concrete;
      if (upper != "GET") {
        EXPECT_EQ(reply.status, 403) << upper << " " << concrete;
      }
    }
  }
  std::vector<std::string> routes = JsonApi::RouteNames();
  std::sort(routes.begin(), routes.end());
  std::sort(described.begin(), described.end());
  EXPECT_EQ(described, routes);
}

}  // namespace
}  // namespace quillon::admin
