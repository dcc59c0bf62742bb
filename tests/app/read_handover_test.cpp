// The read handle's hand-over between the watch and the reader, with named
// pipes standing in for the device: a blocked read is cancelled before its
// handle is closed, stale reports never reach the field, and the reader stops
// at exit even while it waits for a report.
#include <atomic>
#include <cstdlib>
#include <thread>

#include "app/app_state.h"
#include "app/app_texts.h"
#include "app/input_reader.h"
#include "app/read_handover.h"
#include "hid/hid_transfer.h"
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

class HandoverTest : public GuiTest {
protected:
    static void SetUpTestSuite() { handover_init(); }
    void SetUp() override {
        GuiTest::SetUp();
        window_open(Window_Main, 10, 10, 320, 100, "handover", 0);
        gadget_create_string(Gadget_ButtonState, 140, 36, 40, 20, Text_No, 0x801);
    }
    void TearDown() override {
        handover_replace(nullptr);
        GuiTest::TearDown();
    }
};

// Reads as the program's reader does, but ends when told, so that no reader
// outlives its test; and it reports each ticket it takes, so that a test can
// wait until a read is under way instead of guessing.
class TestReader {
public:
    TestReader() : taken_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
        thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
    }
    ~TestReader() {
        finish();
        CloseHandle(taken_);
    }
    bool wait_ticket() { return WaitForSingleObject(taken_, 5000) == WAIT_OBJECT_0; }
    // Ends a read in progress by taking its handle away, then waits for the
    // thread while serving the texts it may still be sending here.
    bool finish(DWORD limit_ms = 5000) {
        if (!thread_) return true;
        handover_replace(nullptr);
        finishing_ = true;
        DWORD start = GetTickCount();
        while (WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT) {
            if (GetTickCount() - start > limit_ms) return false;
            event_wait_timeout(5);
        }
        CloseHandle(thread_);
        thread_ = nullptr;
        return true;
    }
    int failed_reads() const { return failed_reads_; }

private:
    static DWORD WINAPI run(LPVOID self) {
        auto* reader = static_cast<TestReader*>(self);
        if (!handover_register_reader()) return 0;
        ReadTicket ticket{};
        while (!reader->finishing_ && handover_begin_read(&ticket)) {
            if (!ticket.handle) {
                Sleep(1);
                continue;
            }
            SetEvent(reader->taken_);
            uint8_t report[Report_Bytes] = {};
            bool failed = hid_read_report(ticket.handle, report, Report_Bytes) == 0;
            if (failed) ++reader->failed_reads_;
            handover_end_read(ticket, failed ? nullptr : button_text(report[1]), failed);
        }
        return 0;
    }
    HANDLE taken_;
    HANDLE thread_ = nullptr;
    std::atomic<bool> finishing_{false};
    std::atomic<int> failed_reads_{0};
};

// This thread plays the reader, whose read cannot end while it waits here:
// after its time limit the watch leaves the handle open rather than close it
// under the read.
TEST_F(HandoverTest, AHandleStillBeingReadIsLeftToTheReaderAndItsReportDropped) {
    Pipe old_pipe = make_pipe();
    Pipe new_pipe = make_pipe();
    handover_replace(old_pipe.client);
    ReadTicket ticket{};
    ASSERT_TRUE(handover_begin_read(&ticket));
    ASSERT_EQ(ticket.handle, old_pipe.client);
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

TEST_F(HandoverTest, ABlockedReadIsCancelledBeforeItsHandleIsClosed) {
    TestReader reader;
    Pipe pipe = make_pipe();
    handover_replace(pipe.client);
    ASSERT_TRUE(reader.wait_ticket()) << "the reader took no ticket";
    handover_replace(nullptr);
    // Without the cancel the read would still hold the handle, and it would be
    // left open for the reader to close after its read.
    EXPECT_FALSE(handle_open(pipe.client));
    ASSERT_TRUE(reader.finish());
    EXPECT_EQ(reader.failed_reads(), 1) << "the read ended some other way than by its cancel";
    CloseHandle(pipe.server);
}

TEST_F(HandoverTest, ReplacingWhileReportsStreamDoesNotDeadlock) {
    TestReader reader;
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
    EXPECT_TRUE(reader.finish()) << "the reader did not end";
}

// Stopping is for good, so it happens in a process of its own.
TEST_F(HandoverTest, StopEndsAReaderBlockedInARead) {
    EXPECT_EXIT(
        {
            TestReader reader;
            Pipe pipe = make_pipe();
            handover_replace(pipe.client);
            bool took = reader.wait_ticket();
            bool stopped = handover_stop(2000);
            bool still_open = handle_open(pipe.client);
            ReadTicket ticket{};
            bool refused = !handover_begin_read(&ticket);
            std::fprintf(stderr, "ticket taken %d, stopped %d, device left open %d, later reads refused %d\n", took,
                         stopped, still_open, refused);
            std::exit(took && stopped && still_open && refused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace

VEL_GUI_TEST_MAIN
