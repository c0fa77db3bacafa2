// Code of the stand-in TPM driver images, shaped like the Windows TPM driver: a
// KMDF driver whose entry binds to the framework through its loader, WDFLDR.SYS,
// and otherwise calls only the kernel. Nothing runs it: the simulated machine
// never starts the TPM service, and the tool only reads the image's version.
#include <ntddk.h>

// The framework loader's binding call (WDFLDR.SYS); its structures are opaque here.
NTSTATUS NTAPI WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath, PVOID BindInfo,
                              PVOID* ComponentGlobals);

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  PVOID globals = NULL;
  NTSTATUS status = WdfVersionBind(DriverObject, RegistryPath, NULL, &globals);
  if (!NT_SUCCESS(status)) DbgPrint("tpm: WdfVersionBind failed 0x%08lx\n", status);
  return status;
}
