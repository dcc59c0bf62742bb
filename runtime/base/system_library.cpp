#include "runtime/base/system_library.h"

namespace {

using SetDefaultDllDirectoriesEntry = BOOL(WINAPI*)(DWORD);
constexpr DWORD Search_System32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

}  // namespace

void system_library_confine() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
    auto confine = reinterpret_cast<SetDefaultDllDirectoriesEntry>(
        GetProcAddress(GetModuleHandleA(Library_Kernel), "SetDefaultDllDirectories"));
#pragma GCC diagnostic pop
    if (confine) confine(Search_System32);
}

HMODULE system_library_load(const char* name) {
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenA(name) >= MAX_PATH) return nullptr;
    path[length] = '\\';
    lstrcpyA(path + length + 1, name);
    // The altered search looks for the library's own imports in its folder
    // before the program's.
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
