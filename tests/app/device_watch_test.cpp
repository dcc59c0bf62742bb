// The device watch on a scripted HID world and a real window: plug and unplug
// follow the system's notifications at once, with no walk and no open of any
// other device while nothing changes; where notifications are refused, every
// pass walks. Device files stand in for interfaces, opened by their paths.
#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "app/app_texts.h"
#include "app/device_watch.h"
#include "app/led_command.h"
#include "handover_fixture.h"
#include "hid/fake_hid.h"
#include "hid/hid_discovery.h"
#include "hid/pipe_device.h"
#include "runtime/base/string_buffer.h"

AppState app_state;

namespace {

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::wstring not_found_text() {
    int32_t start = string_buffer.length;
    std::wstring text = from_1251(compose_not_found(start, Text_NotFoundEnd));
    string_buffer.length = start;
    return text;
}

// The parameter: whether Windows announces interfaces (else the watch polls).
class DeviceWatchTest : public HandoverTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        HandoverTest::SetUp();
        fake = FakeHid{};
        fake_bind_all();
        std::memset(&app_state, 0, sizeof app_state);
        gadget_create_text(Gadget_Status, 0, 8, 320, 16, "", 1);
    }
    void TearDown() override {
        hid_close_device(app_state.write_handle);
        string_assign(&app_state.device_path, nullptr);
        std::memset(&app_state, 0, sizeof app_state);
        fake_unbind_all();
        HandoverTest::TearDown();  // closing the window ends its registration
    }
    // A device file of its own for each case: one a case left open could not be made again.
    std::string device(const char* name, WORD vendor = Device_VendorId, WORD product = Device_ProductId) {
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(test.begin(), test.end(), '/', '_');
        return make_device_file(std::string(name) + "_" + test, vendor, product, 0x0100);
    }
    void list(const std::string& path) { fake.interfaces.push_back({path}); }
    // Unlisted and announced gone, as the notification spells it.
    void unplug(const std::string& path, const std::string& announced) {
        unlist(path);
        device_watch_notify(false, announced.c_str());
        pump_events(20);
    }
    void unplug(const std::string& path) { unplug(path, path); }
    void unlist(const std::string& path) {
        fake.interfaces.erase(std::remove_if(fake.interfaces.begin(), fake.interfaces.end(),
                                             [&](const FakeInterface& item) { return item.path == path; }),
                              fake.interfaces.end());
    }
    // Registration, the priming pass and the first timer pass, which both walk.
    void start(bool notified) {
        if (notified) {
            ASSERT_TRUE(device_watch_register()) << "Windows refused the registration";
        }
        device_watch(nullptr, 0, 0, 0);
        device_watch(nullptr, 0, 0, 0);
        pump_events(20);
    }
    bool connected_to(const std::string& path) {
        return app_state.last_presence == 1 && app_state.write_handle && handover_handle() &&
               app_state.device_path && lower(app_state.device_path) == lower(path) &&
               gadget_text(Gadget_Status) == from_1251(Text_Connected);
    }
    bool absent() {
        return app_state.last_presence == 0 && !app_state.write_handle && !handover_handle() &&
               !app_state.device_path && gadget_text(Gadget_ButtonState) == from_1251(Text_No);
    }
    std::string state() {
        return "presence " + std::to_string(app_state.last_presence) + ", write " +
               std::to_string(app_state.write_handle != nullptr) + ", read " +
               std::to_string(handover_handle() != nullptr) + ", path " +
               (app_state.device_path ? app_state.device_path : "none") + ", walks " +
               std::to_string(fake.class_devs_calls) + ", attribute queries " + std::to_string(fake.attribute_calls);
    }
};

using NotifiedWatchTest = DeviceWatchTest;

TEST_F(NotifiedWatchTest, PlugAndUnplugShowAtOnceAndIdlePassesOpenNothing) {
    start(true);
    ASSERT_TRUE(absent()) << state();
    std::string board = device("board");
    list(board);
    int walks = fake.class_devs_calls;
    // The notification spells the path in another case than enumeration does.
    device_watch_notify(true, upper(board).c_str());
    pump_events(20);
    EXPECT_TRUE(connected_to(board)) << state();
    EXPECT_EQ(fake.class_devs_calls, walks) << "the arrival walked";
    EXPECT_EQ(fake.attribute_calls_with_access, 0) << "an interface was opened for reading and writing to be matched";

    int queries = fake.attribute_calls;
    HANDLE write = app_state.write_handle;
    for (int pass = 0; pass < 10; ++pass) device_watch(nullptr, 0, 0, 0);
    EXPECT_EQ(fake.class_devs_calls, walks) << "idle passes walked";
    EXPECT_EQ(fake.attribute_calls, queries) << "idle passes opened an interface";
    EXPECT_EQ(app_state.write_handle, write);

    gadget_set_text(Gadget_ButtonState, Text_Yes);
    int32_t length = string_buffer.length;
    unplug(board, lower(board));
    EXPECT_TRUE(absent()) << state();
    EXPECT_EQ(gadget_text(Gadget_Status), not_found_text());
    EXPECT_EQ(string_buffer.length, length) << "the status text was left in the string buffer";
    EXPECT_EQ(fake.class_devs_calls, walks) << "the removal walked, though no other device was known";
}

