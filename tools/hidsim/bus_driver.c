/* The virtual HID bus: a root-enumerated function driver that creates and
 * removes child devices on request from user mode, and answers, as each
 * child's physical device, the HID requests its minidriver passes down. */
#include <ntddk.h>

#include "tools/hidsim/hid_protocol.h"
#include "tools/hidsim/hidsim_protocol.h"

#define HIDSIM_TAG 0x6D495348u /* 'HSIm' */

typedef enum DeviceKind { DeviceKind_Bus = 0x42535553, DeviceKind_Child = 0x43484C44, DeviceKind_Control = 0x43544C31 } DeviceKind;

typedef struct BusExtension {
    ULONG kind;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT physical;
} BusExtension;

typedef struct ChildExtension {
    ULONG kind;
    ULONG slot;
    PDEVICE_OBJECT self;
    /* Requests inside the child, plus one for the child itself until the
     * host removes it; idle is set when the count reaches zero. */
    LONG in_flight;
    KEVENT idle;
    volatile BOOLEAN removed; /* the host removed it; what still arrives fails */
    BOOLEAN host_reads;       /* hidclass's reader has come: its HID device is enumerated */
    BOOLEAN asked_after_removal;
    LIST_ENTRY kept;
} ChildExtension;

typedef struct ControlExtension {
    ULONG kind;
} ControlExtension;

typedef struct DeviceSlot {
    PDEVICE_OBJECT child; /* from plug until the host has removed it */
    BOOLEAN plugged;      /* reported in the bus's relations */
    BOOLEAN started;
    KEVENT removed;
    HidSimPlug config;
    ULONG led;
    ULONG outputs_total;
    ULONG inputs_total;
    /* input reports as the host sees them, waiting for a host read */
    ULONG input_head;
    ULONG input_count;
    UCHAR input_length[HIDSIM_INPUT_QUEUE];
    UCHAR input_bytes[HIDSIM_INPUT_QUEUE][HIDSIM_MAX_REPORT];
    UCHAR last_input[HIDSIM_MAX_REPORT];
    ULONG last_input_length;
    LIST_ENTRY pending_reads;
    LIST_ENTRY held_writes; /* output reports left unanswered while holding */
    BOOLEAN holding;
    /* output reports the device takes once their time has come, oldest first;
     * the streamer takes them */
    LIST_ENTRY delayed_writes;
    ULONG delay_ms; /* 0: taken at once */
    ULONG stream_ms;       /* 0: input reports on change only */
    LONGLONG stream_due;   /* performance counter of the next report sent unasked */
    ULONG output_count;
    ULONG output_dropped;
    ULONG late_requests;
    HidSimOutput outputs[HIDSIM_OUTPUT_LOG];
} DeviceSlot;

static PDRIVER_OBJECT the_driver;
static PDEVICE_OBJECT the_bus;     /* the function device on the root device */
static PDEVICE_OBJECT the_control; /* the channel user mode opens */
static KSPIN_LOCK the_lock;
static KEVENT the_plug_lock; /* one plug or unplug at a time */
static DeviceSlot the_slots[HIDSIM_MAX_DEVICES];
static LIST_ENTRY the_kept; /* removed children Wine may still call (see release_child) */
static HANDLE the_streamer;  /* the thread that sends input reports at intervals */
static KEVENT the_stream_wake;
static volatile BOOLEAN the_stream_stop;
static LONGLONG the_counter_frequency;

enum { Button_Released = 40 };

static LONGLONG counter_now(void);
static LONGLONG counter_ticks(ULONG ms);

static void child_leave(ChildExtension* ext) {
    if (InterlockedDecrement(&ext->in_flight) == 0) KeSetEvent(&ext->idle, IO_NO_INCREMENT, FALSE);
}

/* Counts a request in before it looks at the flag, so that a removal that
 * sets the flag after the look still waits for the request to leave. Wine's
 * IoAcquireRemoveLock looks first and counts after, which leaves that gap. */
static BOOLEAN child_enter(ChildExtension* ext) {
    InterlockedIncrement(&ext->in_flight);
    if (!ext->removed) return TRUE;
    child_leave(ext);
    InterlockedIncrement((LONG*)&the_slots[ext->slot].late_requests);
    return FALSE;
}

/* Frees the kept children that Wine can no longer call, or all of them. */
static void free_kept(BOOLEAN all) {
    for (;;) {
        KIRQL irql;
        ChildExtension* found = NULL;
        KeAcquireSpinLock(&the_lock, &irql);
        for (PLIST_ENTRY e = the_kept.Flink; e != &the_kept; e = e->Flink) {
            ChildExtension* ext = CONTAINING_RECORD(e, ChildExtension, kept);
            if (all || ext->asked_after_removal) {
                RemoveEntryList(e);
                found = ext;
                break;
            }
        }
        KeReleaseSpinLock(&the_lock, irql);
        if (!found) return;
        ObDereferenceObject(found->self);
    }
}

/* Deletes a removed child whose requests have all left. Its memory goes with
 * the last reference, and the driver holds one from the plug: hidclass asks
 * Wine's plug-and-play thread to query the child's relations when it creates
 * its HID device, and that thread may get to it only after the child's
 * removal. A child removed before hidclass's reader came may still get that
 * query, so it is kept until the query has come (or the driver unloads). */
static void release_child(PDEVICE_OBJECT child) {
    ChildExtension* ext = child->DeviceExtension;
    IoDeleteDevice(child);
    if (ext->host_reads) {
        ObDereferenceObject(child);
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&the_lock, &irql);
    InsertTailList(&the_kept, &ext->kept);
    KeReleaseSpinLock(&the_lock, irql);
}

/* A vendor-defined collection with no report IDs: an input and an output
 * field of 8-bit data bytes, as many as the lengths the host sees less the ID
 * byte. Two-byte reports each way give the program's own device, byte for
 * byte: one report count serves both fields. */
