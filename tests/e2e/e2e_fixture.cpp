#include "tests/e2e/e2e_fixture.h"

std::string run_command(const std::vector<std::string>& argv, const std::string& display,
                        std::chrono::milliseconds timeout) {
    testsupport::Process p;
    if (!p.start(argv, {{"DISPLAY", display}})) return {};
    p.wait(timeout);
    return p.out();
}