// Another device's arrival and removal while the device is open: one open of
// its path, without access, to learn that it is not the program's; the
// handles and both texts as they were.
TEST_F(NotifiedWatchTest, AnotherDeviceComingAndGoingChangesNothing) {
    std::string board = device("board");
    list(board);
    start(true);
    ASSERT_TRUE(connected_to(board)) << state();
    gadget_set_text(Gadget_ButtonState, Text_Yes);
    HANDLE write = app_state.write_handle, read = handover_handle();
    int walks = fake.class_devs_calls, queries = fake.attribute_calls;

    std::string keyboard = device("keyboard", 0x845E, 0x0002);
    list(keyboard);
    device_watch_notify(true, keyboard.c_str());
    device_watch(nullptr, 0, 0, 0);
    unlist(keyboard);
    device_watch_notify(false, keyboard.c_str());
    device_watch(nullptr, 0, 0, 0);
    pump_events(20);
    EXPECT_EQ(app_state.write_handle, write);
    EXPECT_EQ(handover_handle(), read);
    EXPECT_EQ(gadget_text(Gadget_ButtonState), from_1251(Text_Yes));
    EXPECT_TRUE(connected_to(board)) << state();
    EXPECT_EQ(fake.class_devs_calls, walks);
    EXPECT_EQ(fake.attribute_calls, queries + 1);
    EXPECT_EQ(fake.attribute_calls_with_access, 0);
}

// Known from the start's walk or from its arrival: another device of the
// program's IDs is taken when the open one goes, without a walk.
TEST_F(NotifiedWatchTest, WhenTheOpenDeviceGoesAnotherOfItsIdsIsTaken) {
    std::string first = device("first"), second = device("second"), third = device("third");
    list(first);
    list(second);
    start(true);
    ASSERT_TRUE(connected_to(first)) << state();
    int walks = fake.class_devs_calls;
    list(third);
    device_watch_notify(true, third.c_str());
    EXPECT_TRUE(connected_to(first)) << "an arrival replaced the open device: " << state();
    for (const std::string* gone : {&first, &second}) {
        unplug(*gone);
        EXPECT_TRUE(connected_to(gone == &first ? second : third)) << state();
    }
    unplug(third);
    EXPECT_TRUE(absent()) << state();
    EXPECT_EQ(fake.class_devs_calls, walks) << "a removal walked";
}

// A removal that comes after the device is back under the same path (its
// arrival was handed over first, and ignored as the device's own): the path
// still leads to the device, which is opened afresh rather than left absent.
TEST_F(NotifiedWatchTest, ALateRemovalOfAPathThatIsBackReopensIt) {
    std::string board = device("board");
    list(board);
    start(true);
    ASSERT_TRUE(connected_to(board)) << state();
    device_watch_notify(true, board.c_str());
    device_watch_notify(false, board.c_str());
    pump_events(20);
    EXPECT_TRUE(connected_to(board)) << "a late removal left the device that is back absent: " << state();
    unplug(board);
    EXPECT_TRUE(absent()) << state();
}

// Announced before its path opens: tried again by the passes, by its path. An
// interface of other IDs is opened once, for its attributes, and never again.
TEST_F(NotifiedWatchTest, AnArrivalIsTriedAgainUntilItOpensAndAnotherDeviceIsOpenedOnce) {
    start(true);
    std::string mouse = device("mouse", 0x845E, 0x0001);
    int queries = fake.attribute_calls;
    device_watch_notify(true, mouse.c_str());
    for (int pass = 0; pass < 5; ++pass) device_watch(nullptr, 0, 0, 0);
    EXPECT_EQ(fake.attribute_calls, queries + 1) << "the other device was not opened exactly once";

    std::string late = device("late");
    ASSERT_TRUE(DeleteFileA(late.c_str()));
    int walks = fake.class_devs_calls;
    device_watch_notify(true, late.c_str());
    device_watch(nullptr, 0, 0, 0);
    EXPECT_TRUE(absent()) << state();
    ASSERT_EQ(device("late"), late);
    list(late);
    device_watch(nullptr, 0, 0, 0);
    pump_events(20);
    EXPECT_TRUE(connected_to(late)) << state();
    EXPECT_EQ(fake.class_devs_calls, walks) << "the retries walked";
}

