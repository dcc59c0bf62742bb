// The HID layer against the virtual device through Wine's real HID stack:
// what the program does with its device, on a device that behaves like one.
// Reports each way are the end-to-end test's, through the program itself.
#include "hidsim_fixture.h"

#include "hid/hid_discovery.h"
#include "runtime/base/base_fixture.h"

#include <cstdio>

namespace {

class HidLayerOnDevice : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        heap_ = base_runtime_start();
        hid_bind();
        ASSERT_NE(hid_entries.hid_library, nullptr);
    }
    void TearDown() override {
        hid_unbind();
        hid_entries = {};
        base_runtime_stop(heap_);
        SimulatorTest::TearDown();
    }
    HANDLE heap_ = nullptr;
};

TEST_F(HidLayerOnDevice, OpensTheDeviceByIdsAndVersionWhilePlugged) {
    ASSERT_TRUE(plug(0));
    HANDLE h = hid_open_device(0x0001, 0x1234, HidVersion_Any, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ids_of(h), "1234:0001 v0100");
    EXPECT_EQ(hid_close_device(h), 1);
    // Which fields must match is the fake devices' test; this is the real attributes.
    HANDLE exact = hid_open_device(0x0001, 0x1234, 0x0100, 0);
    EXPECT_NE(exact, nullptr) << "version 0x0100 matches exactly";
    hid_close_device(exact);
    EXPECT_EQ(hid_device_present(0x0001, 0x1234, HidVersion_Any, 0), 1);
    ASSERT_TRUE(hidsim_unplug(0) && hidsim_wait_absent(0, 10000));
    EXPECT_EQ(hid_device_present(0x0001, 0x1234, HidVersion_Any, 0), 0);
}

// hid_list.exe, run as a user would, with its output and exit code.
std::string run_lister(const char* arguments, int* exit_code) {
    std::string command = windows_path(HID_LIST_EXE) + " " + arguments + " 2>&1";
    FILE* pipe = _popen(command.c_str(), "rb");
    if (!pipe) return "<could not start " + command + ">";
    std::string text;
    char chunk[512];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
    *exit_code = _pclose(pipe);
    return text;
}

TEST_F(HidLayerOnDevice, ListerShowsTheDeviceWithItsSizesAndStrings) {
    // Its answer without a match is hid_list_cli's, in a plain prefix.
    int code = 99;
    ASSERT_TRUE(plug(0));
    std::string text = run_lister("1234:0001", &code);
    EXPECT_EQ(code, 0) << text;
    // IDs and version; input, output and feature sizes; strings.
    for (const char* part : {"1234 0001 0100", "    2    2    0  HidSim ", "HidSim LED and button", "HS0000"})
        EXPECT_NE(text.find(part), std::string::npos) << "no \"" << part << "\" in\n" << text;
    EXPECT_EQ(text.find("845E"), std::string::npos) << "the filter keeps Wine's devices out\n" << text;
}

}  // namespace
