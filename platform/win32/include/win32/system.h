/*
 * The system under the file and serial API. The first call that needs it
 * (CreateFile, CreateEvent) starts it in this process unless it is up
 * already; what was started here is stopped again at exit. The default
 * starter brings up the whole machine: the kernel layer, the simulated
 * controllers of $NERAVOX_CONFIG (or the built-in configuration) and the
 * port driver on their ports. A program that wants other drivers and
 * devices registers a starter of its own before its first call.
 */
#pragma once

#include "win32/base.h"

namespace win32 {

/* Returns an NTSTATUS: a failure leaves the system down, and the call
 * that needed it fails with the mapped error. */
using SystemStarter = LONG (*)();
/* Runs at exit before the kernel layer shuts down. May be NULL. */
using SystemStopper = void (*)();

/* A NULL starter restores the default one. */
void SetSystemStarter(SystemStarter starter, SystemStopper stopper = nullptr);

/* Starts the system if it is not up; FALSE (with the last error) if that
 * fails. */
BOOL EnsureSystem();

/* The Win32 error for an NTSTATUS, as the system's own table maps the
 * statuses that the I/O path produces; ERROR_MR_MID_NOT_FOUND otherwise. */
DWORD ErrorFromStatus(LONG status);

} // namespace win32

/* For programs that cannot reach the C++ names (ctypes, C). */
WIN32_EXTERN_C DWORD WINAPI RtlNtStatusToDosError(LONG status);
