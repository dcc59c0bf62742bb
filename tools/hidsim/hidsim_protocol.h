/* The control channel between user mode and the virtual bus: the control
 * device's name, its request codes and the records they carry. Shared by the
 * bus driver (C) and the client library (C++); every record is 32-bit exact. */
#ifndef HIDSIM_PROTOCOL_H
#define HIDSIM_PROTOCOL_H

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#else
#include <stddef.h>
#include <stdint.h>
#endif

/* User mode opens "\\.\HidSimControl"; the bus creates the device and link. */
#define HIDSIM_CONTROL_DEVICE_NAME L"\\Device\\HidSimControl"
#define HIDSIM_CONTROL_LINK_NAME L"\\DosDevices\\HidSimControl"
#define HIDSIM_CONTROL_PATH "\\\\.\\HidSimControl"

/* Device slots: a device is addressed by its slot; 320 leaves room for more
 * interfaces than the 256 a host enumerates. */
#define HIDSIM_MAX_DEVICES 320
#define HIDSIM_MAX_REPORT 64  /* bytes of one report as the host sees it, ID byte included */
#define HIDSIM_MAX_STRING 64  /* characters of one device string, terminator included */
#define HIDSIM_INPUT_QUEUE 32 /* input reports held while nobody reads */
#define HIDSIM_OUTPUT_LOG 64  /* output reports kept until read */

/* CTL_CODE(0x8000, function, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define HIDSIM_CTL(function) ((0x8000u << 16) | ((unsigned)(function) << 2))
#define HIDSIM_IOCTL_PLUG HIDSIM_CTL(0x801)          /* in HidSimPlug */
#define HIDSIM_IOCTL_UNPLUG HIDSIM_CTL(0x802)        /* in HidSimSlot */
#define HIDSIM_IOCTL_INPUT HIDSIM_CTL(0x803)         /* in HidSimReport */
#define HIDSIM_IOCTL_TAKE_OUTPUTS HIDSIM_CTL(0x804)  /* in HidSimSlot, out HidSimOutputs */
#define HIDSIM_IOCTL_STATUS HIDSIM_CTL(0x805)        /* in HidSimSlot, out HidSimStatus */
#define HIDSIM_IOCTL_UNPLUG_ALL HIDSIM_CTL(0x806)    /* no data */
#define HIDSIM_IOCTL_STREAM HIDSIM_CTL(0x807)        /* in HidSimSetting: interval in ms, 0 on change only */
#define HIDSIM_IOCTL_HOLD HIDSIM_CTL(0x808)          /* in HidSimSetting: 1 hold output reports, 0 fail the held */
#define HIDSIM_IOCTL_DELAY HIDSIM_CTL(0x809)         /* in HidSimSetting: ms each output report waits to be taken, 0 at once */

typedef struct HidSimSlot {
    uint32_t slot;
} HidSimSlot;

typedef struct HidSimSetting {
    uint32_t slot;
    uint32_t value;
} HidSimSetting;

/* Report lengths as the host sees them, ID byte included: 0 gives the
 * default, 2 (one data byte each way). */
#define HIDSIM_DEFAULT_REPORT 2

typedef struct HidSimPlug {
    uint32_t slot;
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t version;
    uint8_t input_length;  /* 2..HIDSIM_MAX_REPORT, or 0 */
    uint8_t output_length;
    uint16_t manufacturer[HIDSIM_MAX_STRING]; /* UTF-16, terminated */
    uint16_t product[HIDSIM_MAX_STRING];
    uint16_t serial[HIDSIM_MAX_STRING];
} HidSimPlug;

/* A report as the host sees it: bytes[0] is the report ID (0 for this device). */
typedef struct HidSimReport {
    uint32_t slot;
    uint32_t length;
    uint8_t bytes[HIDSIM_MAX_REPORT];
} HidSimReport;

typedef struct HidSimOutput {
    uint32_t length;
    uint8_t bytes[HIDSIM_MAX_REPORT];
} HidSimOutput;

typedef struct HidSimOutputs {
    uint32_t count;   /* reports returned, oldest first */
    uint32_t dropped; /* reports that did not fit in the log since the last take */
    HidSimOutput reports[HIDSIM_OUTPUT_LOG];
} HidSimOutputs;

/* Led_* values: what the last output report said. */
enum { HidSimLed_Unknown = 0, HidSimLed_On = 1, HidSimLed_Off = 2, HidSimLed_Other = 3 };

typedef struct HidSimStatus {
    uint32_t plugged;       /* 1 while the bus reports the device */
    uint32_t started;       /* 1 between the host's start and removal of the device */
    uint32_t led;           /* HidSimLed_* */
    uint32_t pending_reads; /* host reads waiting for an input report */
    uint32_t queued_inputs; /* input reports waiting for a host read */
    uint32_t outputs_total; /* output reports received since plugged */
    uint32_t inputs_total;  /* input reports delivered to the host since plugged */
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t version;
    uint16_t late_requests; /* requests that reached a removed device of this slot */
    uint16_t input_length;  /* report lengths the host sees, ID byte included */
    uint16_t output_length;
    uint32_t stream_ms;     /* interval of the input reports sent unasked, 0 on change only */
    uint32_t held_outputs;  /* output reports held unanswered */
    uint32_t delay_ms;      /* how long an output report waits before it is taken, 0 at once */
    uint32_t delayed_outputs; /* output reports waiting out that delay */
} HidSimStatus;

#ifdef __cplusplus
static_assert(sizeof(HidSimPlug) == 12 + 3 * 2 * HIDSIM_MAX_STRING);
static_assert(sizeof(HidSimReport) == 8 + HIDSIM_MAX_REPORT);
static_assert(sizeof(HidSimOutputs) == 8 + HIDSIM_OUTPUT_LOG * (4 + HIDSIM_MAX_REPORT));
static_assert(sizeof(HidSimStatus) == 56);
#else
_Static_assert(sizeof(HidSimPlug) == 12 + 3 * 2 * HIDSIM_MAX_STRING, "plug record");
_Static_assert(sizeof(HidSimReport) == 8 + HIDSIM_MAX_REPORT, "report record");
_Static_assert(sizeof(HidSimStatus) == 56, "status record");
#endif

#endif
