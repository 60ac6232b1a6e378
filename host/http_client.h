#pragma once

#include <string>

// POSTs a JSON body to url and returns the response body when the status is 200-299.
// "Authorization: Bearer <token>" is sent only with a non-empty token. Anything else
// throws std::runtime_error with "HTTP <status>", then ": <body>" when the body is not
// empty, then " (<error>)" when the transfer failed; the status is 0 when no answer came.
// Body and error are cut to a line's worth, control characters escaped.
// Certificates are not verified: the relay may run with a self-signed one.
std::string http_post_json(const std::string& url, const std::string& body, const std::string& token);

// The message http_post_json throws for a status, a body and a transfer error text.
std::string http_error_message(long status, const std::string& body, const std::string& error);
