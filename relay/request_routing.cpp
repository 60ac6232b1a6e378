#include "relay/request_routing.h"

#include <boost/asio/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "relay/static_files.h"

namespace relay {

namespace http = boost::beast::http;

void limit_request(HttpRequestParser& parser, const RelayOptions& options) { parser.body_limit(options.max_body); }

std::optional<ApiResponse> read_failure_answer(const boost::system::error_code& ec) {
    namespace asio = boost::asio;
    if (ec == http::error::end_of_stream || ec == boost::beast::error::timeout || ec == asio::error::operation_aborted ||
        ec == asio::error::connection_reset || ec == asio::error::eof)
        return std::nullopt;
    if (ec == http::error::body_limit) return ApiResponse{413, AccountApi::error_body("request body too large"), {}};
    if (ec == http::error::header_limit)
        return ApiResponse{431, AccountApi::error_body("request headers too large"), {}};
    return ApiResponse{400, AccountApi::error_body("malformed request"), {}};
}

RoutedRequest route_request(HttpRequest& req) {
    RoutedRequest r;
    const std::string raw_target(req.target());
    auto target = parse_target(raw_target);
    if (target && AccountApi::is_socket_path(target->path)) {
        if (!boost::beast::websocket::is_upgrade(req)) {
            r.answer = {426, AccountApi::error_body("WebSocket upgrade required"), {}};
            return r;
        }
        r.kind = RoutedRequest::Kind::socket;
        r.target = std::move(*target);
        return r;
    }
    r.keep_alive = req.keep_alive();
    r.method = std::string(req.method_string());
    const std::string raw_path = raw_target.substr(0, raw_target.find('?'));
    if (StaticFiles::handles(raw_path)) {
        r.kind = RoutedRequest::Kind::static_file;
        r.path = raw_path;
        r.if_none_match = std::string(req[http::field::if_none_match]);
        r.head = req.method() == http::verb::head;
        return r;
    }
    r.kind = RoutedRequest::Kind::api;
    r.api = ApiRequest{r.method, raw_target, std::string(req[http::field::authorization]), std::move(req.body())};
    return r;
}

}  // namespace relay
