// The chaos variant's fault layer. The variant is the program itself linked
// with --wrap of hid_bind: once the real binding is done, every slot of the
// entry table and the program's own imports of the calls that reach the device
// are replaced by wrappers of the same type that fail at random, the way each
// call fails when a device goes, is held by another process or misbehaves.
// Configured from HIDLED_CHAOS ("seed=N;rate=R;gap=G;<point>=R;on=1"); the
// shared block switches the faults on and off and counts them.
#include "bench/chaos_faults.h"

#include <cstring>

namespace {

constexpr UINT Gap_TickMs = 50;
constexpr DWORD Gap_MinMs = 100;
constexpr DWORD Gap_SpanMs = 500;

ChaosBlock* g_block;
void* g_real[ChaosPoint_Count];       // what each point called before the layer
void* g_wrappers[Chaos_TableEntries];  // what the layer put into the table
uint32_t g_threshold[ChaosPoint_Count];  // a fault when the draw is below it
volatile LONG g_draws;
int32_t g_gap_library;  // a ChaosPoint_*LibraryGone point while a library is gone, else 0
DWORD g_gap_end;

// A random 32-bit draw, from any thread: SplitMix64 over the seed and a counter.
uint32_t draw() {
    uint64_t z = (static_cast<uint64_t>(g_block->seed) << 32) + static_cast<uint32_t>(InterlockedIncrement(&g_draws));
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint32_t>(z ^ (z >> 31));
}

bool inject(int32_t point) {
    if (!g_block->faults_on) return false;
    InterlockedIncrement(&g_block->calls[point]);
    if (draw() >= g_threshold[point]) return false;
    InterlockedIncrement(&g_block->injected[point]);
    return true;
}

// Each point's two ways of failing, one chosen at random per fault.
DWORD error_of(int32_t point) {
    bool first = draw() & 1;
    switch (point) {
        case ChaosPoint_CreateFileA:  // held open exclusively, or gone between the walk and the open
            return first ? ERROR_SHARING_VIOLATION : ERROR_FILE_NOT_FOUND;
        case HidEntry_SetupDiGetClassDevsA:
            return first ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_DATA;
        case HidEntry_SetupDiEnumDeviceInterfaces:  // the set ends early: the interface went
            return ERROR_NO_MORE_ITEMS;
        case HidEntry_SetupDiGetDeviceInterfaceDetailA:
            return ERROR_NO_SUCH_DEVINST;
        case HidEntry_HidD_FreePreparsedData:
            return ERROR_INVALID_PARAMETER;
        default:  // a transfer or query on a device that stopped answering
            return first ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE;
    }
}

// The natural failure by result type: the entries that return BOOLEAN, BOOL,
// NTSTATUS, a handle or nothing.
template <typename R> R failure();
template <> BOOLEAN failure<BOOLEAN>() { return FALSE; }
template <> BOOL failure<BOOL>() { return FALSE; }
template <> NTSTATUS failure<NTSTATUS>() { return HIDP_STATUS_INVALID_PREPARSED_DATA; }
template <> HANDLE failure<HANDLE>() { return INVALID_HANDLE_VALUE; }
template <> void failure<void>() {}  // HidD_GetHidGuid: the GUID is left unwritten

template <int32_t Point, typename R, typename... A>
R WINAPI wrapped(A... arguments) {
    if (inject(Point)) {
        SetLastError(error_of(Point));
        return failure<R>();
    }
    R (WINAPI* real)(A...);
    std::memcpy(&real, &g_real[Point], sizeof real);
    return real(arguments...);
}

template <int32_t Point, typename R, typename... A>
void* wrapper_of(R (WINAPI*)(A...)) {
    R (WINAPI* wrapper)(A...) = &wrapped<Point, R, A...>;
    void* address;
    std::memcpy(&address, &wrapper, sizeof address);
    return address;
}

// Replaces one of the exe's own imports; the original goes to g_real.
void rebind_import(const char* library, const char* name, int32_t point, void* replacement) {
    auto* base = reinterpret_cast<uint8_t*>(GetModuleHandleA(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + d->Name), library)) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<char*>(by_name->Name), name)) continue;
            DWORD was;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &was);
            g_real[point] = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void*), was, &was);
            return;
        }
    }
}

void set_library_slots(int32_t gone_point, bool gone) {
    for (int32_t place = 0; place < Chaos_TableEntries; ++place) {
        bool setupapi = place >= HidEntry_SetupDiEnumDeviceInterfaces;
        if (setupapi != (gone_point == ChaosPoint_SetupapiLibraryGone)) continue;
        void* value = gone ? nullptr : g_wrappers[place];
        std::memcpy(reinterpret_cast<char*>(&hid_entries) + place * sizeof(void*), &value, sizeof value);
    }
}

