// Transfers through real named pipes; device strings, capabilities and the
// device list through the scripted entry table.
#include "fake_hid.h"
#include "hid/hid_transfer.h"
#include "pipe_device.h"

#include <cstring>

namespace {

bool g_cancel_ignored = false;

BOOL WINAPI cancel_io(HANDLE file) {
    if (g_cancel_ignored) return TRUE;
    auto real = reinterpret_cast<decltype(&::CancelIo)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CancelIo")));
    return real(file);
}

}  // namespace

extern "C" {
void* cancel_io_import __asm__(IMPORT_SYMBOL(CancelIo, 4)) = reinterpret_cast<void*>(&cancel_io);
}

namespace {

using HidTransfer = FakeHidTest;

TEST_F(HidTransfer, WholeReportsEachWayAndZeroForBadArgumentsOrAGoneDevice) {
    PipeDevice pipe;
    unsigned char report[2] = {0x00, 0x55};
    const struct {
        HANDLE device;
        unsigned char* report;
        int32_t length;
    } bad[] = {{pipe.client, report, 0}, {pipe.client, report, -2}, {pipe.client, nullptr, 2}, {nullptr, report, 2}};
    for (const auto& b : bad) EXPECT_EQ(hid_write_report(b.device, b.report, b.length), 0) << "bad case " << &b - bad;
    // Had any of them reached WriteFile, a message (maybe an empty one) would
    // arrive before this one.
    EXPECT_EQ(hid_write_report(pipe.client, report, 2), 2);
    unsigned char got[8] = {};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(pipe.server, got, sizeof got, &n, nullptr));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(got[1], 0x55);
    EXPECT_EQ(pipe.pending_bytes(pipe.server), 0u);

    const unsigned char pressed[2] = {0x00, 20};
    ASSERT_TRUE(WriteFile(pipe.server, pressed, 2, &n, nullptr));
    for (const auto& b : bad) EXPECT_EQ(hid_read_report(b.device, b.report, b.length), 0) << "bad case " << &b - bad;
    EXPECT_EQ(pipe.pending_bytes(pipe.client), 2u) << "the pending report must not have been consumed";
    EXPECT_EQ(hid_read_report(pipe.client, report, 2), 2);
    EXPECT_EQ(report[1], 20);

    PipeDevice gone;
    CloseHandle(gone.server);  // the device goes away
    gone.server = nullptr;
    EXPECT_EQ(hid_write_report(gone.client, report, 2), 0);
    EXPECT_EQ(hid_read_report(gone.client, report, 2), 0);
    CloseHandle(gone.client);
    CloseHandle(pipe.client);
}

// A device that takes no report holds neither side: the write gives up after
// its limit, a read blocked on a quiet device ends when woken, and both work
// again as soon as the device does. The transfers run on threads of their
// own, so that one that never ends fails here instead of hanging the program
// (what is left behind then is leaked, not freed under the thread).
struct Transfer {
    PipeDevice pipe;
    HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    int32_t taken = 0;  // writes that went before one waited
    int32_t result = -1;
    unsigned char report[2] = {0x00, 0xAA};
    // Nobody reads the pipe: once its buffer is full, writes wait.
    static DWORD WINAPI fill(LPVOID self) {
        auto* t = static_cast<Transfer*>(self);
        while (t->taken < 256 && (t->result = hid_write_report(t->pipe.client, t->report, 2)) == 2) ++t->taken;
        return 0;
    }
    static DWORD WINAPI read(LPVOID self) {
        auto* t = static_cast<Transfer*>(self);
        t->result = hid_read_report(t->pipe.client, t->report, 2, t->wake);
        return 0;
    }
};

