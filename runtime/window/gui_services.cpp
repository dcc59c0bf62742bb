#include "runtime/window/gui_services.h"

#include <commctrl.h>
#include <shlwapi.h>
#include <objbase.h>

#include <atomic>

#include "runtime/base/object_table.h"
#include "runtime/base/string_buffer.h"
#include "runtime/base/system_library.h"
#include "runtime/base/thread.h"

DrawingState drawing_state{};

namespace {

constexpr UINT KeepPlace = SWP_NOMOVE | SWP_NOSIZE;
constexpr DWORD Version_Visual_Styles = 0x60000;
constexpr DWORD CommonControl_Classes =
    ICC_TAB_CLASSES | ICC_HOTKEY_CLASS | ICC_DATE_CLASSES | ICC_USEREX_CLASSES | ICC_INTERNET_CLASSES;
static_assert(CommonControl_Classes == 0xB48);
static_assert(sizeof(DLLVERSIONINFO) == 20);

// Message boxes may be up on several threads at once; each walks and edits the
// one shared list, so every walk and edit holds this lock. The window calls made
// under it touch only the calling thread's own windows.
struct SavedWindowList {
    RecordLink* head;
    CRITICAL_SECTION lock;
};
SavedWindowList g_saved{};
volatile LONG g_saved_once = 0;
std::atomic<bool> g_timer_resolution_raised{false};
using TimeBeginPeriodEntry = UINT(WINAPI*)(UINT);
TimeBeginPeriodEntry g_time_begin_period = nullptr;

void init_saved_list() { InitializeCriticalSection(&g_saved.lock); }

class SavedListLock {
public:
    SavedListLock() {
        run_once(&g_saved_once, init_saved_list);
        EnterCriticalSection(&g_saved.lock);
    }
    ~SavedListLock() { LeaveCriticalSection(&g_saved.lock); }
    SavedListLock(const SavedListLock&) = delete;
    SavedListLock& operator=(const SavedListLock&) = delete;
};

struct EnumContext {
    DWORD thread_id;
    HWND foreground;
};

BOOL CALLBACK save_window(HWND window, LPARAM parameter) {
    auto* context = reinterpret_cast<EnumContext*>(parameter);
    if (GetWindowThreadProcessId(window, nullptr) != context->thread_id || !IsWindowVisible(window)) return TRUE;
    auto* saved = static_cast<SavedWindow*>(record_list_alloc(&g_saved.head, sizeof(SavedWindow)));
    if (!saved) return TRUE;
    saved->thread_id = context->thread_id;
    saved->window = window;
    saved->was_topmost = (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) ? 1 : 0;
    if (window != context->foreground && IsWindowEnabled(window)) {
        saved->disabled = 1;
        EnableWindow(window, FALSE);
    }
    return TRUE;
}

SavedWindow* saved_of(RecordLink* link) { return reinterpret_cast<SavedWindow*>(link + 1); }

using DllGetVersionEntry = HRESULT(CALLBACK*)(DLLVERSIONINFO*);
using IsAppThemedEntry = BOOL(WINAPI*)();
using InitCommonControlsExEntry = decltype(&::InitCommonControlsEx);

HMODULE g_common_controls = nullptr;
InitCommonControlsExEntry g_init_common_controls = nullptr;

void common_controls_load() {
    // The one library loaded by name rather than by path: the manifest asks
    // for the version 6 common controls, and the activation context hands
    // those out, from their side-by-side assembly, only to a load by name; by
    // path the system folder's comctl32.dll is version 5, without visual
    // styles. runtime_start confined the search before this, so the name goes
    // to the activation context and then to the system folder alone, never
    // beside the program; where the confinement is missing (XP, Vista and 7
    // before their loader update) the activation context still answers before
    // the program's folder is searched. Named with its extension, as the
    // activation context lists it.
    g_common_controls = LoadLibraryA("comctl32.dll");
    if (!g_common_controls) return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
    g_init_common_controls =
        reinterpret_cast<InitCommonControlsExEntry>(GetProcAddress(g_common_controls, "InitCommonControlsEx"));
#pragma GCC diagnostic pop
}

DWORD common_controls_version() {
    DWORD version = 1;
    if (!g_common_controls) return version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
    auto get_version = reinterpret_cast<DllGetVersionEntry>(GetProcAddress(g_common_controls, "DllGetVersion"));
#pragma GCC diagnostic pop
    if (get_version) {
        DLLVERSIONINFO info{};
        info.cbSize = sizeof(info);
        if (SUCCEEDED(get_version(&info)))
            version = ((info.dwMajorVersion & 0xFFFF) << 16) | (info.dwMinorVersion & 0xFFFF);
    }
    return version;
}

}  // namespace

