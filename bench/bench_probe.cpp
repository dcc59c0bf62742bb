// The end-to-end tests' probe with the benchmarks' figures added: handle
// counts, the time until a window shows, and input latencies.
#include <windows.h>
#include <dbt.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "app/probe.h"
#include "bench/chaos_faults.h"
#include "tools/hidsim/hidsim_client.h"

namespace {

double now_ms() {
    static LARGE_INTEGER frequency = {};
    if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// A window of the probe's own that Windows tells of HID interfaces coming and
// going, as it tells the program: on a thread that does nothing but pump, since
// the announcement waits up to 2 s for every window registered.
struct Listener {
    CRITICAL_SECTION lock;
    HANDLE thread, ready;
    HWND window;
    HDEVNOTIFY registration;
    std::vector<std::pair<bool, std::wstring>> heard;  // arrived, lower-cased path
} listener;

LRESULT CALLBACK listener_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_DEVICECHANGE && (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE)) {
        auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
        if (header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            std::wstring path = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header)->dbcc_name;
            for (wchar_t& c : path) c = static_cast<wchar_t>(towlower(c));  // the notice upper-cases the IDs
            EnterCriticalSection(&listener.lock);
            listener.heard.emplace_back(wparam == DBT_DEVICEARRIVAL, path);
            LeaveCriticalSection(&listener.lock);
        }
        return TRUE;
    }
    if (msg == WM_DESTROY) {
        if (listener.registration) UnregisterDeviceNotification(listener.registration);
        listener.registration = nullptr;
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wparam, lparam);
}

