// The HID layer against the virtual device through Wine's real HID stack:
// what the program does with its device, on a device that behaves like one.
#include "hidsim_fixture.h"

#include "hid/hid_discovery.h"
#include "hid/hid_transfer.h"
#include "runtime/base/memory.h"
#include "runtime/base/string_buffer.h"

#include <string>

namespace {

class HidLayerOnDevice : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        heap_ = HeapCreate(0, 4096, 0);
        ASSERT_NE(heap_, nullptr);
        main_heap_set(heap_);
        string_init_heap();
        memory_init();
        hid_entries = {};
        hid_bind();
        ASSERT_NE(hid_entries.hid_library, nullptr);
    }
    void TearDown() override {
        hid_unbind();
        hid_entries = {};
        memory_shutdown();
        string_shutdown();
        main_heap_set(nullptr);
        HeapDestroy(heap_);
        SimulatorTest::TearDown();
    }
    static std::string serial_of(HANDLE device) {
        const char* s = hid_serial_string(device, 0);
        return s ? s : "<null>";
    }
    HANDLE heap_ = nullptr;
};

TEST_F(HidLayerOnDevice, OpensTheDeviceByIdsVersionAndIndex) {
    EXPECT_EQ(hid_open_device(0x0001, 0x1234, HidVersion_Any, 0), nullptr) << "nothing plugged yet";
    EXPECT_EQ(hid_device_present(0x0001, 0x1234, HidVersion_Any, 0), 0);
    ASSERT_TRUE(plug(device(0)));
    HANDLE h = hid_open_device(0x0001, 0x1234, HidVersion_Any, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ids_of(h), "1234:0001 v0100");
    EXPECT_EQ(hid_close_device(h), 1);

    HANDLE exact = hid_open_device(0x0001, 0x1234, 0x0100, 0);
    EXPECT_NE(exact, nullptr) << "version 0x0100 matches exactly";
    hid_close_device(exact);
    EXPECT_EQ(hid_open_device(0x0001, 0x1234, 0x0200, 0), nullptr) << "another version must not match";
    EXPECT_EQ(hid_open_device(0x0002, 0x1234, HidVersion_Any, 0), nullptr) << "another product";
    EXPECT_EQ(hid_open_device(0x0001, 0x1235, HidVersion_Any, 0), nullptr) << "another vendor";
    EXPECT_EQ(hid_device_present(0x0001, 0x1234, HidVersion_Any, 0), 1);

    ASSERT_TRUE(hidsim_unplug(0));
    ASSERT_TRUE(hidsim_wait_absent(0, 10000));
    EXPECT_EQ(hid_device_present(0x0001, 0x1234, HidVersion_Any, 0), 0);
}

