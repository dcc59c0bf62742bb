#include "app/device_watch.h"

#include <dbt.h>

#include "app/app_state.h"
#include "app/app_texts.h"
#include "app/input_reader.h"
#include "app/read_handover.h"
#include "hid/hid_discovery.h"
#include "hid/hid_transfer.h"
#include "runtime/base/hex_format.h"
#include "runtime/base/string_buffer.h"
#include "runtime/gadget/gadget.h"
#include "runtime/window/window.h"

namespace {

constexpr int32_t Watch_QueuedNotices = 16;
constexpr int32_t Watch_KnownDevices = 8;
// Walks after the registration: the priming pass's, and the first timer
// pass's. Windows takes a registration asynchronously (a service registers it
// over RPC), so an interface that came just before it took effect is heard of
// by no notification, only by walking once it surely has.
constexpr int32_t Watch_StartWalks = 2;
// A device path in a notification; longer ones are answered by a walk.
constexpr int32_t Watch_PathBytes = 1024;

struct PendingArrival {
    char* path;  // string variable, null when the slot is free
    int32_t tries_left;
};

struct Notice {
    bool arrived;
    char* path;
};

// Zero at start: the program has no static constructors.
struct Watch {
    int32_t start_walks;
    // A step of the watch is under way. Its opens and the hand-over serve sent
    // messages, so a notification can come in the middle of one: it waits in
    // the queue and is taken when the step is over.
    bool busy;
    bool missed;          // a notice did not fit or could not be read: walk instead
    int32_t queued;
    Notice queue[Watch_QueuedNotices];
    PendingArrival pending[Watch_PendingArrivals];
    // Every listed device of the program's IDs, from the last walk and the
    // arrivals since: when the open one goes, another is taken without a walk.
    char* known[Watch_KnownDevices];
    bool known_incomplete;  // more than the list holds: a removal walks
};

Watch g_watch;

int32_t device_path_matches(const char* path) {
    return hid_path_matches(path, Device_ProductId, Device_VendorId, Device_Version);
}

void release_handles() {
    hid_close_device(app_state.write_handle);
    app_state.write_handle = nullptr;
    handover_replace(nullptr);
}

void forget_arrivals() {
    for (PendingArrival& arrival : g_watch.pending) string_assign(&arrival.path, nullptr);
}

// Opens both handles from the interface's path, without walking.
void connect(const char* path) {
    // First: path may be the device's own variable, which the copy keeps.
    string_assign(&app_state.device_path, path);
    forget_arrivals();
    release_handles();
    app_state.last_presence = 1;
    app_state.write_handle = hid_open_path(app_state.device_path);
    // Reports of the device's own lengths, read once per open; the program's
    // 2 bytes when its caps cannot be read.
    HIDP_CAPS caps = {};
    hid_get_caps(app_state.write_handle, &caps);
    app_state.output_length = caps.OutputReportByteLength;
    HANDLE read_handle = hid_open_path(app_state.device_path);
    // The class driver keeps the oldest reports of a device that streams its
    // state; with the fewest it keeps, the field shows the newest.
    hid_set_input_buffer_count(read_handle, Reader_QueueReports);
    handover_replace(read_handle, caps.InputReportByteLength > Report_Bytes ? caps.InputReportByteLength : Report_Bytes);
    gadget_set_text(Gadget_Status, Text_Connected);
}

void disconnect() {
    release_handles();
    app_state.last_presence = 0;
    string_assign(&app_state.device_path, nullptr);
    int32_t start = string_buffer.length;
    gadget_set_text(Gadget_Status, compose_not_found(start, Text_NotFoundEnd));
    string_buffer.length = start;
    gadget_set_text(Gadget_ButtonState, Text_No);
}

void know(const char* path) {
    for (char* known : g_watch.known)
        if (hid_path_equal(known, path)) return;
    for (char*& known : g_watch.known) {
        if (!known) {
            string_assign(&known, path);
            return;
        }
    }
    g_watch.known_incomplete = true;
}

void unknow(const char* path) {
    for (char*& known : g_watch.known)
        if (hid_path_equal(known, path)) string_assign(&known, nullptr);
}

// One walk, which learns every listed device of the program's IDs afresh.
void learn_listed() {
    for (char*& known : g_watch.known) string_assign(&known, nullptr);
    g_watch.known_incomplete = false;
    hid_each_path(Device_ProductId, Device_VendorId, Device_Version, [](const char* path, intptr_t) { know(path); }, 0);
}

// The first known device that is still the program's, opened; false when none is.
bool take_known() {
    for (char* known : g_watch.known) {
        if (known && device_path_matches(known) == 1) {
            connect(known);
            return true;
        }
    }
    return false;
}

// What a walk finds, for when notifications may not have told everything.
void reconcile() {
    learn_listed();
    if (app_state.last_presence) {
        for (char* known : g_watch.known)
            if (hid_path_equal(known, app_state.device_path)) return;
    }
    if (!take_known() && app_state.last_presence) disconnect();
}

// A handle failed while the device was open: its own path first; a walk only
// when the path no longer leads to the device (it went unheard).
void reopen() {
    if (device_path_matches(app_state.device_path) == 1)
        connect(app_state.device_path);
    else
        reconcile();
}

void remember_arrival(const char* path) {
    for (PendingArrival& arrival : g_watch.pending) {
        if (!arrival.path || hid_path_equal(arrival.path, path)) {
            string_assign(&arrival.path, path);
            arrival.tries_left = Watch_ArrivalRetries;
            return;
        }
    }
    g_watch.missed = true;  // more than the slots hold: a walk sees them all
}

void forget_arrival(const char* path) {
    for (PendingArrival& arrival : g_watch.pending)
        if (hid_path_equal(arrival.path, path)) string_assign(&arrival.path, nullptr);
}

// One device at a time: another of the same IDs that arrives meanwhile is
// known, and taken when the open one goes.
void arrival(const char* path) {
    int32_t match = device_path_matches(path);
    if (match == 1) {
        know(path);
        if (!app_state.last_presence) connect(path);
    } else if (match < 0 && !app_state.last_presence) {
        remember_arrival(path);  // announced before it opens: tried again at the next passes
    }
}

void removal(const char* path) {
    forget_arrival(path);
    unknow(path);
    if (!app_state.last_presence || !hid_path_equal(path, app_state.device_path)) return;
    disconnect();
    // Announced late, after the device came back under the same path (Windows
    // sends the two from another process, and a loaded machine can hand the
    // arrival over first): the path opens again, and the device is taken anew.
    if (device_path_matches(path) == 1) {
        know(path);
        connect(path);
        return;
    }
    if (g_watch.known_incomplete) learn_listed();
    take_known();
}

void retry_arrivals() {
    for (PendingArrival& arrival : g_watch.pending) {
        if (!arrival.path) continue;
        if (app_state.last_presence) {
            string_assign(&arrival.path, nullptr);
            continue;
        }
        int32_t match = device_path_matches(arrival.path);
        if (match == 1) {
            know(arrival.path);
            connect(arrival.path);  // forgets every arrival, this one included
            return;
        }
        if (match == 0 || --arrival.tries_left <= 0) string_assign(&arrival.path, nullptr);
    }
}

void take_notices() {
    while (g_watch.queued > 0) {
        Notice notice = g_watch.queue[0];
        --g_watch.queued;
        for (int32_t i = 0; i < g_watch.queued; ++i) g_watch.queue[i] = g_watch.queue[i + 1];
        if (notice.arrived)
            arrival(notice.path);
        else
            removal(notice.path);
        string_free(notice.path);
    }
    if (g_watch.missed) {
        g_watch.missed = false;
        reconcile();
    }
}

// While window 0 is registered, Windows announces every interface's arrival
// and removal to it.
bool notifications() {
    WindowRecord* record = window_record(Window_Main);
    return record && record->device_notification && record->message_hook == device_watch_hook;
}

bool half_open() { return !app_state.write_handle || !handover_handle(); }

void notified_pass() {
    bool failed = handover_take_lost() || app_state.write_lost;  // asked every pass: asking clears it
    app_state.write_lost = false;
    if (g_watch.start_walks > 0) {
        --g_watch.start_walks;
        reconcile();
    }
    if (app_state.last_presence && (failed || half_open())) reopen();
    retry_arrivals();
}

// Where Windows would not announce interfaces, each pass walks them.
void polling_pass() {
    char* found = nullptr;
    int32_t present = hid_find_path(Device_ProductId, Device_VendorId, Device_Version, Device_Index, &found);
    // Present now and at the last pass, but the handles failed: the device
    // went and came back in between, and is opened again. So is a device that
    // was listed but could not be opened, which happens when it goes just then:
    // between the two opens too, when one handle is left without the other
    // (a reader with no handle fails nothing, so nothing else would notice).
    bool lost = handover_take_lost();  // asked every pass: asking clears it
    if (app_state.write_lost || (present && half_open())) lost = true;
    app_state.write_lost = false;
    if (present != app_state.last_presence || (present && lost)) {
        if (present)
            connect(found);
        else
            disconnect();
    }
    string_free(found);
}

// The device path of an interface's notification, in the ANSI code page,
// into path; false when it cannot be read or does not fit.
bool notice_path(const DEV_BROADCAST_DEVICEINTERFACE_W* notice, char* path) {
    constexpr DWORD name_offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    if (notice->dbcc_size <= name_offset) return false;
    // The name may not be terminated inside the size the sender gave.
    int32_t units = static_cast<int32_t>((notice->dbcc_size - name_offset) / sizeof(wchar_t));
    int32_t length = 0;
    while (length < units && notice->dbcc_name[length]) ++length;
    if (length == 0 || length == units) return false;
    int32_t bytes = WideCharToMultiByte(CP_ACP, 0, notice->dbcc_name, length, path, Watch_PathBytes - 1, nullptr,
                                        nullptr);
    if (bytes <= 0) return false;
    path[bytes] = 0;
    return true;
}

}  // namespace

