#pragma once

namespace win32 {

template <typename Issue>
BOOL RunRequest(FileObject *file, LPOVERLAPPED overlapped, LPDWORD transferred, Issue issue)
{
    if (transferred != nullptr && (overlapped == nullptr || !file->Overlapped()))
        *transferred = 0;

    if (!file->Overlapped() || overlapped == nullptr) {
        IO_STATUS_BLOCK iosb{};
        iosb.Information = 0;
        NTSTATUS status = issue(&iosb, static_cast<PKEVENT>(nullptr));
        if (overlapped != nullptr && NT_SUCCESS(status)) {
            overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
            overlapped->InternalHigh = iosb.Information;
        }
        if (!NT_SUCCESS(status))
            return FailStatus(status);
        if (transferred != nullptr)
            *transferred = static_cast<DWORD>(iosb.Information);
        return TRUE;
    }

    PKEVENT event = file->CompletionEvent();
    if (overlapped->hEvent != nullptr) {
        EventObject *user = EventObject::From(overlapped->hEvent);
        if (user == nullptr)
            return Fail(ERROR_INVALID_HANDLE);
        event = user->Kernel();
    }
    /* The block is the OVERLAPPED's Internal and InternalHigh, in the
     * layout of IO_STATUS_BLOCK. It reads as pending while the request is
     * out; a failure that was never pended puts back what was there. */
    static_assert(sizeof(IO_STATUS_BLOCK) == 2 * sizeof(ULONG_PTR), "OVERLAPPED status layout");
    auto *iosb = reinterpret_cast<PIO_STATUS_BLOCK>(&overlapped->Internal);
    ULONG_PTR savedInternal = overlapped->Internal;
    __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING)),
                     __ATOMIC_RELEASE);
    NTSTATUS status = issue(iosb, event);
    if (status == STATUS_PENDING)
        return Fail(ERROR_IO_PENDING);
    if (!NT_SUCCESS(status)) {
        if (__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE) ==
            static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING)))
            overlapped->Internal = savedInternal;
        return FailStatus(status);
    }
    if (transferred != nullptr)
        *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    return TRUE;
}

} // namespace win32
