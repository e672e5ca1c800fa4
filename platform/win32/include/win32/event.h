/*
 * Event objects. A manual-reset event stays signalled until ResetEvent; an
 * auto-reset event releases one waiter and resets itself. Events are the
 * hEvent of an OVERLAPPED.
 */
#pragma once

#include "win32/base.h"
#include "win32/file.h"

WIN32_EXTERN_C HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                          BOOL bInitialState, LPCSTR lpName);
WIN32_EXTERN_C HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                          BOOL bInitialState, LPCWSTR lpName);
WIN32_EXTERN_C BOOL WINAPI SetEvent(HANDLE hEvent);
WIN32_EXTERN_C BOOL WINAPI ResetEvent(HANDLE hEvent);

#define CreateEvent CreateEventA
