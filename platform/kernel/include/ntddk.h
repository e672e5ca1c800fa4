/*
 * The kernel interface the driver is written against, under its WDK names.
 * Each component of the kernel layer declares its part in include/km/.
 */
#pragma once

#include "km/ntdef.h"
#include "km/ketypes.h"
#include "km/rtl.h"   /* strings, Rtl helpers, debug output, assertions */
#include "km/ex.h"    /* pool */
#include "km/ke.h"    /* IRQL, spin locks, dispatcher objects, DPCs, timers, threads, objects */
#include "km/io.h"    /* devices, IRPs, cancel, CSQ, remove locks, work items, interfaces, power */
#include "km/zw.h"    /* registry */
#include "km/hal.h"   /* register access */
