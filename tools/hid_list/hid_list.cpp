// hid_list: prints every HID interface this machine lets a program open for
// reading and writing, as the HID layer sees it, optionally only VID:PID.
#include <windows.h>
#include <cstdio>
#include <cstring>

#include "hid/hid_discovery.h"
#include "hid/hid_transfer.h"
#include "runtime/base/memory.h"
#include "runtime/base/string_buffer.h"

namespace {

enum Exit : int { Exit_Listed = 0, Exit_NothingMatched = 1, Exit_BadArguments = 2 };

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: hid_list [VID:PID]\n"
                 "Lists the HID interfaces that can be opened for reading and writing.\n"
                 "VID:PID (hexadecimal, e.g. 1234:0001) lists only that device.\n"
                 "Exit code: 0 listed, 1 nothing matched, 2 bad arguments.\n");
}

// One to four hexadecimal digits.
bool parse_hex16(const char* text, int length, uint16_t* value) {
    if (length < 1 || length > 4) return false;
    uint32_t v = 0;
    for (int i = 0; i < length; ++i) {
        char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
        else return false;
        v = v * 16 + digit;
    }
    *value = static_cast<uint16_t>(v);
    return true;
}

bool parse_filter(const char* text, uint16_t* vendor, uint16_t* product) {
    const char* colon = std::strchr(text, ':');
    if (!colon) return false;
    return parse_hex16(text, static_cast<int>(colon - text), vendor) &&
           parse_hex16(colon + 1, static_cast<int>(std::strlen(colon + 1)), product);
}

const char* text_or_dash(const char* text) { return text && *text ? text : "-"; }

}  // namespace

int main(int argc, char** argv) {
    bool filtered = false;
    uint16_t vendor = 0, product = 0;
    if (argc > 2) {
        usage(stderr);
        return Exit_BadArguments;
    }
    if (argc == 2) {
        if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "/?")) {
            usage(stdout);
            return Exit_Listed;
        }
        if (!parse_filter(argv[1], &vendor, &product)) {
            std::fprintf(stderr, "hid_list: not a VID:PID filter: %s\n", argv[1]);
            usage(stderr);
            return Exit_BadArguments;
        }
        filtered = true;
    }

    HANDLE heap = HeapCreate(0, 0x10000, 0);
    main_heap_set(heap);
    string_init_heap();
    memory_init();
    hid_bind();

    auto* list = static_cast<HidDeviceList*>(main_heap_alloc(sizeof(HidDeviceList)));
    int shown = 0;
    if (list) {
        hid_search(0, 0, 0, 0, hid_collect_device_info, reinterpret_cast<intptr_t>(list));
        for (int i = 0; i < list->count; ++i) {
            const HidDeviceRecord& r = list->records[i];
            if (filtered && (r.vendor_id != vendor || r.product_id != product)) continue;
            if (shown++ == 0)
                std::printf("%-4s %-4s %-4s %5s %4s %4s %4s  %-24s %-24s %s\n", "VID", "PID", "VER", "BUFS", "IN",
                            "OUT", "FEAT", "MANUFACTURER", "PRODUCT", "SERIAL");
            std::printf("%04X %04X %04X %5u %4u %4u %4u  %-24s %-24s %s\n", r.vendor_id, r.product_id,
                        r.version_number, r.input_buffers, r.input_report_length, r.output_report_length,
                        r.feature_report_length, text_or_dash(r.manufacturer), text_or_dash(r.product),
                        text_or_dash(r.serial_number));
        }
    }
    if (shown == 0) {
        if (filtered) std::printf("No HID device %04X:%04X that can be opened for reading and writing.\n", vendor, product);
        else std::printf("No HID device that can be opened for reading and writing.\n");
    }
    std::fflush(stdout);

    hid_unbind();
    memory_shutdown();
    string_shutdown();
    main_heap_set(nullptr);
    HeapDestroy(heap);
    return shown ? Exit_Listed : Exit_NothingMatched;
}
