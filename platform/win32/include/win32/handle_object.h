/*
 * The object behind a handle of this layer. Each kind of handle (process,
 * file, ...) derives from HandleObject; CloseHandle deletes through the
 * virtual destructor and WaitForSingleObject calls Wait.
 */
#pragma once

#include "win32/base.h"

namespace win32 {

class HandleObject {
public:
    HandleObject();
    virtual ~HandleObject();
    HandleObject(const HandleObject &) = delete;
    HandleObject &operator=(const HandleObject &) = delete;

    // Returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED (with the last
    // error set). Objects that cannot be waited on keep this default.
    virtual DWORD Wait(DWORD milliseconds);

    HANDLE AsHandle() { return static_cast<HANDLE>(this); }

    // The object of a handle that this layer handed out, or nullptr for
    // NULL, INVALID_HANDLE_VALUE, a closed handle or a foreign pointer.
    static HandleObject *FromHandle(HANDLE handle);

private:
    unsigned m_Magic;
};

} // namespace win32
