// The main window with the reader's field, which reports reach through the
// hand-over; the hand-over is emptied after each test, so that no handle
// outlives the test that made it.
#pragma once
#include "app/app_texts.h"
#include "app/read_handover.h"
#include "runtime/gadget/gadget_kinds.h"
#include "runtime/gui_fixture.h"

class HandoverTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        handover_init();
        window_open(Window_Main, 10, 10, 320, 100, "handover", 0);
        gadget_create_string(Gadget_ButtonState, 140, 36, 40, 20, Text_No, 0x801);
    }
    void TearDown() override {
        handover_replace(nullptr);
        GuiTest::TearDown();
    }
};
