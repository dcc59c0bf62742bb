// The simulator through Wine's real HID stack, as hid.dll's users see it.
// Its attributes, strings and report sizes are the lister's test's.
#include "hidsim_fixture.h"

namespace {

bool write_report(HANDLE h, uint8_t value) {
    uint8_t report[2] = {0x00, value};
    DWORD written = 0;
    return WriteFile(h, report, sizeof report, &written, nullptr) && written == 2;  // the host counts the ID byte
}

TEST_F(SimulatorTest, OutputReportsAreLoggedAndSwitchTheLed) {
    ASSERT_TRUE(plug_and_open()) << "error " << GetLastError();
    EXPECT_EQ(status_of(0).led, static_cast<uint32_t>(HidSimLed_Unknown)) << "before any report";
    const struct {
        uint8_t value;
        uint32_t led;
    } steps[] = {{0xAA, HidSimLed_On}, {0x55, HidSimLed_Off}, {0x12, HidSimLed_Other}, {0xAA, HidSimLed_On}};
    for (const auto& step : steps) {
        ASSERT_TRUE(write_report(device, step.value)) << GetLastError();
        EXPECT_EQ(status_of(0).led, step.led) << "after " << int(step.value);
    }
    EXPECT_EQ(status_of(0).outputs_total, 4u);
    EXPECT_EQ(outputs_text(0), "00AA 0055 0012 00AA");
    EXPECT_EQ(outputs_text(0), "") << "taking the log clears it";
}

TEST_F(SimulatorTest, InputReportsSentBeforeAnyReadArriveInOrderByteForByte) {
    ASSERT_TRUE(plug_and_open()) << "error " << GetLastError();
    const uint8_t reports[][2] = {{0x00, 20}, {0x00, 40}, {0x00, 0x7F}, {0x00, 0xFF}};
    for (const auto& r : reports) ASSERT_TRUE(hidsim_send_input(0, r, 2));
    for (const auto& r : reports) EXPECT_EQ(read_report(device), hex_of(r, 2));
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
    for (uint32_t slot : {0u, 1u}) ASSERT_TRUE(plug(slot)) << slot;  // two identical devices
    ASSERT_TRUE(hidsim_plug(other) && hidsim_wait_present(2, 10000));
    HANDLE h[3];
    for (uint32_t slot = 0; slot < 3; ++slot) ASSERT_NE(h[slot] = open_slot(slot), INVALID_HANDLE_VALUE) << slot;
    EXPECT_EQ(ids_of(h[2]), "1234:0002 v0200");

    ASSERT_TRUE(write_report(h[1], 0xAA));
    ASSERT_TRUE(write_report(h[0], 0x55));
    EXPECT_EQ(outputs_text(0), "0055");
    EXPECT_EQ(outputs_text(1), "00AA");
    EXPECT_EQ(outputs_text(2), "");

    const uint8_t press[2] = {0x00, 20};
    ASSERT_TRUE(hidsim_send_input(1, press, 2));
    EXPECT_EQ(read_report(h[1]), "0014");
    EXPECT_EQ(status_of(0).inputs_total, 0u);
    EXPECT_EQ(status_of(1).inputs_total, 1u);
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
    EXPECT_EQ(status_of(0).queued_inputs, 0u) << "refused reports are not queued";
}

// The input and output lengths the host's caps give, ID byte included, or what failed.
std::string caps_lengths(HANDLE h) {
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!HidD_GetPreparsedData(h, &data)) return "<no preparsed data>";
    HIDP_CAPS caps = {};
    NTSTATUS status = HidP_GetCaps(data, &caps);
    HidD_FreePreparsedData(data);
    if (status != HIDP_STATUS_SUCCESS) return "<no caps>";
    return std::to_string(caps.InputReportByteLength) + "/" + std::to_string(caps.OutputReportByteLength);
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
        EXPECT_EQ(caps_lengths(device), std::to_string(d.input) + "/" + std::to_string(d.output));

        ASSERT_TRUE(hidsim_send_button(0, true));
        std::string expected = "0014";
        for (uint32_t i = 2; i < d.input; ++i) expected += "00";
        EXPECT_EQ(read_report(device, d.input), expected) << "a press, padded to the input length";

        uint8_t report[HIDSIM_MAX_REPORT] = {0x00, 0xAA};
        for (uint32_t i = 2; i < d.output; ++i) report[i] = static_cast<uint8_t>(i);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(device, report, d.output, &written, nullptr)) << GetLastError();
        EXPECT_EQ(written, d.output);
        EXPECT_EQ(outputs_text(0), hex_of(report, d.output));
        HidSimStatus status = status_of(0);
        EXPECT_EQ(status.led, static_cast<uint32_t>(HidSimLed_On)) << "data byte 1 switches it, whatever follows";
        EXPECT_EQ(status.input_length, d.input);
        EXPECT_EQ(status.output_length, d.output);

        CloseHandle(device);
        device = INVALID_HANDLE_VALUE;
        ASSERT_TRUE(hidsim_unplug(0));
    }
}

