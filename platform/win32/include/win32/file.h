/*
 * Files on this layer are devices opened by name ("COM5", "\\.\COM5"):
 * CreateFile, ReadFile, WriteFile, DeviceIoControl and the overlapped
 * completion calls. A handle opened with FILE_FLAG_OVERLAPPED issues its
 * requests asynchronously; a request the driver pended returns FALSE with
 * ERROR_IO_PENDING and later writes Internal (the final status) and
 * InternalHigh (the byte count) and signals hEvent, or the file handle
 * itself when hEvent is NULL. A request that fails without having been
 * pended leaves the OVERLAPPED as it was and signals nothing.
 */
#pragma once

#include "win32/base.h"
#include "win32/handle.h"

typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#endif

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u

#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_READY 21u
#define ERROR_BAD_COMMAND 22u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_DEV_NOT_EXIST 55u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_INVALID_NAME 123u
#define ERROR_BUSY 170u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_MORE_DATA 234u
#define ERROR_MR_MID_NOT_FOUND 317u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_COUNTER_TIMEOUT 1121u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_NOT_FOUND 1168u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#define ERROR_INVALID_USER_BUFFER 1784u
#define ERROR_HANDLE_EOF 38u
#define ERROR_DEVICE_REMOVED 1617u
#define ERROR_BAD_PATHNAME 161u
#define ERROR_TIMEOUT 1460u

WIN32_EXTERN_C HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                         LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                         DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WIN32_EXTERN_C HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                         LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                         DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WIN32_EXTERN_C BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                    LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
WIN32_EXTERN_C BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                     LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WIN32_EXTERN_C BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                           DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                           LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
WIN32_EXTERN_C BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                               LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
WIN32_EXTERN_C BOOL WINAPI CancelIo(HANDLE hFile);
WIN32_EXTERN_C BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);
WIN32_EXTERN_C BOOL WINAPI FlushFileBuffers(HANDLE hFile);

#define CreateFile CreateFileA
