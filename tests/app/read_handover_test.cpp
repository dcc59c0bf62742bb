// The read handle's hand-over between the watch and the reader, with named
// pipes standing in for the device: a blocked read is cancelled before its
// handle is closed, and stale reports never reach the field. The reader's stop
// at exit is reader_stop_test's, in a process of its own.
#include <atomic>
#include <thread>

#include "app/app_state.h"
#include "app/input_reader.h"
#include "handover_fixture.h"
#include "hid/hid_transfer.h"
#include "hid/pipe_device.h"

AppState app_state;

namespace {

// Reads as the program's reader does, but ends when told, so that no reader
// outlives its test; and it reports each ticket it takes, so that a test can
// wait until a read is under way instead of guessing.
struct TestReader {
    HANDLE taken = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> finishing{false};
    std::atomic<int> failed_reads{0};
    HANDLE thread = CreateThread(nullptr, 0, run, this, 0, nullptr);  // last: it starts on the members above

    ~TestReader() {
        finish();
        CloseHandle(taken);
    }
    bool wait_ticket() { return WaitForSingleObject(taken, 5000) == WAIT_OBJECT_0; }
    // Ends a read in progress by taking its handle away, then waits for the
    // thread while serving the texts it may still be sending here.
    bool finish() {
        if (!thread) return true;
        handover_replace(nullptr);
        finishing = true;
        DWORD start = GetTickCount();
        while (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) {
            if (GetTickCount() - start > 5000) return false;
            event_wait_timeout(5);
        }
        CloseHandle(thread);
        thread = nullptr;
        return true;
    }
    static DWORD WINAPI run(LPVOID self) {
        auto* reader = static_cast<TestReader*>(self);
        if (!handover_register_reader()) return 0;
        ReadTicket ticket{};
        while (!reader->finishing && handover_begin_read(&ticket)) {
            if (!ticket.handle) {
                Sleep(1);
                continue;
            }
            SetEvent(reader->taken);
            uint8_t report[Report_Bytes] = {};
            bool failed = hid_read_report(ticket.handle, report, ticket.length, ticket.wake) == 0;
            reader->failed_reads += failed;
            handover_end_read(ticket, failed ? nullptr : button_text(report[1]), failed);
        }
        return 0;
    }
};

// This thread plays the reader, whose read cannot end while it waits here:
// after its time limit the watch leaves the handle open rather than close it
// under the read.
TEST_F(HandoverTest, AHandleStillBeingReadIsLeftToTheReaderAndItsReportDropped) {
    PipeDevice old_pipe, new_pipe;
    handover_replace(old_pipe.client);
    ReadTicket ticket{};
    ASSERT_TRUE(handover_begin_read(&ticket));
    ASSERT_EQ(ticket.handle, old_pipe.client);
    handover_replace(new_pipe.client);
    EXPECT_TRUE(old_pipe.client_open());
    handover_end_read(ticket, Text_Yes);
    EXPECT_FALSE(old_pipe.client_open()) << "the reader closes the handle it was left";
    EXPECT_EQ(gadget_text(Gadget_ButtonState), from_1251(Text_No)) << "a report from the replaced handle changed the field";
}

// A failed read on the current handle tells the watch the handle is lost;
// one on a handle that has since been replaced does not.
TEST_F(HandoverTest, OnlyAFailedReadOnTheCurrentHandleCountsAsLost) {
    PipeDevice first, second;
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
    handover_replace(second.client);  // as after a reopen
    handover_end_read(ticket, nullptr, true);
    EXPECT_FALSE(handover_take_lost()) << "a read failed by the replacement is not a lost handle";
}

// A replace ends the read blocked on the old handle before it closes it: a
// read still under way would leave the handle open for the reader to close
// later. The wake that ended it must not end the first read on the new one,
// which would fail at once, count as a lost device, and make the watch open
// the device again at every pass.
TEST_F(HandoverTest, AReplaceEndsTheBlockedReadAndLeavesTheNewHandlesReadWaiting) {
    TestReader reader;
    PipeDevice first, second;
    handover_replace(first.client);
    ASSERT_TRUE(reader.wait_ticket()) << "the reader took no ticket";
    handover_replace(second.client);
    EXPECT_FALSE(first.client_open()) << "the replaced handle was left to the reader";
    ASSERT_TRUE(reader.wait_ticket()) << "the reader took no ticket for the new handle";
    pump_events(50, 300);
    EXPECT_EQ(reader.failed_reads.load(), 1) << "the old read did not end by its wake, or new ones failed at once";
    EXPECT_FALSE(handover_take_lost());
    const uint8_t pressed[2] = {0, Button_Pressed};
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(second.server, pressed, 2, &written, nullptr));
    for (int i = 0; i < 100 && gadget_text(Gadget_ButtonState) != from_1251(Text_Yes); ++i) pump_events(10, 20);
    EXPECT_EQ(gadget_text(Gadget_ButtonState), from_1251(Text_Yes));
    ASSERT_TRUE(reader.finish());
}

TEST_F(HandoverTest, ReplacingWhileReportsStreamDoesNotDeadlock) {
    TestReader reader;
    for (int round = 0; round < 40; ++round) {
        PipeDevice pipe;
        handover_replace(pipe.client);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (int i = 0; !stop.load() && i < 200; ++i) {
                uint8_t report[2] = {0, (i & 1) ? Button_Pressed : Button_Released};
                DWORD written = 0;
                WriteFile(pipe.server, report, 2, &written, nullptr);
                Sleep(1);
            }
        });
        pump_events(10, 60);
        handover_replace(nullptr);  // the reader holds the lock while its text comes here
        stop = true;
        CloseHandle(pipe.server);  // ends a writer blocked on a full pipe
        pipe.server = nullptr;
        writer.join();
    }
    EXPECT_TRUE(reader.finish()) << "the reader did not end";
}

}  // namespace

VEL_GUI_TEST_MAIN
