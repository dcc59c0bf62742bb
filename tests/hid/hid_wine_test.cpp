// The layer against Wine's own hid.dll and setupapi.dll, no fakes: binding,
// a search on the interfaces Wine itself exposes, and release.
#include "../runtime/base/base_fixture.h"
#include "hid/hid_discovery.h"
#include "hid/hid_transfer.h"

namespace {

class HidWine : public BaseRuntime {
protected:
    void SetUp() override {
        BaseRuntime::SetUp();
        hid_bind();
    }
    void TearDown() override {
        hid_unbind();
        hid_entries = {};
        BaseRuntime::TearDown();
    }
};

// The stand-in hid.dll that CMake puts beside this program is not the one bound.
bool in_system_folder(HMODULE library) {
    char folder[MAX_PATH], path[MAX_PATH];
    UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (GetModuleFileNameA(library, path, MAX_PATH) <= length || path[length] != '\\') return false;
    path[length] = '\0';
    return lstrcmpiA(path, folder) == 0;
}

// The list of Wine's own interfaces is hid_list's test (tools/hid_list); here
// the first mode and the caps on a real device, once bound.
TEST_F(HidWine, BindsEachEntryByItsOwnNameAndOpensWinesMouseByItsVendor) {
    ASSERT_NE(hid_entries.hid_library, nullptr);
    ASSERT_NE(hid_entries.setupapi_library, nullptr);
    EXPECT_TRUE(in_system_folder(hid_entries.hid_library) && in_system_folder(hid_entries.setupapi_library));
    EXPECT_EQ(hid_entries.hid_library, GetModuleHandleA("hid.dll"));
#define EXPECT_BOUND(name, library)                                                              \
    EXPECT_NE(reinterpret_cast<void*>(hid_entries.name), nullptr) << #name;                      \
    EXPECT_EQ(reinterpret_cast<void*>(hid_entries.name),                                         \
              reinterpret_cast<void*>(GetProcAddress(hid_entries.library, #name))) << #name;
    HID_ENTRY_LIST(EXPECT_BOUND)
#undef EXPECT_BOUND

    EXPECT_EQ(hid_device_present(0x0001, 0x1234, HidVersion_Any, 0), 0);
    // Wine's mouse has product 1 under its own vendor: the vendor must decide.
    HANDLE mouse = hid_open_device(0x0001, 0x845E, HidVersion_Any, 0);
    ASSERT_NE(mouse, nullptr);
    HIDP_CAPS caps = {};
    EXPECT_EQ(hid_get_caps(mouse, &caps), 1);
    EXPECT_GT(caps.InputReportByteLength, 0);
    hid_close_device(mouse);
}

TEST(HidWineRelease, UnbindReleasesOnlyWhatWasLoaded) {
    ASSERT_EQ(GetModuleHandleA("hid.dll"), nullptr) << "nothing else holds hid.dll in this program";
    ASSERT_EQ(GetModuleHandleA("setupapi.dll"), nullptr) << "setupapi.dll is loaded: an earlier case's unbind left it, or another module holds it";
    hid_bind();
    EXPECT_NE(GetModuleHandleA("hid.dll"), nullptr);
    hid_unbind();
    EXPECT_EQ(GetModuleHandleA("hid.dll"), nullptr);
    EXPECT_EQ(GetModuleHandleA("setupapi.dll"), nullptr) << "setupapi.dll was left loaded";

    // As after a failed load of hid.dll: only setupapi.dll is released, once.
    hid_entries = {};
    bool held_before = GetModuleHandleA("setupapi.dll") != nullptr;
    hid_entries.setupapi_library = LoadLibraryA("setupapi.dll");
    ASSERT_NE(hid_entries.setupapi_library, nullptr);
    hid_unbind();
    EXPECT_EQ(GetModuleHandleA("hid.dll"), nullptr);
    EXPECT_EQ(GetModuleHandleA("setupapi.dll") != nullptr, held_before)
        << "setupapi.dll was not released, or was released once more than it was loaded";
    hid_entries = {};
}

}  // namespace
