#include "relay/account_store.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <fstream>
#include <iterator>

#include "relay/account_api.h"
#include "relay/ids.h"
#include "tests/support/process.h"

namespace {

using namespace relay;
using testsupport::TempDir;

// Low iteration count keeps the suite fast; the hashing path is the same.
constexpr int kFastIterations = 1000;

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(AccountStore, RegisterLoginAndTokens) {
    TempDir dir;
    AccountStore store(kFastIterations);
    ASSERT_TRUE(store.open(dir / "relay.db"));

    EXPECT_EQ(store.register_user("alice", "alice@example.com", "correct horse"), RegisterStatus::created);
    EXPECT_EQ(store.register_user("alice", "other@example.com", "another pass"), RegisterStatus::duplicate);
    EXPECT_EQ(store.register_user("Alice", "", "correct horse"), RegisterStatus::created);

    LoginResult first = store.login("alice", "correct horse");
    ASSERT_EQ(first.status, LoginStatus::ok);
    EXPECT_EQ(first.token.size(), 64u);
    EXPECT_EQ(first.token.find_first_not_of("0123456789abcdef"), std::string::npos);
    LoginResult second = store.login("alice", "correct horse");
    ASSERT_EQ(second.status, LoginStatus::ok);
    EXPECT_NE(first.token, second.token);

    auto user = store.user_for_token(first.token);
    ASSERT_TRUE(user);
    EXPECT_EQ(store.user_for_token(second.token), user);
    EXPECT_NE(store.user_for_token(store.login("Alice", "correct horse").token), user);

    EXPECT_EQ(store.login("alice", "correct hors").status, LoginStatus::bad_credentials);
    EXPECT_EQ(store.login("alice", "").status, LoginStatus::bad_credentials);
    EXPECT_EQ(store.login("nobody", "correct horse").status, LoginStatus::bad_credentials);
    EXPECT_FALSE(store.user_for_token(""));
    EXPECT_FALSE(store.user_for_token(std::string(64, '0')));
    EXPECT_FALSE(store.user_for_token(first.token.substr(1)));
}

TEST(AccountStore, StoresNeitherPasswordsNorTokensInPlainText) {
    TempDir dir;
    std::string path = dir / "relay.db";
    std::string token;
    {
        AccountStore store(kFastIterations);
        ASSERT_TRUE(store.open(path));
        ASSERT_EQ(store.register_user("bob", "b@example.com", "PlainSecret42"), RegisterStatus::created);
        ASSERT_EQ(store.register_user("carol", "c@example.com", "PlainSecret42"), RegisterStatus::created);
        token = store.login("bob", "PlainSecret42").token;
        ASSERT_FALSE(token.empty());
    }
    std::string bytes = file_bytes(path) + file_bytes(path + "-wal");
    EXPECT_NE(bytes.find("bob"), std::string::npos);  // sanity: the file is readable as written
    EXPECT_EQ(bytes.find("PlainSecret42"), std::string::npos);
    EXPECT_EQ(bytes.find(token), std::string::npos);

    // Same password, different salts: the stored hashes differ.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT COUNT(DISTINCT password_hash), COUNT(DISTINCT salt), MIN(iterations) FROM users",
                                 -1, &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 2);
    EXPECT_EQ(sqlite3_column_int(st, 1), 2);
    EXPECT_EQ(sqlite3_column_int(st, 2), kFastIterations);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST(AccountStore, DefaultHashingIsSlowKdf) {
    EXPECT_GE(AccountStore::kDefaultIterations, 100000);
    TempDir dir;
    AccountStore store;
    ASSERT_TRUE(store.open(dir / "relay.db"));
    ASSERT_EQ(store.register_user("dave", "", "longenough"), RegisterStatus::created);
    EXPECT_EQ(store.login("dave", "longenough").status, LoginStatus::ok);
}

TEST(AccountStore, MachinesBelongToTheirAccountAndSurviveReopen) {
    TempDir dir;
    std::string path = dir / "relay.db";
    std::string machine;
    int64_t alice = 0, bob = 0;
    {
        AccountStore store(kFastIterations);
        ASSERT_TRUE(store.open(path));
        store.register_user("alice", "", "password1");
        store.register_user("bob", "", "password2");
        alice = *store.user_for_token(store.login("alice", "password1").token);
        bob = *store.user_for_token(store.login("bob", "password2").token);

        auto id = store.register_machine(alice, "office-pc", "Windows");
        ASSERT_TRUE(id);
        machine = *id;
        EXPECT_TRUE(is_uuid_shaped(machine));
        EXPECT_EQ(machine.find_first_of("ABCDEF"), std::string::npos);
        auto second = store.register_machine(alice, "laptop", "");
        ASSERT_TRUE(second);
        EXPECT_NE(*second, machine);
    }
    AccountStore store(kFastIterations);
    ASSERT_TRUE(store.open(path));
    EXPECT_EQ(store.login("alice", "password1").status, LoginStatus::ok);
    auto list = store.machines_of(alice);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ((*list)[0].machine_id, machine);
    EXPECT_EQ((*list)[0].name, "office-pc");
    EXPECT_EQ((*list)[0].os_info, "Windows");
    EXPECT_EQ((*list)[1].name, "laptop");
    EXPECT_TRUE(store.machines_of(bob)->empty());

    EXPECT_EQ(store.machine_access(alice, machine), MachineAccess::owner);
    EXPECT_EQ(store.machine_access(bob, machine), MachineAccess::other_owner);
    EXPECT_EQ(store.machine_access(alice, random_uuid()), MachineAccess::unknown);
}

TEST(AccountStore, OpenFailsForUnusablePath) {
    TempDir dir;
    AccountStore store(kFastIterations);
    EXPECT_FALSE(store.open(dir / "missing-folder/relay.db"));
    EXPECT_EQ(store.register_user("erin", "", "password1"), RegisterStatus::failed);
    EXPECT_EQ(store.login("erin", "password1").status, LoginStatus::failed);
}

// --- HTTP API handler and WebSocket admission -------------------------------------------------

class AccountApiTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(store_.open(dir_ / "relay.db")); }

    ApiResponse call(const std::string& method, const std::string& target, const std::string& body = {},
                     const std::string& token = {}) {
        return api_.handle({method, target, token.empty() ? "" : "Bearer " + token, body});
    }
    std::string token_for(const std::string& user, const std::string& password) {
        call("POST", "/api/auth/register", R"({"username":")" + user + R"(","email":"","password":")" + password + "\"}");
        return store_.login(user, password).token;
    }
    Admission admit(const std::string& target) { return api_.admit(*parse_target(target)); }

    TempDir dir_;
    AccountStore store_{kFastIterations};
    std::string online_machine_;
    AccountApi api_{store_, [this](const std::string& id) { return id == online_machine_; }};
};

