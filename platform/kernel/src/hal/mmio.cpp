/*
 * Register windows and the register accessors.
 *
 * Windows sit in a small fixed table read under a shared lock; each access
 * finds its window, counts itself in the window's in-flight count, leaves
 * the lock and calls the model, so models may take their own locks and touch
 * other windows. Unmap withdraws the window first and then waits for the
 * accesses in flight, so once it returns the model is no longer called. (A
 * model must not unmap its own window from inside one of its accesses.)
 */
#include <nt/mmio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "ki.h"

namespace {

constexpr size_t kMaxWindows = 64;

struct Window {
  /* Base, Size, Model, Active and InUse change only under g_Lock held exclusively. */
  uintptr_t Base = 0;
  size_t Size = 0;
  size_t Reserved = 0;
  nt::mmio::DeviceModel *Model = nullptr;
  bool Active = false; /* accesses may start */
  bool InUse = false;  /* slot taken (possibly draining) */
  std::atomic<int> InFlight{0};
  std::atomic<bool> Draining{false};
};

std::shared_mutex g_Lock;
Window g_Windows[kMaxWindows];
size_t g_Slots = 0; /* slots [0, g_Slots) have been used; guarded by g_Lock */
std::mutex g_DrainLock;
std::condition_variable g_Drained;

/* Ranges handed out by MmMapIoSpace and not yet unmapped; guarded by g_MapLock. */
std::mutex g_MapLock;
std::vector<std::pair<uintptr_t, size_t>> g_IoMappings;

[[noreturn]] void OutsideWindow(uintptr_t address, bool write, ULONG width) {
  KiBugCheck(PAGE_FAULT_IN_NONPAGED_AREA, address, write ? 1 : 0, 0, width,
             "register access outside every mapped register window");
}

/* Finds the window holding [address, address+width) and enters it. */
Window *Enter(uintptr_t address, size_t width) {
  std::shared_lock<std::shared_mutex> g(g_Lock);
  for (size_t i = 0; i < g_Slots; ++i) {
    Window &w = g_Windows[i];
    if (w.Active && address >= w.Base && address - w.Base < w.Size && width <= w.Size - (address - w.Base)) {
      w.InFlight.fetch_add(1);
      return &w;
    }
  }
  return nullptr;
}

void Leave(Window *w) {
  if (w->InFlight.fetch_sub(1) == 1 && w->Draining.load()) {
    std::lock_guard<std::mutex> g(g_DrainLock);
    g_Drained.notify_all();
  }
}

ULONG Read(const volatile void *reg, ULONG width) {
  uintptr_t address = (uintptr_t)reg;
  Window *w = Enter(address, width);
  if (!w) OutsideWindow(address, false, width);
  ULONG value = w->Model->Read(address - w->Base, width);
  Leave(w);
  return value;
}

void Write(const volatile void *reg, ULONG width, ULONG value) {
  uintptr_t address = (uintptr_t)reg;
  Window *w = Enter(address, width);
  if (!w) OutsideWindow(address, true, width);
  w->Model->Write(address - w->Base, width, value);
  Leave(w);
}

[[noreturn]] void NoPorts(PVOID port) {
  KiBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0xE0, (ULONG_PTR)port, 0, 0,
             "I/O port access: this system has no I/O ports");
}

bool InsideSomeWindow(uintptr_t address, size_t size) {
  std::shared_lock<std::shared_mutex> g(g_Lock);
  for (size_t i = 0; i < g_Slots; ++i) {
    const Window &w = g_Windows[i];
    if (w.Active && address >= w.Base && address - w.Base < w.Size && size <= w.Size - (address - w.Base))
      return true;
  }
  return false;
}

}  // namespace

