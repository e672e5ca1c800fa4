/*
 * Makes the recording ports the system of any program that loads this
 * library: C programs link it, Python loads it before the serial API.
 */
#include <ntddk.h>
#include <nt/system.h>

#include "recording_port.h"
#include "win32/system.h"

namespace {

LONG StartRecordingSystem()
{
    NTSTATUS status = nt::Boot();
    if (!NT_SUCCESS(status))
        return status;
    return w32test::LoadRecordingPorts();
}

struct Register {
    Register() { win32::SetSystemStarter(StartRecordingSystem); }
} g_Register;

} // namespace

/* Lets a loader check that this library is in. */
extern "C" int W32TestSystemPresent(void)
{
    return 1;
}
