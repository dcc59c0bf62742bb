// The reader thread: reads the device's input reports for the whole run and
// shows its button in the button-state field.
#pragma once
#include <windows.h>

#include <cstdint>

constexpr uint8_t Button_Pressed = 20;
constexpr uint8_t Button_Released = 40;
constexpr int32_t Reader_QueueReports = 2;  // the fewest the class driver takes

DWORD WINAPI input_reader(LPVOID parameter);
// The field's text for an input report's second byte, or null for no change.
const char* button_text(uint8_t state);
