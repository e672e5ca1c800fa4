/*
 * Memory-mapped register windows. A device model registers a window and gets
 * a base address in reserved, inaccessible memory; READ_REGISTER_* and
 * WRITE_REGISTER_* on an address inside it call the model. A direct
 * dereference of such an address faults at once.
 */
#pragma once

#include <ntddk.h>

namespace nt::mmio {

class DeviceModel {
 public:
  virtual ~DeviceModel() = default;
  /* Width is 1, 2 or 4 bytes; Offset is from the window's base. */
  virtual ULONG Read(ULONG_PTR Offset, ULONG Width) = 0;
  virtual void Write(ULONG_PTR Offset, ULONG Width, ULONG Value) = 0;
};

/* Reserves a window of Size bytes for Model; NULL if none can be had. */
PVOID Map(SIZE_T Size, DeviceModel *Model);
/* Withdraws the window; later accesses bug-check. */
void Unmap(PVOID Base);

}  // namespace nt::mmio