namespace nt::mmio {

PVOID Map(SIZE_T Size, DeviceModel *Model) {
  if (Size == 0 || !Model) return nullptr;
  size_t page = (size_t)sysconf(_SC_PAGESIZE);
  size_t reserved = (Size + page - 1) / page * page;
  void *base = mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  std::unique_lock<std::shared_mutex> g(g_Lock);
  for (size_t i = 0; i < kMaxWindows; ++i) {
    Window &w = g_Windows[i];
    if (w.InUse) continue;
    if (i >= g_Slots) g_Slots = i + 1;
    w.Base = (uintptr_t)base;
    w.Size = Size;
    w.Reserved = reserved;
    w.Model = Model;
    w.Draining = false;
    w.InUse = w.Active = true;
    return base;
  }
  g.unlock();
  munmap(base, reserved);
  return nullptr;
}

void Unmap(PVOID Base) {
  Window *found = nullptr;
  {
    std::unique_lock<std::shared_mutex> g(g_Lock);
    for (Window &w : g_Windows) {
      if (w.Active && w.Base == (uintptr_t)Base) {
        w.Active = false;
        w.Draining = true;
        found = &w;
        break;
      }
    }
  }
  if (!found) {
    KiBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0xE1, (ULONG_PTR)Base, 0, 0,
               "unmapping a register window that is not mapped");
  }
  {
    std::unique_lock<std::mutex> l(g_DrainLock);
    g_Drained.wait(l, [&] { return found->InFlight.load() == 0; });
  }
  munmap(Base, found->Reserved);
  std::unique_lock<std::shared_mutex> g(g_Lock);
  found->Model = nullptr;
  found->Base = 0;
  found->Size = found->Reserved = 0;
  found->Draining = false;
  found->InUse = false;
}

}  // namespace nt::mmio

extern "C" {

UCHAR READ_REGISTER_UCHAR(volatile UCHAR *Register) { return (UCHAR)Read(Register, 1); }
USHORT READ_REGISTER_USHORT(volatile USHORT *Register) { return (USHORT)Read(Register, 2); }
ULONG READ_REGISTER_ULONG(volatile ULONG *Register) { return Read(Register, 4); }
void WRITE_REGISTER_UCHAR(volatile UCHAR *Register, UCHAR Value) { Write(Register, 1, Value); }
void WRITE_REGISTER_USHORT(volatile USHORT *Register, USHORT Value) { Write(Register, 2, Value); }
void WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value) { Write(Register, 4, Value); }

void READ_REGISTER_BUFFER_UCHAR(volatile UCHAR *Register, PUCHAR Buffer, ULONG Count) {
  for (ULONG i = 0; i < Count; ++i) Buffer[i] = (UCHAR)Read(Register + i, 1);
}
void READ_REGISTER_BUFFER_USHORT(volatile USHORT *Register, PUSHORT Buffer, ULONG Count) {
  for (ULONG i = 0; i < Count; ++i) Buffer[i] = (USHORT)Read(Register + i, 2);
}
void READ_REGISTER_BUFFER_ULONG(volatile ULONG *Register, PULONG Buffer, ULONG Count) {
  for (ULONG i = 0; i < Count; ++i) Buffer[i] = Read(Register + i, 4);
}
void WRITE_REGISTER_BUFFER_UCHAR(volatile UCHAR *Register, PUCHAR Buffer, ULONG Count) {
  for (ULONG i = 0; i < Count; ++i) Write(Register + i, 1, Buffer[i]);
}
void WRITE_REGISTER_BUFFER_USHORT(volatile USHORT *Register, PUSHORT Buffer, ULONG Count) {
  for (ULONG i = 0; i < Count; ++i) Write(Register + i, 2, Buffer[i]);
}
void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG *Register, PULONG Buffer, ULONG Count) {
  for (ULONG i = 0; i < Count; ++i) Write(Register + i, 4, Buffer[i]);
}

UCHAR READ_PORT_UCHAR(PUCHAR Port) { NoPorts(Port); }
USHORT READ_PORT_USHORT(PUSHORT Port) { NoPorts(Port); }
ULONG READ_PORT_ULONG(PULONG Port) { NoPorts(Port); }
void WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) { NoPorts(Port); }
void WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) { NoPorts(Port); }
void WRITE_PORT_ULONG(PULONG Port, ULONG Value) { NoPorts(Port); }

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
  uintptr_t address = (uintptr_t)PhysicalAddress.QuadPart;
  if (NumberOfBytes == 0 || !InsideSomeWindow(address, NumberOfBytes)) return NULL;
  std::lock_guard<std::mutex> g(g_MapLock);
  g_IoMappings.emplace_back(address, NumberOfBytes);
  return (PVOID)address;
}

void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  {
    std::lock_guard<std::mutex> g(g_MapLock);
    for (auto it = g_IoMappings.begin(); it != g_IoMappings.end(); ++it) {
      if (it->first == (uintptr_t)BaseAddress && it->second == NumberOfBytes) {
        g_IoMappings.erase(it);
        return;
      }
    }
  }
  KiBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0xE2, (ULONG_PTR)BaseAddress, NumberOfBytes, 0,
             "MmUnmapIoSpace of a range MmMapIoSpace did not map");
}

}  // extern "C"