TEST_F(SimulatorTest, StreamingDeviceSendsItsStateAtTheIntervalUntilSetBack) {
    ASSERT_TRUE(plug_and_open()) << "error " << GetLastError();
    ASSERT_TRUE(hidsim_stream(0, 10));
    EXPECT_EQ(read_report(device), "0028") << "the state before any report: released (40)";
    ASSERT_TRUE(hidsim_send_button(0, true));
    uint32_t before = status_of(0).inputs_total;
    Sleep(2000);
    uint32_t sent = status_of(0).inputs_total - before;
    // Roughly the pace, whatever the host's timers: 200 would be on time.
    EXPECT_GT(sent, 20u);
    EXPECT_LT(sent, 400u);
    EXPECT_EQ(status_of(0).stream_ms, 10u);
    // hidclass queues what nobody reads and drops the oldest: the newest is a press.
    std::string last;
    for (int i = 0; i < 64 && last != "0014"; ++i) last = read_report(device);
    EXPECT_EQ(last, "0014") << "the stream carries the last report, a press (20)";

    ASSERT_TRUE(hidsim_stream(0, 0));
    Sleep(50);
    before = status_of(0).inputs_total;
    Sleep(500);
    EXPECT_EQ(status_of(0).inputs_total, before) << "on change only again";
}

TEST_F(SimulatorTest, HeldWriteStaysPendingUntilUnholdFailsIt) {
    ASSERT_TRUE(plug(0));
    device = open_slot(0, FILE_FLAG_OVERLAPPED);
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
    status = status_of(0);
    EXPECT_EQ(status.outputs_total, 0u);
    EXPECT_EQ(status.led, static_cast<uint32_t>(HidSimLed_Unknown));
    EXPECT_EQ(status.held_outputs, 0u);

    ResetEvent(o.hEvent);
    done = WriteFile(device, report, sizeof report, &n, &o);
    EXPECT_TRUE(done || (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(device, &o, &n, TRUE)));
    EXPECT_EQ(outputs_text(0), "00AA") << "taken at once again";
    CloseHandle(o.hEvent);
}

// A slow device: the write succeeds once the device's own clock says so, and
// one still waiting goes down with the device.
TEST_F(SimulatorTest, DelayedWriteIsTakenAfterItsTimeOrFailsWithTheDevice) {
    ASSERT_TRUE(plug(0));
    device = open_slot(0, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(hidsim_delay_outputs(0, 300));
    EXPECT_EQ(status_of(0).delay_ms, 300u);
    OVERLAPPED o = {};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint8_t report[2] = {0x00, 0xAA};
    DWORD n = 0, start = GetTickCount();
    BOOL done = WriteFile(device, report, sizeof report, &n, &o);
    ASSERT_TRUE(!done && GetLastError() == ERROR_IO_PENDING) << "done " << done << ", error " << GetLastError();
    EXPECT_EQ(WaitForSingleObject(o.hEvent, 100), static_cast<DWORD>(WAIT_TIMEOUT)) << "taken before its time";
    HidSimStatus status = status_of(0);
    EXPECT_EQ(status.delayed_outputs, 1u);
    EXPECT_EQ(status.outputs_total, 0u) << "not received while it waits";
    ASSERT_EQ(WaitForSingleObject(o.hEvent, 5000), WAIT_OBJECT_0) << "never taken";
    DWORD took = GetTickCount() - start;
    EXPECT_TRUE(GetOverlappedResult(device, &o, &n, FALSE)) << GetLastError();
    EXPECT_EQ(n, 2u);
    EXPECT_GE(took, 250u);
    EXPECT_EQ(outputs_text(0), "00AA");
    EXPECT_EQ(status_of(0).led, static_cast<uint32_t>(HidSimLed_On));

    ASSERT_TRUE(hidsim_delay_outputs(0, 10000));
    ResetEvent(o.hEvent);
    report[1] = 0x55;
    done = WriteFile(device, report, sizeof report, &n, &o);
    ASSERT_TRUE(!done && GetLastError() == ERROR_IO_PENDING) << "done " << done << ", error " << GetLastError();
    ASSERT_TRUE(hidsim_unplug(0));
    ASSERT_EQ(WaitForSingleObject(o.hEvent, 5000), WAIT_OBJECT_0) << "the unplug left the write waiting";
    EXPECT_FALSE(GetOverlappedResult(device, &o, &n, FALSE)) << "a write the device never took succeeded";
    EXPECT_EQ(outputs_text(0), "") << "and it was not received";
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
