// zarvex-relay: the account API and WebSocket relay between agents and viewers.

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>

#include "relay/account_api.h"
#include "relay/account_store.h"
#include "relay/options.h"
#include "relay/server.h"
#include "relay/session_router.h"

int main(int argc, char** argv) {
    relay::RelayOptions options;
    std::string message;
    switch (relay::parse_options(std::vector<std::string>(argv + 1, argv + argc), options, message)) {
        case relay::ParseOutcome::help:
            std::fputs(relay::usage_text().c_str(), stdout);
            return 0;
        case relay::ParseOutcome::error:
            std::fprintf(stderr, "zarvex-relay: %s\n\n%s", message.c_str(), relay::usage_text().c_str());
            return 2;
        case relay::ParseOutcome::run:
            break;
    }

    // Logs go to stderr so that stdout carries only the "Listening on" line.
    spdlog::set_default_logger(spdlog::stderr_color_mt("relay"));
    spdlog::set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] %v");

    relay::AccountStore store;
    if (!store.open(options.db)) return 1;
    relay::RouterLimits limits;
    limits.max_viewers_per_machine = options.max_viewers;
    limits.max_agent_queue = options.max_queue;
    relay::SessionRouter router(limits);
    relay::AccountApi api(store, [&router](const std::string& id) { return router.agent_online(id); });
    return relay::serve(options, api, router);
}
