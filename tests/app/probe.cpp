// Looks at another process's windows the way a test needs to: texts (as the
// UTF-16 Windows holds, whatever the ANSI code page), positions in screen
// coordinates, styles, message boxes, the close box. Reads one command per line on stdin and
// answers one line on stdout, so a test keeps one probe for its whole run.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "probe.h"
#include "tools/hidsim/hidsim_client.h"

std::string hex_of(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

std::string bytes_of(const std::string& hex) {
    std::string out;
    if (hex == "-") return out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

std::string hex_of(const std::wstring& text) {
    return hex_of(std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)));
}

std::wstring text_of(const std::string& hex) {
    std::string bytes = bytes_of(hex);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

std::wstring window_text(HWND hwnd) {
    wchar_t text[1024] = {};
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, &got))
        return std::wstring();
    return std::wstring(text, got);
}

HWND handle_of(const std::string& word) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoul(word.c_str(), nullptr, 0)));
}

namespace {


// Asks ready() every step_ms until it holds or timeout_ms have passed.
template <class Ready>
bool wait_until(DWORD timeout_ms, DWORD step_ms, Ready ready) {
    for (DWORD start = GetTickCount();; Sleep(step_ms)) {
        if (ready()) return true;
        if (GetTickCount() - start >= timeout_ms) return false;
    }
}

DWORD number(const std::string& word) { return std::strtoul(word.c_str(), nullptr, 10); }

double now_ms() {
    static LARGE_INTEGER frequency = {};
    if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The child of window w[1] with control ID w[2].
HWND child_of(const std::vector<std::string>& w) { return GetDlgItem(handle_of(w[1]), std::atoi(w[2].c_str())); }

DWORD pid_of(HWND hwnd) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

std::string describe_window(HWND hwnd) {
    RECT outer, client;
    GetWindowRect(hwnd, &outer);
    GetClientRect(hwnd, &client);
    POINT origin = {0, 0};
    ClientToScreen(hwnd, &origin);
    char line[512];
    std::snprintf(line, sizeof line, "window %lu %d %ld %ld %ld %ld %ld %ld %ld %ld 0x%08lx 0x%08lx %d %d",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hwnd)), IsWindowVisible(hwnd) ? 1 : 0,
                  outer.left, outer.top, outer.right, outer.bottom, origin.x, origin.y,
                  client.right - client.left, client.bottom - client.top,
                  static_cast<unsigned long>(GetWindowLongA(hwnd, GWL_STYLE)),
                  static_cast<unsigned long>(GetWindowLongA(hwnd, GWL_EXSTYLE)),
                  IsZoomed(hwnd) ? 1 : 0, IsIconic(hwnd) ? 1 : 0);
    return line;
}

// The visible dialog box of a process, the first in Z order.
HWND dialog_of(DWORD pid) {
    for (HWND hwnd = nullptr; (hwnd = FindWindowExA(nullptr, hwnd, "#32770", nullptr));)
        if (pid_of(hwnd) == pid && IsWindowVisible(hwnd)) return hwnd;
    return nullptr;
}

volatile LONG streaming = 0;
volatile LONG stream_sent = 0;

DWORD WINAPI stream_reports(void* slot) {
    for (uint8_t i = 0; streaming; ++i) {
        uint8_t report[2] = {0, static_cast<uint8_t>(i & 1 ? 20 : 40)};
        if (hidsim_send_input(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(slot)), report, 2))
            InterlockedIncrement(&stream_sent);
    }
    return 0;
}

