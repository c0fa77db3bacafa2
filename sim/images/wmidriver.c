// Code of the stand-in TPM driver images linked as a DLL, the shape of a kernel export
// driver: a WDM driver that answers WMI requests through the kernel's WMI library,
// WMILIB.SYS, which Windows keeps in System32\drivers, outside every DLL search.
// Nothing runs it: the tool only reads the image's version.
#include <ntddk.h>
#include <wmilib.h>

static WMILIB_CONTEXT wmi;

static NTSTATUS NTAPI system_control(PDEVICE_OBJECT device, PIRP irp) {
  SYSCTL_IRP_DISPOSITION disposition = IrpNotCompleted;
  NTSTATUS status = WmiSystemControl(&wmi, device, irp, &disposition);
  if (disposition == IrpNotCompleted) IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  (void)RegistryPath;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = system_control;
  return STATUS_SUCCESS;
}
