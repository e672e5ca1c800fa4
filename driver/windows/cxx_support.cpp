/*
 * What the compiler expects of a C++ runtime in the kernel image. Classes with
 * pure operations point their vtables' empty slots here; reaching one is a
 * programming error.
 */
#include "../framework/kplatform.h"

extern "C" void __cxa_pure_virtual(void) {
  /* DRIVER_VERIFIER_DETECTED_VIOLATION, parameter: pure virtual call */
  KeBugCheckEx(0xC4, 0x1000, 0, 0, 0);
}
