// The system's own libraries: loaded by their full path in the system folder,
// never by bare name, so that no copy beside the program or in the current
// folder stands in for one. Any thread.
#pragma once
#include <windows.h>

// Loaded in every process: its functions newer than Windows XP are looked up
// in the loaded module. Named, as every library here, without the ".dll" that
// Windows appends: four bytes fewer a name in a program that counts them.
// Inline: one copy in the program.
inline constexpr char Library_Kernel[] = "kernel32";

// Where Windows can (8 and later, Vista and 7 with their loader update), keeps
// every later load by name in this process, the system's own DLLs' included,
// to the system folder; elsewhere takes the current folder out of the search.
// Call before anything loads a library.
void system_library_confine();
// The library (e.g. "hid") from the system folder, its own imports looked
// for there first; null when it is missing or the path would not fit.
HMODULE system_library_load(const char* name);
