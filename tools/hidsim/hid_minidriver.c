/* The HID minidriver of the virtual bus's children. hidclass owns the device
 * objects and takes over this driver's dispatch table; every request it hands
 * on goes down to the child's physical device, which the bus driver answers. */
#include <ntddk.h>

#include "tools/hidsim/hid_protocol.h"

NTSTATUS NTAPI HidRegisterMinidriver(HidSimMinidriverRegistration* registration);

static PDEVICE_OBJECT lower_of(PDEVICE_OBJECT device) {
    return ((HidSimHidDeviceExtension*)device->DeviceExtension)->NextDeviceObject;
}

static NTSTATUS NTAPI pass_down(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower_of(device), irp);
}

static NTSTATUS NTAPI pass_power_down(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower_of(device), irp);
}

/* Requests hidclass leaves to the minidriver and this one does not handle;
 * the system does not fill the table by itself. */
static NTSTATUS NTAPI unsupported(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

static NTSTATUS NTAPI add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
    (void)driver;
    (void)device;
    return STATUS_SUCCESS;
}

static VOID NTAPI unload(PDRIVER_OBJECT driver) {
    (void)driver;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = unsupported;
    driver->MajorFunction[IRP_MJ_PNP] = pass_down;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = pass_down;
    driver->MajorFunction[IRP_MJ_POWER] = pass_power_down;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;

    HidSimMinidriverRegistration registration;
    RtlZeroMemory(&registration, sizeof registration);
    registration.Revision = HidSim_HidRevision;
    registration.DriverObject = driver;
    registration.RegistryPath = registry_path;
    registration.DeviceExtensionSize = 0;
    registration.DevicesArePolled = FALSE;
    return HidRegisterMinidriver(&registration);
}