#define HIDSIM_DESCRIPTOR_MAX 32
static ULONG report_descriptor(const DeviceSlot* slot, UCHAR* out) {
    static const UCHAR head[] = {
        0x06, 0x00, 0xFF, /* Usage Page (vendor 0xFF00) */
        0x09, 0x01,       /* Usage (1) */
        0xA1, 0x01,       /* Collection (Application) */
        0x09, 0x02,       /*   Usage (2) */
        0x15, 0x00,       /*   Logical Minimum (0) */
        0x26, 0xFF, 0x00, /*   Logical Maximum (255) */
        0x75, 0x08,       /*   Report Size (8) */
    };
    ULONG n = sizeof head;
    RtlCopyMemory(out, head, n);
    out[n++] = 0x95; /*   Report Count (input data bytes) */
    out[n++] = (UCHAR)(slot->config.input_length - 1);
    out[n++] = 0x81; /*   Input (Data, Variable, Absolute) */
    out[n++] = 0x02;
    out[n++] = 0x09; /*   Usage (3) */
    out[n++] = 0x03;
    if (slot->config.output_length != slot->config.input_length) {
        out[n++] = 0x95; /*   Report Count (output data bytes) */
        out[n++] = (UCHAR)(slot->config.output_length - 1);
    }
    out[n++] = 0x91; /*   Output (Data, Variable, Absolute) */
    out[n++] = 0x02;
    out[n++] = 0xC0; /* End Collection */
    return n;
}

static ULONG kind_of(PDEVICE_OBJECT device) {
    return device->DeviceExtension ? *(ULONG*)device->DeviceExtension : 0;
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static ULONG wide_length(const USHORT* text, ULONG limit) {
    ULONG n = 0;
    while (n < limit && text[n]) ++n;
    return n;
}

/* Appends text, then an uppercase hexadecimal or decimal number. */
static ULONG put_text(WCHAR* out, ULONG at, const char* text) {
    while (*text) out[at++] = (WCHAR)*text++;
    return at;
}
static ULONG put_hex4(WCHAR* out, ULONG at, USHORT value) {
    static const char digits[] = "0123456789ABCDEF";
    for (int shift = 12; shift >= 0; shift -= 4) out[at++] = (WCHAR)digits[(value >> shift) & 15];
    return at;
}
static ULONG put_decimal(WCHAR* out, ULONG at, ULONG value) {
    WCHAR reversed[12];
    ULONG n = 0;
    do {
        reversed[n++] = (WCHAR)('0' + value % 10);
        value /= 10;
    } while (value);
    while (n) out[at++] = reversed[--n];
    return at;
}

/* ---- requests held for the host: reads waiting for a report, and writes
 * a holding device leaves unanswered ---- */

/* A held request keeps its child's count until it is completed here. */
static void finish_held(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    ChildExtension* ext = irp->Tail.Overlay.DriverContext[0];
    complete(irp, status, information);
    child_leave(ext);
}

static VOID NTAPI held_cancelled(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    KIRQL irql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&the_lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&the_lock, irql);
    finish_held(irp, STATUS_CANCELLED, 0);
}

/* Keeps a request in a list until it is taken; called with the lock held,
 * which it releases. */
static NTSTATUS hold_request(LIST_ENTRY* list, ChildExtension* ext, PIRP irp, KIRQL irql) {
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = ext;
    InsertTailList(list, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, held_cancelled);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
        /* Cancelled before the routine was set: finish it here. */
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&the_lock, irql);
        finish_held(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&the_lock, irql);
    return STATUS_PENDING;
}

/* Takes the oldest held request whose cancel routine has not started, or
 * null. Called with the lock held. */
static PIRP take_held(LIST_ENTRY* list) {
    while (!IsListEmpty(list)) {
        PLIST_ENTRY entry = RemoveHeadList(list);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        InitializeListHead(entry);
        if (IoSetCancelRoutine(irp, NULL)) return irp;
        /* Being cancelled: its cancel routine completes it. */
    }
    return NULL;
}

static ULONG count_held(const LIST_ENTRY* list) {
    ULONG n = 0;
    for (PLIST_ENTRY e = list->Flink; e != list; e = e->Flink) ++n;
    return n;
}

static void fail_held(LIST_ENTRY* list, NTSTATUS status) {
    KIRQL irql;
    for (;;) {
        KeAcquireSpinLock(&the_lock, &irql);
        PIRP irp = take_held(list);
        KeReleaseSpinLock(&the_lock, irql);
        if (!irp) break;
        finish_held(irp, status, 0);
    }
}

/* What the host loses with the device: its waiting reads, and the writes it
 * had not taken yet. */
static void fail_held_requests(DeviceSlot* slot) {
    fail_held(&slot->pending_reads, STATUS_DEVICE_NOT_CONNECTED);
    fail_held(&slot->held_writes, STATUS_DEVICE_NOT_CONNECTED);
    fail_held(&slot->delayed_writes, STATUS_DEVICE_NOT_CONNECTED);
}

/* A delayed write carries its due time (performance counter) in the request
 * itself: DriverContext[0] is its child, and [1] onwards holds eight bytes on
 * either architecture. */
static void set_due(PIRP irp, LONGLONG due) {
    RtlCopyMemory(&irp->Tail.Overlay.DriverContext[1], &due, sizeof due);
}
static LONGLONG due_of(PIRP irp) {
    LONGLONG due;
    RtlCopyMemory(&due, &irp->Tail.Overlay.DriverContext[1], sizeof due);
    return due;
}

/* Takes the oldest delayed write if its time has come; otherwise lowers next
 * to its due time (0: none yet) and returns null. Called with the lock held. */
static PIRP take_due(LIST_ENTRY* list, LONGLONG now, LONGLONG* next) {
    while (!IsListEmpty(list)) {
        PIRP irp = CONTAINING_RECORD(list->Flink, IRP, Tail.Overlay.ListEntry);
        LONGLONG due = due_of(irp);
        if (due > now) {
            if (!*next || due < *next) *next = due;
            return NULL;
        }
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        InitializeListHead(&irp->Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL)) return irp;
        /* Being cancelled: its cancel routine completes it. */
    }
    return NULL;
}

