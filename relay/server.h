#pragma once

// The network side of the relay: one port serving the HTTP account API and the agent and
// viewer WebSocket endpoints, over TLS when a certificate is configured.

#include "relay/account_api.h"
#include "relay/options.h"
#include "relay/session_router.h"

namespace relay {

// Binds, prints "Listening on http(s)://ADDR:PORT" to stdout, and serves until SIGINT or
// SIGTERM. Returns the process exit code: 0 after a clean stop, 1 when start-up failed.
int serve(const RelayOptions& options, AccountApi& api, SessionRouter& router);

}  // namespace relay