DWORD WINAPI listener_thread(void*) {
    WNDCLASSW cls = {};
    cls.lpfnWndProc = listener_proc;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.lpszClassName = L"ProbeDeviceListener";
    RegisterClassW(&cls);
    listener.window =
        CreateWindowExW(0, cls.lpszClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr, cls.hInstance, nullptr);
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};  // HID
    if (listener.window)
        listener.registration = RegisterDeviceNotificationW(listener.window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    SetEvent(listener.ready);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

std::string samples_line(const char* head, const std::vector<double>& samples) {
    std::string line = head;
    char v[32];
    for (double s : samples) {
        std::snprintf(v, sizeof v, " %.3f", s);
        line += v;
    }
    return line;
}

std::string bench_command(const std::vector<std::string>& w) {
    const std::string& cmd = w[0];
    if (cmd == "handles" && w.size() >= 2) {
        // handles <pid>: how many handles that process holds, from the system's handle
        // list (GetProcessHandleCount answers nothing under Wine).
        using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
        auto query = reinterpret_cast<Query>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
        struct Entry {
            ULONG owner;
            BYTE type, flags;
            USHORT value;
            void* object;
            ULONG access;
        };
        struct Table {
            ULONG count;
            Entry entries[1];
        };
        // The system's layout: 16-byte entries after one 32-bit count on i686,
        // 24-byte entries from offset 8 on x86-64.
        static_assert(sizeof(Entry) == (sizeof(void*) == 4 ? 16 : 24));
        static_assert(offsetof(Table, entries) == sizeof(void*));
        constexpr ULONG SystemHandleInformation = 16;
        std::vector<uint8_t> list(1 << 16);
        ULONG needed = 0;
        LONG status;
        while ((status = query ? query(SystemHandleInformation, list.data(), static_cast<ULONG>(list.size()), &needed)
                               : -1) == static_cast<LONG>(0xC0000004) && list.size() < (1u << 26))
            list.resize(list.size() * 2);
        if (status < 0) return "none";
        ULONG count = *reinterpret_cast<ULONG*>(list.data());
        auto* entries = reinterpret_cast<Entry*>(list.data() + offsetof(Table, entries));
        ULONG pid = std::strtoul(w[1].c_str(), nullptr, 0), mine = 0;
        for (ULONG i = 0; i < count; ++i) mine += entries[i].owner == pid;
        return "handles " + std::to_string(mine);
    }
    if (cmd == "waitvisible" && w.size() >= 3) {
        // waitvisible <title-hex> <timeout-ms>: ms from this command until that window is visible.
        std::wstring title = text_of(w[1]);
        double start = now_ms(), timeout = std::strtod(w[2].c_str(), nullptr);
        for (;;) {
            HWND hwnd = FindWindowW(nullptr, title.c_str());
            if (hwnd && IsWindowVisible(hwnd)) {
                char line[64];
                std::snprintf(line, sizeof line, "visible %.3f", now_ms() - start);
                return line;
            }
            if (now_ms() - start >= timeout) return "none";
            Sleep(1);
        }
    }
    if (cmd == "inputlatency" && w.size() >= 4) {
        // inputlatency <hwnd> <slot> <n> [pause-ms]: ms from the device's report to the field's
        // new text, seen by polling the field's text; the reports alternate pressed and released,
        // each some ms after the last one showed.
        HWND field = GetDlgItem(handle_of(w[1]), 5);
        uint32_t slot = std::strtoul(w[2].c_str(), nullptr, 10);
        int n = std::atoi(w[3].c_str());
        DWORD pause = w.size() >= 5 ? std::strtoul(w[4].c_str(), nullptr, 10) : 5;
        std::vector<double> samples;
        for (int i = 0; i < n; ++i) {
            bool press = i % 2 == 0;
            const std::wstring want = press ? L"Да" : L"Нет";
            uint8_t report[2] = {0, static_cast<uint8_t>(press ? 20 : 40)};
            double t0 = now_ms();
            if (!hidsim_send_input(slot, report, 2)) return "fail";
            while (window_text(field) != want) {
                if (now_ms() - t0 > 5000) return "timeout";
            }
            samples.push_back(now_ms() - t0);
            Sleep(pause + i % 11);
        }
        return samples_line("latency", samples);
    }
    if (cmd == "plugother" && w.size() >= 2) {
        // plugother <slot>: a device of another product, which the program's walk passes over.
        HidSimDevice device = hidsim_default_device(std::strtoul(w[1].c_str(), nullptr, 10));
        device.product_id = static_cast<uint16_t>(device.product_id + 1);
        return hidsim_plug(device) && hidsim_wait_present(device.slot, 10000) ? "ok" : "fail";
    }
    if (cmd == "presencetime" && w.size() >= 6) {
        // presencetime <hwnd> <slot> plug|unplug <text-hex> <timeout-ms>: ms from just before the
        // request reaches the bus until the window's status line shows the text, polled every
        // millisecond or so (back to back would take a core from the program it waits for).
        // With - for the window: until the slot's interface opens (plug) or no longer opens
        // (unplug), Wine's own share of that time; with "notice", until the probe's listener
        // (see listen) hears of it: no program told by Windows can show it sooner.
        bool by_open = w[1] == "-", by_notice = w[1] == "notice";
        HWND status = by_open || by_notice ? nullptr : GetDlgItem(handle_of(w[1]), 1);
        uint32_t slot = std::strtoul(w[2].c_str(), nullptr, 10);
        bool plug = w[3] == "plug";
        std::wstring want = text_of(w[4]);
        double timeout = std::strtod(w[5].c_str(), nullptr);
        if (!by_open && !by_notice && !status) return "none";
        if (by_notice && !listener.registration) return "none";
        // The client lets a device go only once the host has it, and a slot is plugged again
        // once it has gone: both waited for outside the time.
        if (!(plug ? hidsim_wait_absent(slot, 10000) : hidsim_wait_present(slot, 10000))) return "fail";
        HidSimDevice device = hidsim_default_device(slot);
        char path[160];
        std::snprintf(path, sizeof path, "\\\\?\\hid#vid_%04x&pid_%04x#%u#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                      device.vendor_id, device.product_id, static_cast<unsigned>(slot));
        std::wstring wide_path(path, path + std::strlen(path));
        auto reached = [&] {
            if (status) return window_text(status) == want;
            if (by_notice) {
                EnterCriticalSection(&listener.lock);
                bool heard = false;
                for (const auto& notice : listener.heard) heard |= notice.first == plug && notice.second == wide_path;
                LeaveCriticalSection(&listener.lock);
                return heard;
            }
            HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            return (h != INVALID_HANDLE_VALUE) == plug;
        };
        if (by_notice) {
            EnterCriticalSection(&listener.lock);
            listener.heard.clear();
            LeaveCriticalSection(&listener.lock);
        }
        double t0 = now_ms();
        if (!(plug ? hidsim_plug(device) : hidsim_unplug(slot))) return "fail";
        while (!reached()) {
            if (now_ms() - t0 > timeout) return "timeout";
            Sleep(1);
        }
        char line[64];
        std::snprintf(line, sizeof line, "shown %.3f", now_ms() - t0);
        return line;
    }
    if (cmd == "listen" && w.size() >= 2) {
        // listen on|off: the probe's own window told of HID interfaces, for presencetime notice.
        if (w[1] == "on" && !listener.thread) {
            InitializeCriticalSection(&listener.lock);
            listener.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            listener.thread = CreateThread(nullptr, 0, listener_thread, nullptr, 0, nullptr);
            if (!listener.thread) return "fail";
            WaitForSingleObject(listener.ready, INFINITE);
            // Windows takes a registration over RPC after the call returns.
            Sleep(1000);
            return listener.registration ? "ok" : "fail";
        }
        if (w[1] == "off" && listener.thread) {
            PostMessageW(listener.window, WM_CLOSE, 0, 0);
            WaitForSingleObject(listener.thread, INFINITE);
            CloseHandle(listener.thread);
            CloseHandle(listener.ready);
            DeleteCriticalSection(&listener.lock);
            listener = Listener{};
            return "ok";
        }
        return "fail";
    }
    if (cmd == "closetime" && w.size() >= 3) {
        // closetime <hwnd> <timeout-ms>: ms from posting WM_CLOSE until the window's process has ended.
        DWORD pid = 0;
        GetWindowThreadProcessId(handle_of(w[1]), &pid);
        HANDLE process = pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
        if (!process) return "none";
        double t0 = now_ms();
        PostMessageA(handle_of(w[1]), WM_CLOSE, 0, 0);
        DWORD waited = WaitForSingleObject(process, std::strtoul(w[2].c_str(), nullptr, 10));
        double took = now_ms() - t0;
        CloseHandle(process);
        if (waited != WAIT_OBJECT_0) return "running";
        char line[64];
        std::snprintf(line, sizeof line, "closed %.3f", took);
        return line;
    }
    if (cmd == "ping" && w.size() >= 3) {
        // ping <hwnd> <timeout-ms>: ms until the window's thread answers a sent message, or hung.
        double t0 = now_ms();
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(handle_of(w[1]), WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                                 std::strtoul(w[2].c_str(), nullptr, 10), &result))
            return "hung";
        char line[64];
        std::snprintf(line, sizeof line, "ok %.3f", now_ms() - t0);
        return line;
    }
    if (cmd == "chaos" && w.size() >= 3) {
        // chaos <pid> on|off|counts: the chaos variant's faults switched, or its counters as
        // seed then name=calls/injected per fault point.
        std::string name = ChaosBlock_NamePrefix + w[1];
        HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE | FILE_MAP_READ, FALSE, name.c_str());
        auto* block = mapping ? static_cast<ChaosBlock*>(MapViewOfFile(mapping, FILE_MAP_WRITE | FILE_MAP_READ, 0, 0,
                                                                       sizeof(ChaosBlock)))
                              : nullptr;
        std::string answer = "none";
        if (block && w[2] == "counts") {
            answer = "counts seed=" + std::to_string(block->seed);
            const char* point = chaos_point_names;
            for (int i = 0; i < ChaosPoint_Count; ++i, point += std::strlen(point) + 1)
                answer += " " + std::string(point) + "=" + std::to_string(block->calls[i]) + "/" +
                          std::to_string(block->injected[i]);
        } else if (block) {
            InterlockedExchange(&block->faults_on, w[2] == "on");
            answer = "ok";
        }
        if (block) UnmapViewOfFile(block);
        if (mapping) CloseHandle(mapping);
        return answer;
    }
    return Probe_Unknown;
}

}  // namespace

int main() { return probe_main(bench_command); }
