/*
 * Control API of the kernel layer, for tests and tools: the "system" around
 * the driver. Nothing here is visible to driver code.
 */
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <string>
#include <vector>

namespace nt {

struct BootOptions {
  /* Echo debug output to stderr as it is printed. */
  bool EchoDebugOutput = false;

  /* Registry keys that tell the platform family apart: a machine of the NT
   * family has ...\CurrentControlSet\Control\Class; one of the older family
   * has ...\CurrentControlSet\Services\Class instead. */
  bool ControlClassKey = true;
  bool ServicesClassKey = false;

  /* Verifier: a driver unloading with pool, device objects or requests left
   * behind bug-checks (0xC4 / 0xCE). UnloadDriver with a report never does. */
  bool BugCheckOnUnloadLeaks = true;
  /* Verifier: a PnP or power request that the driver stack has not completed
   * after this many milliseconds bug-checks (0xCA for PnP, 0x9F for power).
   * 0 waits for ever. */
  unsigned PnpRequestTimeoutMs = 60000;
};

/* Brings up a fresh system: pool, kernel threads, object namespace,
 * registry, PnP manager. Fails if one is already up. */
NTSTATUS Boot(const BootOptions &Options = {});
/* Tears it down again: removes every device the PnP manager started and
 * unloads every driver still loaded; everything the system created is gone
 * afterwards. */
void Shutdown();
bool IsBooted();

/* Whether Path ("\DosDevices\COM5", "\Device\X") names an object of the
 * namespace, following symbolic links. */
bool NameExists(const std::string &Path);
const BootOptions &CurrentBootOptions();

/* ---- drivers ---- */

using DriverEntryRoutine = NTSTATUS (*)(struct _DRIVER_OBJECT *DriverObject, PUNICODE_STRING RegistryPath);

/* Creates \Driver\<Name> with every MajorFunction entry set to the system's
 * default (which completes the request with STATUS_INVALID_DEVICE_REQUEST),
 * makes sure ...\Services\<Name> exists, and calls Entry with the driver
 * object and that key's path at PASSIVE_LEVEL. If Entry fails the driver
 * object is deleted again (DriverUnload is not called) and its status
 * returned; what it left behind is reported as for an unload.
 * STATUS_OBJECT_NAME_COLLISION if a driver of that name is loaded. */
NTSTATUS LoadDriver(const char *Name, DriverEntryRoutine Entry, struct _DRIVER_OBJECT **Driver = nullptr);
NTSTATUS LoadDriver(PCWSTR Name, DriverEntryRoutine Entry, struct _DRIVER_OBJECT **Driver = nullptr);
/* The loaded driver of that name, or NULL. */
struct _DRIVER_OBJECT *FindDriver(const char *Name);

/* What a driver left behind when it unloaded. */
struct UnloadReport {
  struct PoolLeak {
    ULONG Tag;          /* as passed to ExAllocatePoolWithTag */
    std::string TagText; /* the tag's four characters as they lie in memory ("NRVX") */
    size_t Blocks;
    size_t Bytes;
  };
  std::string Driver;            /* "\Driver\NAME" */
  std::vector<PoolLeak> Pool;    /* by tag */
  std::vector<std::string> Devices; /* device objects still in the driver's list, by name or address */
  size_t Irps = 0;               /* requests handed to the driver and never completed */
  bool Empty() const { return Pool.empty() && Devices.empty() && Irps == 0; }
  std::string Text() const;
};

/* Calls the driver's DriverUnload (if it has one) at PASSIVE_LEVEL, then
 * checks what is left. Without Report a non-empty report bug-checks when
 * BootOptions::BugCheckOnUnloadLeaks is set (0xCE for devices or requests
 * left, 0xC4 with parameter 1 = 0x62 for pool); with Report it is returned
 * and nothing stops. STATUS_OBJECT_NAME_NOT_FOUND if no such driver. */
NTSTATUS UnloadDriver(const char *Name, UnloadReport *Report = nullptr);
NTSTATUS UnloadDriver(struct _DRIVER_OBJECT *Driver, UnloadReport *Report = nullptr);

}  // namespace nt
