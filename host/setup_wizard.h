#pragma once

// Console setup wizard: signs in to the relay, registers the machine, writes config.json.
// 0 on success, 1 on failure.
int run_setup_wizard();