/* Hands a report as the host sees it to a read: the ID byte stays behind,
 * since the device has no report IDs. */
static ULONG_PTR fill_read(PIRP irp, const UCHAR* bytes, ULONG length) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG payload = length > 0 ? length - 1 : 0;
    if (payload > room) payload = room;
    if (payload) RtlCopyMemory(irp->UserBuffer, bytes + 1, payload);
    return payload;
}

/* ---- the child devices' HID requests ---- */

static const USHORT* string_of(DeviceSlot* slot, ULONG id) {
    /* Windows numbers the strings 14, 15 and 16; hidclass under Wine asks
     * for them as 1, 2 and 3. */
    switch (id) {
    case HidString_Manufacturer:
    case HidString_WineManufacturer: return slot->config.manufacturer;
    case HidString_Product:
    case HidString_WineProduct: return slot->config.product;
    case HidString_Serial:
    case HidString_WineSerial: return slot->config.serial;
    default: return NULL;
    }
}

static void record_output(DeviceSlot* slot, UCHAR report_id, const UCHAR* data, ULONG length) {
    KIRQL irql;
    if (length > HIDSIM_MAX_REPORT - 1) length = HIDSIM_MAX_REPORT - 1;
    KeAcquireSpinLock(&the_lock, &irql);
    ++slot->outputs_total;
    if (length >= 1) {
        slot->led = data[0] == 0xAA ? HidSimLed_On : data[0] == 0x55 ? HidSimLed_Off : HidSimLed_Other;
    }
    if (slot->output_count < HIDSIM_OUTPUT_LOG) {
        HidSimOutput* out = &slot->outputs[slot->output_count++];
        out->length = length + 1;
        out->bytes[0] = report_id;
        if (length) RtlCopyMemory(out->bytes + 1, data, length);
    } else {
        ++slot->output_dropped;
    }
    KeReleaseSpinLock(&the_lock, irql);
}

/* The device takes a write's report; what the host's write returns. */
static ULONG_PTR take_output(DeviceSlot* slot, PIRP irp) {
    HidSimXferPacket* packet = irp->UserBuffer;
    record_output(slot, packet->reportId, packet->reportBuffer, packet->reportBufferLen);
    /* The host counts the ID byte it took off the front. */
    return packet->reportBufferLen + 1;
}

static NTSTATUS child_hid_request(PDEVICE_OBJECT device, PIRP irp) {
    ChildExtension* ext = device->DeviceExtension;
    DeviceSlot* slot = &the_slots[ext->slot];
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    KIRQL irql;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case HidIoctl_GetDeviceDescriptor: {
        UCHAR report[HIDSIM_DESCRIPTOR_MAX];
        HidSimHidDescriptor descriptor = {sizeof descriptor, HidDescriptor_Hid, 0x0111, 0, 1, HidDescriptor_Report,
                                          (USHORT)report_descriptor(slot, report)};
        if (out_length < sizeof descriptor) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(irp->UserBuffer, &descriptor, sizeof descriptor);
        return complete(irp, STATUS_SUCCESS, sizeof descriptor);
    }
    case HidIoctl_GetReportDescriptor: {
        UCHAR report[HIDSIM_DESCRIPTOR_MAX];
        ULONG n = report_descriptor(slot, report);
        if (out_length < n) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(irp->UserBuffer, report, n);
        return complete(irp, STATUS_SUCCESS, n);
    }
    case HidIoctl_GetDeviceAttributes: {
        HidSimDeviceAttributes attributes;
        if (out_length < sizeof attributes) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlZeroMemory(&attributes, sizeof attributes);
        attributes.Size = sizeof attributes;
        attributes.VendorID = slot->config.vendor_id;
        attributes.ProductID = slot->config.product_id;
        attributes.VersionNumber = slot->config.version;
        RtlCopyMemory(irp->UserBuffer, &attributes, sizeof attributes);
        return complete(irp, STATUS_SUCCESS, sizeof attributes);
    }
    case HidIoctl_GetString: {
        /* The argument is the value itself, not a pointer: the string ID in
         * the low word, the language in the high word. */
        ULONG_PTR argument = (ULONG_PTR)stack->Parameters.DeviceIoControl.Type3InputBuffer;
        const USHORT* text = string_of(slot, argument & 0xFFFF);
        if (!text) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        ULONG chars = wide_length(text, HIDSIM_MAX_STRING - 1);
        ULONG bytes = (chars + 1) * sizeof(WCHAR);
        if (!irp->UserBuffer || out_length < sizeof(WCHAR)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        if (bytes > out_length) {
            chars = out_length / sizeof(WCHAR) - 1;
            bytes = (chars + 1) * sizeof(WCHAR);
        }
        WCHAR* out = irp->UserBuffer;
        RtlCopyMemory(out, text, chars * sizeof(WCHAR));
        out[chars] = 0;
        return complete(irp, STATUS_SUCCESS, bytes);
    }
    case HidIoctl_ReadReport: {
        if (!irp->UserBuffer) return complete(irp, STATUS_INVALID_USER_BUFFER, 0);
        ext->host_reads = TRUE;
        KeAcquireSpinLock(&the_lock, &irql);
        if (!slot->plugged) {
            KeReleaseSpinLock(&the_lock, irql);
            return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        }
        if (slot->input_count) {
            ULONG at = slot->input_head;
            ULONG_PTR n = fill_read(irp, slot->input_bytes[at], slot->input_length[at]);
            slot->input_head = (at + 1) % HIDSIM_INPUT_QUEUE;
            --slot->input_count;
            ++slot->inputs_total;
            KeReleaseSpinLock(&the_lock, irql);
            return complete(irp, STATUS_SUCCESS, n);
        }
        return hold_request(&slot->pending_reads, ext, irp, irql);
    }
    case HidIoctl_WriteReport:
    case HidIoctl_SetOutputReport: {
        HidSimXferPacket* packet = irp->UserBuffer;
        if (!packet || !packet->reportBuffer) return complete(irp, STATUS_INVALID_USER_BUFFER, 0);
        KeAcquireSpinLock(&the_lock, &irql);
        /* A device that stops answering: the host's write stays inside it
         * until it lets go. */
        if (slot->holding && slot->plugged) return hold_request(&slot->held_writes, ext, irp, irql);
        /* A slow device: the write waits its time, and behind any report
         * still waiting, since a device takes them in order. */
        if (slot->plugged && (slot->delay_ms || !IsListEmpty(&slot->delayed_writes))) {
            LONGLONG due = counter_now() + counter_ticks(slot->delay_ms);
            if (!IsListEmpty(&slot->delayed_writes)) {
                LONGLONG last = due_of(CONTAINING_RECORD(slot->delayed_writes.Blink, IRP, Tail.Overlay.ListEntry));
                if (last > due) due = last;
            }
            set_due(irp, due);
            NTSTATUS status = hold_request(&slot->delayed_writes, ext, irp, irql);
            KeSetEvent(&the_stream_wake, IO_NO_INCREMENT, FALSE); /* its due time may be the next */
            return status;
        }
        KeReleaseSpinLock(&the_lock, irql);
        return complete(irp, STATUS_SUCCESS, take_output(slot, irp));
    }
    case HidIoctl_GetInputReport: {
        HidSimXferPacket* packet = irp->UserBuffer;
        if (!packet || !packet->reportBuffer) return complete(irp, STATUS_INVALID_USER_BUFFER, 0);
        KeAcquireSpinLock(&the_lock, &irql);
        ULONG n = slot->last_input_length > 1 ? slot->last_input_length - 1 : 1;
        if (n > packet->reportBufferLen) n = packet->reportBufferLen;
        RtlZeroMemory(packet->reportBuffer, n);
        if (slot->last_input_length > 1) RtlCopyMemory(packet->reportBuffer, slot->last_input + 1, n);
        KeReleaseSpinLock(&the_lock, irql);
        packet->reportBufferLen = n;
        return complete(irp, STATUS_SUCCESS, n);
    }
    case HidIoctl_ActivateDevice:
    case HidIoctl_DeactivateDevice:
        return complete(irp, STATUS_SUCCESS, 0);
    default:
        return complete(irp, STATUS_NOT_SUPPORTED, 0);
    }
}

