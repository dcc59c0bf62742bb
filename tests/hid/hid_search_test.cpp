// Discovery against a scripted enumeration of real files.
#include <algorithm>
#include <cctype>

#include "fake_hid.h"
#include "hid/hid_discovery.h"
#include "runtime/base/string_buffer.h"

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
    EXPECT_EQ(fake.attribute_calls_with_access, 0) << "interfaces were matched through opens for reading and writing";
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

// A path is found by one walk whose opens ask for no access; matching or
// opening one path walks nothing. Only the open for transfers needs read and
// write access, so a device someone holds against writers is found but not
// opened, and the first mode passes over it.
TEST_F(HidSearch, PathsAreFoundMatchedAndOpenedOneByOne) {
    std::string other = add("other", 0x845E, 1, 1);
    std::string first = add("first", Vid, Pid, 0x0100), second = add("second", Vid, Pid, 0x0200);
    char* path = nullptr;
    EXPECT_EQ(hid_find_path(Pid, Vid, HidVersion_Any, 1, &path), 1);
    EXPECT_EQ(std::string(path ? path : "none"), second);
    EXPECT_EQ(hid_find_path(Pid, Vid, 0x0100, 1, &path), 0);
    EXPECT_EQ(path, nullptr) << "the variable kept a path when none was found";
    expect_all_closed_except("");

    std::vector<std::string> each;
    auto collect = [](const char* found, intptr_t user) { reinterpret_cast<std::vector<std::string>*>(user)->push_back(found); };
    EXPECT_EQ(hid_each_path(Pid, Vid, HidVersion_Any, collect, reinterpret_cast<intptr_t>(&each)), 2);
    EXPECT_EQ(each, (std::vector<std::string>{first, second})) << "not every match, or not in enumeration order";
    EXPECT_EQ(hid_each_path(Pid, Vid, HidVersion_Any, nullptr, 0), 0);
    int walks = fake.class_devs_calls;
    EXPECT_EQ(hid_path_matches(first.c_str(), Pid, Vid, HidVersion_Any), 1);
    EXPECT_EQ(hid_path_matches(first.c_str(), Pid, Vid, 0x0200), 0);
    EXPECT_EQ(hid_path_matches(other.c_str(), Pid, Vid, HidVersion_Any), 0);
    EXPECT_EQ(hid_path_matches("C:\\no\\such\\device", Pid, Vid, HidVersion_Any), -1) << "a path that does not open";
    EXPECT_EQ(hid_path_matches(nullptr, Pid, Vid, HidVersion_Any), 0);
    std::string shouted = first;
    std::transform(shouted.begin(), shouted.end(), shouted.begin(), [](unsigned char c) { return std::toupper(c); });
    HANDLE device = hid_open_path(shouted.c_str());
    ASSERT_NE(device, nullptr);
    HIDD_ATTRIBUTES attributes = {HidAttributes_Size, 0, 0, 0};
    EXPECT_TRUE(hid_entries.HidD_GetAttributes(device, &attributes));
    EXPECT_EQ(fake.attribute_calls_with_access, 1) << "the handle for transfers cannot read";
    hid_close_device(device);
    EXPECT_EQ(hid_open_path("C:\\no\\such\\device"), nullptr);
    EXPECT_EQ(hid_open_path(nullptr), nullptr);
    EXPECT_EQ(fake.class_devs_calls, walks) << "matching or opening a path walked";
    expect_all_closed_except("");

    HANDLE holder = CreateFileA(first.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(hid_find_path(Pid, Vid, HidVersion_Any, 0, &path), 1);
    EXPECT_EQ(std::string(path ? path : "none"), first);
    EXPECT_EQ(hid_open_path(first.c_str()), nullptr) << "the holder lets nobody write";
    device = hid_open_device(Pid, Vid, HidVersion_Any, 0);
    EXPECT_NE(device, nullptr);
    EXPECT_TRUE(file_is_open(second)) << "the first mode did not pass over the held device";
    hid_close_device(device);
    CloseHandle(holder);
    string_assign(&path, nullptr);
}

// Opens without access escape the checks of exclusive opens: the handles
// open on the fake's files are counted instead, and with them the process's
// handles and the heaps' blocks. A watch pass that leaked one handle or block
// would leak five a second.
TEST_F(HidSearch, SearchesAndPathQueriesLeaveNothingBehind) {
    add("other", 0x845E, 1, 1);
    std::string device_path = add("device", Vid, Pid, 0x0100);
    char* path = nullptr;
    ASSERT_EQ(fake_files_open(), 0);
    auto count_path = [](const char*, intptr_t user) { ++*reinterpret_cast<int*>(user); };
    int paths = 0;
    ResourceUse before{};
    for (int round = 0; round < 51; ++round) {
        if (round == 1) before = resource_use();  // after the first round made what is made once
        EXPECT_EQ(hid_device_present(Pid, Vid, HidVersion_Any, 0), 1);
        EXPECT_EQ(hid_device_present(Pid, Vid, HidVersion_Any, 1), 0);
        EXPECT_EQ(hid_find_path(Pid, Vid, HidVersion_Any, 0, &path), 1);
        EXPECT_EQ(hid_each_path(Pid, Vid, HidVersion_Any, count_path, reinterpret_cast<intptr_t>(&paths)), 1);
        EXPECT_EQ(hid_path_matches(device_path.c_str(), Pid, Vid, HidVersion_Any), 1);
        EXPECT_EQ(hid_path_matches(fake.interfaces[0].path.c_str(), Pid, Vid, HidVersion_Any), 0);
        hid_close_device(hid_open_path(device_path.c_str()));
        hid_close_device(hid_open_device(Pid, Vid, HidVersion_Any, 0));
    }
    EXPECT_EQ(paths, 51);
    EXPECT_EQ(fake_files_open(), 0) << "handles left open by the searches";
    EXPECT_TRUE(resources_flat(before, resource_use())) << "50 rounds of searches, opens and closes";
    string_assign(&path, nullptr);
}

// Interface paths name the same interface in any case: Windows announces them
// partly upper-cased and enumerates them lower-cased.
TEST(HidPath, PathsAreEqualWithoutRegardToCase) {
    const char* enumerated = "\\\\?\\hid#vid_1234&pid_0001#7&1a2b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    const char* announced = "\\\\?\\HID#VID_1234&PID_0001#7&1a2b3c&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030}";
    const char* another = "\\\\?\\hid#vid_1234&pid_0001#7&1a2b3c&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    EXPECT_TRUE(hid_path_equal(enumerated, announced));
    EXPECT_FALSE(hid_path_equal(enumerated, another));
    EXPECT_FALSE(hid_path_equal(enumerated, "\\\\?\\hid#vid_1234&pid_0001"));
    EXPECT_FALSE(hid_path_equal(nullptr, enumerated));
    EXPECT_FALSE(hid_path_equal(nullptr, nullptr));
}

TEST_F(HidSearch, AnyMissingEntryYieldsNullWithoutASystemCall) {
    add("first", Vid, Pid, 0x0100);
    const int needed[] = {HidEntry_HidD_GetHidGuid, HidEntry_HidD_GetAttributes, HidEntry_SetupDiEnumDeviceInterfaces,
                          HidEntry_SetupDiGetDeviceInterfaceDetailA, HidEntry_SetupDiGetClassDevsA,
                          HidEntry_SetupDiDestroyDeviceInfoList};
    for (int entry : needed) {
        fake_bind_all();
        fake_clear_entry(entry);
        EXPECT_EQ(hid_open_device(Pid, Vid, HidVersion_Any, 0), nullptr) << hid_entry_name(entry);
        EXPECT_EQ(hid_device_present(Pid, Vid, HidVersion_Any, 0), 0) << hid_entry_name(entry);
        char* path = nullptr;
        EXPECT_EQ(hid_find_path(Pid, Vid, HidVersion_Any, 0, &path), 0) << hid_entry_name(entry);
    }
    GUID guid;
    fake_clear_entry(HidEntry_HidD_GetHidGuid);
    EXPECT_EQ(hid_interface_class(&guid), 0);
    fake_clear_entry(HidEntry_HidD_GetAttributes);
    EXPECT_EQ(hid_path_matches(fake.interfaces[0].path.c_str(), Pid, Vid, HidVersion_Any), 0)
        << "without the attribute query nothing can match, nor be worth trying again";
    EXPECT_EQ(fake.class_devs_calls, 0);
    EXPECT_EQ(fake.enum_calls + fake.detail_calls + fake.attribute_calls, 0);
    // The entries the search does not call are not needed.
    fake_bind_all();
    for (int entry = HidEntry_HidD_GetPreparsedData; entry <= HidEntry_HidD_GetIndexedString; ++entry)
        fake_clear_entry(entry);
    EXPECT_EQ(hid_device_present(Pid, Vid, HidVersion_Any, 0), 1);
}

}  // namespace
