// One watch pass (hid_device_present, as the program's timer makes it) with
// N virtual devices of other IDs present, next to the same walk made with
// bare SetupDi calls, and to a bare walk that also opens each interface and
// reads its attributes as the pass does. Medians of repeated runs, in ms.
//   watch_bench N...   (ascending; devices stay plugged between sizes)
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "hid/hid_discovery.h"
#include "runtime/base/memory.h"
#include "runtime/base/string_buffer.h"
#include "tools/hidsim/hidsim_client.h"

namespace {

constexpr int Repeats = 31;
constexpr uint32_t First_Other_Slot = 10;

double now_ms() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

template <typename F>
double median_ms(F pass) {
    std::vector<double> times;
    for (int i = 0; i < Repeats; ++i) {
        double t0 = now_ms();
        pass();
        times.push_back(now_ms() - t0);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Walks every HID interface as the pass does; with open, also opens each and
// compares its attributes. Returns the number of interfaces.
int bare_walk(bool open) {
    GUID hid;
    HidD_GetHidGuid(&hid);
    HDEVINFO set = SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return 0;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    int n = 0;
    static char storage[2048];
    for (DWORD i = 0; i < 256 && SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &data); ++i) {
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof storage, nullptr, nullptr)) continue;
        ++n;
        if (!open) continue;
        HANDLE h = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        HIDD_ATTRIBUTES a = {};
        a.Size = sizeof a;
        bool match = HidD_GetAttributes(h, &a) && a.VendorID == 0x1234 && a.ProductID == 0x0001;
        CloseHandle(h);
        if (match) break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return n;
}

bool plug_others(uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) {
        HidSimDevice d = hidsim_default_device(First_Other_Slot + i);
        d.vendor_id = 0x4242;
        d.product_id = static_cast<uint16_t>(0x2000 + i);
        if (!hidsim_plug(d)) return false;
    }
    for (uint32_t i = from; i < to; ++i) {
        if (!hidsim_wait_present(First_Other_Slot + i, 120000)) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    HANDLE heap = HeapCreate(0, 4096, 0);
    main_heap_set(heap);
    string_init_heap();
    memory_init();
    hid_bind();
    for (int t = 0; t < 100 && !hidsim_available(); ++t) Sleep(100);
    if (!hidsim_unplug_all()) {
        std::fprintf(stderr, "watch_bench: the simulator does not answer\n");
        return 1;
    }
    std::printf("others interfaces absent_pass_ms present_pass_ms bare_enum_ms bare_open_ms\n");
    uint32_t plugged = 0;
    for (int a = 1; a < argc; ++a) {
        uint32_t n = static_cast<uint32_t>(std::atoi(argv[a]));
        if (n > plugged && !plug_others(plugged, n)) {
            std::fprintf(stderr, "watch_bench: plugging %u devices failed\n", n);
            return 1;
        }
        plugged = std::max(plugged, n);
        int interfaces = bare_walk(false);
        double absent = median_ms([] { hid_device_present(0x0001, 0x1234, HidVersion_Any, 0); });
        double bare_enum = median_ms([] { bare_walk(false); });
        double bare_open = median_ms([] { bare_walk(true); });
        hidsim_plug(hidsim_default_device(0));
        hidsim_wait_present(0, 10000);
        double present = median_ms([] { hid_device_present(0x0001, 0x1234, HidVersion_Any, 0); });
        hidsim_unplug(0);
        std::printf("%u %d %.3f %.3f %.3f %.3f\n", n, interfaces, absent, present, bare_enum, bare_open);
        std::fflush(stdout);
    }
    hidsim_unplug_all();
    hid_unbind();
    return 0;
}
