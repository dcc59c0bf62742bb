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

// A device's strings as firmware may carry them: an empty manufacturer, and a
// product mixing Cyrillic with letters code page 1251 lacks, and reports of
// two lengths. The lister shows the strings in the ANSI code page, an empty
// one as "-", each under its heading.
TEST_F(HidLayerOnDevice, ListerShowsEmptyAndForeignStringsUnderTheirHeadings) {
    ASSERT_EQ(GetACP(), 1251u) << "the expected text is code page 1251's";
    HidSimDevice d = hidsim_default_device(0);
    d.manufacturer = "";
    d.product = "Кнопка αβγ 按钮";
    d.serial = "Ж-0042";
    d.input_length = 8;  // and the output 2: each length under its own heading
    d.output_length = 2;
    ASSERT_TRUE(hidsim_plug(d) && hidsim_wait_present(0, 10000));
    HANDLE h = hid_open_device(0x0001, 0x1234, HidVersion_Any, 0);
    ASSERT_NE(h, nullptr);
    wchar_t wide[64] = {L'x'};
    EXPECT_TRUE(HidD_GetManufacturerString(h, wide, sizeof wide) && !wide[0]) << "the host gives the empty string";
    EXPECT_TRUE(HidD_GetProductString(h, wide, sizeof wide) && std::wstring(wide) == L"Кнопка αβγ 按钮")
        << "the host holds what the device sent";
    hid_close_device(h);

    int code = 99;
    std::string text = run_lister("1234:0001", &code);
    ASSERT_EQ(code, 0) << text;
    std::string line[2];
    for (size_t at = 0, n = 0; n < 2 && at < text.size(); ++n) {
        size_t end = text.find('\n', at);
        line[n] = text.substr(at, end == std::string::npos ? end : end - at);
        if (!line[n].empty() && line[n].back() == '\r') line[n].pop_back();
        at = end == std::string::npos ? text.size() : end + 1;
    }
    // The heading's positions cut the device's row: a column that spilled or
    // fell short shows here.
    const size_t start[3] = {line[0].find("MANUFACTURER"), line[0].find("PRODUCT"), line[0].find("SERIAL")};
    ASSERT_TRUE(start[0] != std::string::npos && start[2] != std::string::npos && start[2] < line[1].size()) << text;
    EXPECT_NE(line[1].find("    8    2    0  "), std::string::npos) << "input 8, output 2, feature 0\n" << text;
    const char* const want[3] = {"-", "\xCA\xED\xEE\xEF\xEA\xE0 ??? ??", "\xC6-0042"};
    for (int i = 0; i < 3; ++i) {
        std::string column = line[1].substr(start[i], i < 2 ? start[i + 1] - start[i] : std::string::npos);
        EXPECT_EQ(line[1][start[i] - 1], ' ') << "column " << i << " starts under its heading\n" << text;
        EXPECT_EQ(column.erase(column.find_last_not_of(' ') + 1), want[i]) << "column " << i << "\n" << text;
    }
}

}  // namespace
