// The device watch on a scripted HID world: a device that is listed but cannot
// be opened in the same pass, or only half, is opened at a later pass, rather
// than left "connected" without its handles.
#include "app/app_state.h"
#include "app/app_texts.h"
#include "app/device_watch.h"
#include "app/input_reader.h"
#include "handover_fixture.h"
#include "hid/fake_hid.h"
#include "hid/hid_discovery.h"
#include "hid/pipe_device.h"
#include "runtime/base/string_buffer.h"

AppState app_state;

namespace {

class DeviceWatchTest : public HandoverTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        HandoverTest::SetUp();
        fake = FakeHid{};
        fake.interfaces.push_back({make_device_file("led_board", Device_VendorId, Device_ProductId, 0x0100)});
        fake_bind_all();
        app_state.last_presence = 0;
        gadget_create_text(Gadget_Status, 0, 8, 320, 16, "", 1);
    }
    void TearDown() override {
        hid_close_device(app_state.write_handle);
        app_state.write_handle = nullptr;
        fake_unbind_all();
        HandoverTest::TearDown();
    }
};

// The class queries that succeed: the presence walk only (both opens fail), or
// the walk and the write handle's open (the device went between the opens).
TEST_P(DeviceWatchTest, ADeviceThatCouldNotBeOpenedIsOpenedAtTheNextPass) {
    fake.class_devs_good = GetParam();
    device_watch(nullptr, 0, 0, 0);
    pump_events(20);
    EXPECT_EQ(gadget_text(Gadget_Status), from_1251(Text_Connected));
    ASSERT_EQ(app_state.read_handle, nullptr) << "the scripted open did not fail; calls: " << fake.class_devs_calls;
    ASSERT_EQ(app_state.write_handle != nullptr, GetParam() == 2);

    fake.class_devs_good = -1;
    device_watch(nullptr, 0, 0, 0);
    pump_events(20);
    EXPECT_NE(app_state.write_handle, nullptr) << "the device stayed without a write handle";
    EXPECT_NE(app_state.read_handle, nullptr) << "the device stayed without a read handle";
    EXPECT_EQ(gadget_text(Gadget_Status), from_1251(Text_Connected));

    // Opened now: later passes leave the handles as they are.
    HANDLE write = app_state.write_handle;
    int calls = fake.class_devs_calls;
    device_watch(nullptr, 0, 0, 0);
    EXPECT_EQ(app_state.write_handle, write);
    EXPECT_EQ(fake.class_devs_calls, calls + 1) << "a pass with the device open walks once";
}

// The device goes while its button is held: nothing of it may stay behind.
// A click then finds no write handle and warns; a handle value kept after its
// close would be written into (or into whatever object reuses the value).
using DeviceGoneTest = DeviceWatchTest;

TEST_F(DeviceGoneTest, ItLeavesNoHandleNoPressAndNoText) {
    device_watch(nullptr, 0, 0, 0);
    ASSERT_NE(app_state.write_handle, nullptr);
    gadget_set_text(Gadget_ButtonState, Text_Yes);
    int32_t length = string_buffer.length;

    fake.interfaces.clear();
    device_watch(nullptr, 0, 0, 0);
    pump_events(20);
    EXPECT_EQ(app_state.write_handle, nullptr) << "the closed write handle is still held";
    EXPECT_EQ(gadget_text(Gadget_ButtonState), from_1251(Text_No)) << "the field still shows the press";
    EXPECT_NE(gadget_text(Gadget_Status), from_1251(Text_Connected));
    EXPECT_EQ(string_buffer.length, length) << "the status text was left in the string buffer";
}

// Handles that failed while the device stayed listed are dead: a write the
// handle no longer takes (here a pipe with nobody at its other end; a report the
// device never answered leaves its handle refusing every later write), or a read
// the reader lost when the device went and came back between two passes that
// both saw it. Kept, the LED buttons or the field would stay dead for good.
TEST_F(DeviceGoneTest, AFailedWriteOrALostReadOpensTheDeviceAfresh) {
    device_watch(nullptr, 0, 0, 0);
    ASSERT_NE(app_state.write_handle, nullptr);
    PipeDevice refusing;
    CloseHandle(refusing.server);
    refusing.server = nullptr;
    hid_close_device(app_state.write_handle);
    app_state.write_handle = refusing.client;
    send_command(Command_LedOn);
    for (const char* failure : {"a failed write", "a lost read"}) {
        int calls = fake.class_devs_calls;
        device_watch(nullptr, 0, 0, 0);
        EXPECT_GT(fake.class_devs_calls, calls + 1) << "after " << failure << " the pass only walked";
        EXPECT_TRUE(app_state.read_handle && app_state.write_handle && app_state.write_handle != refusing.client);
        ReadTicket ticket{};
        ASSERT_TRUE(handover_begin_read(&ticket));
        handover_end_read(ticket, nullptr, true);
    }
}

INSTANTIATE_TEST_SUITE_P(FirstPass, DeviceWatchTest, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == 1 ? "BothOpensFailed" : "OnlyTheReadOpenFailed";
                         });

}  // namespace

VEL_GUI_TEST_MAIN