TEST_F(HidLayerOnDevice, IndexCountsIdenticalDevicesInEnumerationOrder) {
    HidSimDevice first = device(0), second = device(1);
    first.serial = "FIRST";
    second.serial = "SECOND";
    ASSERT_TRUE(plug(first));
    ASSERT_TRUE(plug(second));
    HANDLE a = hid_open_device(0x0001, 0x1234, HidVersion_Any, 0);
    HANDLE b = hid_open_device(0x0001, 0x1234, HidVersion_Any, 1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::string sa = serial_of(a), sb = serial_of(b);
    EXPECT_NE(sa, sb) << "index 0 and 1 must be different devices";
    EXPECT_TRUE((sa == "FIRST" && sb == "SECOND") || (sa == "SECOND" && sb == "FIRST")) << sa << " " << sb;
    EXPECT_EQ(hid_open_device(0x0001, 0x1234, HidVersion_Any, 2), nullptr) << "there is no third";
    EXPECT_EQ(hid_device_present(0x0001, 0x1234, HidVersion_Any, 1), 1);
    hid_close_device(a);
    hid_close_device(b);
}

TEST_F(HidLayerOnDevice, ReportsTravelBothWaysByteForByte) {
    ASSERT_TRUE(plug(device(0)));
    HANDLE h = hid_open_device(0x0001, 0x1234, HidVersion_Any, 0);
    ASSERT_NE(h, nullptr);
    const uint8_t on[2] = {0x00, 0xAA}, off[2] = {0x00, 0x55};
    HidSimStatus status = {};
    EXPECT_EQ(hid_write_report(h, on, 2), 2);
    ASSERT_TRUE(hidsim_status(0, &status));
    EXPECT_EQ(status.led, static_cast<uint32_t>(HidSimLed_On));
    EXPECT_EQ(hid_write_report(h, off, 2), 2);
    ASSERT_TRUE(hidsim_status(0, &status));
    EXPECT_EQ(status.led, static_cast<uint32_t>(HidSimLed_Off));
    EXPECT_EQ(outputs_text(0), "00 AA | 00 55");

    for (uint8_t value : {uint8_t{20}, uint8_t{40}, uint8_t{0}, uint8_t{0xFF}}) {
        const uint8_t report[2] = {0x00, value};
        ASSERT_TRUE(hidsim_send_input(0, report, 2));
        uint8_t got[2] = {0xEE, 0xEE};
        EXPECT_EQ(hid_read_report(h, got, 2), 2);
        EXPECT_EQ(got[0], 0x00);
        EXPECT_EQ(got[1], value);
    }
    hid_close_device(h);
}

struct BlockedRead {
    HANDLE device;
    int32_t result;
};

DWORD WINAPI read_one(void* parameter) {
    auto* r = static_cast<BlockedRead*>(parameter);
    uint8_t got[2];
    r->result = hid_read_report(r->device, got, 2);
    return 0;
}

TEST_F(HidLayerOnDevice, ReadPendingDuringUnplugReturnsZero) {
    ASSERT_TRUE(plug(device(0)));
    BlockedRead r = {hid_open_device(0x0001, 0x1234, HidVersion_Any, 0), -1};
    ASSERT_NE(r.device, nullptr);
    HANDLE reader = CreateThread(nullptr, 0, read_one, &r, 0, nullptr);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(WaitForSingleObject(reader, 200), static_cast<DWORD>(WAIT_TIMEOUT)) << "nothing to read yet";
    ASSERT_TRUE(hidsim_unplug(0));
    ASSERT_EQ(WaitForSingleObject(reader, 10000), WAIT_OBJECT_0) << "the read stayed blocked";
    EXPECT_EQ(r.result, 0);
    CloseHandle(reader);
    hid_close_device(r.device);
}

TEST_F(HidLayerOnDevice, StringsCapsAndBuffersAreWhatTheStackReports) {
    HidSimDevice d = device(0);
    d.manufacturer = "Maker";
    d.product = "Lamp and key";
    d.serial = "SN-7";
    ASSERT_TRUE(plug(d));
    HANDLE h = hid_open_device(0x0001, 0x1234, HidVersion_Any, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(hid_manufacturer_string(h, 0), "Maker");
    EXPECT_STREQ(hid_product_string(h, 0), "Lamp and key");
    EXPECT_STREQ(hid_serial_string(h, 0), "SN-7");
    HIDP_CAPS caps = {};
    ASSERT_EQ(hid_get_caps(h, &caps), 1);
    EXPECT_EQ(caps.InputReportByteLength, 2);
    EXPECT_EQ(caps.OutputReportByteLength, 2);
    ULONG buffers = 0;
    ASSERT_TRUE(HidD_GetNumInputBuffers(h, &buffers));
    EXPECT_EQ(hid_input_buffer_count(h), static_cast<int32_t>(buffers));
    EXPECT_GT(buffers, 0u);
    hid_close_device(h);
}

TEST_F(HidLayerOnDevice, CollectingOverTheCallbackModeListsTheDevice) {
    ASSERT_TRUE(plug(device(0)));
    auto* list = static_cast<HidDeviceList*>(main_heap_alloc(sizeof(HidDeviceList)));
    ASSERT_NE(list, nullptr);
    list->count = 0;
    EXPECT_EQ(hid_search(0, 0, 0, 0, hid_collect_device_info, reinterpret_cast<intptr_t>(list)), nullptr);
    int ours = 0;
    for (int i = 0; i < list->count; ++i) {
        const HidDeviceRecord& r = list->records[i];
        if (r.vendor_id != 0x1234 || r.product_id != 0x0001) continue;
        ++ours;
        EXPECT_EQ(r.version_number, 0x0100);
        EXPECT_EQ(r.input_report_length, 2);
        EXPECT_EQ(r.output_report_length, 2);
        EXPECT_STREQ(r.manufacturer, "HidSim");
        EXPECT_STREQ(r.serial_number, "HS0000");
    }
    EXPECT_EQ(ours, 1);
    EXPECT_GE(list->count, 3) << "Wine's own two interfaces are listed too";
    hid_device_list_clear(list);
    main_heap_free(list);
}

// hid_list.exe, run as a user would, with its output captured.
std::string run_lister(const char* arguments, DWORD* exit_code) {
    std::string command = "\"";
    for (const char* p = HID_LIST_EXE; *p; ++p) command += *p == '/' ? '\\' : *p;
    command = "\"Z:" + command.substr(1) + "\" " + arguments;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return "<no pipe>";
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::string text;
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(write_end);
        char chunk[512];
        DWORD n = 0;
        while (ReadFile(read_end, chunk, sizeof chunk, &n, nullptr) && n) text.append(chunk, n);
        WaitForSingleObject(pi.hProcess, 30000);
        GetExitCodeProcess(pi.hProcess, exit_code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    } else {
        CloseHandle(write_end);
        text = "<could not start " + command + ">";
    }
    CloseHandle(read_end);
    return text;
}

TEST_F(HidLayerOnDevice, ListerShowsTheDeviceWithItsStrings) {
    DWORD code = 99;
    std::string none = run_lister("1234:0001", &code);
    EXPECT_EQ(code, 1u) << none;
    ASSERT_TRUE(plug(device(0)));
    std::string text = run_lister("1234:0001", &code);
    EXPECT_EQ(code, 0u) << text;
    EXPECT_NE(text.find("1234 0001 0100"), std::string::npos) << text;
    EXPECT_NE(text.find("HidSim LED and button"), std::string::npos) << text;
    EXPECT_NE(text.find("HS0000"), std::string::npos) << text;
    EXPECT_EQ(text.find("845E"), std::string::npos) << "the filter keeps Wine's devices out\n" << text;
}

// More interfaces than the layer walks: it stops at 256.
TEST_F(HidLayerOnDevice, SearchWalksAtMost256Interfaces) {
    // With Wine's own two, 262 interfaces: more than the 258 the list holds,
    // so only the walk's own limit can stop at 256. A device's first plug in
    // a prefix installs its driver (about half a second); later plugs are quick.
    constexpr uint32_t others = 260;
    DWORD start = GetTickCount();
    for (uint32_t i = 0; i < others; ++i) {
        ASSERT_TRUE(hidsim_plug(device(10 + i, 0x4242, static_cast<uint16_t>(0x1000 + i), 0x0001))) << i;
    }
    for (uint32_t i = 0; i < others; ++i) {
        DWORD spent = GetTickCount() - start;
        ASSERT_TRUE(spent < 600000 && hidsim_wait_present(10 + i, 600000 - spent)) << "device " << i;
    }
    std::printf("plugging %u devices took %lu ms\n", others, GetTickCount() - start);

    auto* list = static_cast<HidDeviceList*>(main_heap_alloc(sizeof(HidDeviceList)));
    ASSERT_NE(list, nullptr);
    list->count = 0;
    start = GetTickCount();
    hid_search(0, 0, 0, 0, hid_collect_device_info, reinterpret_cast<intptr_t>(list));
    std::printf("one callback-mode walk took %lu ms\n", GetTickCount() - start);
    EXPECT_EQ(list->count, HidSearch_MaxInterfaces) << "262 interfaces are present; the list holds 258";
    hid_device_list_clear(list);
    main_heap_free(list);
}

}  // namespace
