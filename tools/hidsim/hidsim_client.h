// User-mode side of the virtual HID device: installing the drivers into the
// current prefix, and plugging, feeding and watching devices through the
// bus's control channel. Test programs and hidsim.exe link it.
#pragma once

#include <cstdint>

#include "tools/hidsim/hidsim_protocol.h"

// A device to plug: slot 0 is the program's own device by default.
struct HidSimDevice {
    uint32_t slot;
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t version;
    // UTF-8; null for the default, "" for an empty string.
    const char* manufacturer;
    const char* product;
    const char* serial;        // default: "HS" and the slot number, four digits
    uint8_t input_length;      // report lengths the host sees, ID byte included: 2..64
    uint8_t output_length;
};

constexpr uint16_t HidSimDefault_Vendor = 0x1234;
constexpr uint16_t HidSimDefault_Product = 0x0001;
constexpr uint16_t HidSimDefault_Version = 0x0100;
constexpr uint8_t HidSimButton_Pressed = 20;
constexpr uint8_t HidSimButton_Released = 40;

// The default device in a slot: 1234:0001 version 0100, 2-byte reports.
HidSimDevice hidsim_default_device(uint32_t slot);

// Installs both drivers from the INF (a Windows path) and waits until the
// control channel answers. Installing again is harmless.
bool hidsim_install(const char* inf_path);
// Removes the bus (its devices go with it) and waits until the channel is gone.
bool hidsim_uninstall();
// True when the bus's control channel opens.
bool hidsim_available();

bool hidsim_plug(const HidSimDevice& device);
// Waits (up to 5 s) until the host has finished attaching a device it is
// still attaching, then unplugs; returns after the host has removed it.
bool hidsim_unplug(uint32_t slot);
bool hidsim_unplug_all();
// Sends a report as the host will read it: bytes[0] is the report ID (0).
bool hidsim_send_input(uint32_t slot, const uint8_t* bytes, uint32_t length);
// The button's report, {0, 20 or 40, 0...} of the device's input length.
bool hidsim_send_button(uint32_t slot, bool pressed);
// From now on the device sends its current input report every interval_ms,
// changed or not; 0 goes back to sending on change only.
bool hidsim_stream(uint32_t slot, uint32_t interval_ms);
// Holding: output reports stay unanswered inside the device; letting go
// fails them (they are not received) and takes later ones at once again.
bool hidsim_hold(uint32_t slot, bool hold);
// Slowness: each output report stays in the device for delay_ms and is then
// taken as if at once (received, the host's write succeeds); 0 takes them at
// once. The device's own clock times them. Unplugging fails those waiting.
bool hidsim_delay_outputs(uint32_t slot, uint32_t delay_ms);
// Fills out with the output reports received since the last call, and clears them.
bool hidsim_take_outputs(uint32_t slot, HidSimOutputs* out);
bool hidsim_status(uint32_t slot, HidSimStatus* out);

// Waits until the slot's HID interface is there and opens (present), or is
// gone (absent); false on timeout.
bool hidsim_wait_present(uint32_t slot, uint32_t timeout_ms);
bool hidsim_wait_absent(uint32_t slot, uint32_t timeout_ms);
// The slot's HID interface path into buffer; false when there is none.
bool hidsim_interface_path(uint32_t slot, char* buffer, uint32_t size);

// "on", "off", "unknown" or "other".
const char* hidsim_led_name(uint32_t led);
