// Looks at another process's windows the way a test needs to: texts (as the
// ANSI bytes the program stored), positions in screen coordinates, styles,
// message boxes, the close box. Reads one command per line on stdin and
// answers one line on stdout, so a test keeps one probe for its whole run.
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

std::string window_text(HWND hwnd) {
    char text[1024] = {};
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, 2000, &got))
        return std::string();
    return std::string(text, got);
}

HWND handle_of(const std::string& word) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoul(word.c_str(), nullptr, 0)));
}

namespace {

void reply(const std::string& line) {
    std::string out = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
}

bool read_line(std::string& line) {
    line.clear();
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        char c;
        DWORD got = 0;
        if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0) return !line.empty();
        if (c == '\n') return true;
        if (c != '\r') line += c;
    }
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ') ++j;
        if (j > i) out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
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

BOOL CALLBACK list_window(HWND hwnd, LPARAM param) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    *reinterpret_cast<std::string*>(param) +=
        " " + std::to_string(pid) + (IsWindowVisible(hwnd) ? ":1:" : ":0:") + hex_of(window_text(hwnd));
    return TRUE;
}

struct BoxSearch {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK find_box(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<BoxSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (pid == search->pid && std::strcmp(cls, "#32770") == 0 && IsWindowVisible(hwnd)) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

struct StaticSearch {
    std::string text;
};

BOOL CALLBACK collect_static(HWND child, LPARAM param) {
    char cls[64] = {};
    GetClassNameA(child, cls, sizeof cls);
    if (_stricmp(cls, "Static") == 0) {
        std::string t = window_text(child);
        if (!t.empty()) reinterpret_cast<StaticSearch*>(param)->text = t;
    }
    return TRUE;
}

std::string centre_of(HWND hwnd) {
    RECT r;
    GetWindowRect(hwnd, &r);
    char line[64];
    std::snprintf(line, sizeof line, "%ld %ld", (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    return line;
}

volatile LONG streaming = 0;
volatile LONG stream_sent = 0;
uint32_t stream_slot = 0;

DWORD WINAPI stream_reports(void*) {
    for (uint8_t i = 0; streaming; ++i) {
        uint8_t report[2] = {0, static_cast<uint8_t>(i & 1 ? 20 : 40)};
        if (hidsim_send_input(stream_slot, report, 2)) InterlockedIncrement(&stream_sent);
    }
    return 0;
}

std::string handle_command(const std::vector<std::string>& w) {
    const std::string& cmd = w[0];
    if (cmd == "window" && w.size() >= 2) {
        // window <title-hex> [timeout-ms]: a top-level window with exactly that title.
        std::string title = bytes_of(w[1]);
        DWORD timeout = w.size() >= 3 ? std::strtoul(w[2].c_str(), nullptr, 10) : 0;
        DWORD start = GetTickCount();
        for (;;) {
            HWND hwnd = FindWindowA(nullptr, title.c_str());
            if (hwnd) return describe_window(hwnd);
            if (GetTickCount() - start >= timeout) return "none";
            Sleep(20);
        }
    }
    if (cmd == "describe" && w.size() >= 2) {
        HWND hwnd = handle_of(w[1]);
        return IsWindow(hwnd) ? describe_window(hwnd) : "none";
    }
    if (cmd == "text" && w.size() >= 3) {
        // text <hwnd> <control id>
        HWND child = GetDlgItem(handle_of(w[1]), std::atoi(w[2].c_str()));
        return child ? "text " + hex_of(window_text(child)) : "none";
    }
    if (cmd == "waittext" && w.size() >= 5) {
        // waittext <hwnd> <control id> <text-hex> <timeout-ms>: until the text is that.
        HWND child = GetDlgItem(handle_of(w[1]), std::atoi(w[2].c_str()));
        if (!child) return "none";
        std::string want = bytes_of(w[3]);
        DWORD timeout = std::strtoul(w[4].c_str(), nullptr, 10);
        DWORD start = GetTickCount();
        for (;;) {
            std::string now = window_text(child);
            if (now == want) {
                char line[64];
                std::snprintf(line, sizeof line, "ok %lu", GetTickCount() - start);
                return line;
            }
            if (GetTickCount() - start >= timeout) return "timeout " + hex_of(now);
            Sleep(5);
        }
    }
    if (cmd == "control" && w.size() >= 3) {
        // control <hwnd> <id>: class, screen rectangle, style and state of a child.
        HWND child = GetDlgItem(handle_of(w[1]), std::atoi(w[2].c_str()));
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
                if (hit == HTCLOSE) {
                    char line[64];
                    std::snprintf(line, sizeof line, "point %ld %ld", x - 4, y + 4);
                    return line;
                }
            }
        return "none";
    }
    if (cmd == "msgbox" && w.size() >= 2) {
        // msgbox <pid> [timeout-ms]: the visible dialog box of that process: caption, text, OK button.
        BoxSearch search = {static_cast<DWORD>(std::strtoul(w[1].c_str(), nullptr, 0)), nullptr};
        DWORD timeout = w.size() >= 3 ? std::strtoul(w[2].c_str(), nullptr, 10) : 0;
        DWORD start = GetTickCount();
        for (;;) {
            search.found = nullptr;
            EnumWindows(find_box, reinterpret_cast<LPARAM>(&search));
            if (search.found) break;
            if (GetTickCount() - start >= timeout) return "none";
            Sleep(20);
        }
        StaticSearch text;
        EnumChildWindows(search.found, collect_static, reinterpret_cast<LPARAM>(&text));
        HWND ok = GetDlgItem(search.found, IDOK);
        char head[64];
        std::snprintf(head, sizeof head, "msgbox %lu ",
                      static_cast<unsigned long>(reinterpret_cast<uintptr_t>(search.found)));
        return head + hex_of(window_text(search.found)) + " " + hex_of(text.text) + " " +
               (ok ? centre_of(ok) : std::string("0 0"));
    }
    if (cmd == "windows") {
        // windows: every top-level window as pid:visible:title-hex, for reports when one is missing.
        std::string line = "windows";
        EnumWindows(list_window, reinterpret_cast<LPARAM>(&line));
        return line;
    }
    if (cmd == "pid" && w.size() >= 2) {
        DWORD pid = 0;
        GetWindowThreadProcessId(handle_of(w[1]), &pid);
        return "pid " + std::to_string(pid);
    }
    // The virtual device, for scenarios that need one.
    if (cmd == "plug" && w.size() >= 2) {
        uint32_t slot = std::strtoul(w[1].c_str(), nullptr, 10);
        bool wait = w.size() < 3 || w[2] != "nowait";
        return hidsim_plug(hidsim_default_device(slot)) && (!wait || hidsim_wait_present(slot, 10000)) ? "ok"
                                                                                                       : "fail";
    }
    if (cmd == "unplug" && w.size() >= 2) {
        uint32_t slot = std::strtoul(w[1].c_str(), nullptr, 10);
        bool wait = w.size() < 3 || w[2] != "nowait";
        return hidsim_unplug(slot) && (!wait || hidsim_wait_absent(slot, 10000)) ? "ok" : "fail";
    }
    if (cmd == "simulator" && w.size() >= 2) {
        // simulator <timeout-ms>: until the bus's control channel answers.
        DWORD timeout = std::strtoul(w[1].c_str(), nullptr, 10);
        DWORD start = GetTickCount();
        while (!hidsim_available()) {
            if (GetTickCount() - start >= timeout) return "none";
            Sleep(20);
        }
        return "ok";
    }
    if (cmd == "unplugall") return hidsim_unplug_all() ? "ok" : "fail";
    if (cmd == "report" && w.size() >= 3) {
        // report <slot> <hex bytes>
        std::string bytes = bytes_of(w[2]);
        return hidsim_send_input(std::strtoul(w[1].c_str(), nullptr, 10),
                                 reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()))
                   ? "ok"
                   : "fail";
    }
    if (cmd == "outputs" && w.size() >= 2) {
        // outputs <slot>: the output reports since the last ask, as hex words.
        static HidSimOutputs outputs;
        if (!hidsim_take_outputs(std::strtoul(w[1].c_str(), nullptr, 10), &outputs)) return "fail";
        std::string line = "outputs " + std::to_string(outputs.count + outputs.dropped);
        for (uint32_t i = 0; i < outputs.count; ++i) {
            line += " " + hex_of(std::string(reinterpret_cast<const char*>(outputs.reports[i].bytes),
                                             outputs.reports[i].length));
        }
        return line;
    }
    if (cmd == "device" && w.size() >= 2) {
        HidSimStatus st;
        if (!hidsim_status(std::strtoul(w[1].c_str(), nullptr, 10), &st)) return "fail";
        char line[160];
        std::snprintf(line, sizeof line, "device %u %u %s %u %u %u %u", st.plugged, st.started,
                      hidsim_led_name(st.led), st.pending_reads, st.inputs_total, st.outputs_total, st.late_requests);
        return line;
    }
    if (cmd == "stream" && w.size() >= 3) {
        // stream <slot> on|off: input reports as fast as the device can send them.
        static HANDLE thread = nullptr;
        if (w[2] == "on" && !thread) {
            stream_slot = std::strtoul(w[1].c_str(), nullptr, 10);
            streaming = 1;
            stream_sent = 0;
            thread = CreateThread(nullptr, 0, stream_reports, nullptr, 0, nullptr);
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
    std::string line;
    while (read_line(line)) {
        std::vector<std::string> w = words(line);
        if (w.empty()) continue;
        if (w[0] == "quit") break;
        std::string answer = handle_command(w);
        if (more && answer == Probe_Unknown) answer = more(w);
        reply(answer);
    }
    return 0;
}

#ifndef PROBE_NO_MAIN
int main() { return probe_main(nullptr); }
#endif