// Windows may serve a notification while the watch is in the middle of a
// walk or an open: it is taken once that step is over, not lost or nested.
TEST_F(NotifiedWatchTest, ANotificationDuringTheWalkIsTakenAfterIt) {
    ASSERT_TRUE(device_watch_register());
    static std::string arriving;
    arriving = device("arriving");
    fake.on_walk = [] {
        fake.on_walk = nullptr;
        fake.interfaces.push_back({arriving});  // listed after this walk's set was taken
        device_watch_notify(true, arriving.c_str());
    };
    device_watch(nullptr, 0, 0, 0);  // the priming pass: the device is not listed yet
    pump_events(20);
    EXPECT_TRUE(connected_to(arriving)) << state();
}

// What reaches window 0 through the runtime's window procedure: a HID
// interface's arrival and removal are heard, a volume's is not; a name that is
// not terminated within its record is not read, and a walk finds the device.
TEST_F(NotifiedWatchTest, WindowZeroHearsInterfaceNotifications) {
    start(true);
    std::string board = device("board");
    list(board);
    std::wstring name(board.begin(), board.end());
    std::vector<char> record(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (name.size() + 1) * sizeof(wchar_t));
    auto* notice = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(record.data());
    notice->dbcc_size = static_cast<DWORD>(record.size());
    notice->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    std::memcpy(notice->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    HWND window = window_handle(Window_Main);

    DEV_BROADCAST_VOLUME volume = {sizeof volume, DBT_DEVTYP_VOLUME, 0, 1, 0};
    int walks = fake.class_devs_calls;
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume));
    EXPECT_EQ(fake.class_devs_calls, walks) << "a volume's arrival was taken for an interface's";
    EXPECT_TRUE(absent()) << state();

    notice->dbcc_size -= sizeof(wchar_t);  // the NUL outside
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(notice));
    EXPECT_EQ(fake.class_devs_calls, walks + 1) << "an unreadable notification was not answered by a walk";
    EXPECT_TRUE(connected_to(board)) << state();

    notice->dbcc_size += sizeof(wchar_t);
    unlist(board);
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(notice));
    pump_events(20);
    EXPECT_TRUE(absent()) << state();
}

