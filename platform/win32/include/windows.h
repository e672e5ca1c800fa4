/*
 * User-mode Win32 stand-in. Programs include <windows.h> as on Windows; the
 * declarations are split by area so that each area can grow on its own.
 * This layer never includes the kernel headers.
 */
#pragma once

#include "win32/base.h"
#include "win32/handle.h"
#include "win32/loader.h"
#include "win32/process.h"
#include "win32/user.h"
#include "win32/file.h"
#include "win32/event.h"
#include "win32/comm.h"