bool send_report(uint32_t slot, const std::string& bytes) {
    return hidsim_send_input(slot, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
}

std::string handle_command(const std::vector<std::string>& w) {
    const std::string& cmd = w[0];
    if (cmd == "window" && w.size() >= 2) {
        // window <title-hex> [timeout-ms]: a top-level window with exactly that title.
        std::wstring title = text_of(w[1]);
        HWND hwnd = nullptr;
        wait_until(w.size() >= 3 ? number(w[2]) : 0, 20, [&] { return (hwnd = FindWindowW(nullptr, title.c_str())); });
        return hwnd ? describe_window(hwnd) : "none";
    }
    if (cmd == "describe" && w.size() >= 2)
        return IsWindow(handle_of(w[1])) ? describe_window(handle_of(w[1])) : "none";
    if (cmd == "text" && w.size() >= 3) {
        // text <hwnd> <control id>
        HWND child = child_of(w);
        return child ? "text " + hex_of(window_text(child)) : "none";
    }
    if (cmd == "waittext" && w.size() >= 5) {
        // waittext <hwnd> <control id> <text-hex> <timeout-ms>: until the text is that.
        HWND child = child_of(w);
        if (!child) return "none";
        std::wstring want = text_of(w[3]), now;
        DWORD start = GetTickCount();
        if (!wait_until(number(w[4]), 5, [&] { return (now = window_text(child)) == want; }))
            return "timeout " + hex_of(now);
        return "ok " + std::to_string(GetTickCount() - start);
    }
    if (cmd == "control" && w.size() >= 3) {
        // control <hwnd> <id>: class, screen rectangle, style and state of a child.
        HWND child = child_of(w);
        if (!child) return "none";
        char cls[64] = {};
        GetClassNameA(child, cls, sizeof cls);
        RECT r;
        GetWindowRect(child, &r);
        char line[256];
        std::snprintf(line, sizeof line, "control %s %ld %ld %ld %ld 0x%08lx 0x%08lx %d %d", cls, r.left, r.top,
                      r.right, r.bottom, static_cast<unsigned long>(GetWindowLongA(child, GWL_STYLE)),
                      static_cast<unsigned long>(GetWindowLongA(child, GWL_EXSTYLE)),
                      IsWindowEnabled(child) ? 1 : 0, IsWindowVisible(child) ? 1 : 0);
        return line;
    }
    if (cmd == "closebox" && w.size() >= 2) {
        // closebox <hwnd>: the screen point of the title bar's close button.
        HWND hwnd = handle_of(w[1]);
        RECT r;
        if (!GetWindowRect(hwnd, &r)) return "none";
        for (LONG y = r.top + 2; y < r.top + 40 && y < r.bottom; y += 2)
            for (LONG x = r.right - 2; x > r.right - 80 && x > r.left; x -= 2) {
                DWORD_PTR hit = 0;
                SendMessageTimeoutA(hwnd, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, 2000, &hit);
                if (hit == HTCLOSE) return "point " + std::to_string(x - 4) + " " + std::to_string(y + 4);
            }
        return "none";
    }
    if (cmd == "msgbox" && w.size() >= 2) {
        // msgbox <pid> [timeout-ms]: the visible dialog box of that process: caption, text, OK button.
        DWORD pid = std::strtoul(w[1].c_str(), nullptr, 0);
        HWND box = nullptr;
        if (!wait_until(w.size() >= 3 ? number(w[2]) : 0, 20, [&] { return (box = dialog_of(pid)); })) return "none";
        std::wstring text;  // the last non-empty label: the message, after any icon
        for (HWND child = nullptr; (child = FindWindowExA(box, child, "Static", nullptr));)
            if (!window_text(child).empty()) text = window_text(child);
        RECT ok = {};
        GetWindowRect(GetDlgItem(box, IDOK), &ok);
        return "msgbox " + std::to_string(reinterpret_cast<uintptr_t>(box)) + " " + hex_of(window_text(box)) + " " +
               hex_of(text) + " " + std::to_string((ok.left + ok.right) / 2) + " " +
               std::to_string((ok.top + ok.bottom) / 2);
    }
    if (cmd == "windows") {
        // windows: every top-level window as pid:visible:title-hex, for reports when one is missing.
        std::string line = "windows";
        for (HWND hwnd = nullptr; (hwnd = FindWindowExA(nullptr, hwnd, nullptr, nullptr));)
            line += " " + std::to_string(pid_of(hwnd)) + (IsWindowVisible(hwnd) ? ":1:" : ":0:") +
                    hex_of(window_text(hwnd));
        return line;
    }
    if (cmd == "answers" && w.size() >= 4) {
        // answers <hwnd> <duration-ms> <limit-ms>: WM_NULL sent back to back for the duration,
        // each waiting up to the limit. Answers the longest time the window left one
        // unanswered, when that gap ended (ms from the command) and how many went unanswered.
        HWND hwnd = handle_of(w[1]);
        DWORD duration = number(w[2]), limit = number(w[3]), start = GetTickCount(), longest = 0, ended = 0;
        unsigned hung = 0;
        for (DWORD now = start; now - start < duration; now = GetTickCount()) {
            DWORD_PTR result = 0;
            if (!SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_BLOCK, limit, &result)) ++hung;
            DWORD took = GetTickCount() - now;
            if (took > longest) longest = took, ended = GetTickCount() - start;
        }
        return "answers " + std::to_string(longest) + " " + std::to_string(ended) + " " + std::to_string(hung);
    }
    if (cmd == "pings" && w.size() >= 5) {
        // pings <hwnd> <duration-ms> <pause-ms> <limit-ms>: WM_NULL sent for the duration, a pause
        // after each answer, each waiting up to the limit; how many went unanswered, then ms each
        // took. Paced rather than back to back, so that the samples fall at all points of the
        // window's work and its thread is left time to idle, as a person's clicks would.
        HWND hwnd = handle_of(w[1]);
        if (!IsWindow(hwnd)) return "none";
        DWORD pause = number(w[3]), limit = number(w[4]);
        double start = now_ms(), duration = number(w[2]);
        unsigned unanswered = 0;
        std::string samples;
        char v[32];
        while (now_ms() - start < duration) {
            DWORD_PTR result = 0;
            double t0 = now_ms();
            if (!SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_BLOCK, limit, &result)) ++unanswered;
            std::snprintf(v, sizeof v, " %.3f", now_ms() - t0);
            samples += v;
            Sleep(pause);
        }
        return "pings " + std::to_string(unanswered) + samples;
    }
    if (cmd == "pid" && w.size() >= 2) return "pid " + std::to_string(pid_of(handle_of(w[1])));
    if (cmd == "codepage") return "codepage " + std::to_string(GetACP());  // the system's ANSI code page, as the probe has it
    // The virtual device, for scenarios that need one.
    if ((cmd == "plug" || cmd == "unplug") && w.size() >= 2) {
        // plug|unplug <slot> [nowait]: by default until the host has seen it come or go.
        uint32_t slot = number(w[1]);
        bool wait = w.size() < 3 || w[2] != "nowait";
        bool done = cmd == "plug" ? hidsim_plug(hidsim_default_device(slot)) && (!wait || hidsim_wait_present(slot, 10000))
                                  : hidsim_unplug(slot) && (!wait || hidsim_wait_absent(slot, 10000));
        return done ? "ok" : "fail";
    }
    if (cmd == "simulator" && w.size() >= 2)  // simulator <timeout-ms>: until the bus's control channel answers.
        return wait_until(number(w[1]), 20, [] { return hidsim_available(); }) ? "ok" : "none";
    if (cmd == "unplugall") return hidsim_unplug_all() ? "ok" : "fail";
    if (cmd == "report" && w.size() >= 3) return send_report(number(w[1]), bytes_of(w[2])) ? "ok" : "fail";
    if (cmd == "outputs" && w.size() >= 2) {
        // outputs <slot>: the output reports since the last ask, as hex words.
        static HidSimOutputs outputs;
        if (!hidsim_take_outputs(number(w[1]), &outputs)) return "fail";
        std::string line = "outputs " + std::to_string(outputs.count + outputs.dropped);
        for (uint32_t i = 0; i < outputs.count; ++i)
            line += " " + hex_of(std::string(reinterpret_cast<const char*>(outputs.reports[i].bytes),
                                             outputs.reports[i].length));
        return line;
    }
    if (cmd == "device" && w.size() >= 2) {
        HidSimStatus st;
        if (!hidsim_status(number(w[1]), &st)) return "fail";
        char line[160];
        std::snprintf(line, sizeof line, "device %u %u %s %u %u %u %u", st.plugged, st.started,
                      hidsim_led_name(st.led), st.pending_reads, st.inputs_total, st.outputs_total, st.late_requests);
        return line;
    }
    if (cmd == "stream" && w.size() >= 3) {
        // stream <slot> on|off: input reports as fast as the device can send them.
        static HANDLE thread = nullptr;
        if (w[2] == "on" && !thread) {
            streaming = 1;
            stream_sent = 0;
            void* slot = reinterpret_cast<void*>(uintptr_t{number(w[1])});
            thread = CreateThread(nullptr, 0, stream_reports, slot, 0, nullptr);
            return thread ? "ok" : "fail";
        }
        if (w[2] == "off" && thread) {
            streaming = 0;
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
            thread = nullptr;
            return "sent " + std::to_string(stream_sent);
        }
        return "fail";
    }
    return Probe_Unknown;
}

}  // namespace

int probe_main(ProbeCommands more) {
    _setmode(_fileno(stdout), _O_BINARY);  // answers end in a bare newline, as the scripts read them
    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;) w.push_back(word);
        if (w.empty()) continue;
        if (w[0] == "quit") break;
        std::string answer = handle_command(w);
        if (more && answer == Probe_Unknown) answer = more(w);
        std::printf("%s\n", answer.c_str());
        std::fflush(stdout);
    }
    return 0;
}

#ifndef PROBE_NO_MAIN
int main() { return probe_main(nullptr); }
#endif
