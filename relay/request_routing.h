#pragma once

// How the relay reads one HTTP request off a connection and what it does with it: the
// parser's limits, the answer to a request that could not be read, and the sorting of a
// read request into a WebSocket upgrade, a dashboard file or an account API call. No I/O:
// the server carries the decisions out.

#include <optional>
#include <string>

#include <boost/beast/http.hpp>

#include "relay/account_api.h"
#include "relay/ids.h"
#include "relay/options.h"

namespace relay {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpRequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;

// Sets the relay's limits on a parser for the next request of a connection.
void limit_request(HttpRequestParser& parser, const RelayOptions& options);

// What a failed read leads to: no value when the connection is just closed (the client
// went away or was idle), else the error answer, sent before closing.
std::optional<ApiResponse> read_failure_answer(const boost::system::error_code& ec);

struct RoutedRequest {
    enum class Kind {
        answer,       // `answer` goes back at once, then the connection closes
        socket,       // /ws/agent or /ws/viewer: admit `target`, then upgrade
        static_file,  // the dashboard: serve `method` `path` with `if_none_match`
        api,          // the account API: handle `api`
    };
    Kind kind = Kind::answer;
    ApiResponse answer;
    Target target;
    std::string method, path, if_none_match;
    ApiRequest api;
    bool keep_alive = false;  // static_file and api
    bool head = false;        // static_file: a HEAD request, answered without the body
};

// Sorts a request that was read in full. The body moves into `api`.
RoutedRequest route_request(HttpRequest& req);

}  // namespace relay
