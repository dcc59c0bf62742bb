// Imports only what the program may import (the Known DLLs it uses and the
// side-by-side common controls), with the program's manifest, and ends at its
// first instruction: whatever it loads, the system loaded while its libraries
// started, before any code of the program could run.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <setupapi.h>

#include <cstring>

// Referenced, never called: each keeps its library in the import table.
void* volatile twin_imports[] = {
    reinterpret_cast<void*>(&InitCommonControlsEx), reinterpret_cast<void*>(&GetStockObject),
    reinterpret_cast<void*>(&MessageBeep),          reinterpret_cast<void*>(&CoInitialize),
    reinterpret_cast<void*>(&SetupDiDestroyDeviceInfoList), reinterpret_cast<void*>(&std::memset),
};

extern "C" [[noreturn]] void twin_entry() { ExitProcess(0); }