TEST_F(HidTransfer, TransfersEndOnADeviceThatTakesOrSendsNothing) {
    auto* held = new Transfer;
    DWORD start = GetTickCount();
    HANDLE writer = CreateThread(nullptr, 0, Transfer::fill, held, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(writer, 5000), WAIT_OBJECT_0)
        << "a write into a full pipe did not give up; " << held->taken << " writes went before";
    DWORD waited = GetTickCount() - start;
    EXPECT_EQ(held->result, 0);
    EXPECT_GE(waited + 20, HidWrite_LimitMs) << "gave up before its limit";
    unsigned char got[2] = {};
    DWORD n = 0;
    int32_t arrived = 0;
    for (; held->pipe.pending_bytes(held->pipe.server); ++arrived)
        ASSERT_TRUE(ReadFile(held->pipe.server, got, 2, &n, nullptr));
    EXPECT_EQ(arrived, held->taken) << "the write that gave up still reached the device";
    EXPECT_EQ(hid_write_report(held->pipe.client, held->report, 2), 2) << "writes did not work again";

    auto* quiet = new Transfer;
    HANDLE reader = CreateThread(nullptr, 0, Transfer::read, quiet, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(reader, 300), static_cast<DWORD>(WAIT_TIMEOUT)) << "a quiet read ended by itself";
    SetEvent(quiet->wake);
    ASSERT_EQ(WaitForSingleObject(reader, 5000), WAIT_OBJECT_0) << "the woken read did not end";
    EXPECT_EQ(quiet->result, 0);
    const unsigned char pressed[2] = {0x00, 20};
    ASSERT_TRUE(WriteFile(quiet->pipe.server, pressed, 2, &n, nullptr));
    ResetEvent(quiet->wake);
    EXPECT_EQ(hid_read_report(quiet->pipe.client, got, 2, quiet->wake), 2) << "the report after the wake was lost";
    EXPECT_EQ(got[1], 20);
    for (Transfer* t : {held, quiet}) {
        CloseHandle(t->pipe.client);
        CloseHandle(t->wake);
        delete t;
    }
    for (HANDLE thread : {writer, reader}) CloseHandle(thread);
}

HANDLE const some_device = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x44));

// Wine's device host ignores a cancel: a write given up on stays in the
// device until the device ends it. The layer keeps it until then, later
// writes fail at once meanwhile, and the first write after it has ended frees
// it, with its event, and goes through.
TEST_F(HidTransfer, AWriteTheDeviceStillHoldsIsKeptUntilItEnds) {
    auto* held = new Transfer;
    ResourceUse before = resource_use();
    g_cancel_ignored = true;
    // On this thread: a thread's exit cancels its transfers, which would end the held one.
    Transfer::fill(held);
    EXPECT_EQ(held->result, 0) << "the write into the full pipe did not give up";
    DWORD start = GetTickCount();
    EXPECT_EQ(hid_write_report(held->pipe.client, held->report, 2), 0) << "a write while the device holds one";
    DWORD waited = GetTickCount() - start;
    EXPECT_LT(waited, HidWrite_LimitMs / 2) << "a write behind one still held waited instead of failing at once";
    g_cancel_ignored = false;
    // The device takes what it holds, the one given up on last.
    unsigned char got[2] = {};
    DWORD n = 0;
    for (int quiet = 0; quiet < 5; Sleep(20))
        quiet = held->pipe.pending_bytes(held->pipe.server) && ReadFile(held->pipe.server, got, 2, &n, nullptr) ? 0 : quiet + 1;
    EXPECT_EQ(hid_write_report(held->pipe.client, held->report, 2), 2) << "writes did not work again";
    ResourceUse after = resource_use();
    EXPECT_TRUE(after.memory_blocks == before.memory_blocks && after.handles <= before.handles)
        << "before: " << describe(before) << "\n after: " << describe(after);
    CloseHandle(held->pipe.client);
    CloseHandle(held->wake);
    delete held;
}


// The reader reads a hundred times a second and each click writes: a handle
// or block kept per transfer, per woken read or per string asked for grows the
// program for as long as it runs.
TEST_F(HidTransfer, RepeatedTransfersGiveBackTheirHandlesAndBlocks) {
    PipeDevice pipe;
    HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto round = [&] {
        unsigned char command[2] = {0x00, 0xAA}, got[2] = {};
        const unsigned char pressed[2] = {0x00, 20};
        DWORD n = 0;
        bool ok = hid_write_report(pipe.client, command, 2) == 2 && ReadFile(pipe.server, got, 2, &n, nullptr) &&
                  WriteFile(pipe.server, pressed, 2, &n, nullptr) && hid_read_report(pipe.client, got, 2, wake) == 2;
        SetEvent(wake);  // a read woken at once, as at a hand-over
        ok = ok && hid_read_report(pipe.client, got, 2, wake) == 0;
        ResetEvent(wake);
        const int32_t start = string_buffer.length;
        ok = ok && *hid_product_string(some_device, start) != 0;
        string_buffer.length = start;
        HIDP_CAPS caps = {};
        return ok && hid_get_caps(some_device, &caps) == 1;
    };
    EXPECT_TRUE(keeps_nothing(100, round)) << "100 rounds of a write, two reads, a string and caps";
    CloseHandle(wake);
    CloseHandle(pipe.client);
}