// On the GUI thread, between watch passes, as the program itself reads the
// table: now and then one library's slots go null for a while, as when it is
// missing.
void CALLBACK gap_tick(HWND, UINT, UINT_PTR, DWORD) {
    if (g_gap_library) {
        if (g_block->faults_on && static_cast<LONG>(GetTickCount() - g_gap_end) < 0) return;
        set_library_slots(g_gap_library, false);
        g_gap_library = 0;
        return;
    }
    int32_t point = draw() & 1 ? ChaosPoint_HidLibraryGone : ChaosPoint_SetupapiLibraryGone;
    if (!inject(point)) return;
    g_gap_library = point;
    g_gap_end = GetTickCount() + Gap_MinMs + draw() % Gap_SpanMs;
    set_library_slots(point, true);
}

uint32_t threshold_of(const char* text) {
    double value = 0, scale = 1;
    bool fraction = false;
    for (; (*text >= '0' && *text <= '9') || *text == '.'; ++text) {
        if (*text == '.') {
            fraction = true;
        } else if (fraction) {
            scale /= 10;
            value += (*text - '0') * scale;
        } else {
            value = value * 10 + (*text - '0');
        }
    }
    return value >= 1 ? 0xFFFFFFFFu : static_cast<uint32_t>(value * 4294967296.0);
}

// "key=value" pairs separated by ';'.
void configure(char* settings) {
    for (char* item = settings; item && *item;) {
        char* next = std::strchr(item, ';');
        if (next) *next++ = 0;
        char* value = std::strchr(item, '=');
        if (value) {
            *value++ = 0;
            if (!std::strcmp(item, "seed")) {
                for (g_block->seed = 0; *value >= '0' && *value <= '9'; ++value)
                    g_block->seed = g_block->seed * 10 + static_cast<uint32_t>(*value - '0');
            } else if (!std::strcmp(item, "on")) {
                g_block->faults_on = *value == '1';
            } else {
                const char* name = chaos_point_names;
                for (int32_t point = 0; point < ChaosPoint_Count; ++point, name += std::strlen(name) + 1) {
                    bool gap = point >= ChaosPoint_HidLibraryGone;
                    if (!std::strcmp(item, "rate") ? !gap : !std::strcmp(item, gap ? "gap" : name))
                        g_threshold[point] = threshold_of(value);
                }
            }
        }
        item = next;
    }
}

bool chaos_install() {
    char name[64];
    wsprintfA(name, "%s%lu", ChaosBlock_NamePrefix, GetCurrentProcessId());
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ChaosBlock), name);
    if (!mapping) return false;
    g_block = static_cast<ChaosBlock*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(ChaosBlock)));
    if (!g_block) return false;
    char settings[1024] = {};
    GetEnvironmentVariableA("HIDLED_CHAOS", settings, sizeof settings);
    configure(settings);

    std::memcpy(g_real, &hid_entries, Chaos_TableEntries * sizeof(void*));
// Releasing a device set is left alone: a failed release only leaks, and the
// run's memory figures would count the leak against the program.
#define CHAOS_WRAP_ENTRY(name, library)                                                   \
    if (hid_entries.name && HidEntry_##name != HidEntry_SetupDiDestroyDeviceInfoList)      \
        g_wrappers[HidEntry_##name] = wrapper_of<HidEntry_##name>(hid_entries.name);      \
    else                                                                                  \
        g_wrappers[HidEntry_##name] = reinterpret_cast<void*>(hid_entries.name);
    HID_ENTRY_LIST(CHAOS_WRAP_ENTRY)
#undef CHAOS_WRAP_ENTRY
    std::memcpy(&hid_entries, g_wrappers, Chaos_TableEntries * sizeof(void*));
    rebind_import("kernel32.dll", "CreateFileA", ChaosPoint_CreateFileA, wrapper_of<ChaosPoint_CreateFileA>(&::CreateFileA));
    rebind_import("kernel32.dll", "ReadFile", ChaosPoint_ReadFile, wrapper_of<ChaosPoint_ReadFile>(&::ReadFile));
    rebind_import("kernel32.dll", "WriteFile", ChaosPoint_WriteFile, wrapper_of<ChaosPoint_WriteFile>(&::WriteFile));
    SetTimer(nullptr, 0, Gap_TickMs, gap_tick);
    return true;
}

}  // namespace

// The program's own binding, then the layer in front of it.
extern "C" int32_t __real__Z8hid_bindv();
extern "C" int32_t __wrap__Z8hid_bindv() {
    int32_t result = __real__Z8hid_bindv();
    chaos_install();
    return result;
}
