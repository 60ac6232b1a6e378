#pragma once

// Console setup wizard: signs up or in to the relay's account API, registers this
// machine and writes config.json. 0 once the configuration is saved; 1 on cancel or any
// failure, with config.json left as it was.
int run_setup_wizard();
