#include <cstdio>
#include <cstdlib>

#include "ki.h"

void KiBugCheck(ULONG Code, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4, const char *Rule) {
  std::fprintf(stderr, "*** BUGCHECK 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx): %s\n", Code,
               (unsigned long long)P1, (unsigned long long)P2, (unsigned long long)P3,
               (unsigned long long)P4, Rule ? Rule : "");
  std::fflush(stderr);
  std::abort();
}
