#include <ntddk.h>
#include <nt/system.h>

#include <windows.h>
#include "win32/system.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "system/system.h"

namespace win32 {
namespace {

/* The machine with the controllers fitted and the driver installed; the
 * configuration is $NERAVOX_CONFIG or the built-in one. */
LONG StartMachine()
{
    std::string error;
    NTSTATUS status = sim::system::Start(nullptr, &error);
    if (!error.empty())
        std::fprintf(stderr, "kernel32: the system cannot start: %s\n", error.c_str());
    return status;
}

std::mutex g_SystemLock;
SystemStarter g_Starter = StartMachine;
SystemStopper g_Stopper = sim::system::Stop;
bool g_StartedHere = false;
bool g_ExitHookSet = false;

void StopAtExit()
{
    std::lock_guard<std::mutex> guard(g_SystemLock);
    if (!g_StartedHere)
        return;
    g_StartedHere = false;
    if (g_Stopper != nullptr)
        g_Stopper();
    if (nt::IsBooted())
        nt::Shutdown();
}

} // namespace

void SetSystemStarter(SystemStarter starter, SystemStopper stopper)
{
    std::lock_guard<std::mutex> guard(g_SystemLock);
    if (starter == nullptr) {
        g_Starter = StartMachine;
        g_Stopper = sim::system::Stop;
    } else {
        g_Starter = starter;
        g_Stopper = stopper;
    }
}

BOOL EnsureSystem()
{
    std::lock_guard<std::mutex> guard(g_SystemLock);
    if (nt::IsBooted())
        return TRUE;
    LONG status = g_Starter();
    if (!NT_SUCCESS(status)) {
        if (nt::IsBooted())
            nt::Shutdown();
        SetLastError(ErrorFromStatus(status));
        return FALSE;
    }
    g_StartedHere = true;
    if (!g_ExitHookSet) {
        g_ExitHookSet = true;
        std::atexit(StopAtExit);
    }
    return TRUE;
}

DWORD ErrorFromStatus(LONG status)
{
    struct Entry {
        NTSTATUS Status;
        DWORD Error;
    };
    static const Entry kTable[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_TIMEOUT, ERROR_TIMEOUT},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_SERIAL_MORE_WRITES, ERROR_MORE_DATA},
        {STATUS_SERIAL_COUNTER_TIMEOUT, ERROR_COUNTER_TIMEOUT},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_PARAMETER_1, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_PARAMETER_2, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_PARAMETER_3, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_PARAMETER_4, ERROR_INVALID_PARAMETER},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
        {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
        {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
        {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
        {STATUS_OBJECT_PATH_INVALID, ERROR_BAD_PATHNAME},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_OBJECT_PATH_SYNTAX_BAD, ERROR_BAD_PATHNAME},
        {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
        {STATUS_DEVICE_CONFIGURATION_ERROR, ERROR_GEN_FAILURE},
        {STATUS_DEVICE_BUSY, ERROR_BUSY},
        {STATUS_DEVICE_DOES_NOT_EXIST, ERROR_DEV_NOT_EXIST},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
        {STATUS_INVALID_USER_BUFFER, ERROR_INVALID_USER_BUFFER},
        {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
        {STATUS_FILE_CLOSED, ERROR_INVALID_HANDLE},
        {STATUS_POWER_STATE_INVALID, ERROR_NOT_READY},
    };
    for (const Entry &entry : kTable)
        if (entry.Status == status)
            return entry.Error;
    return ERROR_MR_MID_NOT_FOUND;
}

} // namespace win32

extern "C" DWORD WINAPI RtlNtStatusToDosError(LONG status)
{
    return win32::ErrorFromStatus(status);
}
