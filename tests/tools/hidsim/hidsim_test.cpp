// The simulator through Wine's real HID stack, as hid.dll's users see it.
// Its attributes, strings and report sizes are the lister's test's.
#include "hidsim_fixture.h"

namespace {

std::string hex_byte(uint8_t value) {
    char text[4];
    snprintf(text, sizeof text, "%02X", value);
    return text;
}

bool write_report(HANDLE h, uint8_t value) {
    uint8_t report[2] = {0x00, value};
    DWORD written = 0;
    return WriteFile(h, report, sizeof report, &written, nullptr) && written == 2;  // the host counts the ID byte
}

TEST_F(SimulatorTest, OutputReportsAreLoggedAndSwitchTheLed) {
    ASSERT_TRUE(plug_and_open()) << "error " << GetLastError();
    HidSimStatus status = {};
    ASSERT_TRUE(hidsim_status(0, &status));
    EXPECT_EQ(status.led, static_cast<uint32_t>(HidSimLed_Unknown)) << "before any report";
    const struct {
        uint8_t value;
        uint32_t led;
    } steps[] = {{0xAA, HidSimLed_On}, {0x55, HidSimLed_Off}, {0x12, HidSimLed_Other}, {0xAA, HidSimLed_On}};
    for (const auto& step : steps) {
        ASSERT_TRUE(write_report(device, step.value)) << GetLastError();
        ASSERT_TRUE(hidsim_status(0, &status));
        EXPECT_EQ(status.led, step.led) << "after " << int(step.value);
    }
    EXPECT_EQ(status.outputs_total, 4u);
    EXPECT_EQ(outputs_text(0), "00AA 0055 0012 00AA");
    EXPECT_EQ(outputs_text(0), "") << "taking the log clears it";
}

TEST_F(SimulatorTest, InputReportsSentBeforeAnyReadArriveInOrderByteForByte) {
    ASSERT_TRUE(plug_and_open()) << "error " << GetLastError();
    const uint8_t reports[][2] = {{0x00, 20}, {0x00, 40}, {0x00, 0x7F}, {0x00, 0xFF}};
    for (const auto& r : reports) ASSERT_TRUE(hidsim_send_input(0, r, 2));
    for (const auto& r : reports) {
        uint8_t got[2] = {0xEE, 0xEE};
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(device, got, sizeof got, &read, nullptr)) << GetLastError();
        EXPECT_EQ(read, 2u);
        EXPECT_EQ(got[0], r[0]);
        EXPECT_EQ(got[1], r[1]);
    }
}

DWORD WINAPI blocked_read(void* parameter) {
    uint8_t got[2];
    DWORD read = 0;
    return ReadFile(*static_cast<HANDLE*>(parameter), got, sizeof got, &read, nullptr) ? 1 : 0;
}

TEST_F(SimulatorTest, ReadPendingDuringUnplugReturnsAFailure) {
    ASSERT_TRUE(plug_and_open()) << "error " << GetLastError();
    HANDLE reader = CreateThread(nullptr, 0, blocked_read, &device, 0, nullptr);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(WaitForSingleObject(reader, 200), static_cast<DWORD>(WAIT_TIMEOUT)) << "nothing to read yet";
    ASSERT_TRUE(hidsim_unplug(0));
    // A hang guard, not a measurement: the read must come back at all.
    ASSERT_EQ(WaitForSingleObject(reader, 10000), WAIT_OBJECT_0) << "the read stayed blocked after the unplug";
    DWORD result = 99;
    GetExitCodeThread(reader, &result);
    EXPECT_EQ(result, 0u) << "the read reported success on a vanished device";
    CloseHandle(reader);
    CloseHandle(device);
    device = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(hidsim_wait_absent(0, 10000));
}

TEST_F(SimulatorTest, TwoDevicesAtOnceKeepTheirOwnReportsAndIds) {
    HidSimDevice other = hidsim_default_device(2);
    other.product_id = 0x0002;
    other.version = 0x0200;
    ASSERT_TRUE(plug(0));
    ASSERT_TRUE(plug(1));  // identical to the first
    ASSERT_TRUE(hidsim_plug(other) && hidsim_wait_present(2, 10000));
    HANDLE h[3];
    for (uint32_t slot = 0; slot < 3; ++slot) ASSERT_NE(h[slot] = open_slot(slot), INVALID_HANDLE_VALUE) << slot;
    EXPECT_EQ(ids_of(h[2]), "1234:0002 v0200");

    ASSERT_TRUE(write_report(h[1], 0xAA));
    ASSERT_TRUE(write_report(h[0], 0x55));
    EXPECT_EQ(outputs_text(0), "0055");
    EXPECT_EQ(outputs_text(1), "00AA");
    EXPECT_EQ(outputs_text(2), "");

    uint8_t got[2] = {0, 20};
    DWORD n = 0;
    ASSERT_TRUE(hidsim_send_input(1, got, 2));
    got[1] = 0;
    ASSERT_TRUE(ReadFile(h[1], got, 2, &n, nullptr));
    EXPECT_EQ(got[1], 20);
    HidSimStatus s0 = {}, s1 = {};
    ASSERT_TRUE(hidsim_status(0, &s0) && hidsim_status(1, &s1));
    EXPECT_EQ(s0.inputs_total, 0u);
    EXPECT_EQ(s1.inputs_total, 1u);
    for (HANDLE each : h) CloseHandle(each);
}

