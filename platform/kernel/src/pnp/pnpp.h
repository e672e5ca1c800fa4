/*
 * Inside the PnP manager and driver loading.
 */
#pragma once

#include <nt/pnp.h>
#include <nt/system.h>

#include <string>

#include "ki.h"

/* ---- drivers (driver.cpp) ---- */
/* Loads, unloads as nt::LoadDriver / nt::UnloadDriver do. Quiet: a
 * non-empty report is printed (stderr and debug output), never a bug check. */
NTSTATUS PnpUnloadDriverQuietly(PDRIVER_OBJECT Driver);
/* Unloads every driver loaded through nt::LoadDriver, newest first, quietly. */
void PnpUnloadAllDrivers();
/* The name a driver was loaded under ("NAME"), "" if none. */
std::string PnpDriverName(PDRIVER_OBJECT Driver);

/* Bug-check codes and parameter-1 sub-codes the PnP manager uses. */
#define PNP_BUGCHECK_FATAL_ERROR 0xCA          /* PNP_DETECTED_FATAL_ERROR */
#define PNP_FATAL_DUPLICATE_PDO 0x1            /* two PDOs with one instance path */
#define PNP_FATAL_REQUEST_TIMEOUT 0x100        /* a PnP request not completed in time */
#define PNP_BUGCHECK_POWER_STATE_FAILURE 0x9F  /* DRIVER_POWER_STATE_FAILURE */
#define PNP_POWER_REQUEST_TIMEOUT 0x3          /* a power request not completed in time */
#define PNP_VERIFIER_DEVICE_NOT_DELETED 0x230  /* 0xC9: device object left after IRP_MN_REMOVE_DEVICE */
#define PNP_VERIFIER_ENTRY_IRQL 0x231          /* 0xC9: DriverEntry, AddDevice or Unload returned above PASSIVE_LEVEL */

/* Calls into a driver at PASSIVE_LEVEL and checks it comes back there. */
void PnpCheckReturnIrql(PDRIVER_OBJECT Driver, const char *Routine);