const char* compose_not_found(int32_t start, const char* end) {
    string_append(Text_NotFoundStart);
    string_append_hex(Device_ProductId, string_buffer.length);
    string_append(Text_NotFoundMiddle);
    string_append_hex(Device_VendorId, string_buffer.length);
    string_append(end);
    // Past the terminating NUL, so that nothing overwrites the text while it is used.
    string_buffer.length += 1;
    return string_buffer.buffer + start;
}

bool device_watch_register() {
    g_watch.start_walks = Watch_StartWalks;
    GUID hid_class;
    WindowRecord* record = window_record(Window_Main);
    if (!record || !hid_interface_class(&hid_class) || !window_notify_device_class(Window_Main, hid_class)) return false;
    record->message_hook = device_watch_hook;
    return true;
}

void CALLBACK device_watch(HWND, UINT, UINT_PTR, DWORD) {
    if (g_watch.busy) return;
    g_watch.busy = true;
    if (notifications())
        notified_pass();
    else
        polling_pass();
    take_notices();
    g_watch.busy = false;
}

void device_watch_notify(bool arrived, const char* path) {
    if (!path) {
        g_watch.missed = true;
    } else if (g_watch.queued == Watch_QueuedNotices) {
        g_watch.missed = true;
    } else {
        Notice& notice = g_watch.queue[g_watch.queued++];
        notice.arrived = arrived;
        notice.path = nullptr;
        string_assign(&notice.path, path);
    }
    if (g_watch.busy) return;
    g_watch.busy = true;
    take_notices();
    g_watch.busy = false;
}

LRESULT device_watch_hook(HWND, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message != WM_DEVICECHANGE || (wparam != DBT_DEVICEARRIVAL && wparam != DBT_DEVICEREMOVECOMPLETE))
        return HookPassOn;
    // Volumes and ports are announced to every top-level window unasked.
    auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
    if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return HookPassOn;
    char path[Watch_PathBytes];
    bool readable = notice_path(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header), path);
    device_watch_notify(wparam == DBT_DEVICEARRIVAL, readable ? path : nullptr);
    return TRUE;
}
