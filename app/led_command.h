// The LED buttons' command: one output report to the device, or the warning
// box when no device is open. GUI thread.
#pragma once
#include <cstdint>

// The report's two bytes, little-endian: report ID 0, then the command.
constexpr int32_t Command_LedOn = 0xAA00;
constexpr int32_t Command_LedOff = 0x5500;

int32_t send_command(int32_t value);
