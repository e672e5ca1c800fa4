#define KUNIT "neravoxdriver"
#include "neravoxdriver.h"
#include "neravoxdevice.h"
#include "ktrace.h"
#include "kunitnam.h"

DECLARE_KDRIVER(NERAVOXDriver)

/* Initialises the compiler's stack-protection cookie; supplied by the
   image's start-up support (a no-op where the platform does it). */
EXTERN_C void __security_init_cookie(void);

/* Runs before the cookie is set, so it carries no canary itself. */
EXTERN_C __attribute__((no_stack_protector)) NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                  PUNICODE_STRING RegistryPath) {
  __security_init_cookie();
  return KDriverEntry(DriverObject, RegistryPath);
}

/* __TIME__ is "hh:mm:ss" and __DATE__ "Mmm dd yyyy" with the day padded
   by a space: the banner's format. */
NTSTATUS NERAVOXDriver::DriverEntry(PUNICODE_STRING RegistryPath) {
  if (g_Trace != NULL) g_Trace->Trace(1, "NERAVOXDriver::DriverEntry++. Compiled at %s on %s\n", __TIME__, __DATE__);
  m_NextUnit = 0;
  if (g_Trace != NULL) g_Trace->Trace(1, "NERAVOXDriver::DriverEntry--. STATUS %x\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

VOID NERAVOXDriver::Unload() {
  if (g_Trace != NULL) g_Trace->Trace(1, "NERAVOXDriver::Unload++.\n");
  KDriver::Unload();
  if (g_Trace != NULL) g_Trace->Trace(1, "NERAVOXDriver::Unload--.\n");
}

NTSTATUS NERAVOXDriver::AddDevice(PDEVICE_OBJECT Pdo) {
  if (g_Trace != NULL) g_Trace->Trace(1, "NERAVOXDriver::AddDevice++.\n");
  NERAVOXDevice *device = NULL;
  {
    KUnitName name(L"NERAVOXDevice", m_NextUnit, 10);
    if (name.Buffer() != NULL)
      device = new (name.Buffer(), FILE_DEVICE_SERIAL_PORT, NULL, 0, DO_BUFFERED_IO | DO_EXCLUSIVE | DO_POWER_PAGABLE)
          NERAVOXDevice(Pdo, m_NextUnit);
  }
  NTSTATUS status;
  if (device == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    status = device->ConstructorStatus();
    if (NT_SUCCESS(status)) {
      m_NextUnit++;
    } else {
      if (g_Trace != NULL)
        *g_Trace << "Error constructing device NERAVOX " << (ULONG)m_NextUnit << " status " << (LONG)status << "\n";
      device->Destroy();
    }
  }
  if (g_Trace != NULL) g_Trace->Trace(1, "NERAVOXDriver::AddDevice--. STATUS %x\n", status);
  return status;
}
