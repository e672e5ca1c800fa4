/*
 * Starting programs. ShellExecuteExA runs lpFile as a program with
 * lpParameters split at blanks (double quotes group words). A file name
 * without '/' is looked for beside the executable first, then along PATH,
 * as the Windows shell prefers the application's own directory. Verbs
 * other than none and "open" are refused. lpDirectory, when given, is the
 * program's working directory; otherwise it inherits ours. nShow has no
 * effect: programs here have no window of their own.
 */
#pragma once

#include "win32/base.h"
#include "win32/loader.h"

#define SEE_MASK_DEFAULT 0x00000000u
#define SEE_MASK_NOCLOSEPROCESS 0x00000040u
#define SEE_MASK_FLAG_NO_UI 0x00000400u

#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM 8
#define SE_ERR_NOASSOC 31

#define STILL_ACTIVE 259u

typedef struct _SHELLEXECUTEINFOA {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCSTR lpVerb;
    LPCSTR lpFile;
    LPCSTR lpParameters;
    LPCSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    void *lpIDList;
    LPCSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    union {
        HANDLE hIcon;
        HANDLE hMonitor;
    };
    HANDLE hProcess;
} SHELLEXECUTEINFOA, *LPSHELLEXECUTEINFOA;

WIN32_EXTERN_C BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA *info);

/* STILL_ACTIVE while the process runs; its exit status after; a process
 * ended by a signal reports 0xC0000000 | signal number. */
WIN32_EXTERN_C BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode);

typedef SHELLEXECUTEINFOA SHELLEXECUTEINFO;
typedef LPSHELLEXECUTEINFOA LPSHELLEXECUTEINFO;
#define ShellExecuteEx ShellExecuteExA