/* ---- the child devices' plug and play ---- */

static NTSTATUS child_query_id(DeviceSlot* slot, ULONG number, PIRP irp, BUS_QUERY_ID_TYPE type) {
    WCHAR* id = ExAllocatePoolWithTag(PagedPool, 128 * sizeof(WCHAR), HIDSIM_TAG);
    if (!id) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG at = 0;
    switch (type) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
        /* hidclass names its device after the part behind the last backslash. */
        at = put_text(id, at, "HIDSIM\\VID_");
        at = put_hex4(id, at, slot->config.vendor_id);
        at = put_text(id, at, "&PID_");
        at = put_hex4(id, at, slot->config.product_id);
        id[at++] = 0;
        if (type == BusQueryHardwareIDs) {
            at = put_text(id, at, "HIDSIM\\DEVICE");
            id[at++] = 0;
            id[at++] = 0;
        }
        break;
    case BusQueryCompatibleIDs:
        at = put_text(id, at, "HIDSIM\\DEVICE");
        id[at++] = 0;
        id[at++] = 0;
        break;
    case BusQueryInstanceID:
        at = put_decimal(id, at, number);
        id[at++] = 0;
        break;
    default:
        ExFreePool(id);
        return irp->IoStatus.Status;
    }
    irp->IoStatus.Information = (ULONG_PTR)id;
    return STATUS_SUCCESS;
}

static NTSTATUS child_pnp(PDEVICE_OBJECT device, PIRP irp) {
    ChildExtension* ext = device->DeviceExtension;
    DeviceSlot* slot = &the_slots[ext->slot];
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    KIRQL irql;
    if (!child_enter(ext)) {
        /* The slot may hold a new device by now: leave it alone. */
        if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
            stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            ext->asked_after_removal = TRUE;
        }
        status = stack->MinorFunction == IRP_MN_REMOVE_DEVICE ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
        return complete(irp, status, 0);
    }

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        slot->started = TRUE;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        slot->started = FALSE;
        fail_held_requests(slot);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        /* A removed child is gone for good: the bus stops reporting it, and a
         * later plug creates a new one. */
        KeAcquireSpinLock(&the_lock, &irql);
        slot->plugged = FALSE;
        slot->started = FALSE;
        KeReleaseSpinLock(&the_lock, irql);
        fail_held_requests(slot);
        ext->removed = TRUE;
        child_leave(ext); /* this request */
        child_leave(ext); /* the child's own count */
        KeWaitForSingleObject(&ext->idle, Executive, KernelMode, FALSE, NULL);
        KeAcquireSpinLock(&the_lock, &irql);
        slot->child = NULL;
        KeReleaseSpinLock(&the_lock, irql);
        complete(irp, STATUS_SUCCESS, 0);
        free_kept(FALSE);
        release_child(device);
        KeSetEvent(&slot->removed, IO_NO_INCREMENT, FALSE);
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_ID:
        status = child_query_id(slot, ext->slot, irp, stack->Parameters.QueryId.IdType);
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->EjectSupported = 0;
        caps->UniqueID = 0;
        caps->Address = ext->slot;
        caps->UINumber = ext->slot;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            WCHAR* text = ExAllocatePoolWithTag(PagedPool, 32 * sizeof(WCHAR), HIDSIM_TAG);
            if (!text) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            text[put_text(text, 0, "HidSim virtual device")] = 0;
            irp->IoStatus.Information = (ULONG_PTR)text;
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS relations = ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), HIDSIM_TAG);
            if (!relations) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            relations->Count = 1;
            relations->Objects[0] = device;
            ObReferenceObject(device);
            irp->IoStatus.Information = (ULONG_PTR)relations;
            status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    child_leave(ext);
    return status;
}

/* ---- the bus device ---- */

