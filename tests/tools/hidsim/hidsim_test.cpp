// The simulator through Wine's real HID stack, as hid.dll's users see it.
#include "hidsim_fixture.h"

#include <cstring>
#include <vector>

namespace {

std::wstring wide_string(BOOLEAN(__stdcall* query)(HANDLE, PVOID, ULONG), HANDLE device) {
    wchar_t buffer[128] = {};
    if (!query(device, buffer, sizeof buffer)) return L"<failed>";
    return buffer;
}

std::string narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += static_cast<char>(c);
    return s;
}

TEST_F(SimulatorTest, PluggedDeviceShowsItsAttributesStringsAndReportSizes) {
    HidSimDevice d = device(0);
    d.manufacturer = "Maker";
    d.product = "Lamp and key";
    d.serial = "SN-42";
    ASSERT_TRUE(plug(d));
    HANDLE h = open_slot(0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path_of(0);

    EXPECT_EQ(ids_of(h), "1234:0001 v0100");
    EXPECT_EQ(narrow(wide_string(HidD_GetManufacturerString, h)), "Maker");
    EXPECT_EQ(narrow(wide_string(HidD_GetProductString, h)), "Lamp and key");
    EXPECT_EQ(narrow(wide_string(HidD_GetSerialNumberString, h)), "SN-42");

    PHIDP_PREPARSED_DATA preparsed = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(h, &preparsed));
    HIDP_CAPS caps = {};
    EXPECT_EQ(HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
    HidD_FreePreparsedData(preparsed);
    EXPECT_EQ(caps.InputReportByteLength, 2);
    EXPECT_EQ(caps.OutputReportByteLength, 2);
    EXPECT_EQ(caps.FeatureReportByteLength, 0);
    EXPECT_EQ(caps.UsagePage, 0xFF00);
    CloseHandle(h);

    HidSimStatus status = {};
    ASSERT_TRUE(hidsim_status(0, &status));
    EXPECT_EQ(status.plugged, 1u);
    EXPECT_EQ(status.started, 1u);
    EXPECT_EQ(status.led, static_cast<uint32_t>(HidSimLed_Unknown));
}

TEST_F(SimulatorTest, OutputReportsAreLoggedAndSwitchTheLed) {
    ASSERT_TRUE(plug(device(0)));
    HANDLE h = open_slot(0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HidSimStatus status = {};
    const struct {
        uint8_t value;
        uint32_t led;
    } steps[] = {{0xAA, HidSimLed_On}, {0x55, HidSimLed_Off}, {0x12, HidSimLed_Other}, {0xAA, HidSimLed_On}};
    for (const auto& step : steps) {
        uint8_t report[2] = {0x00, step.value};
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, report, sizeof report, &written, nullptr)) << GetLastError();
        EXPECT_EQ(written, 2u) << "the host counts the report ID byte";
        ASSERT_TRUE(hidsim_status(0, &status));
        EXPECT_EQ(status.led, step.led) << "after " << int(step.value);
    }
    EXPECT_EQ(status.outputs_total, 4u);
    EXPECT_EQ(outputs_text(0), "00 AA | 00 55 | 00 12 | 00 AA");
    EXPECT_EQ(outputs_text(0), "") << "taking the log clears it";
    CloseHandle(h);
}

TEST_F(SimulatorTest, InputReportsSentBeforeAnyReadArriveInOrderByteForByte) {
    ASSERT_TRUE(plug(device(0)));
    HANDLE h = open_slot(0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const uint8_t reports[][2] = {{0x00, 20}, {0x00, 40}, {0x00, 0x7F}, {0x00, 0xFF}};
    for (const auto& r : reports) ASSERT_TRUE(hidsim_send_input(0, r, 2));
    for (const auto& r : reports) {
        uint8_t got[2] = {0xEE, 0xEE};
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(h, got, sizeof got, &read, nullptr)) << GetLastError();
        EXPECT_EQ(read, 2u);
        EXPECT_EQ(got[0], r[0]);
        EXPECT_EQ(got[1], r[1]);
    }
    HidSimStatus status = {};
    ASSERT_TRUE(hidsim_status(0, &status));
    EXPECT_EQ(status.inputs_total, 4u);
    EXPECT_EQ(status.queued_inputs, 0u);
    CloseHandle(h);
}

DWORD WINAPI blocked_read(void* parameter) {
    auto* h = static_cast<HANDLE*>(parameter);
    uint8_t got[2];
    DWORD read = 0;
    return ReadFile(*h, got, sizeof got, &read, nullptr) ? 1 : 0;
}

