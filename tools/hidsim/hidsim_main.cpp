// hidsim.exe: the virtual HID device from the command line, for scripts and
// tests, or, started without arguments, as a control panel for a person.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/hidsim/hidsim_client.h"
#include "tools/hidsim/hidsim_panel.h"

namespace {

constexpr char Usage[] =
    "usage: hidsim                      the control panel (slot 0)\n"
    "       hidsim install [INF]         install the drivers (default: hidsim.inf beside hidsim.exe)\n"
    "       hidsim uninstall\n"
    "       hidsim plug [-d N] [--vid HEX] [--pid HEX] [--version HEX] [--serial S]\n"
    "                   [--product S] [--manufacturer S] [--input-length N] [--output-length N]\n"
    "                   [--count K] [--no-wait]\n"
    "       hidsim unplug [-d N] [--count K] | hidsim unplug --all\n"
    "       hidsim press [-d N]          input report 00 14 00... (button pressed, 20)\n"
    "       hidsim release [-d N]        input report 00 28 00... (button released, 40)\n"
    "       hidsim report [-d N] HEX...  any input report, report ID byte first\n"
    "       hidsim stream [-d N] MS      send the input report every MS ms; 0: on change only\n"
    "       hidsim hold [-d N]           leave output reports unanswered from now on\n"
    "       hidsim unhold [-d N]         fail the held output reports, answer again\n"
    "       hidsim delay [-d N] MS       take each output report MS ms after it came; 0: at once\n"
    "       hidsim outputs [-d N]        print and clear the output reports received\n"
    "       hidsim status [-d N]\n"
    "       hidsim wait-present [-d N] [--timeout MS]\n"
    "       hidsim wait-absent [-d N] [--timeout MS]\n"
    "N is a device slot (default 0); --count K repeats over slots N to N+K-1.\n"
    "Report lengths count the report ID byte: 2 to 64, default 2.\n"
    "Device strings are taken as typed, any characters; \"\" gives an empty one.\n"
    "Exit code: 0 done, 1 failed, 2 bad arguments.\n";

int usage() {
    fputs(Usage, stderr);
    return 2;
}

bool parse_hex(const char* text, unsigned long limit, unsigned long* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    unsigned long value = strtoul(text, &end, 16);
    if (*end || value > limit) return false;
    *out = value;
    return true;
}

bool parse_decimal(const char* text, unsigned long limit, unsigned long* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    unsigned long value = strtoul(text, &end, 10);
    if (*end || value > limit) return false;
    *out = value;
    return true;
}

struct Options {
    unsigned long slot = 0;
    unsigned long count = 1;
    unsigned long timeout = 10000;
    bool all = false;
    bool wait = true;
    HidSimDevice device = hidsim_default_device(0);
    uint8_t bytes[HIDSIM_MAX_REPORT] = {};
    uint32_t length = 0;
    long interval = -1;  // stream's or delay's MS
};

bool parse(int argc, char** argv, Options* o) {
    for (int i = 2; i < argc; ++i) {
        const char* a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long v = 0;
        if (!strcmp(a, "-d") && parse_decimal(next, HIDSIM_MAX_DEVICES - 1, &o->slot)) {
            ++i;
        } else if (!strcmp(a, "--count") && parse_decimal(next, HIDSIM_MAX_DEVICES, &o->count) && o->count) {
            ++i;
        } else if (!strcmp(a, "--timeout") && parse_decimal(next, 600000, &o->timeout)) {
            ++i;
        } else if (!strcmp(a, "--vid") && parse_hex(next, 0xFFFF, &v)) {
            o->device.vendor_id = static_cast<uint16_t>(v);
            ++i;
        } else if (!strcmp(a, "--pid") && parse_hex(next, 0xFFFF, &v)) {
            o->device.product_id = static_cast<uint16_t>(v);
            ++i;
        } else if (!strcmp(a, "--version") && parse_hex(next, 0xFFFF, &v)) {
            o->device.version = static_cast<uint16_t>(v);
            ++i;
        } else if (!strcmp(a, "--input-length") && parse_decimal(next, HIDSIM_MAX_REPORT, &v) && v >= 2) {
            o->device.input_length = static_cast<uint8_t>(v);
            ++i;
        } else if (!strcmp(a, "--output-length") && parse_decimal(next, HIDSIM_MAX_REPORT, &v) && v >= 2) {
            o->device.output_length = static_cast<uint8_t>(v);
            ++i;
        } else if (!strcmp(a, "--serial") && next) {
            o->device.serial = argv[++i];
        } else if (!strcmp(a, "--product") && next) {
            o->device.product = argv[++i];
        } else if (!strcmp(a, "--manufacturer") && next) {
            o->device.manufacturer = argv[++i];
        } else if (!strcmp(a, "--all")) {
            o->all = true;
        } else if (!strcmp(a, "--no-wait")) {
            o->wait = false;
        } else if ((!strcmp(argv[1], "stream") || !strcmp(argv[1], "delay")) && o->interval < 0 &&
                   parse_decimal(a, 60000, &v)) {
            o->interval = static_cast<long>(v);
        } else if (parse_hex(a, 0xFF, &v) && o->length < HIDSIM_MAX_REPORT) {
            o->bytes[o->length++] = static_cast<uint8_t>(v);
        } else {
            return false;
        }
    }
    return o->slot + o->count <= HIDSIM_MAX_DEVICES;
}

int fail(const char* what) {
    fprintf(stderr, "hidsim: %s failed (is the simulator installed in this prefix?)\n", what);
    return 1;
}

int print_status(uint32_t slot) {
    HidSimStatus s;
    if (!hidsim_status(slot, &s)) return fail("status");
    printf("slot=%u plugged=%u started=%u led=%s pending_reads=%u queued_inputs=%u outputs=%u inputs=%u "
           "vid=%04X pid=%04X version=%04X input_length=%u output_length=%u stream_ms=%u held_outputs=%u delay_ms=%u "
           "delayed_outputs=%u\n",
           static_cast<unsigned>(slot), static_cast<unsigned>(s.plugged), static_cast<unsigned>(s.started),
           hidsim_led_name(s.led), static_cast<unsigned>(s.pending_reads), static_cast<unsigned>(s.queued_inputs),
           static_cast<unsigned>(s.outputs_total), static_cast<unsigned>(s.inputs_total), s.vendor_id, s.product_id,
           s.version, s.input_length, s.output_length, static_cast<unsigned>(s.stream_ms),
           static_cast<unsigned>(s.held_outputs), static_cast<unsigned>(s.delay_ms),
           static_cast<unsigned>(s.delayed_outputs));
    return 0;
}

int print_outputs(uint32_t slot) {
    static HidSimOutputs outputs;
    if (!hidsim_take_outputs(slot, &outputs)) return fail("outputs");
    for (uint32_t i = 0; i < outputs.count; ++i) {
        for (uint32_t b = 0; b < outputs.reports[i].length; ++b) printf(b ? " %02X" : "%02X", outputs.reports[i].bytes[b]);
        printf("\n");
    }
    if (outputs.dropped) printf("dropped=%u\n", static_cast<unsigned>(outputs.dropped));
    return 0;
}

// The arguments in UTF-8, as the device strings are taken: the ANSI argv has
// already lost what its code page lacks. They last as long as the process;
// null when they cannot be had.
char** utf8_arguments(int* count) {
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), count);
    if (!wide) return nullptr;
    auto** out = static_cast<char**>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (*count + 1) * sizeof(char*)));
    for (int i = 0; out && i < *count; ++i) {
        int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        out[i] = bytes > 0 ? static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, bytes)) : nullptr;
        if (!out[i]) out = nullptr;
        else WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, out[i], bytes, nullptr, nullptr);
    }
    LocalFree(wide);
    return out;
}

