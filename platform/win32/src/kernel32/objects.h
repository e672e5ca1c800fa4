/*
 * The handle objects of the file and event API, over the kernel layer's
 * user-mode I/O manager and dispatcher objects.
 */
#pragma once

#include <ntddk.h>
#include <nt/io.h>

#include <windows.h>
#include "win32/handle_object.h"
#include "win32/system.h"

namespace win32 {

/* Waits on a kernel event for at most milliseconds (INFINITE: for ever). */
DWORD WaitKernelEvent(PKEVENT event, DWORD milliseconds);

class EventObject : public HandleObject {
public:
    explicit EventObject(bool manualReset, bool initialState);
    DWORD Wait(DWORD milliseconds) override;
    PKEVENT Kernel() { return &m_Event; }
    static EventObject *From(HANDLE handle);

private:
    KEVENT m_Event;
};

class FileObject : public HandleObject {
public:
    FileObject(HANDLE io, bool overlapped);
    ~FileObject() override;
    /* Signalled when an overlapped request without an hEvent completes. */
    DWORD Wait(DWORD milliseconds) override;

    HANDLE Io() const { return m_Io; }
    bool Overlapped() const { return m_Overlapped; }
    PKEVENT CompletionEvent() { return &m_Done; }
    static FileObject *From(HANDLE handle);

private:
    HANDLE m_Io;
    bool m_Overlapped;
    KEVENT m_Done;
};

/* One request the way the Win32 calls issue it. `issue` is called with
 * the status block and event to use (NULL event: synchronous). Returns the
 * Win32 result, sets the last error and the transferred count. */
template <typename Issue>
BOOL RunRequest(FileObject *file, LPOVERLAPPED overlapped, LPDWORD transferred, Issue issue);

BOOL Fail(DWORD error);
BOOL FailStatus(NTSTATUS status);

} // namespace win32

#include "request.inl"