TEST_F(AccountApiTest, RegistrationValidatesInput) {
    auto ok = call("POST", "/api/auth/register", R"({"username":"alice","email":"a@example.com","password":"password1"})");
    EXPECT_EQ(ok.status, 201);
    EXPECT_EQ(ok.body, R"({"ok":true})");
    auto dup = call("POST", "/api/auth/register", R"({"username":"alice","email":"a@example.com","password":"password1"})");
    EXPECT_EQ(dup.status, 409);
    EXPECT_EQ(dup.body, R"({"error":"username already exists"})");

    const char* bad[] = {
        R"({"username":"al","password":"password1"})",         // short name
        R"({"username":"alice2","password":"pass"})",          // short password
        R"({"username":"alice2"})",                            // missing password
        R"({"username":7,"password":"password1"})",            // wrong type
        R"({"username":"alice2","password":"password1","email":"nope"})",
        R"({"username":"ab\tc","password":"password1"})",      // control character
        R"(["alice","password1"])",                            // not an object
        R"({"username":"alice2",)",                            // malformed
        "",
    };
    for (const char* body : bad) {
        auto res = call("POST", "/api/auth/register", body);
        EXPECT_EQ(res.status, 400) << body;
        EXPECT_NE(res.body.find("\"error\""), std::string::npos) << body;
    }
}