TEST_F(SimulatorTest, ReadPendingDuringUnplugReturnsAFailure) {
    ASSERT_TRUE(plug(device(0)));
    HANDLE h = open_slot(0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE reader = CreateThread(nullptr, 0, blocked_read, &h, 0, nullptr);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(WaitForSingleObject(reader, 200), static_cast<DWORD>(WAIT_TIMEOUT)) << "nothing to read yet";
    ASSERT_TRUE(hidsim_unplug(0));
    // A hang guard, not a measurement: the read must come back at all.
    ASSERT_EQ(WaitForSingleObject(reader, 10000), WAIT_OBJECT_0) << "the read stayed blocked after the unplug";
    DWORD result = 99;
    GetExitCodeThread(reader, &result);
    EXPECT_EQ(result, 0u) << "the read reported success on a vanished device";
    CloseHandle(reader);
    CloseHandle(h);
    EXPECT_TRUE(hidsim_wait_absent(0, 10000));
    EXPECT_TRUE(path_of(0).empty());
}

TEST_F(SimulatorTest, TwoDevicesAtOnceKeepTheirOwnReportsAndIds) {
    ASSERT_TRUE(plug(device(0)));
    ASSERT_TRUE(plug(device(1)));                    // identical to the first
    ASSERT_TRUE(plug(device(2, 0x1234, 0x0002, 0x0200)));  // other IDs
    HANDLE first = open_slot(0), twin = open_slot(1), other = open_slot(2);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(twin, INVALID_HANDLE_VALUE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ids_of(other), "1234:0002 v0200");

    uint8_t on[2] = {0, 0xAA}, off[2] = {0, 0x55};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(twin, on, 2, &n, nullptr));
    ASSERT_TRUE(WriteFile(first, off, 2, &n, nullptr));
    EXPECT_EQ(outputs_text(0), "00 55");
    EXPECT_EQ(outputs_text(1), "00 AA");
    EXPECT_EQ(outputs_text(2), "");

    uint8_t press[2] = {0, 20};
    ASSERT_TRUE(hidsim_send_input(1, press, 2));
    uint8_t got[2] = {};
    ASSERT_TRUE(ReadFile(twin, got, 2, &n, nullptr));
    EXPECT_EQ(got[1], 20);
    HidSimStatus s0 = {}, s1 = {};
    ASSERT_TRUE(hidsim_status(0, &s0));
    ASSERT_TRUE(hidsim_status(1, &s1));
    EXPECT_EQ(s0.inputs_total, 0u);
    EXPECT_EQ(s1.inputs_total, 1u);
    CloseHandle(first);
    CloseHandle(twin);
    CloseHandle(other);
}

TEST_F(SimulatorTest, ControlChannelRefusesWhatItCannotDo) {
    uint8_t report[2] = {0, 20};
    EXPECT_FALSE(hidsim_send_input(0, report, 2)) << "nothing is plugged";
    EXPECT_FALSE(hidsim_unplug(0));
    EXPECT_FALSE(hidsim_plug(device(HIDSIM_MAX_DEVICES)));
    HidSimStatus status;
    EXPECT_FALSE(hidsim_status(HIDSIM_MAX_DEVICES, &status));
    ASSERT_TRUE(plug(device(0)));
    EXPECT_FALSE(hidsim_plug(device(0))) << "the slot is taken";
    EXPECT_FALSE(hidsim_send_input(0, report, 0));
    uint8_t big[HIDSIM_MAX_REPORT + 1] = {};
    EXPECT_FALSE(hidsim_send_input(0, big, sizeof big));
    ASSERT_TRUE(hidsim_status(0, &status));
    EXPECT_EQ(status.queued_inputs, 0u) << "refused reports are not queued";
}

// Unplugging while the host is still attaching the device made Wine's device
// process crash within a few hundred cycles; the client now lets a device go
// only once it is attached.
TEST_F(SimulatorTest, RapidCyclesWithoutWaitingLeaveTheBusWorking) {
    int refused = 0;
    for (int i = 0; i < 200; ++i) {
        if (!hidsim_plug(device(0))) ++refused;
        Sleep(i % 7);
        if (!hidsim_unplug(0)) ++refused;
        Sleep(i % 5);
    }
    EXPECT_EQ(refused, 0);
    ASSERT_TRUE(hidsim_available()) << "the bus went away";
    ASSERT_TRUE(plug(device(0)));
    HANDLE h = open_slot(0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint8_t on[2] = {0, 0xAA};
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, on, 2, &n, nullptr));
    CloseHandle(h);
    EXPECT_EQ(outputs_text(0), "00 AA");
}

}  // namespace

namespace {

std::string windows_path(const char* unix_path) {
    std::string path = "Z:";
    for (const char* p = unix_path; *p; ++p) path += *p == '/' ? '\\' : *p;
    return path;
}

// Whatever fails on the way, the bus is installed again before the next test.
class ReinstallTest : public SimulatorTest {
protected:
    void TearDown() override {
        if (!hidsim_available()) hidsim_install(windows_path(HIDSIM_INF).c_str());
        SimulatorTest::TearDown();
    }
};

TEST_F(ReinstallTest, UninstallTakesTheBusAndItsDevicesAwayAndInstallBringsThemBack) {
    ASSERT_TRUE(plug(device(0)));
    ASSERT_TRUE(hidsim_uninstall());
    EXPECT_FALSE(hidsim_available());
    EXPECT_TRUE(path_of(0).empty()) << "the device went with its bus";
    ASSERT_TRUE(hidsim_install(windows_path(HIDSIM_INF).c_str()));
    EXPECT_TRUE(hidsim_available());
    EXPECT_TRUE(plug(device(0)));
}

}  // namespace
