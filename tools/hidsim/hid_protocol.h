/* The HID minidriver interface as hidclass.sys speaks it: request codes,
 * records and string IDs, declared here because the cross toolchain's headers
 * lack them or give values meant for user mode. */
#ifndef HIDSIM_HID_PROTOCOL_H
#define HIDSIM_HID_PROTOCOL_H

#include <ntddk.h>

#define HIDSIM_FILE_DEVICE_KEYBOARD 0x0000000Bu
#define HIDSIM_HID_CTL(id, method) ((HIDSIM_FILE_DEVICE_KEYBOARD << 16) | ((ULONG)(id) << 2) | (method))

/* Requests hidclass sends down the minidriver's stack (METHOD_NEITHER). */
#define HidIoctl_GetDeviceDescriptor HIDSIM_HID_CTL(0, METHOD_NEITHER)
#define HidIoctl_GetReportDescriptor HIDSIM_HID_CTL(1, METHOD_NEITHER)
#define HidIoctl_ReadReport HIDSIM_HID_CTL(2, METHOD_NEITHER)
#define HidIoctl_WriteReport HIDSIM_HID_CTL(3, METHOD_NEITHER)
#define HidIoctl_GetString HIDSIM_HID_CTL(4, METHOD_NEITHER)
#define HidIoctl_ActivateDevice HIDSIM_HID_CTL(7, METHOD_NEITHER)
#define HidIoctl_DeactivateDevice HIDSIM_HID_CTL(8, METHOD_NEITHER)
#define HidIoctl_GetDeviceAttributes HIDSIM_HID_CTL(9, METHOD_NEITHER)
/* Requests that keep their user-mode codes on the way down. */
#define HidIoctl_SetOutputReport HIDSIM_HID_CTL(101, METHOD_IN_DIRECT)
#define HidIoctl_GetInputReport HIDSIM_HID_CTL(104, METHOD_OUT_DIRECT)

/* String IDs of the get-string request (low word of its argument). */
#define HidString_Manufacturer 14
#define HidString_Product 15
#define HidString_Serial 16
#define HidString_WineManufacturer 1
#define HidString_WineProduct 2
#define HidString_WineSerial 3

/* Bytes rounded up to a pointer: where hidclass's records place a pointer-sized
 * field, and how far they are padded, on i386 and on amd64 alike. */
#define HIDSIM_POINTER_ALIGNED(n) (((n) + sizeof(void*) - 1) / sizeof(void*) * sizeof(void*))

#define HidDescriptor_Hid 0x21
#define HidDescriptor_Report 0x22

#pragma pack(push, 1)
typedef struct HidSimHidDescriptor {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    UCHAR bReportType;
    USHORT wReportLength;
} HidSimHidDescriptor;
#pragma pack(pop)
_Static_assert(sizeof(HidSimHidDescriptor) == 9, "HID descriptor is 9 bytes");

typedef struct HidSimDeviceAttributes {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} HidSimDeviceAttributes;
_Static_assert(sizeof(HidSimDeviceAttributes) == 32, "HID device attributes are 32 bytes");

typedef struct HidSimXferPacket {
    PUCHAR reportBuffer;
    ULONG reportBufferLen;
    UCHAR reportId;
} HidSimXferPacket;
_Static_assert(sizeof(HidSimXferPacket) == HIDSIM_POINTER_ALIGNED(sizeof(void*) + 5),
               "transfer packet: a pointer, a length and the ID (12 bytes on i386)");

typedef struct HidSimMinidriverRegistration {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} HidSimMinidriverRegistration;
_Static_assert(sizeof(HidSimMinidriverRegistration) == HIDSIM_POINTER_ALIGNED(4) + 2 * sizeof(void*) + 8,
               "registration: revision, two pointers, extension size and flags (20 bytes on i386)");

/* hidclass puts this at the start of each device object it creates for the minidriver. */
typedef struct HidSimHidDeviceExtension {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} HidSimHidDeviceExtension;

#define HidSim_HidRevision 1

#endif
