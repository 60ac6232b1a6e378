#pragma once

// What the setup wizard reads from the relay's account API answers.

#include <string>

// The bearer token of an /api/auth/login answer ({"token": "..."}).
// Throws (nlohmann::json exceptions) when the answer is not JSON or has no string "token".
std::string login_token_of(const std::string& answer);

// The new machine's identifier in an /api/machines/register answer ({"machine_id": "..."}).
// Throws like login_token_of when there is no string "machine_id".
std::string machine_id_of(const std::string& answer);
