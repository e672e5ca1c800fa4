#include "objects.h"

#include <string>

namespace win32 {

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

BOOL FailStatus(NTSTATUS status)
{
    return Fail(ErrorFromStatus(status));
}

DWORD WaitKernelEvent(PKEVENT event, DWORD milliseconds)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    NTSTATUS status =
        KeWaitForSingleObject(event, Executive, UserMode, FALSE, milliseconds == INFINITE ? nullptr : &timeout);
    if (status == STATUS_SUCCESS)
        return WAIT_OBJECT_0;
    if (status == STATUS_TIMEOUT)
        return WAIT_TIMEOUT;
    SetLastError(ErrorFromStatus(status));
    return WAIT_FAILED;
}

EventObject::EventObject(bool manualReset, bool initialState)
{
    KeInitializeEvent(&m_Event, manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
}

DWORD EventObject::Wait(DWORD milliseconds)
{
    return WaitKernelEvent(&m_Event, milliseconds);
}

EventObject *EventObject::From(HANDLE handle)
{
    return dynamic_cast<EventObject *>(HandleObject::FromHandle(handle));
}

FileObject::FileObject(HANDLE io, bool overlapped) : m_Io(io), m_Overlapped(overlapped)
{
    KeInitializeEvent(&m_Done, NotificationEvent, FALSE);
}

FileObject::~FileObject()
{
    nt::io::Close(m_Io);
}

DWORD FileObject::Wait(DWORD milliseconds)
{
    return WaitKernelEvent(&m_Done, milliseconds);
}

FileObject *FileObject::From(HANDLE handle)
{
    return dynamic_cast<FileObject *>(HandleObject::FromHandle(handle));
}

namespace {

/* Only existing devices can be opened; the name goes to the I/O manager,
 * which reads "COM5" and "\\.\COM5" alike. */
HANDLE OpenDevice(const std::string &name, DWORD access, DWORD disposition, DWORD flags)
{
    if (name.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!EnsureSystem())
        return INVALID_HANDLE_VALUE;
    HANDLE io = nullptr;
    NTSTATUS status = nt::io::Open(name, &io, access != 0 ? access : GENERIC_READ);
    if (!NT_SUCCESS(status)) {
        SetLastError(ErrorFromStatus(status));
        return INVALID_HANDLE_VALUE;
    }
    auto *file = new FileObject(io, (flags & FILE_FLAG_OVERLAPPED) != 0);
    SetLastError(ERROR_SUCCESS);
    return file->AsHandle();
}

/* UTF-16 to UTF-8, for the I/O manager's narrow entry point. */
std::string Narrow(LPCWSTR text)
{
    std::string out;
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(text[i + 1]) - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace
} // namespace win32

using namespace win32;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return OpenDevice(lpFileName, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return OpenDevice(Narrow(lpFileName), dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    FileObject *file = FileObject::From(hFile);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    return RunRequest(file, lpOverlapped, lpNumberOfBytesRead, [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
        return nt::io::Read(file->Io(), lpBuffer, nNumberOfBytesToRead, iosb, event);
    });
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    FileObject *file = FileObject::From(hFile);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    return RunRequest(file, lpOverlapped, lpNumberOfBytesWritten, [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
        return nt::io::Write(file->Io(), lpBuffer, nNumberOfBytesToWrite, iosb, event);
    });
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                       LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped)
{
    FileObject *file = FileObject::From(hDevice);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    return RunRequest(file, lpOverlapped, lpBytesReturned, [&](PIO_STATUS_BLOCK iosb, PKEVENT event) {
        return nt::io::DeviceIoControl(file->Io(), dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                       nOutBufferSize, iosb, event);
    });
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    FileObject *file = FileObject::From(hFile);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    const ULONG_PTR pending = static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING));
    if (__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) == pending) {
        if (!bWait)
            return Fail(ERROR_IO_INCOMPLETE);
        PKEVENT event = file->CompletionEvent();
        if (lpOverlapped->hEvent != nullptr) {
            EventObject *user = EventObject::From(lpOverlapped->hEvent);
            if (user == nullptr)
                return Fail(ERROR_INVALID_HANDLE);
            event = user->Kernel();
        }
        /* An auto-reset event may have been taken by another waiter; the
         * status block decides, the event only wakes us. */
        while (__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) == pending) {
            if (WaitKernelEvent(event, 50) == WAIT_FAILED)
                return FALSE;
        }
    }
    if (lpNumberOfBytesTransferred != nullptr)
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    NTSTATUS status = static_cast<NTSTATUS>(static_cast<ULONG>(lpOverlapped->Internal));
    if (!NT_SUCCESS(status))
        return FailStatus(status);
    return TRUE;
}

extern "C" BOOL WINAPI CancelIo(HANDLE hFile)
{
    FileObject *file = FileObject::From(hFile);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    NTSTATUS status = nt::io::CancelIo(file->Io());
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

extern "C" BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    FileObject *file = FileObject::From(hFile);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    PIO_STATUS_BLOCK which =
        lpOverlapped != nullptr ? reinterpret_cast<PIO_STATUS_BLOCK>(&lpOverlapped->Internal) : nullptr;
    NTSTATUS status = nt::io::CancelIoEx(file->Io(), which);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    FileObject *file = FileObject::From(hFile);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = nt::io::FlushBuffers(file->Io(), &iosb);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    if (lpName != nullptr && lpName[0] != 0) {
        /* Named events would be shared between processes; there are none. */
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (!EnsureSystem())
        return nullptr;
    auto *event = new EventObject(bManualReset != FALSE, bInitialState != FALSE);
    SetLastError(ERROR_SUCCESS);
    return event->AsHandle();
}

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL bManualReset, BOOL bInitialState,
                                      LPCWSTR lpName)
{
    if (lpName != nullptr && lpName[0] != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return CreateEventA(attributes, bManualReset, bInitialState, nullptr);
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent)
{
    EventObject *event = EventObject::From(hEvent);
    if (event == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    KeSetEvent(event->Kernel(), IO_NO_INCREMENT, FALSE);
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    EventObject *event = EventObject::From(hEvent);
    if (event == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    KeClearEvent(event->Kernel());
    return TRUE;
}