void default_inf(char* path, DWORD size) {
    DWORD n = GetModuleFileNameA(nullptr, path, size);
    while (n && path[n - 1] != '\\' && path[n - 1] != '/') --n;
    path[n] = 0;
    strncat(path, "hidsim.inf", size - n - 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return hidsim_panel_run(0);
    const char* command = argv[1];
    if (!strcmp(command, "--help") || !strcmp(command, "-h")) {
        fputs(Usage, stdout);
        return 0;
    }
    if (!strcmp(command, "install")) {
        if (argc > 3) return usage();
        char inf[MAX_PATH];
        if (argc == 3) {
            if (!GetFullPathNameA(argv[2], sizeof inf, inf, nullptr)) return usage();
        } else {
            default_inf(inf, sizeof inf);
        }
        return hidsim_install(inf) ? 0 : fail("install");
    }
    if (!strcmp(command, "uninstall")) return argc == 2 ? (hidsim_uninstall() ? 0 : fail("uninstall")) : usage();

    int count = 0;
    char** arguments = utf8_arguments(&count);
    if (!arguments || count != argc) return fail("reading the command line");
    Options o;
    if (!parse(count, arguments, &o)) return usage();
    bool takes_bytes = !strcmp(command, "report");
    if (o.length && !takes_bytes) return usage();

    for (unsigned long slot = o.slot; slot < o.slot + o.count; ++slot) {
        uint32_t s = static_cast<uint32_t>(slot);
        if (!strcmp(command, "plug")) {
            HidSimDevice device = o.device;
            device.slot = s;
            if (!hidsim_plug(device)) return fail("plug");
            if (o.wait && !hidsim_wait_present(s, o.timeout)) return fail("plug (device did not appear)");
        } else if (!strcmp(command, "unplug")) {
            if (o.all) return hidsim_unplug_all() ? 0 : fail("unplug");
            if (!hidsim_unplug(s)) return fail("unplug");
            if (o.wait && !hidsim_wait_absent(s, o.timeout)) return fail("unplug (device did not go)");
        } else if (!strcmp(command, "press") || !strcmp(command, "release")) {
            if (!hidsim_send_button(s, command[0] == 'p')) return fail(command);
        } else if (!strcmp(command, "hold") || !strcmp(command, "unhold")) {
            if (!hidsim_hold(s, command[0] == 'h')) return fail(command);
        } else if (!strcmp(command, "stream")) {
            if (o.interval < 0) return usage();
            if (!hidsim_stream(s, static_cast<uint32_t>(o.interval))) return fail("stream");
        } else if (!strcmp(command, "delay")) {
            if (o.interval < 0) return usage();
            if (!hidsim_delay_outputs(s, static_cast<uint32_t>(o.interval))) return fail("delay");
        } else if (takes_bytes) {
            if (!o.length) return usage();
            if (!hidsim_send_input(s, o.bytes, o.length)) return fail("report");
        } else if (!strcmp(command, "outputs")) {
            if (print_outputs(s)) return 1;
        } else if (!strcmp(command, "status")) {
            if (print_status(s)) return 1;
        } else if (!strcmp(command, "wait-present")) {
            if (!hidsim_wait_present(s, o.timeout)) return fail("wait-present");
        } else if (!strcmp(command, "wait-absent")) {
            if (!hidsim_wait_absent(s, o.timeout)) return fail("wait-absent");
        } else {
            return usage();
        }
    }
    return 0;
}
