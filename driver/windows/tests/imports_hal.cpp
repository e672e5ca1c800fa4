/* A driver that imports hal.dll: the image check must refuse it. */
#include "../../framework/kplatform.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  KeStallExecutionProcessor(1);
  return STATUS_SUCCESS;
}
