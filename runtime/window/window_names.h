// The names the runtime gives the system: the window properties that tie system
// windows to runtime numbers and state, and the registered messages. Window and
// gadget code spell them only through this header.
#pragma once
#include <windows.h>

#include "runtime/base/object_table.h"

// Inline: one copy in the program, however many files spell a name.

// On every runtime window: its number plus one, since a missing property reads as 0.
inline constexpr char Property_WindowId[] = "Vel_WindowID";
// On every gadget's control: its gadget number, which is also its control ID.
inline constexpr char Property_GadgetId[] = "Vel_ID";
// The control that had the focus when the window was deactivated.
inline constexpr char Property_Focus[] = "Vel_Focus";
// A hot-key control, which takes every key itself.
inline constexpr char Property_Hotkey[] = "Vel_Hotkey";
// Set on a window registered as a drop target, which must be revoked before it goes.
inline constexpr char Property_DropAccept[] = "Vel_DropAccept";
// The MDI client of a frame window.
inline constexpr char Property_MdiGadget[] = "Vel_MDI_Gadget";
// The gadget-list record of a window, per module instance (%i is the module handle).
inline constexpr char Property_GadgetStackFormat[] = "Vel_GadgetStack_%i";

inline constexpr char Message_PostEvent[] = "Vel_PostEventMessage";
inline constexpr char Message_GadgetSetText[] = "Vel_GadgetSetText";

inline void window_number_store(HWND window, ObjectNumber number) {
    SetPropA(window, Property_WindowId, reinterpret_cast<HANDLE>(number + 1));
}

// The runtime number stored on window itself, or -1 when it has none.
inline ObjectNumber window_number_stored(HWND window) {
    return reinterpret_cast<ObjectNumber>(GetPropA(window, Property_WindowId)) - 1;
}
