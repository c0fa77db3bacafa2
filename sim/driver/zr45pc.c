/* Substitute for the maker's platform-controller driver of the ZR-45.
 *
 * It creates one device, reachable through the device interface path that the
 * simulated machine defines in the registry, and answers exactly one request:
 * IOCTL 0x00222940 (METHOD_BUFFERED, no input) with the bytes of the service
 * key's REG_BINARY value "Reply", read at every request so a scenario can change
 * them (and their length) without restarting the driver. Every other request fails.
 * Each answered or refused model-number request increments "RequestCount".
 *
 * It keeps the contract a real driver of this kind documents to its callers:
 * - an exclusive device: one handle open at a time, a second open refused
 *   ("Specifying Exclusive Access to Device Objects"; IoCreateDevice's Exclusive).
 *   Wine 8 neither enforces it nor waits for the driver's answer to an open: the
 *   caller gets its handle before IRP_MJ_CREATE is refused. The refusal therefore
 *   shows on that handle's first request, which fails with STATUS_ACCESS_DENIED;
 * - an unrecognised control code completes with STATUS_INVALID_DEVICE_REQUEST and
 *   no data; input where the request takes none, STATUS_INVALID_PARAMETER; an output
 *   buffer shorter than the reply, STATUS_BUFFER_TOO_SMALL and no data ("Guidelines
 *   for Writing Dispatch(Internal)DeviceControl Routines"); a METHOD_BUFFERED reply
 *   goes to the system buffer ("Buffer Descriptions for I/O Control Codes"). */
#include <ntddk.h>

#define IOCTL_GET_MODEL_NUMBER CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA50, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define POOL_TAG 0x7035347aU /* "z45p" */
/* Larger than any reply the tool accepts; a bigger value is a scenario error. */
#define MAX_REPLY 1024

static const WCHAR device_name[] = L"\\Device\\ZR45PlatformController";
/* Matches the interface the machine registers for ROOT\ZR45PC\0000; names match without case. */
static const WCHAR link_name[] = L"\\DosDevices\\ROOT#ZR45PC#0000#{80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}";

static UNICODE_STRING service_key;
/* The file object of the one open the device allows, or NULL. */
static PVOID holder;

static NTSTATUS open_service_key(HANDLE* key) {
  OBJECT_ATTRIBUTES attr;
  InitializeObjectAttributes(&attr, &service_key, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  return ZwOpenKey(key, KEY_READ | KEY_SET_VALUE, &attr);
}

/* Bumps "RequestCount" so the scenario can tell whether the request was sent at all. */
static void count_request(HANDLE key) {
  UNICODE_STRING name;
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  KEY_VALUE_PARTIAL_INFORMATION* info = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
  ULONG got = 0, count = 0;

  RtlInitUnicodeString(&name, L"RequestCount");
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &got)) &&
      info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
    RtlCopyMemory(&count, info->Data, sizeof(ULONG));
  ++count;
  ZwSetValueKey(key, &name, 0, REG_DWORD, &count, sizeof(count));
}

/* Copies "Reply" into out; returns its length through *length. */
static NTSTATUS read_reply(HANDLE key, void* out, ULONG capacity, ULONG* length) {
  UNICODE_STRING name;
  ULONG size = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + MAX_REPLY, got = 0;
  KEY_VALUE_PARTIAL_INFORMATION* info;
  NTSTATUS status;

  *length = 0;
  info = ExAllocatePoolWithTag(PagedPool, size, POOL_TAG);
  if (!info) return STATUS_INSUFFICIENT_RESOURCES;
  RtlInitUnicodeString(&name, L"Reply");
  status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, size, &got);
  if (NT_SUCCESS(status) && info->Type != REG_BINARY) status = STATUS_DEVICE_NOT_READY;
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_DEVICE_NOT_READY;
  if (NT_SUCCESS(status) && info->DataLength > capacity) status = STATUS_BUFFER_TOO_SMALL;
  if (NT_SUCCESS(status)) {
    RtlCopyMemory(out, info->Data, info->DataLength);
    *length = info->DataLength;
  }
  ExFreePoolWithTag(info, POOL_TAG);
  return status;
}

static NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS WINAPI dispatch_create(DEVICE_OBJECT* device, IRP* irp) {
  FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  (void)device;
  if (InterlockedCompareExchangePointer(&holder, file, NULL) != NULL) return complete(irp, STATUS_ACCESS_DENIED, 0);
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_close(DEVICE_OBJECT* device, IRP* irp) {
  FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  (void)device;
  InterlockedCompareExchangePointer(&holder, NULL, file);
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_control(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG length = 0;
  HANDLE key;
  NTSTATUS status;

  (void)device;
  if (stack->FileObject != holder) return complete(irp, STATUS_ACCESS_DENIED, 0);
  if (code != IOCTL_GET_MODEL_NUMBER) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (in_length != 0) return complete(irp, STATUS_INVALID_PARAMETER, 0);

  status = open_service_key(&key);
  if (!NT_SUCCESS(status)) return complete(irp, STATUS_DEVICE_NOT_READY, 0);
  count_request(key);
  status = read_reply(key, irp->AssociatedIrp.SystemBuffer, out_length, &length);
  ZwClose(key);
  return complete(irp, status, NT_SUCCESS(status) ? length : 0);
}

static void WINAPI driver_unload(DRIVER_OBJECT* driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, link_name);
  IoDeleteSymbolicLink(&link);
  if (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
  if (service_key.Buffer) ExFreePoolWithTag(service_key.Buffer, POOL_TAG);
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path) {
  UNICODE_STRING name, link;
  DEVICE_OBJECT* device;
  NTSTATUS status;

  service_key.Length = registry_path->Length;
  service_key.MaximumLength = registry_path->Length + sizeof(WCHAR);
  service_key.Buffer = ExAllocatePoolWithTag(PagedPool, service_key.MaximumLength, POOL_TAG);
  if (!service_key.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(service_key.Buffer, registry_path->Buffer, registry_path->Length);
  service_key.Buffer[registry_path->Length / sizeof(WCHAR)] = 0;

  RtlInitUnicodeString(&name, device_name);
  status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &device);
  if (!NT_SUCCESS(status)) goto fail;
  RtlInitUnicodeString(&link, link_name);
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    goto fail;
  }

  driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
  driver->DriverUnload = driver_unload;
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;

fail:
  ExFreePoolWithTag(service_key.Buffer, POOL_TAG);
  service_key.Buffer = NULL;
  return status;
}
