// The read handle's hand-over between the watch and the reader, with named
// pipes standing in for the device: a blocked read is cancelled before its
// handle is closed, stale reports never reach the field, nothing leaks, and the
// reader stops at exit even while it waits for a report.
#include <atomic>
#include <thread>

#include "app/app_state.h"
#include "app/app_texts.h"
#include "app/input_reader.h"
#include "app/read_handover.h"
#include "runtime/gadget/gadget_kinds.h"
#include "runtime/gui_fixture.h"

AppState app_state;

namespace {

struct Pipe {
    HANDLE server = nullptr;
    HANDLE client = nullptr;
};

Pipe make_pipe() {
    static int counter = 0;
    char name[64];
    wsprintfA(name, "\\\\.\\pipe\\handover_%lu_%d", GetCurrentProcessId(), ++counter);
    Pipe pipe;
    pipe.server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                   64, 64, 0, nullptr);
    pipe.client = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return pipe;
}

bool handle_open(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

std::string field_text() {
    char text[32] = {};
    GetWindowTextA(gadget_handle(Gadget_ButtonState), text, sizeof text);
    return text;
}

void send_report(HANDLE server, uint8_t state) {
    uint8_t report[2] = {0, state};
    DWORD written = 0;
    WriteFile(server, report, 2, &written, nullptr);
}

// Pumps until the field shows want or the limit passes.
bool wait_field(const char* want, int limit_ms = 3000) {
    DWORD start = GetTickCount();
    while (static_cast<int>(GetTickCount() - start) < limit_ms) {
        if (field_text() == want) return true;
        event_wait_timeout(5);
    }
    return field_text() == want;
}

class HandoverTest : public GuiTest {
protected:
    static void SetUpTestSuite() { handover_init(); }
    void SetUp() override {
        GuiTest::SetUp();
        window_open(Window_Main, 10, 10, 320, 100, "handover", 0);
        gadget_create_string(Gadget_ButtonState, 140, 36, 40, 20, Text_No, 0x801);
    }
};

// One process-wide reader, as in the program; started by the first test that needs it.
void start_reader_once() {
    static bool started = false;
    if (started) return;
    started = true;
    CloseHandle(CreateThread(nullptr, 0, input_reader, nullptr, 0, nullptr));
}

// First, while no reader thread exists: this thread plays the reader.
TEST_F(HandoverTest, AHandleStillBeingReadIsLeftToTheReaderAndItsReportDropped) {
    Pipe old_pipe = make_pipe();
    Pipe new_pipe = make_pipe();
    handover_replace(old_pipe.client);
    ReadTicket ticket{};
    ASSERT_TRUE(handover_begin_read(&ticket));
    ASSERT_EQ(ticket.handle, old_pipe.client);
    // The read cannot end (its reader is this thread): after its time limit the
    // watch leaves the handle open rather than close it under the read.
    handover_replace(new_pipe.client);
    EXPECT_TRUE(handle_open(old_pipe.client));
    handover_end_read(ticket, Text_Yes);
    EXPECT_FALSE(handle_open(old_pipe.client)) << "the reader closes the handle it was left";
    EXPECT_EQ(field_text(), Text_No) << "a report from the replaced handle changed the field";

    ReadTicket fresh{};
    ASSERT_TRUE(handover_begin_read(&fresh));
    EXPECT_EQ(fresh.handle, new_pipe.client);
    handover_end_read(fresh, Text_Yes);
    EXPECT_EQ(field_text(), Text_Yes);
    handover_replace(nullptr);
    EXPECT_FALSE(handle_open(new_pipe.client));
    CloseHandle(old_pipe.server);
    CloseHandle(new_pipe.server);
}

// A failed read on the current handle tells the watch the handle is lost;
// one on a handle that has since been replaced does not.
TEST_F(HandoverTest, OnlyAFailedReadOnTheCurrentHandleCountsAsLost) {
    Pipe first = make_pipe();
    Pipe second = make_pipe();
    handover_replace(first.client);
    EXPECT_FALSE(handover_take_lost());
    ReadTicket ticket{};
    ASSERT_TRUE(handover_begin_read(&ticket));
    handover_end_read(ticket, nullptr, true);
    EXPECT_TRUE(handover_take_lost());
    EXPECT_FALSE(handover_take_lost()) << "the watch is told once";

    ASSERT_TRUE(handover_begin_read(&ticket));
    handover_end_read(ticket, nullptr, false);
    EXPECT_FALSE(handover_take_lost()) << "a read that succeeded";

    ReadTicket stale{};
    ASSERT_TRUE(handover_begin_read(&stale));
    handover_end_read(stale, nullptr, false);
    handover_replace(second.client);  // as after a reopen
    handover_end_read(stale, nullptr, true);
    EXPECT_FALSE(handover_take_lost()) << "a read failed by the replacement is not a lost handle";
    handover_replace(nullptr);
    CloseHandle(first.server);
    CloseHandle(second.server);
}

TEST_F(HandoverTest, ReportsReachTheFieldAndUnknownOnesChangeNothing) {
    Pipe pipe = make_pipe();
    ASSERT_NE(pipe.client, INVALID_HANDLE_VALUE);
    handover_replace(pipe.client);
    start_reader_once();
    send_report(pipe.server, Button_Pressed);
    EXPECT_TRUE(wait_field(Text_Yes)) << "field shows " << field_text();
    send_report(pipe.server, 21);
    send_report(pipe.server, Button_Released);
    EXPECT_TRUE(wait_field(Text_No)) << "field shows " << field_text();
    send_report(pipe.server, 0);
    pump_events(100);
    EXPECT_EQ(field_text(), Text_No);
    handover_replace(nullptr);
    EXPECT_FALSE(handle_open(pipe.client));
    CloseHandle(pipe.server);
}

TEST_F(HandoverTest, ABlockedReadIsCancelledBeforeItsHandleIsClosed) {
    start_reader_once();
    Pipe pipe = make_pipe();
    handover_replace(pipe.client);
    pump_events(100);  // the reader is now blocked in a read on the pipe
    DWORD start = GetTickCount();
    handover_replace(nullptr);
    DWORD took = GetTickCount() - start;
    // Without the cancel the read would still hold the handle, and it would be
    // left open for the reader to close after its read.
    EXPECT_FALSE(handle_open(pipe.client)) << "replace returned after " << took << " ms";
    // The reader is idle now: a report on the old pipe reaches nobody.
    send_report(pipe.server, Button_Pressed);
    pump_events(100);
    EXPECT_EQ(field_text(), Text_No);
    CloseHandle(pipe.server);
}

TEST_F(HandoverTest, ReplacingWhileReportsStreamNeitherDeadlocksNorLeaks) {
    start_reader_once();
    // Warm up whatever the first pipe and read allocate for good.
    Pipe warm = make_pipe();
    handover_replace(warm.client);
    send_report(warm.server, Button_Pressed);
    wait_field(Text_Yes);
    handover_replace(nullptr);
    CloseHandle(warm.server);

    DWORD handles_before = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles_before);
    for (int round = 0; round < 40; ++round) {
        Pipe pipe = make_pipe();
        handover_replace(pipe.client);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (int i = 0; !stop.load() && i < 200; ++i) {
                send_report(pipe.server, (i & 1) ? Button_Pressed : Button_Released);
                Sleep(1);
            }
        });
        pump_events(10, 60);
        handover_replace(nullptr);  // the reader holds the lock while its text comes here
        stop = true;
        CloseHandle(pipe.server);  // ends a writer blocked on a full pipe
        writer.join();
    }
    DWORD handles_after = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles_after);
    EXPECT_LE(handles_after, handles_before + 2) << handles_before << " -> " << handles_after;
}

