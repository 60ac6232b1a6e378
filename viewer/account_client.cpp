#include "viewer/account_client.h"

#include <mutex>

#include <curl/curl.h>

namespace {

size_t append_body(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

AccountClient::AccountClient(std::string server_url, std::string ca_file)
    : server_url_(std::move(server_url)), ca_file_(std::move(ca_file)) {
    while (!server_url_.empty() && server_url_.back() == '/') server_url_.pop_back();
}

AccountClient::Response AccountClient::request(const std::string& method, const std::string& path,
                                               const std::string& body, const std::string& token) {
    global_init();
    Response out;
    CURL* curl = curl_easy_init();
    if (!curl) {
        last_error_ = "cannot start an HTTP request";
        return out;
    }
    std::string url = server_url_ + path;
    struct curl_slist* headers = nullptr;
    if (!body.empty()) headers = curl_slist_append(headers, "Content-Type: application/json");
    std::string auth = "Authorization: Bearer " + token;
    if (!token.empty()) headers = curl_slist_append(headers, auth.c_str());
    char errbuf[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (!body.empty() || method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out.body);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (!ca_file_.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file_.c_str());
    CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
    } else {
        last_error_ = std::string(method + " " + url + " failed: ") + (errbuf[0] ? errbuf : curl_easy_strerror(rc));
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return out;
}

std::optional<nlohmann::json> AccountClient::json_call(const std::string& method, const std::string& path,
                                                       const nlohmann::json& body, const std::string& token) {
    Response r = request(method, path, body.is_null() ? std::string() : body.dump(), token);
    last_status_ = r.status;
    if (r.status == 0) return std::nullopt;
    auto parsed = nlohmann::json::parse(r.body, nullptr, false);
    if (r.status < 200 || r.status >= 300) {
        std::string why = parsed.is_object() && parsed.contains("error") && parsed["error"].is_string()
                              ? parsed["error"].get<std::string>()
                              : r.body;
        last_error_ = method + " " + path + ": HTTP " + std::to_string(r.status) + " " + why;
        return std::nullopt;
    }
    if (parsed.is_discarded()) {
        last_error_ = method + " " + path + ": answer is not JSON";
        return std::nullopt;
    }
    return parsed;
}

bool AccountClient::register_user(const std::string& username, const std::string& email,
                                  const std::string& password) {
    auto r = json_call("POST", "/api/auth/register", {{"username", username}, {"email", email}, {"password", password}},
                       {});
    return r.has_value() || last_status_ == 409;
}

std::optional<std::string> AccountClient::login(const std::string& username, const std::string& password) {
    auto r = json_call("POST", "/api/auth/login", {{"username", username}, {"password", password}}, {});
    if (!r || !r->is_object() || !r->contains("token") || !(*r)["token"].is_string()) return std::nullopt;
    return (*r)["token"].get<std::string>();
}

std::optional<std::string> AccountClient::register_machine(const std::string& token, const std::string& name,
                                                           const std::string& os_info) {
    auto r = json_call("POST", "/api/machines/register", {{"name", name}, {"os_info", os_info}}, token);
    if (!r || !r->is_object() || !r->contains("machine_id") || !(*r)["machine_id"].is_string()) return std::nullopt;
    return (*r)["machine_id"].get<std::string>();
}

std::optional<nlohmann::json> AccountClient::list_machines(const std::string& token) {
    auto r = json_call("GET", "/api/machines", nullptr, token);
    if (!r || !r->is_array()) return std::nullopt;
    return r;
}