static NTSTATUS NTAPI lower_done(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Passes a request down and waits for the device below to finish it. */
static NTSTATUS call_lower_and_wait(BusExtension* ext, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, lower_done, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    return irp->IoStatus.Status;
}

static NTSTATUS bus_relations(PIRP irp) {
    PDEVICE_RELATIONS relations = ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS) + HIDSIM_MAX_DEVICES * sizeof(PDEVICE_OBJECT), HIDSIM_TAG);
    if (!relations) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    relations->Count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&the_lock, &irql);
    for (ULONG i = 0; i < HIDSIM_MAX_DEVICES; ++i) {
        if (the_slots[i].plugged && the_slots[i].child) {
            relations->Objects[relations->Count++] = the_slots[i].child;
            ObReferenceObject(the_slots[i].child);
        }
    }
    KeReleaseSpinLock(&the_lock, irql);
    return complete(irp, STATUS_SUCCESS, (ULONG_PTR)relations);
}

static void delete_control(void) {
    if (!the_control) return;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, HIDSIM_CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(the_control);
    the_control = NULL;
}

static NTSTATUS bus_pnp(PDEVICE_OBJECT device, PIRP irp) {
    BusExtension* ext = device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = call_lower_and_wait(ext, irp);
        if (status == STATUS_PENDING || status == STATUS_NOT_SUPPORTED) status = STATUS_SUCCESS;
        complete(irp, status, 0);
        /* The system does not ask for a new bus's children by itself. */
        if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(ext->physical, BusRelations);
        return status;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return bus_relations(irp);
        break;
    case IRP_MN_REMOVE_DEVICE: {
        KIRQL irql;
        KeAcquireSpinLock(&the_lock, &irql);
        for (ULONG i = 0; i < HIDSIM_MAX_DEVICES; ++i) the_slots[i].plugged = FALSE;
        KeReleaseSpinLock(&the_lock, irql);
        delete_control();
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(ext->lower, irp);
        IoDetachDevice(ext->lower);
        the_bus = NULL;
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

/* ---- the control channel ---- */

static void lock_plugging(void) {
    KeWaitForSingleObject(&the_plug_lock, Executive, KernelMode, FALSE, NULL);
}
static void unlock_plugging(void) {
    KeSetEvent(&the_plug_lock, IO_NO_INCREMENT, FALSE);
}

static BOOLEAN report_length_ok(ULONG length) {
    return length == 0 || (length >= 2 && length <= HIDSIM_MAX_REPORT);
}

static NTSTATUS plug(const HidSimPlug* request) {
    if (request->slot >= HIDSIM_MAX_DEVICES || !report_length_ok(request->input_length) ||
        !report_length_ok(request->output_length)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!the_bus) return STATUS_DEVICE_NOT_READY;
    DeviceSlot* slot = &the_slots[request->slot];
    if (slot->child && !slot->plugged) {
        /* Unplugged, but its removal outlasted the unplug's wait: let it finish. */
        LARGE_INTEGER timeout;
        timeout.QuadPart = -50000000LL; /* 5 s */
        KeWaitForSingleObject(&slot->removed, Executive, KernelMode, FALSE, &timeout);
    }
    if (slot->child) return STATUS_DEVICE_BUSY;

    PDEVICE_OBJECT child;
    NTSTATUS status = IoCreateDevice(the_driver, sizeof(ChildExtension), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child);
    if (!NT_SUCCESS(status)) return status;
    ChildExtension* ext = child->DeviceExtension;
    ext->kind = DeviceKind_Child;
    ext->slot = request->slot;
    ext->self = child;
    ext->in_flight = 1;
    KeInitializeEvent(&ext->idle, NotificationEvent, FALSE);
    ext->removed = FALSE;
    ext->host_reads = FALSE;
    ext->asked_after_removal = FALSE;
    InitializeListHead(&ext->kept);
    ObReferenceObject(child); /* the driver's own: see release_child */

    KIRQL irql;
    KeAcquireSpinLock(&the_lock, &irql);
    slot->config = *request;
    slot->config.manufacturer[HIDSIM_MAX_STRING - 1] = 0;
    slot->config.product[HIDSIM_MAX_STRING - 1] = 0;
    slot->config.serial[HIDSIM_MAX_STRING - 1] = 0;
    if (!slot->config.input_length) slot->config.input_length = HIDSIM_DEFAULT_REPORT;
    if (!slot->config.output_length) slot->config.output_length = HIDSIM_DEFAULT_REPORT;
    slot->led = HidSimLed_Unknown;
    slot->outputs_total = 0;
    slot->inputs_total = 0;
    slot->input_head = 0;
    slot->input_count = 0;
    slot->last_input_length = 0;
    slot->stream_ms = 0;
    slot->output_count = 0;
    slot->output_dropped = 0;
    slot->late_requests = 0;
    slot->started = FALSE;
    InitializeListHead(&slot->pending_reads);
    InitializeListHead(&slot->held_writes);
    slot->holding = FALSE;
    InitializeListHead(&slot->delayed_writes);
    slot->delay_ms = 0;
    KeClearEvent(&slot->removed);
    slot->child = child;
    slot->plugged = TRUE;
    KeReleaseSpinLock(&the_lock, irql);

    child->Flags &= ~DO_DEVICE_INITIALIZING;
    IoInvalidateDeviceRelations(((BusExtension*)the_bus->DeviceExtension)->physical, BusRelations);
    return STATUS_SUCCESS;
}

/* Returns once the host has removed the child, so that the slot can be
 * plugged again at once. */
static NTSTATUS unplug(ULONG number) {
    if (number >= HIDSIM_MAX_DEVICES) return STATUS_INVALID_PARAMETER;
    DeviceSlot* slot = &the_slots[number];
    KIRQL irql;
    KeAcquireSpinLock(&the_lock, &irql);
    BOOLEAN was_plugged = slot->plugged;
    BOOLEAN has_child = slot->child != NULL;
    slot->plugged = FALSE;
    slot->stream_ms = 0;
    slot->holding = FALSE;
    slot->delay_ms = 0;
    KeReleaseSpinLock(&the_lock, irql);
    if (!has_child) return was_plugged ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
    fail_held_requests(slot);
    if (the_bus) IoInvalidateDeviceRelations(((BusExtension*)the_bus->DeviceExtension)->physical, BusRelations);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -50000000LL; /* 5 s */
    return KeWaitForSingleObject(&slot->removed, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS
               ? STATUS_SUCCESS
               : STATUS_TIMEOUT;
}

/* The slot with the lock held while it holds a plugged device, or null. */
static DeviceSlot* lock_plugged(ULONG number, KIRQL* irql) {
    DeviceSlot* slot = &the_slots[number];
    KeAcquireSpinLock(&the_lock, irql);
    if (slot->plugged) return slot;
    KeReleaseSpinLock(&the_lock, *irql);
    return NULL;
}

/* Hands an input report to a waiting host read, or queues it; called with
 * the lock held, which it releases. */
static void deliver_input(DeviceSlot* slot, const UCHAR* bytes, ULONG length, KIRQL irql) {
    PIRP reader = take_held(&slot->pending_reads);
    if (reader) {
        ++slot->inputs_total;
        KeReleaseSpinLock(&the_lock, irql);
        finish_held(reader, STATUS_SUCCESS, fill_read(reader, bytes, length));
        return;
    }
    if (slot->input_count == HIDSIM_INPUT_QUEUE) {
        /* Full: the oldest report is lost, as on a device whose host is slow. */
        slot->input_head = (slot->input_head + 1) % HIDSIM_INPUT_QUEUE;
        --slot->input_count;
    }
    ULONG at = (slot->input_head + slot->input_count) % HIDSIM_INPUT_QUEUE;
    RtlCopyMemory(slot->input_bytes[at], bytes, length);
    slot->input_length[at] = (UCHAR)length;
    ++slot->input_count;
    KeReleaseSpinLock(&the_lock, irql);
}

static NTSTATUS inject_input(const HidSimReport* report) {
    if (report->slot >= HIDSIM_MAX_DEVICES || report->length < 1 || report->length > HIDSIM_MAX_REPORT) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql;
    DeviceSlot* slot = lock_plugged(report->slot, &irql);
    if (!slot) return STATUS_NO_SUCH_DEVICE;
    RtlCopyMemory(slot->last_input, report->bytes, report->length);
    slot->last_input_length = report->length;
    deliver_input(slot, report->bytes, report->length, irql);
    return STATUS_SUCCESS;
}

/* ---- input reports at intervals ---- */

static LONGLONG counter_now(void) {
    return KeQueryPerformanceCounter(NULL).QuadPart;
}

static LONGLONG counter_ticks(ULONG ms) {
    return the_counter_frequency * ms / 1000;
}

/* The device's state as the host sees it: the last report sent, or the
 * button let go before any. Called with the lock held. */
static ULONG current_input(const DeviceSlot* slot, UCHAR* out) {
    if (slot->last_input_length) {
        RtlCopyMemory(out, slot->last_input, slot->last_input_length);
        return slot->last_input_length;
    }
    RtlZeroMemory(out, slot->config.input_length);
    out[1] = Button_Released;
    return slot->config.input_length;
}

/* Sends the reports that are due, and returns when the next one is (0: none). */
static LONGLONG stream_due_reports(void) {
    LONGLONG next = 0;
    for (ULONG i = 0; i < HIDSIM_MAX_DEVICES; ++i) {
        DeviceSlot* slot = &the_slots[i];
        if (!slot->stream_ms) continue;
        KIRQL irql;
        KeAcquireSpinLock(&the_lock, &irql);
        if (!slot->stream_ms || !slot->plugged) {
            KeReleaseSpinLock(&the_lock, irql);
            continue;
        }
        LONGLONG now = counter_now();
        BOOLEAN due = slot->stream_due <= now;
        if (due) {
            /* A device that fell behind sends the next report one interval
             * on, as a polled device does, not a burst to catch up. */
            slot->stream_due += counter_ticks(slot->stream_ms);
            if (slot->stream_due <= now) slot->stream_due = now + counter_ticks(slot->stream_ms);
        }
        if (!next || slot->stream_due < next) next = slot->stream_due;
        if (!due) {
            KeReleaseSpinLock(&the_lock, irql);
            continue;
        }
        UCHAR report[HIDSIM_MAX_REPORT];
        ULONG length = current_input(slot, report);
        deliver_input(slot, report, length, irql);
    }
    return next;
}

/* Takes the delayed writes whose time has come, and returns when the next
 * one is due (0: none). */
static LONGLONG take_due_writes(void) {
    LONGLONG next = 0;
    for (ULONG i = 0; i < HIDSIM_MAX_DEVICES; ++i) {
        DeviceSlot* slot = &the_slots[i];
        if (IsListEmpty(&slot->delayed_writes)) continue; /* a new one wakes the streamer */
        for (;;) {
            KIRQL irql;
            KeAcquireSpinLock(&the_lock, &irql);
            PIRP irp = slot->plugged ? take_due(&slot->delayed_writes, counter_now(), &next) : NULL;
            KeReleaseSpinLock(&the_lock, irql);
            if (!irp) break;
            finish_held(irp, STATUS_SUCCESS, take_output(slot, irp));
        }
    }
    return next;
}

/* Sends the input reports and takes the output reports that are due, by the
 * driver's own clock, so that a busy host does not change what the device does. */
static VOID NTAPI streamer(PVOID context) {
    (void)context;
    while (!the_stream_stop) {
        LONGLONG next = stream_due_reports();
        LONGLONG write_due = take_due_writes();
        if (write_due && (!next || write_due < next)) next = write_due;
        LARGE_INTEGER timeout;
        if (next) {
            LONGLONG left = next - counter_now();
            timeout.QuadPart = left > 0 ? -(left * 10000000 / the_counter_frequency) : 0;
        }
        KeWaitForSingleObject(&the_stream_wake, Executive, KernelMode, FALSE, next ? &timeout : NULL);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS start_streamer(void) {
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    the_counter_frequency = frequency.QuadPart;
    KeInitializeEvent(&the_stream_wake, SynchronizationEvent, FALSE);
    the_stream_stop = FALSE;
    return PsCreateSystemThread(&the_streamer, THREAD_ALL_ACCESS, NULL, NULL, NULL, streamer, NULL);
}

/* ntddk.h leaves it to ntifs.h. */
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);

static void stop_streamer(void) {
    if (!the_streamer) return;
    the_stream_stop = TRUE;
    KeSetEvent(&the_stream_wake, IO_NO_INCREMENT, FALSE);
    ZwWaitForSingleObject(the_streamer, FALSE, NULL);
    ZwClose(the_streamer);
    the_streamer = NULL;
}

/* Holding leaves output reports unanswered; letting go fails them, as a
 * host's write to a device that never answers fails. */
static NTSTATUS set_hold(const HidSimSetting* setting) {
    if (setting->slot >= HIDSIM_MAX_DEVICES || setting->value > 1) return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    DeviceSlot* slot = lock_plugged(setting->slot, &irql);
    if (!slot) return STATUS_NO_SUCH_DEVICE;
    slot->holding = setting->value != 0;
    KeReleaseSpinLock(&the_lock, irql);
    if (!setting->value) fail_held(&slot->held_writes, STATUS_IO_TIMEOUT);
    return STATUS_SUCCESS;
}

#define HIDSIM_STREAM_MAX_MS 60000
#define HIDSIM_DELAY_MAX_MS 60000

/* Reports already waiting keep their due times. */
static NTSTATUS set_delay(const HidSimSetting* setting) {
    if (setting->slot >= HIDSIM_MAX_DEVICES || setting->value > HIDSIM_DELAY_MAX_MS) return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    DeviceSlot* slot = lock_plugged(setting->slot, &irql);
    if (!slot) return STATUS_NO_SUCH_DEVICE;
    slot->delay_ms = setting->value;
    KeReleaseSpinLock(&the_lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS set_stream(const HidSimSetting* setting) {
    if (setting->slot >= HIDSIM_MAX_DEVICES || setting->value > HIDSIM_STREAM_MAX_MS) return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    DeviceSlot* slot = lock_plugged(setting->slot, &irql);
    if (!slot) return STATUS_NO_SUCH_DEVICE;
    slot->stream_ms = setting->value;
    slot->stream_due = counter_now() + counter_ticks(setting->value);
    KeReleaseSpinLock(&the_lock, irql);
    KeSetEvent(&the_stream_wake, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

static NTSTATUS take_outputs(ULONG number, HidSimOutputs* out) {
    if (number >= HIDSIM_MAX_DEVICES) return STATUS_INVALID_PARAMETER;
    DeviceSlot* slot = &the_slots[number];
    KIRQL irql;
    KeAcquireSpinLock(&the_lock, &irql);
    out->count = slot->output_count;
    out->dropped = slot->output_dropped;
    RtlCopyMemory(out->reports, slot->outputs, slot->output_count * sizeof(HidSimOutput));
    slot->output_count = 0;
    slot->output_dropped = 0;
    KeReleaseSpinLock(&the_lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS status_of(ULONG number, HidSimStatus* out) {
    if (number >= HIDSIM_MAX_DEVICES) return STATUS_INVALID_PARAMETER;
    DeviceSlot* slot = &the_slots[number];
    KIRQL irql;
    RtlZeroMemory(out, sizeof *out);
    KeAcquireSpinLock(&the_lock, &irql);
    out->plugged = slot->plugged;
    out->started = slot->started && slot->child != NULL;
    out->led = slot->led;
    if (slot->child) {
        out->pending_reads = count_held(&slot->pending_reads);
        out->held_outputs = count_held(&slot->held_writes);
        out->delayed_outputs = count_held(&slot->delayed_writes);
    }
    out->queued_inputs = slot->input_count;
    out->outputs_total = slot->outputs_total;
    out->inputs_total = slot->inputs_total;
    out->vendor_id = slot->config.vendor_id;
    out->product_id = slot->config.product_id;
    out->version = slot->config.version;
    out->late_requests = (uint16_t)(slot->late_requests > 0xFFFF ? 0xFFFF : slot->late_requests);
    out->input_length = slot->config.input_length;
    out->output_length = slot->config.output_length;
    out->stream_ms = slot->stream_ms;
    out->delay_ms = slot->delay_ms;
    KeReleaseSpinLock(&the_lock, irql);
    return STATUS_SUCCESS;
}

/* What a plug or unplug request does, run by a worker. */
static NTSTATUS plugging(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    lock_plugging();
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case HIDSIM_IOCTL_PLUG: status = plug(buffer); break;
    case HIDSIM_IOCTL_UNPLUG: status = unplug(((HidSimSlot*)buffer)->slot); break;
    default: /* HIDSIM_IOCTL_UNPLUG_ALL, the only other request deferred to a worker */
        for (ULONG i = 0; i < HIDSIM_MAX_DEVICES; ++i) {
            if (!the_slots[i].child) continue;
            KIRQL irql;
            KeAcquireSpinLock(&the_lock, &irql);
            the_slots[i].plugged = FALSE;
            KeReleaseSpinLock(&the_lock, irql);
        }
        /* One pass over the relations removes them all. */
        for (ULONG i = 0; i < HIDSIM_MAX_DEVICES; ++i) {
            if (the_slots[i].child && unplug(i) != STATUS_SUCCESS) status = STATUS_TIMEOUT;
        }
        break;
    }
    unlock_plugging();
    return status;
}

static VOID NTAPI plugging_worker(PDEVICE_OBJECT device, PVOID context) {
    (void)device;
    PIRP irp = context;
    IoFreeWorkItem(irp->Tail.Overlay.DriverContext[0]);
    complete(irp, plugging(irp), 0);
}

/* Plugging and unplugging wait for Wine's plug-and-play thread, which may in
 * turn wait for a program (a device change is broadcast to its windows) that
 * waits for this device host's one request thread (it is opening a device).
 * Waiting on that thread held both until the unplug gave up after 5 s and
 * answered "fail"; a worker waits instead, and the request thread serves on. */
static NTSTATUS defer_plugging(PIRP irp) {
    PIO_WORKITEM item = IoAllocateWorkItem(the_control);
    if (!item) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    irp->Tail.Overlay.DriverContext[0] = item;
    IoMarkIrpPending(irp);
    IoQueueWorkItem(item, plugging_worker, DelayedWorkQueue, irp);
    return STATUS_PENDING;
}

static NTSTATUS control_request(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status;
    ULONG_PTR information = 0;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case HIDSIM_IOCTL_PLUG:
        if (in_length < sizeof(HidSimPlug)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        return defer_plugging(irp);
    case HIDSIM_IOCTL_UNPLUG:
        if (in_length < sizeof(HidSimSlot)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        return defer_plugging(irp);
    case HIDSIM_IOCTL_UNPLUG_ALL:
        return defer_plugging(irp);
    case HIDSIM_IOCTL_INPUT:
        if (in_length < sizeof(HidSimReport)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        status = inject_input(buffer);
        break;
    case HIDSIM_IOCTL_STREAM:
        if (in_length < sizeof(HidSimSetting)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        status = set_stream(buffer);
        break;
    case HIDSIM_IOCTL_HOLD:
        if (in_length < sizeof(HidSimSetting)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        status = set_hold(buffer);
        break;
    case HIDSIM_IOCTL_DELAY:
        if (in_length < sizeof(HidSimSetting)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        status = set_delay(buffer);
        break;
    case HIDSIM_IOCTL_TAKE_OUTPUTS: {
        if (in_length < sizeof(HidSimSlot) || out_length < sizeof(HidSimOutputs)) {
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        ULONG number = ((HidSimSlot*)buffer)->slot;
        status = take_outputs(number, buffer);
        if (NT_SUCCESS(status)) information = sizeof(HidSimOutputs);
        break;
    }
    case HIDSIM_IOCTL_STATUS: {
        if (in_length < sizeof(HidSimSlot) || out_length < sizeof(HidSimStatus)) {
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        ULONG number = ((HidSimSlot*)buffer)->slot;
        status = status_of(number, buffer);
        if (NT_SUCCESS(status)) information = sizeof(HidSimStatus);
        break;
    }
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return complete(irp, status, information);
}

/* ---- dispatch ---- */

static NTSTATUS NTAPI dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) {
    switch (kind_of(device)) {
    case DeviceKind_Bus: return bus_pnp(device, irp);
    case DeviceKind_Child: return child_pnp(device, irp);
    default: return complete(irp, STATUS_NOT_SUPPORTED, 0);
    }
}

static NTSTATUS NTAPI dispatch_power(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    if (kind_of(device) == DeviceKind_Bus) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(((BusExtension*)device->DeviceExtension)->lower, irp);
    }
    NTSTATUS status = irp->IoStatus.Status;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    }
    return complete(irp, status, irp->IoStatus.Information);
}

/* Requests nobody here handles: the system does not fill the table for us. */
static NTSTATUS NTAPI dispatch_unsupported(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI dispatch_open_close(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
    if (kind_of(device) == DeviceKind_Control) return control_request(irp);
    if (kind_of(device) == DeviceKind_Bus) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(((BusExtension*)device->DeviceExtension)->lower, irp);
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI dispatch_internal_control(PDEVICE_OBJECT device, PIRP irp) {
    if (kind_of(device) == DeviceKind_Child) {
        ChildExtension* ext = device->DeviceExtension;
        if (!child_enter(ext)) return complete(irp, STATUS_DELETE_PENDING, 0);
        NTSTATUS status = child_hid_request(device, irp);
        if (status != STATUS_PENDING) child_leave(ext); /* a held read leaves when it is finished */
        return status;
    }
    if (kind_of(device) == DeviceKind_Bus) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(((BusExtension*)device->DeviceExtension)->lower, irp);
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS create_control(void) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, HIDSIM_CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&link, HIDSIM_CONTROL_LINK_NAME);
    PDEVICE_OBJECT control;
    NTSTATUS status = IoCreateDevice(the_driver, sizeof(ControlExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &control);
    if (!NT_SUCCESS(status)) return status;
    ((ControlExtension*)control->DeviceExtension)->kind = DeviceKind_Control;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    the_control = control;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    if (the_bus) return STATUS_DEVICE_ALREADY_ATTACHED; /* one bus per system */
    PDEVICE_OBJECT bus;
    NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &bus);
    if (!NT_SUCCESS(status)) return status;
    BusExtension* ext = bus->DeviceExtension;
    ext->kind = DeviceKind_Bus;
    ext->physical = physical;
    ext->lower = IoAttachDeviceToDeviceStack(bus, physical);
    if (!ext->lower) {
        IoDeleteDevice(bus);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (!the_control && !NT_SUCCESS(status = create_control())) {
        IoDetachDevice(ext->lower);
        IoDeleteDevice(bus);
        return status;
    }
    the_bus = bus;
    bus->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI unload(PDRIVER_OBJECT driver) {
    (void)driver;
    stop_streamer();
    delete_control();
    free_kept(TRUE);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    (void)registry_path;
    the_driver = driver;
    KeInitializeSpinLock(&the_lock);
    KeInitializeEvent(&the_plug_lock, SynchronizationEvent, TRUE);
    InitializeListHead(&the_kept);
    for (ULONG i = 0; i < HIDSIM_MAX_DEVICES; ++i) {
        KeInitializeEvent(&the_slots[i].removed, NotificationEvent, TRUE);
        InitializeListHead(&the_slots[i].pending_reads);
        InitializeListHead(&the_slots[i].held_writes);
        InitializeListHead(&the_slots[i].delayed_writes);
    }
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = dispatch_unsupported;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal_control;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    return start_streamer();
}