// Handles that failed while the device stayed listed are dead: a write the
// handle no longer takes (here a pipe with nobody at its other end; a report the
// device never answered leaves its handle refusing every later write), or a read
// the reader lost when the device went and came back between two passes. The
// next pass opens the device again, by its path when notifications work.
TEST_P(DeviceWatchTest, AFailedWriteOrALostReadOpensTheDeviceAgain) {
    std::string board = device("board"), spare = device("spare");
    list(board);
    start(GetParam());
    ASSERT_TRUE(connected_to(board)) << state();
    for (const char* failure : {"a failed write", "a lost read"}) {
        // Handles of the test's own, which can tell whether the watch closed
        // them; a handle's value cannot, as the next open may be given it.
        PipeDevice read_pipe;
        handover_replace(read_pipe.client);
        hid_close_device(app_state.write_handle);
        // Takes no writes, like a handle whose report the device never answered.
        app_state.write_handle = CreateFileA(spare.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(app_state.write_handle, INVALID_HANDLE_VALUE);
        if (failure[2] == 'f') {
            send_command(Command_LedOn);
        } else {
            ReadTicket ticket{};
            ASSERT_TRUE(handover_begin_read(&ticket));
            handover_end_read(ticket, nullptr, true);
        }
        int walks = fake.class_devs_calls;
        device_watch(nullptr, 0, 0, 0);
        EXPECT_TRUE(connected_to(board)) << "after " << failure << ": " << state();
        EXPECT_FALSE(read_pipe.client_open()) << "after " << failure << " the read handle was kept";
        EXPECT_FALSE(file_is_open(spare)) << "after " << failure << " the write handle was kept";
        EXPECT_EQ(fake.class_devs_calls, walks + (GetParam() ? 0 : 1)) << "after " << failure;
    }
}

// Listed, but held by someone who lets nobody write: the device counts as
// connected without its handles, which the passes open once they can.
TEST_P(DeviceWatchTest, ADeviceThatWouldNotOpenIsOpenedAtALaterPass) {
    std::string board = device("board");
    list(board);
    HANDLE holder = CreateFileA(board.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    start(GetParam());
    EXPECT_EQ(gadget_text(Gadget_Status), from_1251(Text_Connected));
    EXPECT_TRUE(!app_state.write_handle && !handover_handle()) << "the holder did not keep the device: " << state();
    CloseHandle(holder);
    int walks = fake.class_devs_calls;
    device_watch(nullptr, 0, 0, 0);
    EXPECT_TRUE(connected_to(board)) << state();
    EXPECT_EQ(fake.class_devs_calls, walks + (GetParam() ? 0 : 1));
}

// Without notifications each pass walks once, and shows plug and unplug.
TEST_F(DeviceWatchTest, RefusedNotificationsEveryPassWalks) {
    start(false);
    ASSERT_TRUE(absent()) << state();
    std::string board = device("board");
    list(board);
    int walks = fake.class_devs_calls;
    device_watch(nullptr, 0, 0, 0);
    EXPECT_TRUE(connected_to(board)) << state();
    device_watch(nullptr, 0, 0, 0);
    EXPECT_EQ(fake.class_devs_calls, walks + 2) << "a pass that connects and one that does not each walk once";
    EXPECT_EQ(fake.attribute_calls_with_access, 0) << "an interface was opened for reading and writing to be matched";
    unlist(board);
    device_watch(nullptr, 0, 0, 0);
    pump_events(20);
    EXPECT_TRUE(absent()) << state();
}

// Devices of other report lengths one after another: each LED command is a
// whole output report of the device's own length (the class driver refuses
// any other), and the reader is handed the device's input length, whichever
// of the two is longer.
TEST_F(NotifiedWatchTest, EachDeviceGetsReportsOfItsOwnLengths) {
    start(true);
    const struct {
        USHORT input, output;
    } shapes[] = {{2, 8}, {8, 2}, {16, 16}, {2, 2}};
    for (const auto& shape : shapes) {
        fake.caps.InputReportByteLength = shape.input;
        fake.caps.OutputReportByteLength = shape.output;
        std::string board = device(("board" + std::to_string(&shape - shapes)).c_str());
        list(board);
        device_watch_notify(true, board.c_str());
        pump_events(20);
        ASSERT_TRUE(connected_to(board)) << state();
        ReadTicket ticket{};
        ASSERT_TRUE(handover_begin_read(&ticket));
        handover_end_read(ticket, nullptr);
        EXPECT_EQ(ticket.length, shape.input) << "the reader's length for input " << shape.input;
        send_command(Command_LedOn);
        // The device file: its six bytes of attributes, written over from the start.
        HANDLE file = CreateFileA(board.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        uint8_t bytes[32] = {};
        DWORD size = 0;
        ReadFile(file, bytes, sizeof bytes, &size, nullptr);
        CloseHandle(file);
        std::string written;
        for (DWORD i = 0; i < size; ++i) written += std::to_string(bytes[i]) + " ";
        EXPECT_TRUE(size == std::max<DWORD>(6, shape.output) && bytes[0] == 0 && bytes[1] == 0xAA &&
                    std::all_of(bytes + 2, bytes + shape.output, [](uint8_t b) { return b == 0; }))
            << "input " << shape.input << ", output " << shape.output << ": the device file holds " << written;
        unplug(board);
        ASSERT_TRUE(absent()) << state();
    }
}

// Plugged and unplugged, passed over and clicked for as long as the program
// runs: nothing of it may stay behind, not a handle, not a heap block.
TEST_P(DeviceWatchTest, PlugsPassesAndClicksKeepNothing) {
    start(GetParam());
    std::string board = device("board");
    auto cycle = [&] {
        device("board");  // afresh: the click wrote over its attributes
        list(board);
        device_watch_notify(true, board.c_str());
        for (int pass = 0; pass < 3; ++pass) device_watch(nullptr, 0, 0, 0);
        bool ok = connected_to(board);
        if (ok) send_command(Command_LedOn);  // without a device it would show its warning box
        unplug(board);
        device_watch(nullptr, 0, 0, 0);
        return ok && absent();
    };
    EXPECT_TRUE(keeps_nothing(30, cycle)) << "30 plugs and unplugs with 4 passes and a click each; " << state();
}

INSTANTIATE_TEST_SUITE_P(Watch, DeviceWatchTest, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "Notified" : "Polling";
});

}  // namespace

VEL_GUI_TEST_MAIN
