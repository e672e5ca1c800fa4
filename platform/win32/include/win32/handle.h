/*
 * Generic handle functions. A handle of this layer points to an object that
 * derives from win32::HandleObject (see win32/handle_object.h); closing it
 * destroys the object, waiting on it asks the object.
 */
#pragma once

#include "win32/base.h"

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

WIN32_EXTERN_C BOOL WINAPI CloseHandle(HANDLE object);
WIN32_EXTERN_C DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
