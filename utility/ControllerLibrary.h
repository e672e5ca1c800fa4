// Binding to the controller library VESKARDIN.DLL, loaded at run time.
#pragma once

#include <windows.h>

typedef int (*PFN_GnLoadDevice)(int *count, int *handles);
typedef int (*PFN_GnUnloadDevice)(void);
typedef int (*PFN_GnPortMode_Set)(int handle, int port, int mode);
typedef int (*PFN_GnPortMode_Get)(int handle, int port, int *mode);
typedef int (*PFN_GnPort422485_Set)(int handle, int port, int value);
typedef int (*PFN_GnPort422485_Get)(int handle, int port, int *value);
typedef int (*PFN_GnProductId_Get)(int handle, int *value, int *ports);
typedef int (*PFN_GnResetUart)(int handle, int port);
typedef int (*PFN_GnResetPort)(int handle, int port);
typedef int (*PFN_GetResources)(int handle, void *resources);
typedef int (*PFN_ReadMemPortDW)(int handle, unsigned int offset, unsigned int *value);
typedef int (*PFN_WriteMemPortDW)(int handle, unsigned int offset, unsigned int value);
typedef int (*PFN_GnGetInterfaceState_SRC)(int handle, int *state);

struct CControllerLibrary {
    HMODULE m_hModule = nullptr;

    PFN_GnLoadDevice GnLoadDevice = nullptr;
    PFN_GnUnloadDevice GnUnloadDevice = nullptr;
    PFN_GnPortMode_Set GnPortMode_Set = nullptr;
    PFN_GnPortMode_Get GnPortMode_Get = nullptr;
    PFN_GnPort422485_Set GnPort422485_Set = nullptr;
    PFN_GnPort422485_Get GnPort422485_Get = nullptr;
    PFN_GnProductId_Get GnProductId_Get = nullptr;
    PFN_GnResetUart GnResetUart = nullptr;
    PFN_GnResetPort GnResetPort = nullptr;
    PFN_GetResources GetResources = nullptr;
    PFN_ReadMemPortDW ReadMemPortDW = nullptr;
    PFN_WriteMemPortDW WriteMemPortDW = nullptr;
    PFN_GnGetInterfaceState_SRC GnGetInterfaceState_SRC = nullptr;

    // Loads the library and looks up its functions; FALSE when the library
    // cannot be loaded. A function that is missing stays NULL.
    BOOL Load();
    // Frees the library (when loaded) and forgets every function.
    void Unload();
};
