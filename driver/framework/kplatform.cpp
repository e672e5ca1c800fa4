#include "kplatform.h"

PVOID KAllocate(POOL_TYPE Pool, SIZE_T Size, ULONG Tag) {
  if (Size == 0) return NULL;
  return ExAllocatePoolWithTag(Pool, Size, Tag);
}
PVOID KAllocate(POOL_TYPE Pool, SIZE_T Size) { return KAllocate(Pool, Size, NERAVOX_POOL_TAG); }
VOID KFree(PVOID Memory, ULONG Tag) {
  if (Memory != NULL) ExFreePoolWithTag(Memory, Tag);
}
VOID KFree(PVOID Memory) { KFree(Memory, NERAVOX_POOL_TAG); }

void *operator new(size_t Size, POOL_TYPE Pool) noexcept { return KAllocate(Pool, Size); }
void *operator new(size_t Size, POOL_TYPE Pool, ULONG Tag) noexcept { return KAllocate(Pool, Size, Tag); }
void *operator new[](size_t Size, POOL_TYPE Pool) noexcept { return KAllocate(Pool, Size); }
void *operator new[](size_t Size, POOL_TYPE Pool, ULONG Tag) noexcept { return KAllocate(Pool, Size, Tag); }
void operator delete(void *Memory, POOL_TYPE Pool) noexcept { KFree(Memory); }
void operator delete(void *Memory, POOL_TYPE Pool, ULONG Tag) noexcept { KFree(Memory, Tag); }
void operator delete[](void *Memory, POOL_TYPE Pool) noexcept { KFree(Memory); }
void operator delete[](void *Memory, POOL_TYPE Pool, ULONG Tag) noexcept { KFree(Memory, Tag); }

