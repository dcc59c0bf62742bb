// The application's two exchanges with the device: the reader thread that shows
// the device's button, and the output report that switches its LED.
#pragma once
#include <windows.h>

#include <cstdint>

constexpr uint8_t Button_Pressed = 20;
constexpr uint8_t Button_Released = 40;
constexpr int32_t Command_LedOn = 0xAA00;
constexpr int32_t Command_LedOff = 0x5500;
constexpr int32_t Report_Bytes = 2;  // the program's own device, and any whose caps cannot be read
constexpr int32_t Reader_QueueReports = 2;  // the fewest the class driver takes

DWORD WINAPI input_reader(LPVOID parameter);
int32_t send_command(int32_t value);
// The field's text for an input report's second byte, or null for no change.
const char* button_text(uint8_t state);