int message_box(const char* title, const char* text, UINT flags) {
    DWORD thread_id = GetCurrentThreadId();
    HWND foreground = GetForegroundWindow();
    {
        SavedListLock lock;
        EnumContext context{thread_id, foreground};
        EnumWindows(save_window, reinterpret_cast<LPARAM>(&context));
        for (RecordLink* link = g_saved.head; link; link = link->next) {
            SavedWindow* saved = saved_of(link);
            if (saved->thread_id == thread_id && saved->was_topmost)
                SetWindowPos(saved->window, HWND_NOTOPMOST, 0, 0, 0, 0, KeepPlace);
        }
    }
    DWORD process_id = 0;
    if (foreground) GetWindowThreadProcessId(foreground, &process_id);
    HWND owner = foreground && process_id == GetCurrentProcessId() ? foreground : nullptr;
    int result = MessageBoxW(owner, WideText(text), WideText(title), flags);
    {
        SavedListLock lock;
        for (RecordLink* link = g_saved.head; link;) {
            RecordLink* next = link->next;
            SavedWindow* saved = saved_of(link);
            if (saved->thread_id == thread_id) {
                if (saved->disabled) EnableWindow(saved->window, TRUE);
                if (saved->was_topmost) SetWindowPos(saved->window, HWND_TOPMOST, 0, 0, 0, 0, KeepPlace);
                record_list_free(&g_saved.head, saved);
            }
            link = next;
        }
    }
    return result;
}

int32_t saved_window_count() {
    SavedListLock lock;
    int32_t count = 0;
    for (RecordLink* link = g_saved.head; link; link = link->next) ++count;
    return count;
}

void delay_ms(int32_t milliseconds) {
    // The resolution is raised once per process and never reset.
    if (g_time_begin_period && !g_timer_resolution_raised.exchange(true)) g_time_begin_period(1);
    Sleep(milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds));
}

void gui_init() {
    common_controls_register();
    CoInitialize(nullptr);
}

BOOL common_controls_register() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), CommonControl_Classes};
    return g_init_common_controls && g_init_common_controls(&controls);
}

void drawing_init() {
    // Loaded here, before any window or control exists, and uxtheme.dll and
    // winmm.dll kept for the process's life: a system library that asks for
    // one of them by name later (the common controls do) gets the one already
    // loaded instead of a search that looks beside the program first where
    // the system cannot be told otherwise.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
    if (HMODULE winmm = system_library_load("winmm"))
        g_time_begin_period = reinterpret_cast<TimeBeginPeriodEntry>(GetProcAddress(winmm, "timeBeginPeriod"));
#pragma GCC diagnostic pop
    drawing_state.msimg32 = system_library_load("msimg32");
    drawing_state.alpha_blend = drawing_state.msimg32 ? GetProcAddress(drawing_state.msimg32, "AlphaBlend") : nullptr;

    // Before the common controls, which ask for it by name. Windows 9x and
    // 2000 have no visual styles and no uxtheme.dll: the load fails there.
    HMODULE uxtheme = system_library_load("uxtheme");
    common_controls_load();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
    auto is_app_themed = uxtheme ? reinterpret_cast<IsAppThemedEntry>(GetProcAddress(uxtheme, "IsAppThemed")) : nullptr;
#pragma GCC diagnostic pop
    drawing_state.themed = is_app_themed && is_app_themed() && common_controls_version() >= Version_Visual_Styles;
}

void drawing_shutdown() {
    if (drawing_state.msimg32) FreeLibrary(drawing_state.msimg32);
    drawing_state = DrawingState{};
}
