/*
 * Stack-protection support for the Windows kernel image. The compiler's
 * canary checks (-fstack-protector-strong) read __stack_chk_guard and call
 * __stack_chk_fail; no runtime library provides them in kernel mode, so the
 * image carries its own. DriverEntry calls __security_init_cookie before any
 * protected function runs.
 */
#include "../framework/kplatform.h"

extern "C" {
ULONG_PTR __stack_chk_guard = 0x2B992DDFA232ULL;

__attribute__((no_stack_protector)) void __security_init_cookie(void) {
  /* The performance counter lives in hal.dll on x64; the image imports
     only ntoskrnl.exe, so the time-stamp counter seeds the cookie. */
  ULONG_PTR cookie = (ULONG_PTR)__rdtsc();
  cookie ^= (ULONG_PTR)KeQueryInterruptTime() << 17;
  cookie ^= (ULONG_PTR)&cookie;
  cookie &= 0x0000FFFFFFFFFFFFULL; /* keep a zero byte pair, as Windows does */
  if (cookie == 0 || cookie == 0x2B992DDFA232ULL) cookie = 0x2B992DDFA233ULL;
  __stack_chk_guard = cookie;
}

__attribute__((noreturn)) void __stack_chk_fail(void) {
  /* DRIVER_OVERRAN_STACK_BUFFER */
  KeBugCheckEx(0xF7, 0, __stack_chk_guard, 0, 0);
}
}