TEST_F(SimulatorTest, ControlChannelRefusesWhatItCannotDo) {
    uint8_t report[2] = {0, 20};
    EXPECT_FALSE(hidsim_send_input(0, report, 2)) << "nothing is plugged";
    EXPECT_FALSE(hidsim_unplug(0));
    EXPECT_FALSE(hidsim_plug(hidsim_default_device(HIDSIM_MAX_DEVICES)));
    HidSimStatus status;
    EXPECT_FALSE(hidsim_status(HIDSIM_MAX_DEVICES, &status));
    ASSERT_TRUE(plug(0));
    EXPECT_FALSE(hidsim_plug(hidsim_default_device(0))) << "the slot is taken";
    EXPECT_FALSE(hidsim_send_input(0, report, 0));
    uint8_t big[HIDSIM_MAX_REPORT + 1] = {};
    EXPECT_FALSE(hidsim_send_input(0, big, sizeof big));
    ASSERT_TRUE(hidsim_status(0, &status));
    EXPECT_EQ(status.queued_inputs, 0u) << "refused reports are not queued";
}

// The lengths the host's caps give, ID byte included, or zeros.
void caps_lengths(HANDLE h, USHORT* input, USHORT* output) {
    *input = *output = 0;
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!HidD_GetPreparsedData(h, &data)) return;
    HIDP_CAPS caps = {};
    if (HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS) {
        *input = caps.InputReportByteLength;
        *output = caps.OutputReportByteLength;
    }
    HidD_FreePreparsedData(data);
}

TEST_F(SimulatorTest, LongerReportsReachTheHostAndTheLogWhole) {
    const struct {
        uint8_t input, output;
    } devices[] = {{9, 9}, {4, 17}};
    for (const auto& d : devices) {
        SCOPED_TRACE(testing::Message() << "input " << int(d.input) << ", output " << int(d.output));
        HidSimDevice wide = hidsim_default_device(0);
        wide.input_length = d.input;
        wide.output_length = d.output;
        ASSERT_TRUE(hidsim_plug(wide) && hidsim_wait_present(0, 10000));
        ASSERT_NE(device = open_slot(0), INVALID_HANDLE_VALUE) << GetLastError();
        USHORT input = 0, output = 0;
        caps_lengths(device, &input, &output);
        EXPECT_EQ(input, d.input);
        EXPECT_EQ(output, d.output);

        ASSERT_TRUE(hidsim_send_button(0, true));
        uint8_t got[HIDSIM_MAX_REPORT];
        memset(got, 0xEE, sizeof got);
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(device, got, d.input, &n, nullptr)) << GetLastError();
        EXPECT_EQ(n, d.input);
        std::string expected = "00 14", seen;
        for (uint32_t i = 2; i < d.input; ++i) expected += " 00";
        for (DWORD i = 0; i < n; ++i) seen += (i ? " " : "") + std::string(hex_byte(got[i]));
        EXPECT_EQ(seen, expected) << "a press, padded to the input length";

        uint8_t report[HIDSIM_MAX_REPORT] = {0x00, 0xAA};
        for (uint32_t i = 2; i < d.output; ++i) report[i] = static_cast<uint8_t>(i);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(device, report, d.output, &written, nullptr)) << GetLastError();
        EXPECT_EQ(written, d.output);
        expected = "00AA";
        for (uint32_t i = 2; i < d.output; ++i) expected += hex_byte(report[i]);
        EXPECT_EQ(outputs_text(0), expected);
        HidSimStatus status = {};
        ASSERT_TRUE(hidsim_status(0, &status));
        EXPECT_EQ(status.led, static_cast<uint32_t>(HidSimLed_On)) << "data byte 1 switches it, whatever follows";
        EXPECT_EQ(status.input_length, d.input);
        EXPECT_EQ(status.output_length, d.output);

        CloseHandle(device);
        device = INVALID_HANDLE_VALUE;
        ASSERT_TRUE(hidsim_unplug(0));
    }
}

uint32_t inputs_total(uint32_t slot) {
    HidSimStatus status = {};
    return hidsim_status(slot, &status) ? status.inputs_total : 0;
}