TEST_F(AccountApiTest, LoginAndMachineEndpoints) {
    call("POST", "/api/auth/register", R"({"username":"alice","email":"","password":"password1"})");
    auto login = call("POST", "/api/auth/login", R"({"username":"alice","password":"password1"})");
    ASSERT_EQ(login.status, 200);
    std::string token = nlohmann::json::parse(login.body)["token"];
    EXPECT_EQ(call("POST", "/api/auth/login", R"({"username":"alice","password":"password2"})").body,
              R"({"error":"invalid credentials"})");

    std::string body = R"({"name":"pc","os_info":"Windows"})";
    EXPECT_EQ(call("POST", "/api/machines/register", body).status, 401);
    EXPECT_EQ(call("POST", "/api/machines/register", body, "0123").status, 401);
    EXPECT_EQ(api_.handle({"POST", "/api/machines/register", token, body}).status, 401);  // no "Bearer "
    EXPECT_EQ(api_.handle({"GET", "/api/machines", "bearer " + token, ""}).status, 200);
    EXPECT_EQ(call("POST", "/api/machines/register", R"({"os_info":"x"})", token).status, 400);
    auto reg = call("POST", "/api/machines/register", body, token);
    ASSERT_EQ(reg.status, 200);
    std::string id = nlohmann::json::parse(reg.body)["machine_id"];
    EXPECT_TRUE(is_uuid_shaped(id));

    online_machine_ = id;
    auto list = call("GET", "/api/machines", {}, token);
    EXPECT_EQ(list.status, 200);
    EXPECT_EQ(list.body, R"([{"machine_id":")" + id + R"(","name":"pc","online":true,"os_info":"Windows"}])");
    EXPECT_EQ(call("GET", "/api/machines", {}, token_for("bob", "password2")).body, "[]");
    EXPECT_EQ(call("GET", "/api/machines").status, 401);
}

TEST_F(AccountApiTest, UnknownPathsAndMethods) {
    EXPECT_EQ(call("GET", "/api/nothing").status, 404);
    auto res = call("GET", "/api/auth/login");
    EXPECT_EQ(res.status, 405);
    EXPECT_EQ(res.allow, "POST");
    EXPECT_EQ(call("POST", "/api/machines", "{}").allow, "GET");
    EXPECT_EQ(call("POST", "/api/auth/login%zz", "{}").status, 400);
}

TEST_F(AccountApiTest, SocketAdmission) {
    std::string alice = token_for("alice", "password1");
    std::string bob = token_for("bob", "password2");
    std::string machine = *store_.register_machine(*store_.user_for_token(alice), "pc", "");

    auto ok = admit("/ws/viewer?machine_id=" + machine + "&token=" + alice);
    EXPECT_EQ(ok.status, 101);
    EXPECT_EQ(ok.role, SocketRole::viewer);
    EXPECT_EQ(ok.machine_id, machine);
    EXPECT_TRUE(ok.resume_session.empty());
    // Parameters are percent-decoded.
    std::string escaped = machine;
    escaped.replace(8, 1, "%2D");
    auto agent = admit("/ws/agent?token=" + alice + "&machine_id=" + escaped);
    EXPECT_EQ(agent.status, 101);
    EXPECT_EQ(agent.role, SocketRole::agent);

    EXPECT_EQ(admit("/ws/agent?machine_id=" + machine).status, 401);
    EXPECT_EQ(admit("/ws/agent?machine_id=" + machine + "&token=" + alice + "0").status, 401);
    EXPECT_EQ(admit("/ws/agent?machine_id=" + machine + "&token=" + bob).status, 403);
    EXPECT_EQ(admit("/ws/agent?machine_id=" + random_uuid() + "&token=" + alice).status, 404);
    EXPECT_EQ(admit("/ws/agent?token=" + alice).status, 400);

    std::string resume = random_uuid();
    auto resumed = admit("/ws/viewer?machine_id=" + machine + "&token=" + alice + "&session_id=" + resume);
    EXPECT_EQ(resumed.status, 101);
    EXPECT_EQ(resumed.resume_session, resume);
    EXPECT_EQ(admit("/ws/viewer?machine_id=" + machine + "&token=" + alice + "&session_id=abc").status, 400);
    EXPECT_EQ(admit("/ws/viewer?machine_id=" + machine + "&token=" + alice + "&session_id=" + resume.substr(1) + "%0A")
                  .status,
              400);
}

TEST(Ids, TargetParsingAndIdentifiers) {
    auto t = parse_target("/ws/viewer?machine_id=a%20b&token=x+y&&flag&token=second");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->path, "/ws/viewer");
    EXPECT_EQ(t->query["machine_id"], "a b");
    EXPECT_EQ(t->query["token"], "x+y");
    EXPECT_EQ(t->query["flag"], "");
    EXPECT_FALSE(parse_target("/x?a=%4"));
    EXPECT_FALSE(parse_target("/x?a=%"));
    EXPECT_FALSE(parse_target("/x?a=%g0"));

    std::string a = random_uuid(), b = random_uuid();
    EXPECT_TRUE(is_uuid_shaped(a));
    EXPECT_NE(a, b);
    EXPECT_FALSE(is_uuid_shaped(a.substr(1) + "-"));
    EXPECT_EQ(random_hex(32).size(), 64u);
}

}  // namespace
