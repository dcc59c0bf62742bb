// The probe's command loop and the helpers its commands share, for a probe
// that adds commands of its own (the benchmarks').
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// The answer to a command the probe does not know.
inline const std::string Probe_Unknown = "error unknown command";

// Commands the built-in set does not know go to more, when given.
using ProbeCommands = std::string (*)(const std::vector<std::string>& words);
int probe_main(ProbeCommands more);

std::string hex_of(const std::string& bytes);
std::string bytes_of(const std::string& hex);
// Texts travel as the hex of their UTF-16LE units, as Windows holds them.
std::string hex_of(const std::wstring& text);
std::wstring text_of(const std::string& hex);
std::wstring window_text(HWND hwnd);
HWND handle_of(const std::string& word);
