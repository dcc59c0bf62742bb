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
#include "runtime/base/base_fixture.h"

AppState app_state;

namespace {

// The program's own reader on a thread, stopped as the exit stops it.
struct ProgramReader {
    HANDLE thread = CreateThread(nullptr, 0, input_reader, nullptr, 0, nullptr);

    ~ProgramReader() { stop(); }
    bool stop() {
        if (!thread) return true;
        bool ended = handover_stop(5000) && WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
        CloseHandle(thread);
        thread = nullptr;
        return ended;
    }
};

// Sends the button's report, of length bytes, and waits until the field shows it.
bool press_shown(PipeDevice& device, bool pressed, int32_t length) {
    uint8_t report[64] = {0, pressed ? Button_Pressed : Button_Released};
    DWORD written = 0;
    if (!WriteFile(device.server, report, static_cast<DWORD>(length), &written, nullptr)) return false;
    std::wstring want = from_1251(pressed ? Text_Yes : Text_No);
    for (int i = 0; i < 200 && gadget_text(Gadget_ButtonState) != want; ++i) pump_events(5, 10);
    return gadget_text(Gadget_ButtonState) == want;
}

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
    ProgramReader reader;
    PipeDevice first, second;
    handover_replace(first.client);
    ASSERT_TRUE(press_shown(first, true, 2)) << "the reader did not read the first device";
    pump_events(20, 50);  // its next read is under way
    handover_replace(second.client);
    EXPECT_FALSE(first.client_open()) << "the replaced handle was left to the reader";
    pump_events(50, 300);
    EXPECT_FALSE(handover_take_lost()) << "a read on the new handle failed at once";
    EXPECT_TRUE(press_shown(second, false, 2)) << "the new device's report was not shown";
    EXPECT_TRUE(reader.stop());
}

TEST_F(HandoverTest, ReplacingWhileReportsStreamDoesNotDeadlock) {
    ProgramReader reader;
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
    EXPECT_TRUE(reader.stop()) << "the reader did not end";
}

// Devices one after another in one run, each with its own report length: the
// reader's buffer follows each (a read shorter than the device's reports
// fails), and its reads, a hundred a second while a device streams, give back
// every handle and block they take.
TEST_F(HandoverTest, TheReaderReadsEachDevicesLengthAndKeepsNothingPerRead) {
    ProgramReader reader;
    for (int32_t length : {2, 16, 2, 9}) {
        PipeDevice device;
        handover_replace(device.client, length);
        EXPECT_TRUE(press_shown(device, true, length) && press_shown(device, false, length))
            << "reports of " << length << " bytes were not shown";
        // A read longer than its buffer writes over the heap's next block.
        EXPECT_TRUE(HeapValidate(main_heap(), 0, nullptr)) << "the heap is damaged after reports of " << length;
    }
    PipeDevice device;
    handover_replace(device.client, 2);
    ASSERT_TRUE(press_shown(device, true, 2));
    ResourceUse before = resource_use();
    int shown = 0;
    for (int i = 0; i < 60; ++i) shown += press_shown(device, i & 1, 2);
    EXPECT_EQ(shown, 60);
    EXPECT_TRUE(resources_flat(before, resource_use())) << "60 reads";
    EXPECT_FALSE(handover_take_lost());
    EXPECT_TRUE(reader.stop());
}

}  // namespace

VEL_GUI_TEST_MAIN
