#include "relay/account_store.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <spdlog/spdlog.h>
#include <sqlite3.h>

#include <ctime>

#include "relay/ids.h"

namespace relay {

namespace {

// One prepared statement, finalised on scope exit.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) == SQLITE_OK; }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return ok_; }
    Statement& bind(int i, const std::string& v) {
        ok_ = ok_ && sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT) == SQLITE_OK;
        return *this;
    }
    Statement& bind(int i, int64_t v) {
        ok_ = ok_ && sqlite3_bind_int64(stmt_, i, v) == SQLITE_OK;
        return *this;
    }
    Statement& bind(int i, const std::vector<unsigned char>& v) {
        ok_ = ok_ && sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT) == SQLITE_OK;
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return ok_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string text(int col) const {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
    }
    std::vector<unsigned char> blob(int col) const {
        auto p = static_cast<const unsigned char*>(sqlite3_column_blob(stmt_, col));
        return p ? std::vector<unsigned char>(p, p + sqlite3_column_bytes(stmt_, col)) : std::vector<unsigned char>();
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    bool ok_ = false;
};

constexpr const char* kSchema = R"sql(
PRAGMA journal_mode=WAL;
PRAGMA foreign_keys=ON;
CREATE TABLE IF NOT EXISTS users (
  id INTEGER PRIMARY KEY,
  username TEXT NOT NULL UNIQUE,
  email TEXT NOT NULL,
  salt BLOB NOT NULL,
  password_hash BLOB NOT NULL,
  iterations INTEGER NOT NULL,
  created_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS tokens (
  token_hash TEXT PRIMARY KEY,
  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  created_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS machines (
  machine_id TEXT PRIMARY KEY,
  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  os_info TEXT NOT NULL,
  created_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS machines_by_user ON machines(user_id);
)sql";

int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

AccountStore::AccountStore(int pbkdf2_iterations) : iterations_(pbkdf2_iterations) {}

AccountStore::~AccountStore() {
    if (db_) sqlite3_close(db_);
}

bool AccountStore::open(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (db_) {
        sqlite3_close(db_);
        db_ = nullptr;
    }
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        spdlog::error("Cannot open database {}: {}", path, db_ ? sqlite3_errmsg(db_) : "out of memory");
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    char* err = nullptr;
    if (sqlite3_exec(db_, kSchema, nullptr, nullptr, &err) != SQLITE_OK) {
        spdlog::error("Cannot prepare database {}: {}", path, err ? err : "unknown error");
        sqlite3_free(err);
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    return true;
}

std::vector<unsigned char> AccountStore::derive(const std::string& password, const std::vector<unsigned char>& salt,
                                                int iterations) const {
    std::vector<unsigned char> out(kHashBytes);
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                          static_cast<int>(salt.size()), iterations, EVP_sha256(), static_cast<int>(out.size()),
                          out.data()) != 1)
        return {};
    return out;
}

RegisterStatus AccountStore::register_user(const std::string& username, const std::string& email,
                                           const std::string& password) {
    std::vector<unsigned char> salt(kSaltBytes);
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) {
        spdlog::error("Random generator failed while registering {}", username);
        return RegisterStatus::failed;
    }
    // The slow hash runs outside the lock so other requests are not held up.
    auto hash = derive(password, salt, iterations_);
    if (hash.empty()) {
        spdlog::error("Password hashing failed while registering {}", username);
        return RegisterStatus::failed;
    }
    std::lock_guard lock(mutex_);
    if (!db_) return RegisterStatus::failed;
    Statement st(db_,
                 "INSERT INTO users(username, email, salt, password_hash, iterations, created_at) "
                 "VALUES(?, ?, ?, ?, ?, ?)");
    st.bind(1, username).bind(2, email).bind(3, salt).bind(4, hash).bind(5, iterations_).bind(6, now());
    int rc = st.step();
    if (rc == SQLITE_DONE) return RegisterStatus::created;
    if ((sqlite3_extended_errcode(db_) & 0xff) == SQLITE_CONSTRAINT) return RegisterStatus::duplicate;
    spdlog::error("Cannot store account {}: {}", username, sqlite3_errmsg(db_));
    return RegisterStatus::failed;
}

LoginResult AccountStore::login(const std::string& username, const std::string& password) {
    std::optional<int64_t> user_id;
    std::vector<unsigned char> salt, stored;
    int iterations = iterations_;
    {
        std::lock_guard lock(mutex_);
        if (!db_) return {};
        Statement st(db_, "SELECT id, salt, password_hash, iterations FROM users WHERE username = ?");
        st.bind(1, username);
        int rc = st.step();
        if (rc == SQLITE_ROW) {
            user_id = st.integer(0);
            salt = st.blob(1);
            stored = st.blob(2);
            iterations = static_cast<int>(st.integer(3));
        } else if (rc != SQLITE_DONE) {
            spdlog::error("Cannot look up account {}: {}", username, sqlite3_errmsg(db_));
            return {};
        }
    }
    // An unknown name still costs one full hash, so timing does not tell which names exist.
    if (!user_id) salt.assign(kSaltBytes, 0);
    auto hash = derive(password, salt, iterations > 0 ? iterations : iterations_);
    bool match = user_id && !hash.empty() && hash.size() == stored.size() &&
                 CRYPTO_memcmp(hash.data(), stored.data(), hash.size()) == 0;
    if (!match) return {LoginStatus::bad_credentials, {}};

    std::string token = random_hex(kTokenBytes);
    if (token.empty()) {
        spdlog::error("Random generator failed while signing in {}", username);
        return {};
    }
    std::lock_guard lock(mutex_);
    if (!db_) return {};
    Statement st(db_, "INSERT INTO tokens(token_hash, user_id, created_at) VALUES(?, ?, ?)");
    st.bind(1, sha256_hex(token)).bind(2, *user_id).bind(3, now());
    if (st.step() != SQLITE_DONE) {
        spdlog::error("Cannot store token for {}: {}", username, sqlite3_errmsg(db_));
        return {};
    }
    return {LoginStatus::ok, token};
}

std::optional<int64_t> AccountStore::user_for_token(const std::string& token) {
    if (token.empty()) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!db_) return std::nullopt;
    Statement st(db_, "SELECT user_id FROM tokens WHERE token_hash = ?");
    st.bind(1, sha256_hex(token));
    int rc = st.step();
    if (rc == SQLITE_ROW) return st.integer(0);
    if (rc != SQLITE_DONE) spdlog::error("Cannot look up token: {}", sqlite3_errmsg(db_));
    return std::nullopt;
}

