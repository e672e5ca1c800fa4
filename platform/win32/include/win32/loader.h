/*
 * Run-time loading of libraries by their Windows name.
 *
 * A DLL name maps to a shared object: the directory part is dropped, a
 * final ".dll" (any case) is removed and the stem keeps its case, so
 * "VESKARDIN.DLL" becomes the stem "VESKARDIN". The candidates are then, in
 * this order:
 *   1. <directory of the executable>/lib<stem>.so
 *   2. <directory of the executable>/<stem>.so
 *   3. lib<stem>.so and <stem>.so through the dynamic loader's own search
 *      (LD_LIBRARY_PATH, the cache, the system directories).
 * A name that contains '/' and ends in ".so" is taken as a path as it is.
 */
#pragma once

#include "win32/base.h"

typedef INT_PTR(WINAPI *FARPROC)(void);

WIN32_EXTERN_C HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
WIN32_EXTERN_C FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
WIN32_EXTERN_C BOOL WINAPI FreeLibrary(HMODULE module);

/* The executable's path for a NULL module; for a loaded library, the path
 * of its shared object. Returns the length copied (without the NUL), or 0. */
WIN32_EXTERN_C DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

#define LoadLibrary LoadLibraryA
#define GetModuleFileName GetModuleFileNameA
