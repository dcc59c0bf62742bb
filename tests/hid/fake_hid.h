// A scripted HID world for the hid/ unit tests: the entry table is filled with
// these functions and the two load-time SetupDi imports are replaced at link
// level, while device handles are real files (discovery) or named pipes
// (transfer), so opens, closes, reads and writes are the system's own.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "../runtime/base/base_fixture.h"
#include "hid/hid_binding.h"

struct FakeInterface {
    std::string path;            // what the detail data reports
    DWORD reported_size = 0;     // 0: the real size of the detail data
    bool no_detail = false;      // the size query reports nothing
    bool unterminated = false;   // a stray byte where the path's NUL belongs, the block's last
};

struct FakeHid {
    std::vector<FakeInterface> interfaces;
    bool class_devs_fail = false;
    int class_devs_good = -1;     // class queries that succeed before the rest fail (-1: all)
    int class_devs_calls = 0;     // one per walk
    void (*on_walk)() = nullptr;  // runs as a walk begins, as a message served meanwhile would
    size_t set_size = 0;          // interfaces listed when the walk's set was asked for
    DWORD class_devs_flags = 0;
    int destroy_calls = 0;
    int enum_calls = 0;
    DWORD highest_enum_index = 0;
    int detail_calls = 0;
    bool bad_cb_size = false;     // a structure arrived with a wrong cbSize
    int attribute_calls = 0;
    int attribute_calls_with_access = 0;  // on a handle that could read and write
    int other_calls = 0;          // preparsed data freed that the fake did not give
    std::wstring manufacturer = L"Acme";
    std::wstring product = L"LED board";
    std::wstring serial = L"";
    bool strings_fail = false;
    bool preparsed_fail = false;
    HIDP_CAPS caps = {};
    NTSTATUS caps_status = HIDP_STATUS_SUCCESS;  // the caps are written whatever the status
};
extern FakeHid fake;

// Fills the entry table with the fakes of the entries the layer calls; the
// rest stay null, which also shows the layer does without them.
void fake_bind_all();
void fake_unbind_all();
// Empties one slot, named by its place (the table is its slots in list order).
void fake_clear_entry(int32_t entry);
const char* hid_entry_name(int32_t entry);

// A device file whose first bytes are the attributes the fake reports; a
// plain (empty) file makes the attribute query fail.
std::string make_device_file(const std::string& name, WORD vendor, WORD product, WORD version);
std::string make_plain_file(const std::string& name);
// True when some handle is still open on the file (an exclusive open fails).
bool file_is_open(const std::string& path);
// Handles open on the fake's files, whatever their access; counted at the
// program's imports of CreateFileA and CloseHandle.
int fake_files_open();

class FakeHidTest : public BaseRuntime {
protected:
    void SetUp() override {
        BaseRuntime::SetUp();
        fake = FakeHid{};
        fake_bind_all();
    }
    void TearDown() override {
        fake_unbind_all();
        BaseRuntime::TearDown();
    }
};