std::optional<std::string> AccountStore::register_machine(int64_t user_id, const std::string& name,
                                                          const std::string& os_info) {
    std::lock_guard lock(mutex_);
    if (!db_) return std::nullopt;
    // A clash of 122 random bits is not expected, but a retry costs nothing.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string id = random_uuid();
        if (id.empty()) break;
        Statement st(db_, "INSERT INTO machines(machine_id, user_id, name, os_info, created_at) VALUES(?, ?, ?, ?, ?)");
        st.bind(1, id).bind(2, user_id).bind(3, name).bind(4, os_info).bind(5, now());
        if (st.step() == SQLITE_DONE) return id;
        if (sqlite3_extended_errcode(db_) != SQLITE_CONSTRAINT_PRIMARYKEY) break;
    }
    spdlog::error("Cannot register machine {}: {}", name, sqlite3_errmsg(db_));
    return std::nullopt;
}

std::optional<std::vector<MachineRecord>> AccountStore::machines_of(int64_t user_id) {
    std::lock_guard lock(mutex_);
    if (!db_) return std::nullopt;
    Statement st(db_, "SELECT machine_id, name, os_info FROM machines WHERE user_id = ? ORDER BY created_at, rowid");
    st.bind(1, user_id);
    std::vector<MachineRecord> out;
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) out.push_back({st.text(0), st.text(1), st.text(2)});
    if (rc != SQLITE_DONE) {
        spdlog::error("Cannot list machines: {}", sqlite3_errmsg(db_));
        return std::nullopt;
    }
    return out;
}

MachineAccess AccountStore::machine_access(int64_t user_id, const std::string& machine_id) {
    std::lock_guard lock(mutex_);
    if (!db_) return MachineAccess::failed;
    Statement st(db_, "SELECT user_id FROM machines WHERE machine_id = ?");
    st.bind(1, machine_id);
    int rc = st.step();
    if (rc == SQLITE_ROW) return st.integer(0) == user_id ? MachineAccess::owner : MachineAccess::other_owner;
    if (rc == SQLITE_DONE) return MachineAccess::unknown;
    spdlog::error("Cannot look up machine {}: {}", machine_id, sqlite3_errmsg(db_));
    return MachineAccess::failed;
}

}  // namespace relay
