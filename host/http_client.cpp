#include "host/http_client.h"

#include <memory>
#include <mutex>
#include <stdexcept>

#include <curl/curl.h>

#include "net/log_text.h"

namespace {

size_t append_body(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

std::string http_error_message(long status, const std::string& body, const std::string& error) {
    std::string message = "HTTP " + std::to_string(status);
    // The body is the relay's answer: a line of it, never a page.
    if (!body.empty()) message += ": " + log_text(body);
    if (!error.empty()) message += " (" + log_text(error) + ")";
    return message;
}

std::string http_post_json(const std::string& url, const std::string& body, const std::string& token) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) throw std::runtime_error(http_error_message(0, {}, "cannot create an HTTP request"));

    curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/json");
    const std::string auth = "Authorization: Bearer " + token;
    if (list && !token.empty()) list = curl_slist_append(list, auth.c_str());
    std::unique_ptr<curl_slist, SlistDeleter> headers(list);
    if (!headers) throw std::runtime_error(http_error_message(0, {}, "out of memory"));

    std::string response;
    char errbuf[CURL_ERROR_SIZE] = {0};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // Straight to the relay: libcurl would otherwise pick a proxy from the environment,
    // and the agent takes its settings from its configuration only.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 60L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 1800L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    // A POST answered by 301/302/303 is repeated as a POST, not turned into a GET.
    curl_easy_setopt(c, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");  // every encoding libcurl can decode
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);

    const CURLcode rc = curl_easy_perform(c);
    long status = 0;
    std::string error;
    if (rc == CURLE_OK) {
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    } else {
        error = errbuf[0] ? errbuf : curl_easy_strerror(rc);
        // A transfer cut off after the status line still reports what it got.
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    }
    if (rc == CURLE_OK && status >= 200 && status <= 299) return response;
    throw std::runtime_error(http_error_message(status, response, error));
}
