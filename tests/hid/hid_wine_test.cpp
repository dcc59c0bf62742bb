// The layer against Wine's own hid.dll and setupapi.dll, no fakes: binding,
// enumeration of the interfaces Wine itself exposes, and release.
#include "../runtime/base/base_fixture.h"
#include "hid/hid_discovery.h"
#include "hid/hid_transfer.h"

#include <cstdio>

namespace {

class HidWine : public BaseRuntime {
protected:
    void SetUp() override {
        BaseRuntime::SetUp();
        hid_entries = {};
        hid_bind();
    }
    void TearDown() override {
        hid_unbind();
        hid_entries = {};
        BaseRuntime::TearDown();
    }
};

// Every slot holds the address of its own name in its own library.
TEST_F(HidWine, BindsEachEntryByItsOwnName) {
    ASSERT_NE(hid_entries.hid_library, nullptr);
    ASSERT_NE(hid_entries.setupapi_library, nullptr);
    EXPECT_EQ(hid_entries.hid_library, GetModuleHandleA("hid.dll"));
#define EXPECT_BOUND(name, library)                                                              \
    EXPECT_NE(reinterpret_cast<void*>(hid_entries.name), nullptr) << #name;                      \
    EXPECT_EQ(reinterpret_cast<void*>(hid_entries.name),                                         \
              reinterpret_cast<void*>(GetProcAddress(hid_entries.library, #name))) << #name;
    HID_ENTRY_LIST(EXPECT_BOUND)
#undef EXPECT_BOUND
}

TEST_F(HidWine, OwnInterfacesAreEnumeratedButDoNotMatchTheDevice) {
    auto* list = static_cast<HidDeviceList*>(main_heap_alloc(sizeof(HidDeviceList)));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(hid_search(0, 0, 0, 0, hid_collect_device_info, reinterpret_cast<intptr_t>(list)), nullptr);
    int wine_devices = 0;
    for (int i = 0; i < list->count; ++i) {
        const HidDeviceRecord& r = list->records[i];
        std::printf("  %04X:%04X v%04X in=%u out=%u feat=%u bufs=%u \"%s\" \"%s\" \"%s\"\n", r.vendor_id,
                    r.product_id, r.version_number, r.input_report_length, r.output_report_length,
                    r.feature_report_length, r.input_buffers, r.manufacturer, r.product, r.serial_number);
        if (r.vendor_id == 0x845E) ++wine_devices;
        EXPECT_FALSE(r.vendor_id == 0x1234 && r.product_id == 0x0001);
    }
    EXPECT_GE(wine_devices, 1) << "Wine's own HID interfaces should be enumerated";
    hid_device_list_clear(list);
    main_heap_free(list);

    EXPECT_EQ(hid_open_device(0x0001, 0x1234, HidVersion_Any, 0), nullptr);
    EXPECT_EQ(hid_device_present(0x0001, 0x1234, HidVersion_Any, 0), 0);
    // Wine's mouse has product 1 under its own vendor: the vendor must decide.
    HANDLE mouse = hid_open_device(0x0001, 0x845E, HidVersion_Any, 0);
    EXPECT_NE(mouse, nullptr);
    HIDP_CAPS caps = {};
    EXPECT_EQ(hid_get_caps(mouse, &caps), 1);
    EXPECT_GT(caps.InputReportByteLength, 0);
    hid_close_device(mouse);
}

TEST(HidWineRelease, UnbindReleasesOnlyWhatWasLoaded) {
    ASSERT_EQ(GetModuleHandleA("hid.dll"), nullptr) << "nothing else holds hid.dll in this program";
    hid_entries = {};
    hid_bind();
    EXPECT_NE(GetModuleHandleA("hid.dll"), nullptr);
    hid_unbind();
    EXPECT_EQ(GetModuleHandleA("hid.dll"), nullptr);

    // As after a failed load of hid.dll: only setupapi.dll is released, once.
    hid_entries = {};
    hid_entries.setupapi_library = LoadLibraryA("setupapi.dll");
    ASSERT_NE(hid_entries.setupapi_library, nullptr);
    hid_unbind();
    EXPECT_NE(GetModuleHandleA("setupapi.dll"), nullptr) << "the load-time import keeps it";
    hid_entries = {};
}

}  // namespace
