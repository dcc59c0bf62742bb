// Tests in the simulator's prefix start from an empty bus and leave one:
// every test plugs the devices it needs.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
extern "C" {
#include <hidsdi.h>  // no C++ guards of its own
}

#include <cstdint>
#include <string>

#include "tools/hidsim/hidsim_client.h"

inline bool wait_for_simulator(DWORD timeout_ms) {
    // The bus comes up with the prefix's wineserver, a moment after it starts.
    DWORD start = GetTickCount();
    while (!hidsim_available()) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(20);
    }
    return true;
}

class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(wait_for_simulator(20000)) << "the simulator's control channel does not open";
        ASSERT_TRUE(hidsim_unplug_all());
    }
    void TearDown() override { hidsim_unplug_all(); }

    static HidSimDevice device(uint32_t slot, uint16_t vendor = HidSimDefault_Vendor,
                               uint16_t product = HidSimDefault_Product, uint16_t version = HidSimDefault_Version) {
        HidSimDevice d = hidsim_default_device(slot);
        d.vendor_id = vendor;
        d.product_id = product;
        d.version = version;
        return d;
    }
    // Plugs and waits until the host has the interface open-able.
    static bool plug(const HidSimDevice& d) { return hidsim_plug(d) && hidsim_wait_present(d.slot, 10000); }

    static std::string path_of(uint32_t slot) {
        char path[1024];
        return hidsim_interface_path(slot, path, sizeof path) ? std::string(path) : std::string();
    }
    static HANDLE open_slot(uint32_t slot) {
        std::string path = path_of(slot);
        if (path.empty()) return INVALID_HANDLE_VALUE;
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    }
    // "VVVV:PPPP vXXXX" as the device's attributes give them, or what failed.
    static std::string ids_of(HANDLE device) {
        HIDD_ATTRIBUTES a = {};
        a.Size = sizeof a;
        if (!HidD_GetAttributes(device, &a)) return "<no attributes>";
        char text[32];
        snprintf(text, sizeof text, "%04X:%04X v%04X", a.VendorID, a.ProductID, a.VersionNumber);
        return text;
    }
    static std::string outputs_text(uint32_t slot) {
        static HidSimOutputs outputs;
        if (!hidsim_take_outputs(slot, &outputs)) return "<no answer>";
        std::string text;
        char hex[4];
        for (uint32_t i = 0; i < outputs.count; ++i) {
            if (i) text += " | ";
            for (uint32_t b = 0; b < outputs.reports[i].length; ++b) {
                snprintf(hex, sizeof hex, b ? " %02X" : "%02X", outputs.reports[i].bytes[b]);
                text += hex;
            }
        }
        return text;
    }
};
