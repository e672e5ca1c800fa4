/*
 * Control API of the user-mode I/O manager: what a Win32 program's
 * CreateFile, ReadFile, WriteFile, DeviceIoControl, CancelIo and
 * CloseHandle come down to.
 *
 * Names. "\\.\COM5" is the Win32 device namespace and means "\??\COM5";
 * "\??\X", "\DosDevices\X", "\Device\X" and any other object path are taken
 * as they are; a bare "COM5" means "\??\COM5". Links are followed to the
 * device object, and the request goes to the top of its stack. A device
 * still initialising (DO_DEVICE_INITIALIZING) cannot be opened, nor can a
 * DO_EXCLUSIVE device that is open already (STATUS_ACCESS_DENIED).
 *
 * Requests. Read, write and device control use buffered I/O: the system
 * buffer holds max(input, output) bytes, the input is copied in before the
 * driver sees it, and IoStatus.Information bytes are copied back out when
 * it completes. Without an Event a call is synchronous: it waits for the
 * request and returns its final status. With an Event (overlapped) the call
 * returns STATUS_PENDING when the driver pended the request; IoStatus is
 * written and Event signalled when it completes. As on Windows, a request
 * that fails without having been pended writes no IoStatus and signals no
 * Event; its status is only the return value.
 *
 * Handles are this manager's own, not kernel handles. When the last handle
 * of an open is closed the driver gets IRP_MJ_CLEANUP; IRP_MJ_CLOSE follows
 * when the last reference to the file object goes (requests still in
 * progress hold one).
 */
#pragma once

#include <ntddk.h>

#include <functional>
#include <string>

namespace nt::io {

NTSTATUS Open(const std::string &Name, HANDLE *Handle, ACCESS_MASK DesiredAccess = GENERIC_READ | GENERIC_WRITE);
NTSTATUS Open(PCWSTR Name, HANDLE *Handle, ACCESS_MASK DesiredAccess = GENERIC_READ | GENERIC_WRITE);
/* A second handle to the same open (same file object). */
NTSTATUS Duplicate(HANDLE Handle, HANDLE *NewHandle);
NTSTATUS Close(HANDLE Handle);

NTSTATUS Read(HANDLE Handle, PVOID Buffer, ULONG Length, PIO_STATUS_BLOCK IoStatus, PKEVENT Event = nullptr);
NTSTATUS Write(HANDLE Handle, const void *Buffer, ULONG Length, PIO_STATUS_BLOCK IoStatus, PKEVENT Event = nullptr);
NTSTATUS DeviceIoControl(HANDLE Handle, ULONG IoControlCode, const void *InputBuffer, ULONG InputLength,
                         PVOID OutputBuffer, ULONG OutputLength, PIO_STATUS_BLOCK IoStatus, PKEVENT Event = nullptr);
NTSTATUS FlushBuffers(HANDLE Handle, PIO_STATUS_BLOCK IoStatus);

/* Cancels (IoCancelIrp) the requests of Handle that the calling thread
 * issued and that are still in progress. */
NTSTATUS CancelIo(HANDLE Handle);
/* Cancels every request of Handle in progress, or, with IoStatus, the one
 * that reports to that status block. STATUS_NOT_FOUND if there is none. */
NTSTATUS CancelIoEx(HANDLE Handle, PIO_STATUS_BLOCK IoStatus = nullptr);

/* Requests of Handle in progress, for tests. */
size_t PendingRequests(HANDLE Handle);
/* The file object behind Handle (not referenced), for tests. NULL if none. */
PFILE_OBJECT FileObject(HANDLE Handle);

/* Waits for an overlapped request's event, as GetOverlappedResult with
 * bWait does. FALSE if TimeoutMs passes first. */
bool Wait(PKEVENT Event, unsigned TimeoutMs = 10000);

/* Called at the start of every IoCompleteRequest, on the completing thread,
 * with the status and the priority boost the driver gave; an empty function
 * removes the observer. For tests of what drivers complete with. */
using CompletionObserver = std::function<void(PIRP Irp, NTSTATUS Status, CCHAR PriorityBoost)>;
void SetCompletionObserver(CompletionObserver Observer);

}  // namespace nt::io