TEST_F(HidTransfer, StringsAreConvertedToTheAnsiCodePageAndTerminatedOrEmpty) {
    fake.manufacturer = L"\x041E\x041E\x041E \"\x0412\x0435\x043B\"";  // ООО "Вел"
    const int32_t start = string_buffer.length;
    char* text = hid_manufacturer_string(some_device, start);
    EXPECT_STREQ(text, "\xCE\xCE\xCE \"\xC2\xE5\xEB\"");
    EXPECT_EQ(string_buffer.length, start + 9) << "length stands on the result's NUL";
    string_buffer.length = start;

    fake.serial = L"";
    EXPECT_STREQ(hid_serial_string(some_device, start), "");
    EXPECT_EQ(string_buffer.length, start);

    EXPECT_STREQ(hid_manufacturer_string(nullptr, start), "");
    fake.strings_fail = true;
    EXPECT_STREQ(hid_product_string(some_device, start), "");
    fake.strings_fail = false;
    hid_entries.HidD_GetSerialNumberString = nullptr;
    EXPECT_STREQ(hid_serial_string(some_device, start), "");
    // The result lands at the position asked for, after text already built.
    string_append("prefix");
    const int32_t at = string_buffer.length;
    EXPECT_EQ(hid_product_string(some_device, at), string_buffer.buffer + at);
    EXPECT_STREQ(string_buffer.buffer + start, "prefixLED board");
    // Also when the text makes the buffer grow with a block behind it, so
    // that it moves.
    const int32_t edge = string_buffer.capacity - 6;
    string_buffer_reserve(0, edge);
    char* behind = nullptr;
    string_assign(&behind, "behind");
    const char* before = string_buffer.buffer;
    char* moved = hid_product_string(some_device, edge);
    EXPECT_NE(string_buffer.buffer, before) << "the buffer grew in place: the case was not made";
    EXPECT_EQ(moved, string_buffer.buffer + edge);
    EXPECT_STREQ(string_buffer.buffer + edge, "LED board");
    string_assign(&behind, nullptr);

    fake.product = std::wstring(300, L'x');  // the fake fills the 252 bytes offered, no terminator
    // Dirt in the buffer where the text will land must not leak into it.
    std::memset(string_buffer_reserve(200, start), 'Z', 200);
    string_buffer.length = start;
    EXPECT_EQ(std::string(hid_product_string(some_device, start)), std::string(126, 'x'));
}

TEST_F(HidTransfer, CapsAndInputBuffers) {
    fake.caps.InputReportByteLength = 2;
    HIDP_CAPS caps = {};
    EXPECT_EQ(hid_get_caps(some_device, &caps), 1);
    EXPECT_EQ(caps.InputReportByteLength, 2);
    EXPECT_EQ(hid_input_buffer_count(some_device), 0x10040);
    EXPECT_EQ(fake.other_calls, 0) << "preparsed data freed with what it was given";

    // Not a HID device: nothing obtained, the caller's structure untouched.
    fake.preparsed_fail = true;
    HIDP_CAPS untouched;
    std::memset(&untouched, 0x5A, sizeof untouched);
    HIDP_CAPS copy = untouched;
    EXPECT_EQ(hid_get_caps(some_device, &untouched), 0);
    EXPECT_EQ(std::memcmp(&untouched, &copy, sizeof copy), 0);

    // Preparsed data the caps cannot be read from: a failure, not caps.
    fake.preparsed_fail = false;
    fake.caps_status = HIDP_STATUS_INVALID_PREPARSED_DATA;
    EXPECT_EQ(hid_get_caps(some_device, &untouched), 0);
    EXPECT_EQ(std::memcmp(&untouched, &copy, sizeof copy), 0)
        << "input report length became " << untouched.InputReportByteLength;
    EXPECT_EQ(fake.other_calls, 0) << "preparsed data freed on failure too";
    fake.caps_status = HIDP_STATUS_SUCCESS;

    for (int entry : {HidEntry_HidD_GetPreparsedData, HidEntry_HidD_FreePreparsedData, HidEntry_HidP_GetCaps}) {
        fake_bind_all();
        fake_clear_entry(entry);
        EXPECT_EQ(hid_get_caps(some_device, &untouched), 0) << hid_entry_name(entry);
    }
    EXPECT_EQ(hid_get_caps(nullptr, &untouched), 0);
    hid_entries.HidD_GetNumInputBuffers = nullptr;
    EXPECT_EQ(hid_input_buffer_count(some_device), 0);
}

