#include <cstdio>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "viewer/viewer_cli.h"

int main(int argc, char** argv) {
    spdlog::set_level(spdlog::level::warn);
    ViewerCliOptions options;
    std::string message;
    switch (parse_viewer_cli(std::vector<std::string>(argv + 1, argv + argc), options, message)) {
        case CliParse::help:
            std::fputs(viewer_usage().c_str(), stdout);
            return 0;
        case CliParse::error:
            std::fprintf(stderr, "zarvex-viewer: %s\nRun zarvex-viewer --help for the options.\n", message.c_str());
            return 2;
        case CliParse::run:
            break;
    }
    return run_viewer_cli(options);
}
