#pragma once

// Accounts, bearer tokens and registered machines, kept in one SQLite file.
// Passwords are stored only as salted PBKDF2-HMAC-SHA256 hashes; tokens only as SHA-256
// hashes. Every member function is safe to call from several threads.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace relay {

struct MachineRecord {
    std::string machine_id;
    std::string name;
    std::string os_info;
};

enum class RegisterStatus { created, duplicate, failed };
enum class LoginStatus { ok, bad_credentials, failed };
enum class MachineAccess { owner, other_owner, unknown, failed };

struct LoginResult {
    LoginStatus status = LoginStatus::failed;
    std::string token;  // 64 hex characters when status is ok
};

class AccountStore {
public:
    static constexpr int kDefaultIterations = 150000;
    static constexpr size_t kSaltBytes = 16;
    static constexpr size_t kHashBytes = 32;
    static constexpr size_t kTokenBytes = 32;

    explicit AccountStore(int pbkdf2_iterations = kDefaultIterations);
    ~AccountStore();
    AccountStore(const AccountStore&) = delete;
    AccountStore& operator=(const AccountStore&) = delete;

    // Opens (creating when needed) the database file and its tables.
    bool open(const std::string& path);

    RegisterStatus register_user(const std::string& username, const std::string& email, const std::string& password);
    // Checks the password and issues a fresh token.
    LoginResult login(const std::string& username, const std::string& password);
    // The account a token belongs to; no value for an unknown token or a database failure.
    std::optional<int64_t> user_for_token(const std::string& token);

    // Registers a machine for the account; its new identifier, or no value on failure.
    std::optional<std::string> register_machine(int64_t user_id, const std::string& name, const std::string& os_info);
    // The account's machines in registration order; no value on a database failure.
    std::optional<std::vector<MachineRecord>> machines_of(int64_t user_id);
    MachineAccess machine_access(int64_t user_id, const std::string& machine_id);

private:
    std::vector<unsigned char> derive(const std::string& password, const std::vector<unsigned char>& salt,
                                      int iterations) const;

    int iterations_;
    std::mutex mutex_;  // guards db_
    sqlite3* db_ = nullptr;
};

}  // namespace relay