class HidDeviceListTest : public FakeHidTest {
protected:
    void SetUp() override {
        FakeHidTest::SetUp();
        std::string path = make_device_file("listed", 0x1234, 0x0001, 0x0100);
        fake.interfaces.push_back({path});
        device = CreateFileA(path.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(device);
        hid_device_list_clear(&list);
        FakeHidTest::TearDown();
    }
    int32_t collect(HANDLE h) { return hid_collect_device_info(h, reinterpret_cast<intptr_t>(&list)); }
    // A record's fields in one line, to compare whole and to show.
    static std::string fields(const HidDeviceRecord& r) {
        auto text = [](const char* s) { return s ? s : "<null>"; };
        char line[200];
        snprintf(line, sizeof line, "%04X:%04X v%04X, %04X buffers, reports %u/%u/%u, %s/%s/%s", r.vendor_id,
                 r.product_id, r.version_number, r.input_buffers, r.input_report_length, r.output_report_length,
                 r.feature_report_length, text(r.manufacturer), text(r.product), text(r.serial_number));
        return line;
    }
    HidDeviceList list{};
    HANDLE device = INVALID_HANDLE_VALUE;
};

TEST_F(HidDeviceListTest, OneRecordPerReadableDeviceUpTo258) {
    fake.caps.InputReportByteLength = 2;
    fake.caps.OutputReportByteLength = 4;
    fake.caps.FeatureReportByteLength = 3;
    fake.serial = L"S-1";
    const int32_t length_before = string_buffer.length;
    EXPECT_EQ(collect(device), 0);
    ASSERT_EQ(list.count, 1);
    // Of the 0x10040 buffers the fake reports, the low 16 bits.
    EXPECT_EQ(fields(list.records[0]), "1234:0001 v0100, 0040 buffers, reports 2/4/3, Acme/LED board/S-1");
    EXPECT_EQ(string_buffer.length, length_before) << "collecting leaves the StringBuffer as it found it";

    HANDLE plain = CreateFileA(make_plain_file("plain").c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(collect(plain), 0);
    CloseHandle(plain);
    EXPECT_EQ(list.count, 1);

    fake.preparsed_fail = true;
    fake.strings_fail = true;
    EXPECT_EQ(collect(device), 0);
    ASSERT_EQ(list.count, 2);
    EXPECT_EQ(fields(list.records[1]), "1234:0001 v0100, 0040 buffers, reports 0/0/0, //");

    hid_entries.HidD_GetAttributes = nullptr;
    EXPECT_EQ(collect(device), 0);
    EXPECT_EQ(list.count, 2);

    // A list cleared and filled again holds only the new listing.
    hid_device_list_clear(&list);
    EXPECT_EQ(list.count, 0);
    fake_bind_all();
    fake.strings_fail = false;
    EXPECT_EQ(collect(device), 0);
    ASSERT_EQ(list.count, 1);
    EXPECT_EQ(fields(list.records[0]), "1234:0001 v0100, 0040 buffers, reports 0/0/0, Acme/LED board/S-1");

    list.count = 257;  // the records between were emptied by the clear
    EXPECT_EQ(collect(device), 0);
    EXPECT_EQ(list.count, 258);
    EXPECT_EQ(list.records[257].vendor_id, 0x1234);
    EXPECT_EQ(collect(device), 0);
    EXPECT_EQ(list.count, 258);
}

// hid_list lists and clears as often as it is asked: the records' strings go back.
TEST_F(HidDeviceListTest, ListingAndClearingAgainKeepsNoString) {
    fake.serial = L"S-1";
    auto listing = [&] {
        bool ok = collect(device) == 0 && collect(device) == 0 && list.count == 2;
        hid_device_list_clear(&list);
        return ok;
    };
    EXPECT_TRUE(keeps_nothing(50, listing)) << "50 listings of two records, each cleared";
}

}  // namespace
