// The HID layer against the virtual device through Wine's real HID stack:
// what the program does with its device, on a device that behaves like one.
// Reports each way are the end-to-end test's, through the program itself.
#include "hidsim_fixture.h"

#include "hid/hid_discovery.h"
#include "hid/hid_transfer.h"
#include "runtime/base/base_fixture.h"

#include <string>

namespace {

class HidLayerOnDevice : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        heap_ = base_runtime_start();
        hid_entries = {};
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

}  // namespace
