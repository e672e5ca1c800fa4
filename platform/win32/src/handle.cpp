#include <windows.h>
#include "win32/handle_object.h"

#include <time.h>
#include <unistd.h>

#include <mutex>
#include <unordered_set>

namespace win32 {
namespace {

constexpr unsigned kLiveMagic = 0x574E3332; // "WN32"

// Every live handle object, so that a stale or foreign handle is refused
// without being dereferenced.
std::mutex g_HandlesLock;
std::unordered_set<const HandleObject *> &LiveHandles()
{
    static auto *set = new std::unordered_set<const HandleObject *>; // outlives static destructors
    return *set;
}

} // namespace

HandleObject::HandleObject() : m_Magic(kLiveMagic)
{
    std::lock_guard<std::mutex> guard(g_HandlesLock);
    LiveHandles().insert(this);
}

HandleObject::~HandleObject()
{
    std::lock_guard<std::mutex> guard(g_HandlesLock);
    LiveHandles().erase(this);
    m_Magic = 0;
}

DWORD HandleObject::Wait(DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HandleObject *HandleObject::FromHandle(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    auto *object = static_cast<HandleObject *>(handle);
    std::lock_guard<std::mutex> guard(g_HandlesLock);
    if (LiveHandles().count(object) == 0 || object->m_Magic != kLiveMagic)
        return nullptr;
    return object;
}

} // namespace win32

namespace {
thread_local DWORD t_LastError = ERROR_SUCCESS;
}

extern "C" DWORD WINAPI GetLastError(void)
{
    return t_LastError;
}

extern "C" void WINAPI SetLastError(DWORD error)
{
    t_LastError = error;
}

extern "C" void WINAPI Sleep(DWORD milliseconds)
{
    if (milliseconds == INFINITE) {
        for (;;)
            ::pause();
    }
    struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0) {
    }
}

extern "C" BOOL WINAPI CloseHandle(HANDLE object)
{
    win32::HandleObject *target = win32::HandleObject::FromHandle(object);
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete target;
    return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    win32::HandleObject *target = win32::HandleObject::FromHandle(object);
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return target->Wait(milliseconds);
}

extern "C" DWORD WINAPI GetTickCount(void)
{
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<unsigned long long>(now.tv_sec) * 1000ULL +
                              static_cast<unsigned long long>(now.tv_nsec) / 1000000ULL);
}
