#include "runtime/base/system_library.h"

namespace {

using SetDefaultDllDirectoriesEntry = BOOL(WINAPI*)(DWORD);
using SetDllDirectoryEntry = BOOL(WINAPI*)(LPCSTR);
constexpr DWORD Search_System32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

}  // namespace

void system_library_confine() {
    HMODULE kernel = GetModuleHandleA(Library_Kernel);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
    auto confine = reinterpret_cast<SetDefaultDllDirectoriesEntry>(GetProcAddress(kernel, "SetDefaultDllDirectories"));
    auto drop_current = reinterpret_cast<SetDllDirectoryEntry>(GetProcAddress(kernel, "SetDllDirectoryA"));
#pragma GCC diagnostic pop
    if (confine) {
        confine(Search_System32);
        return;
    }
    // Without the loader update the program's folder stays first in every
    // search by name and nothing takes it out; the current folder, the one a
    // document was opened from, can be dropped (XP SP1 and later).
    // https://learn.microsoft.com/windows/win32/dlls/dynamic-link-library-security
    if (drop_current) drop_current("");
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