TEST_F(HandoverTest, SendCommandWritesTheTwoLowBytes) {
    Pipe pipe = make_pipe();
    app_state.write_handle = pipe.client;
    send_command(Command_LedOn);
    send_command(Command_LedOff);
    uint8_t report[8] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(pipe.server, report, sizeof report, &got, nullptr));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(report[0], 0x00);
    EXPECT_EQ(report[1], 0xAA);
    ASSERT_TRUE(ReadFile(pipe.server, report, sizeof report, &got, nullptr));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(report[1], 0x55);
    app_state.write_handle = nullptr;
    CloseHandle(pipe.client);
    CloseHandle(pipe.server);
}

// Last: it ends the reader for good.
TEST_F(HandoverTest, StopEndsAReaderBlockedInARead) {
    start_reader_once();
    Pipe pipe = make_pipe();
    handover_replace(pipe.client);
    pump_events(100);
    EXPECT_TRUE(handover_stop(2000)) << "the reader did not leave its read";
    EXPECT_TRUE(handle_open(pipe.client)) << "stopping does not close the device";
    ReadTicket ticket{};
    EXPECT_FALSE(handover_begin_read(&ticket));
    CloseHandle(pipe.client);
    CloseHandle(pipe.server);
}

}  // namespace

VEL_GUI_TEST_MAIN