TEST_F(SimulatorTest, StreamingDeviceSendsItsStateAtTheIntervalUntilSetBack) {
    ASSERT_TRUE(plug_and_open()) << "error " << GetLastError();
    ASSERT_TRUE(hidsim_stream(0, 10));
    uint8_t got[2] = {0xEE, 0xEE};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(device, got, sizeof got, &n, nullptr)) << GetLastError();
    EXPECT_EQ(got[1], HidSimButton_Released) << "the state before any report";
    ASSERT_TRUE(hidsim_send_button(0, true));
    uint32_t before = inputs_total(0);
    Sleep(2000);
    uint32_t sent = inputs_total(0) - before;
    // Roughly the pace, whatever the host's timers: 200 would be on time.
    EXPECT_GT(sent, 20u);
    EXPECT_LT(sent, 400u);
    HidSimStatus status = {};
    ASSERT_TRUE(hidsim_status(0, &status));
    EXPECT_EQ(status.stream_ms, 10u);
    // hidclass queues what nobody reads and drops the oldest: the newest is a press.
    for (int i = 0; i < 64 && got[1] != HidSimButton_Pressed; ++i) ASSERT_TRUE(ReadFile(device, got, 2, &n, nullptr));
    EXPECT_EQ(got[1], HidSimButton_Pressed) << "the stream carries the last report";

    ASSERT_TRUE(hidsim_stream(0, 0));
    Sleep(50);
    before = inputs_total(0);
    Sleep(500);
    EXPECT_EQ(inputs_total(0), before) << "on change only again";
}

TEST_F(SimulatorTest, HeldWriteStaysPendingUntilUnholdFailsIt) {
    ASSERT_TRUE(plug(0));
    device = CreateFileA(path_of(0).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(hidsim_hold(0, true));
    OVERLAPPED o = {};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint8_t report[2] = {0x00, 0xAA};
    DWORD n = 0;
    BOOL done = WriteFile(device, report, sizeof report, &n, &o);
    ASSERT_TRUE(!done && GetLastError() == ERROR_IO_PENDING) << "done " << done << ", error " << GetLastError();
    EXPECT_EQ(WaitForSingleObject(o.hEvent, 500), static_cast<DWORD>(WAIT_TIMEOUT));
    HidSimStatus status = {};
    ASSERT_TRUE(hidsim_status(0, &status)) << "the control channel answers while a write is held";
    EXPECT_EQ(status.held_outputs, 1u);

    ASSERT_TRUE(hidsim_hold(0, false));
    ASSERT_EQ(WaitForSingleObject(o.hEvent, 5000), WAIT_OBJECT_0) << "unhold ends the write";
    EXPECT_FALSE(GetOverlappedResult(device, &o, &n, FALSE)) << "a held write fails";
    ASSERT_TRUE(hidsim_status(0, &status));
    EXPECT_EQ(status.outputs_total, 0u);
    EXPECT_EQ(status.led, static_cast<uint32_t>(HidSimLed_Unknown));
    EXPECT_EQ(status.held_outputs, 0u);

    ResetEvent(o.hEvent);
    done = WriteFile(device, report, sizeof report, &n, &o);
    EXPECT_TRUE(done || (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(device, &o, &n, TRUE)));
    EXPECT_EQ(outputs_text(0), "00AA") << "taken at once again";
    CloseHandle(o.hEvent);
}

// Unplugging while the host is still attaching the device made Wine's device
// process crash within a few hundred cycles; the client now lets a device go
// only once it is attached.
TEST_F(SimulatorTest, RapidCyclesWithoutWaitingLeaveTheBusWorking) {
    int refused = 0;
    for (int i = 0; i < 200; ++i) {
        if (!hidsim_plug(hidsim_default_device(0))) ++refused;
        Sleep(i % 7);
        if (!hidsim_unplug(0)) ++refused;
        Sleep(i % 5);
    }
    EXPECT_EQ(refused, 0);
    ASSERT_TRUE(hidsim_available()) << "the bus went away";
    ASSERT_TRUE(plug_and_open()) << "error " << GetLastError();
    EXPECT_TRUE(write_report(device, 0xAA));
    EXPECT_EQ(outputs_text(0), "00AA");
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
    ASSERT_TRUE(plug(0));
    ASSERT_TRUE(hidsim_uninstall());
    EXPECT_FALSE(hidsim_available());
    EXPECT_TRUE(path_of(0).empty()) << "the device went with its bus";
    ASSERT_TRUE(hidsim_install(windows_path(HIDSIM_INF).c_str()));
    EXPECT_TRUE(hidsim_available());
    EXPECT_TRUE(plug(0));
}

}  // namespace
