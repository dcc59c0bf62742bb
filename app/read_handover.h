// The hand-over of the read handle between the device watch on the GUI thread
// and the reader thread: the reader never uses a closed handle, a read blocked
// on a handle that is being replaced is woken and ends first, and no handle leaks.
#pragma once
#include <windows.h>

#include <cstdint>

#include "app/app_state.h"

struct ReadTicket {
    HANDLE handle;        // null: nothing to read this pass
    uint32_t generation;  // the handle's generation when it was taken
    int32_t length;       // the device's input report length
    HANDLE wake;          // set while the read must end: its handle is being replaced or the program stops
};

// Once before the reader starts; again only after handover_stop has ended it.
void handover_init();

// Reader thread. Returns false once the program is stopping.
bool handover_begin_read(ReadTicket* ticket);
// Reader thread, when its ticket has no handle: sleeps until the GUI thread
// installs one or the program stops, so that a program with no device costs
// nothing while it waits.
void handover_wait_for_handle();
// Reader thread: ends the read of the ticket and, if the handle is still the
// current one and text is not null, shows text in the button-state field.
// failed: the read itself failed, which on the current handle means the
// handle is lost (a read cancelled by a replacement is not counted).
void handover_end_read(const ReadTicket& ticket, const char* text, bool failed = false);
// GUI thread: true once after a read on the current handle failed. A device
// unplugged and plugged again between two watch passes looks present to both,
// while the handles still point to the device that went.
bool handover_take_lost();
// Reader thread, once at its start: lets the GUI thread wait for its end.
// False when the program is already stopping.
bool handover_register_reader();

// GUI thread: the read handle installed last, or null.
HANDLE handover_handle();
// GUI thread: installs a new read handle (null for none) with its device's
// input report length, closing the old one only after any read on it has ended.
void handover_replace(HANDLE read_handle, int32_t report_length = Report_Bytes);
// GUI thread, at exit: stops the reader. True when it has left its loop within
// the time limit, so that nothing it holds points into memory about to be freed.
bool handover_stop(DWORD limit_ms);
