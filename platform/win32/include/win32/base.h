/*
 * Base Win32 types (LLP64 widths: LONG and DWORD are 32 bits, pointers and
 * the _PTR types 64 bits). The typedefs that the kernel headers also declare
 * are given the very same types, so both may meet in one translation unit.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
#define WIN32_EXTERN_C extern "C"
#else
#define WIN32_EXTERN_C extern
#endif

/* Calling conventions carry no meaning on this target. */
#ifndef WINAPI
#define WINAPI
#endif
#ifndef CALLBACK
#define CALLBACK
#endif
#ifndef APIENTRY
#define APIENTRY
#endif
#ifndef __cdecl
#define __cdecl
#endif
#ifndef __stdcall
#define __stdcall
#endif

#ifndef VOID
#define VOID void
#endif
#ifndef CONST
#define CONST const
#endif
#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif

typedef void *PVOID;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char CHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, *LPBYTE;
typedef short SHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD;
typedef int LONG, *PLONG, INT;
typedef unsigned int ULONG, *PULONG, UINT, DWORD, *PDWORD;
typedef DWORD *LPDWORD;
typedef int *LPINT;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef int64_t LONG_PTR, *PLONG_PTR, INT_PTR;
typedef uint64_t ULONG_PTR, *PULONG_PTR, UINT_PTR, SIZE_T, *PSIZE_T, DWORD_PTR;
typedef int BOOL;
typedef BOOL *LPBOOL;
typedef PVOID HANDLE, *PHANDLE;

typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__ *HWND;
typedef struct HKEY__ *HKEY;

/* Text is narrow: the programs on this layer are built for the ANSI API
 * and carry UTF-8 in their strings. */
typedef char TCHAR;
typedef LPSTR LPTSTR;
typedef LPCSTR LPCTSTR;
#ifndef _T
#define _T(x) x
#endif
#ifndef TEXT
#define TEXT(x) x
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL 0
#endif

#define MAX_PATH 260

#define ZeroMemory(destination, length) memset((destination), 0, (length))
#define FillMemory(destination, length, fill) memset((destination), (fill), (length))
#define CopyMemory(destination, source, length) memcpy((destination), (source), (length))
#define MoveMemory(destination, source, length) memmove((destination), (source), (length))

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_BAD_FORMAT 11u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u

/* The last error is per thread, as on Windows. */
WIN32_EXTERN_C DWORD WINAPI GetLastError(void);
WIN32_EXTERN_C void WINAPI SetLastError(DWORD error);

WIN32_EXTERN_C void WINAPI Sleep(DWORD milliseconds);
/* Milliseconds since an arbitrary start, wrapping at 2^32. */
WIN32_EXTERN_C DWORD WINAPI GetTickCount(void);

/* number * numerator / denominator with a 64-bit intermediate, rounded
 * half away from zero; -1 when denominator is 0 or the result overflows. */
WIN32_EXTERN_C int WINAPI MulDiv(int number, int numerator, int denominator);
