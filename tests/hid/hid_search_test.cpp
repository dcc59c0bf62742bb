// Discovery against a scripted enumeration of real files.
#include "fake_hid.h"
#include "hid/hid_discovery.h"

namespace {

constexpr WORD Vid = 0x1234, Pid = 0x0001;

class HidSearch : public FakeHidTest {
protected:
    std::string add(const std::string& name, WORD vendor, WORD product, WORD version) {
        std::string path = make_device_file(name, vendor, product, version);
        fake.interfaces.push_back({path});
        return path;
    }
    void expect_all_closed_except(const std::string& keep) {
        for (const FakeInterface& item : fake.interfaces) {
            EXPECT_EQ(file_is_open(item.path), item.path == keep) << item.path;
        }
    }
};

// Each search stops at its match and closes every handle but the match's.
TEST_F(HidSearch, VendorProductVersionAndIndexMustAllMatch) {
    add("swapped", Pid, Vid, 0x0100);
    add("vendor_only", Vid, 0x0009, 0x0100);
    add("product_only", 0x0009, Pid, 0x0100);
    std::string v200 = add("v200", Vid, Pid, 0x0200);
    std::string v100 = add("v100", Vid, Pid, 0x0100);
    std::string vffff = add("vffff", Vid, Pid, 0xFFFF);
    struct Case {
        int16_t version;
        uint16_t index;
        std::string found;  // empty: none
        int examined;       // interfaces whose attributes were read
    };
    const Case cases[] = {{0x0100, 0, v100, 5},        {0x0100, 1, "", 6},          {HidVersion_Any, 0, v200, 4},
                          {HidVersion_Any, 1, v100, 5}, {HidVersion_Any, 2, vffff, 6}, {0x0300, 0, "", 6}};
    for (const Case& c : cases) {
        fake.attribute_calls = 0;
        HANDLE device = hid_open_device(Pid, Vid, c.version, c.index);
        EXPECT_EQ(device != nullptr, !c.found.empty()) << "version " << c.version << " index " << c.index;
        EXPECT_EQ(fake.attribute_calls, c.examined) << "version " << c.version << " index " << c.index;
        expect_all_closed_except(c.found);
        EXPECT_EQ(hid_close_device(device), device ? 1 : 0);
    }
    EXPECT_EQ(fake.destroy_calls, 6) << "one set a search, each destroyed";
    EXPECT_EQ(fake.class_devs_flags, 0x12u);
    EXPECT_FALSE(fake.bad_cb_size);
}

TEST_F(HidSearch, NoDeviceNoSetAndPresenceLeavesNothingOpen) {
    EXPECT_EQ(hid_open_device(Pid, Vid, HidVersion_Any, 0), nullptr);
    EXPECT_EQ(fake.destroy_calls, 1);
    EXPECT_EQ(hid_device_present(Pid, Vid, HidVersion_Any, 0), 0);
    EXPECT_EQ(hid_close_device(nullptr), 0);

    std::string path = add("first", Vid, Pid, 0x0100);
    EXPECT_EQ(hid_device_present(Pid, Vid, HidVersion_Any, 0), 1);
    EXPECT_FALSE(file_is_open(path));

    fake.class_devs_fail = true;
    const int enumerated = fake.enum_calls;
    EXPECT_EQ(hid_open_device(Pid, Vid, HidVersion_Any, 0), nullptr);
    EXPECT_EQ(fake.enum_calls, enumerated) << "nothing may be enumerated without a set";
}

TEST_F(HidSearch, UnreadableAttributesFailedOpensAndMissingDetailAreSkipped) {
    fake.interfaces.push_back({make_plain_file("no_attributes")});
    fake.interfaces.push_back({"C:\\no\\such\\device"});
    fake.interfaces.push_back({"", 0, true});                      // no size at all
    fake.interfaces.push_back({"huge", 0x7FFFFFF0u});              // size that cannot be allocated
    fake.interfaces.push_back({"tiny", 5});                        // room for no path
    std::string device_path = add("device", Vid, Pid, 0x0100);
    fake.interfaces.push_back({device_path, 0, false, true});     // no NUL: the stray byte is cut off

    HANDLE device = hid_open_device(Pid, Vid, HidVersion_Any, 0);
    ASSERT_NE(device, nullptr);
    expect_all_closed_except(device_path);
    EXPECT_EQ(fake.attribute_calls, 2) << "only the plain file and the device open";
    hid_close_device(device);
    device = hid_open_device(Pid, Vid, HidVersion_Any, 1);
    EXPECT_NE(device, nullptr) << "the path written without its NUL was not opened";
    hid_close_device(device);
    // Attributes that could not be read are not those of a device 0000:0000.
    EXPECT_EQ(hid_device_present(0, 0, HidVersion_Any, 0), 0);
}

TEST_F(HidSearch, ExaminesAtMost256Interfaces) {
    std::string filler = make_device_file("filler", 0x845E, 0x0001, 1);
    for (int i = 0; i < 300; ++i) fake.interfaces.push_back({filler});
    // A matching device beyond the 256th interface is never reached.
    fake.interfaces[256] = {make_device_file("late", Vid, Pid, 0x0100)};
    EXPECT_EQ(hid_open_device(Pid, Vid, HidVersion_Any, 0), nullptr);
    EXPECT_EQ(fake.highest_enum_index, 255u);
    EXPECT_EQ(fake.attribute_calls, 256);
    EXPECT_FALSE(file_is_open(filler));

    fake.interfaces[255] = fake.interfaces[256];
    HANDLE device = hid_open_device(Pid, Vid, HidVersion_Any, 0);
    EXPECT_NE(device, nullptr) << "the 256th interface is still examined";
    hid_close_device(device);
}

struct CallbackLog {
    std::vector<std::string> open_before;  // files still open when the callback ran
    int calls = 0;
};

int32_t record_callback(HANDLE, intptr_t user) {
    auto* log = reinterpret_cast<CallbackLog*>(user);
    ++log->calls;
    for (const FakeInterface& item : fake.interfaces)
        if (file_is_open(item.path)) log->open_before.push_back(item.path);
    return 1;
}

TEST_F(HidSearch, SecondModePassesEachOpenableInterfaceInTurnWhenTheUserValueIsNotZero) {
    std::string a = add("a", 0x845E, 1, 1);
    fake.interfaces.push_back({"C:\\no\\such\\device"});
    std::string b = add("b", Vid, Pid, 0x0100);
    std::string c = add("c", 7, 7, 7);
    CallbackLog log;
    EXPECT_EQ(hid_search(0, 0, 0, 0, record_callback, reinterpret_cast<intptr_t>(&log)), nullptr);
    EXPECT_EQ(log.calls, 3);
    // During each callback exactly its own device is open: the previous one
    // was closed when its callback returned.
    EXPECT_EQ(log.open_before, (std::vector<std::string>{a, b, c}));
    EXPECT_EQ(fake.attribute_calls, 0) << "the second mode applies no criteria";
    expect_all_closed_except("");
    EXPECT_EQ(fake.destroy_calls, 1);

    // A user value of zero runs the first mode: were the callback called, it would crash on the null log.
    HANDLE device = hid_search(Pid, Vid, HidVersion_Any, 0, record_callback, 0);
    ASSERT_NE(device, nullptr);
    expect_all_closed_except(b);
    hid_close_device(device);
}

TEST_F(HidSearch, AnyMissingEntryYieldsNullWithoutASystemCall) {
    add("first", Vid, Pid, 0x0100);
    const int needed[] = {HidEntry_HidD_GetHidGuid, HidEntry_HidD_GetAttributes, HidEntry_SetupDiEnumDeviceInterfaces,
                          HidEntry_SetupDiGetDeviceInterfaceDetailA};
    for (int entry : needed) {
        fake_bind_all();
        fake_clear_entry(entry);
        EXPECT_EQ(hid_open_device(Pid, Vid, HidVersion_Any, 0), nullptr) << hid_entry_name(entry);
        EXPECT_EQ(hid_device_present(Pid, Vid, HidVersion_Any, 0), 0) << hid_entry_name(entry);
    }
    EXPECT_EQ(fake.class_devs_calls, 0);
    EXPECT_EQ(fake.enum_calls + fake.detail_calls + fake.attribute_calls, 0);
    // The entries the search does not call are not needed.
    fake_bind_all();
    for (int entry = HidEntry_HidD_GetPreparsedData; entry <= HidEntry_HidD_GetIndexedString; ++entry)
        fake_clear_entry(entry);
    EXPECT_EQ(hid_device_present(Pid, Vid, HidVersion_Any, 0), 1);
}

}  // namespace
