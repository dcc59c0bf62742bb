// The simulator's control panel: one window for a person to plug the device
// in and out, hold its button and watch its LED.
#pragma once

#include <cstdint>

// Runs the panel for a device slot until its window is closed; the exit code.
int hidsim_panel_run(uint32_t slot);
