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

// What CreateProcess and the installer take for a path of the build tree.
inline std::string windows_path(const char* unix_path) {
    std::string path = "Z:";
    for (const char* p = unix_path; *p; ++p) path += *p == '/' ? '\\' : *p;
    return path;
}

class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The bus comes up with the prefix's wineserver, a moment after it starts.
        for (DWORD start = GetTickCount(); !hidsim_available(); Sleep(20))
            ASSERT_LT(GetTickCount() - start, 20000u) << "the simulator's control channel does not open";
        ASSERT_TRUE(hidsim_unplug_all());
    }
    void TearDown() override {
        if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
        hidsim_unplug_all();
    }

    // Plugs and waits until the host has the interface open-able.
    static bool plug(uint32_t slot) {
        return hidsim_plug(hidsim_default_device(slot)) && hidsim_wait_present(slot, 10000);
    }

    // Plugs slot 0 and opens it as device, which TearDown closes.
    bool plug_and_open() { return plug(0) && (device = open_slot(0)) != INVALID_HANDLE_VALUE; }
    HANDLE device = INVALID_HANDLE_VALUE;

    static std::string path_of(uint32_t slot) {
        char path[1024];
        return hidsim_interface_path(slot, path, sizeof path) ? std::string(path) : std::string();
    }
    static HANDLE open_slot(uint32_t slot, DWORD flags = 0) {
        return CreateFileA(path_of(slot).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, flags, nullptr);
    }
    // The slot's status; zeros, and a failure, when the simulator does not answer.
    static HidSimStatus status_of(uint32_t slot) {
        HidSimStatus status = {};
        EXPECT_TRUE(hidsim_status(slot, &status)) << "no status for slot " << slot;
        return status;
    }
    // "VVVV:PPPP vXXXX" as the device's attributes give them, or what failed.
    static std::string ids_of(HANDLE device) {
        HIDD_ATTRIBUTES a = {sizeof a, 0, 0, 0};
        if (!HidD_GetAttributes(device, &a)) return "<no attributes>";
        char text[32];
        snprintf(text, sizeof text, "%04X:%04X v%04X", a.VendorID, a.ProductID, a.VersionNumber);
        return text;
    }
    // Bytes as two hex digits each.
    static std::string hex_of(const uint8_t* bytes, uint32_t count) {
        std::string text;
        char digits[4];
        for (uint32_t i = 0; i < count; ++i) {
            snprintf(digits, sizeof digits, "%02X", bytes[i]);
            text += digits;
        }
        return text;
    }
    // One input report of the length asked for, in hex, or what failed.
    static std::string read_report(HANDLE device, uint32_t length = 2) {
        uint8_t got[HIDSIM_MAX_REPORT];
        DWORD n = 0;
        if (!ReadFile(device, got, length, &n, nullptr)) return "<error " + std::to_string(GetLastError()) + ">";
        return hex_of(got, n);
    }
    // The output reports since the last call, as hex words.
    static std::string outputs_text(uint32_t slot) {
        static HidSimOutputs outputs;
        if (!hidsim_take_outputs(slot, &outputs)) return "<no answer>";
        std::string text;
        for (uint32_t i = 0; i < outputs.count; ++i)
            text += (i ? " " : "") + hex_of(outputs.reports[i].bytes, outputs.reports[i].length);
        return text;
    }
};
