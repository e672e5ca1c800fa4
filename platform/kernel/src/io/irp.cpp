/*
 * IRPs: allocation, the I/O manager's request building, IofCallDriver,
 * IofCompleteRequest with its completion-routine walk and the final
 * completion of requests the I/O manager built, cancel, and the verifier's
 * record of every IRP.
 *
 * The verifier keeps its own record per IRP, in a table under g_IrpLock that
 * is keyed by the IRP's address while the IRP lives; callers that may outlive
 * the IRP (a dispatch that returned STATUS_PENDING after the IRP was
 * completed and freed on another thread) hold the record itself, never the
 * IRP. Addresses of freed IRPs are remembered, so that completing, sending or
 * cancelling one is a bug check instead of a read of freed memory.
 *
 * The "STATUS_PENDING but not marked pending" rule is checked when both have
 * happened for a stack location: its dispatch returned STATUS_PENDING, and
 * completion passed it (the only time its SL_PENDING_RETURNED bit is
 * final); whichever comes second decides.
 */
#include <cstdio>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include <atomic>
#include <functional>

#include <nt/io.h>

#include "io/iop.h"

namespace {

constexpr ULONG kIrpTag = 0x20707249;    /* "Irp " */
constexpr ULONG kBufferTag = 0x20207953; /* "Sy  ": system buffers */
constexpr ULONG kMdlTag = 0x206c644d;    /* "Mdl " */
constexpr ULONG kContextTag = 0x78456f49; /* "IoEx": IoSetCompletionRoutineEx */
constexpr UCHAR kHasExtra = 0x40;        /* AllocationFlags: IoAllocateIrp's tail follows the stack */
constexpr ULONG kExtraMagic = 0x50524949;

constexpr ULONG kSystemBuilt = 0x1;   /* final completion by the I/O manager */
constexpr ULONG kUserRequest = 0x2;   /* a failure not pended reports nothing */
constexpr ULONG kFileReferenced = 0x4;

/* Kernel-private tail of every IRP from IoAllocateIrp, after the stack. */
struct IrpExtra {
  ULONG Magic;
  ULONG Options;
  volatile LONG References; /* the completion's own, plus IopReferenceIrp's */
  ULONG OutputLength;       /* upper bound of the buffered copy back */
  void (*FinalRoutine)(PIRP Irp, PVOID Context);
  PVOID FinalContext;
};

IrpExtra *ExtraOf(PIRP Irp) {
  if (!(Irp->AllocationFlags & kHasExtra)) return NULL;
  return (IrpExtra *)((PUCHAR)Irp + IoSizeOfIrp(Irp->StackCount));
}

struct LocationState {
  ULONG Generation = 0;         /* bumped by every IofCallDriver to this location */
  bool ReturnedPending = false; /* its dispatch returned STATUS_PENDING */
  bool Passed = false;          /* completion went past it */
  bool Marked = false;          /* ... and found SL_PENDING_RETURNED */
  PDRIVER_OBJECT Driver = NULL; /* whose dispatch routine was given the IRP here */
};

struct IrpRecord {
  PIRP Irp;
  PDRIVER_OBJECT Owner; /* running when the IRP was allocated */
  bool Freed = false;
  std::vector<LocationState> Locations; /* [location - 1] */
};

std::mutex g_IrpLock;
std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> g_Records; /* guarded by g_IrpLock */
std::unordered_set<PIRP> g_FreedIrps;                           /* guarded by g_IrpLock */
constexpr size_t kFreedMemory = 1 << 16;

KSPIN_LOCK g_CancelSpinLock;

[[noreturn]] void Violation(ULONG Code, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4, const char *Rule) {
  KiBugCheck(Code, P1, P2, P3, P4, Rule);
}

[[noreturn]] void IrpFreed(PIRP Irp, const char *Routine) {
  char rule[160];
  std::snprintf(rule, sizeof rule, "%s called with IRP %p that was already completed and freed", Routine, (void *)Irp);
  Violation(0xC9, IOP_VERIFIER_IRP_FREED, (ULONG_PTR)Irp, 0, 0, rule);
}

std::shared_ptr<IrpRecord> NewRecordLocked(PIRP Irp, CCHAR StackSize) {
  auto record = std::make_shared<IrpRecord>();
  record->Irp = Irp;
  record->Owner = KiCurrentDriver();
  record->Locations.resize(StackSize > 0 ? (size_t)StackSize : 0);
  g_FreedIrps.erase(Irp);
  auto &slot = g_Records[Irp];
  if (slot) slot->Freed = true; /* the memory was reused without IoFreeIrp */
  slot = record;
  return record;
}

/* The record of a live IRP; IRPs initialised by hand get one on first use. */
std::shared_ptr<IrpRecord> RecordOf(PIRP Irp, const char *Routine) {
  std::lock_guard<std::mutex> guard(g_IrpLock);
  auto it = g_Records.find(Irp);
  if (it != g_Records.end()) return it->second;
  if (g_FreedIrps.count(Irp)) {
    g_IrpLock.unlock();
    IrpFreed(Irp, Routine);
  }
  return NewRecordLocked(Irp, Irp->StackCount);
}

LocationState *LocationOf(IrpRecord *record, CHAR Location) {
  if (Location < 1 || (size_t)Location > record->Locations.size()) return NULL;
  return &record->Locations[(size_t)Location - 1];
}

[[noreturn]] void PendingNotMarked(PIRP Irp, CHAR Location, PDRIVER_OBJECT Driver) {
  Violation(0xC9, IOP_VERIFIER_PENDING_NOT_MARKED, (ULONG_PTR)Irp, (ULONG_PTR)Location, (ULONG_PTR)Driver,
            "dispatch routine returned STATUS_PENDING for an IRP it did not mark pending (IoMarkIrpPending)");
}

void FreeIrpMemory(PIRP Irp) {
  {
    std::lock_guard<std::mutex> guard(g_IrpLock);
    auto it = g_Records.find(Irp);
    if (it != g_Records.end()) {
      it->second->Freed = true;
      g_Records.erase(it);
    }
    if (g_FreedIrps.size() >= kFreedMemory) g_FreedIrps.clear();
    g_FreedIrps.insert(Irp);
  }
  if (Irp->AllocationFlags & kHasExtra)
    ExFreePoolWithTag(Irp, kIrpTag);
  else
    ExFreePool(Irp);
}

void FreeMdls(PIRP Irp) {
  PMDL mdl = Irp->MdlAddress;
  Irp->MdlAddress = NULL;
  while (mdl != NULL) {
    PMDL next = mdl->Next;
    IoFreeMdl(mdl);
    mdl = next;
  }
}

/* Completion reached the top of an IRP the I/O manager built. */
void FinishSystemIrp(PIRP Irp, IrpExtra *extra, CCHAR PriorityBoost) {
  NTSTATUS status = Irp->IoStatus.Status;
  if (Irp->Flags & IRP_BUFFERED_IO) {
    if ((Irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) && Irp->UserBuffer != NULL &&
        Irp->AssociatedIrp.SystemBuffer != NULL) {
      /* A driver reporting more than the caller's buffer holds gets the
         buffer's worth copied, never more. */
      ULONG_PTR count = Irp->IoStatus.Information;
      if (count > extra->OutputLength) count = extra->OutputLength;
      memcpy(Irp->UserBuffer, Irp->AssociatedIrp.SystemBuffer, count);
    }
    if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer != NULL) {
      ExFreePoolWithTag(Irp->AssociatedIrp.SystemBuffer, kBufferTag);
      Irp->AssociatedIrp.SystemBuffer = NULL;
    }
  }
  FreeMdls(Irp);

  bool report = !(extra->Options & kUserRequest) || !NT_ERROR(status) || Irp->PendingReturned;
  IO_STATUS_BLOCK result = Irp->IoStatus;
  PFILE_OBJECT file = (extra->Options & kFileReferenced) ? Irp->Tail.Overlay.OriginalFileObject : NULL;
  /* The file object is let go before the requester is told, so that the
     requester's own reference is the one that may close it. */
  if (file != NULL) ObDereferenceObject(file);
  if (report && Irp->UserIosb != NULL) {
    /* Information first, the status last and with release: a requester that
       polls the status (an overlapped caller) then reads a complete block. */
    Irp->UserIosb->Information = result.Information;
    __atomic_store_n((ULONG_PTR *)&Irp->UserIosb->Pointer, (ULONG_PTR)(ULONG)result.Status, __ATOMIC_RELEASE);
  }
  if (report && Irp->UserEvent != NULL) KeSetEvent(Irp->UserEvent, PriorityBoost, FALSE);
  if (extra->FinalRoutine != NULL) extra->FinalRoutine(Irp, extra->FinalContext);
  IopDereferenceIrp(Irp);
}

struct CompletionExContext {
  PIO_COMPLETION_ROUTINE Routine;
  PVOID Context;
  PDEVICE_OBJECT Device;
  UCHAR Control; /* the SL_INVOKE_* the caller asked for */
};

NTSTATUS CompletionExThunk(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  auto *c = (CompletionExContext *)Context;
  PDEVICE_OBJECT device = c->Device;
  NTSTATUS st = Irp->IoStatus.Status;
  bool invoke = (NT_SUCCESS(st) && (c->Control & SL_INVOKE_ON_SUCCESS)) ||
                (!NT_SUCCESS(st) && (c->Control & SL_INVOKE_ON_ERROR)) ||
                (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && (c->Control & SL_INVOKE_ON_CANCEL));
  NTSTATUS result = STATUS_SUCCESS;
  if (invoke) {
    result = c->Routine(DeviceObject, Irp, c->Context);
  } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
    IoMarkIrpPending(Irp);
  }
  ExFreePoolWithTag(c, kContextTag);
  ObDereferenceObject(device);
  return result;
}

struct WaitBlock {
  KEVENT Done;
  IO_STATUS_BLOCK Result;
};

void WaitFinal(PIRP Irp, PVOID Context) {
  auto *w = (WaitBlock *)Context;
  w->Result = Irp->IoStatus;
  KeSetEvent(&w->Done, IO_NO_INCREMENT, FALSE);
}

}  // namespace

/* ---- allocation ---- */

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  memset(Irp, 0, PacketSize);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = (CHAR)(StackSize + 1);
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation = ((PIO_STACK_LOCATION)(Irp + 1)) + StackSize;
  std::lock_guard<std::mutex> guard(g_IrpLock);
  NewRecordLocked(Irp, StackSize);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  if (StackSize < 1) return NULL;
  USHORT packet = IoSizeOfIrp(StackSize);
  auto *irp = (PIRP)ExAllocatePoolWithTag(NonPagedPoolNx, packet + sizeof(IrpExtra), kIrpTag);
  if (irp == NULL) return NULL;
  IoInitializeIrp(irp, packet, StackSize);
  irp->AllocationFlags = kHasExtra | (ChargeQuota ? IRP_QUOTA_CHARGED : 0);
  IrpExtra *extra = ExtraOf(irp);
  memset(extra, 0, sizeof *extra);
  extra->Magic = kExtraMagic;
  extra->References = 1;
  return irp;
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  UCHAR allocationFlags = Irp->AllocationFlags;
  IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Iostatus;
  if (IrpExtra *extra = ExtraOf(Irp)) {
    extra->Options = 0;
    extra->References = 1;
    extra->OutputLength = 0;
    extra->FinalRoutine = NULL;
    extra->FinalContext = NULL;
  }
}

VOID IoFreeIrp(PIRP Irp) {
  {
    std::lock_guard<std::mutex> guard(g_IrpLock);
    if (!g_Records.count(Irp) && g_FreedIrps.count(Irp)) {
      g_IrpLock.unlock();
      IrpFreed(Irp, "IoFreeIrp");
    }
  }
  if (Irp->Type != IO_TYPE_IRP)
    Violation(0xC9, IOP_VERIFIER_FREE_NOT_IRP, (ULONG_PTR)Irp, 0, 0, "IoFreeIrp called with something that is no IRP");
  FreeIrpMemory(Irp);
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  auto *mdl = (PMDL)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), kMdlTag);
  if (mdl == NULL) return NULL;
  memset(mdl, 0, sizeof *mdl);
  mdl->Size = (CSHORT)sizeof(MDL);
  mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE | MDL_MAPPED_TO_SYSTEM_VA;
  mdl->StartVa = (PVOID)((ULONG_PTR)VirtualAddress & ~(ULONG_PTR)0xFFF);
  mdl->ByteOffset = (ULONG)((ULONG_PTR)VirtualAddress & 0xFFF);
  mdl->ByteCount = Length;
  mdl->MappedSystemVa = VirtualAddress;
  if (Irp != NULL) {
    if (!SecondaryBuffer || Irp->MdlAddress == NULL) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next != NULL) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

VOID IoFreeMdl(PMDL Mdl) { ExFreePoolWithTag(Mdl, kMdlTag); }
VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) { MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL; }
VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}
VOID MmUnlockPages(PMDL MemoryDescriptorList) { MemoryDescriptorList->MdlFlags &= ~MDL_PAGES_LOCKED; }

/* ---- building requests ---- */

PIRP IopBuildRequest(const IOP_REQUEST &R) {
  PDEVICE_OBJECT device = R.DeviceObject;
  if (device == NULL) return NULL;
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (irp == NULL) return NULL;
  IrpExtra *extra = ExtraOf(irp);
  extra->Options = kSystemBuilt | (R.UserRequest ? kUserRequest : 0);
  irp->RequestorMode = R.RequestorMode;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = R.FileObject;
  irp->UserIosb = R.Iosb;
  irp->UserEvent = R.Event;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = R.MajorFunction;
  sp->MinorFunction = R.MinorFunction;
  sp->FileObject = R.FileObject;

  auto systemBuffer = [&](ULONG size, PVOID input, ULONG inputLength) -> bool {
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPoolNx, size, kBufferTag);
    if (buffer == NULL) return false;
    memset(buffer, 0, size); /* what the input does not fill never shows old pool contents */
    if (input != NULL && inputLength != 0) memcpy(buffer, input, inputLength);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
  };

  bool ok = true;
  switch (R.MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
      bool read = R.MajorFunction == IRP_MJ_READ;
      ULONG length = read ? R.OutputLength : R.InputLength;
      PVOID buffer = read ? R.OutputBuffer : R.InputBuffer;
      sp->Parameters.Read.Length = length;
      sp->Parameters.Read.ByteOffset = R.ByteOffset;
      irp->UserBuffer = buffer;
      if (device->Flags & DO_BUFFERED_IO) {
        if (length != 0) ok = systemBuffer(length, read ? NULL : buffer, read ? 0 : length);
        if (read) {
          irp->Flags |= IRP_BUFFERED_IO | IRP_INPUT_OPERATION;
          extra->OutputLength = length;
        }
      } else if (device->Flags & DO_DIRECT_IO) {
        if (length != 0) ok = IoAllocateMdl(buffer, length, FALSE, FALSE, irp) != NULL;
      }
      irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
      break;
    }
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      sp->Parameters.DeviceIoControl.OutputBufferLength = R.OutputLength;
      sp->Parameters.DeviceIoControl.InputBufferLength = R.InputLength;
      sp->Parameters.DeviceIoControl.IoControlCode = R.IoControlCode;
      switch (METHOD_FROM_CTL_CODE(R.IoControlCode)) {
        case METHOD_BUFFERED: {
          ULONG size = R.InputLength > R.OutputLength ? R.InputLength : R.OutputLength;
          if (size != 0) ok = systemBuffer(size, R.InputBuffer, R.InputLength);
          if (R.OutputLength != 0) {
            irp->Flags |= IRP_INPUT_OPERATION;
            extra->OutputLength = R.OutputLength;
          }
          irp->UserBuffer = R.OutputBuffer;
          break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
          if (R.InputLength != 0) ok = systemBuffer(R.InputLength, R.InputBuffer, R.InputLength);
          if (ok && R.OutputLength != 0) ok = IoAllocateMdl(R.OutputBuffer, R.OutputLength, FALSE, FALSE, irp) != NULL;
          irp->UserBuffer = R.OutputBuffer;
          break;
        default: /* METHOD_NEITHER */
          sp->Parameters.DeviceIoControl.Type3InputBuffer = R.InputBuffer;
          irp->UserBuffer = R.OutputBuffer;
          break;
      }
      break;
    }
    default:
      break;
  }
  if (!ok) {
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kBufferTag);
    FreeMdls(irp);
    FreeIrpMemory(irp);
    return NULL;
  }
  if (R.FileObject != NULL) {
    ObReferenceObject(R.FileObject);
    extra->Options |= kFileReferenced;
  }
  extra->FinalRoutine = R.FinalRoutine;
  extra->FinalContext = R.FinalContext;
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP irp = IoBuildAsynchronousFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IoStatusBlock);
  if (irp != NULL) irp->UserEvent = Event;
  return irp;
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) {
  IOP_REQUEST r;
  r.MajorFunction = (UCHAR)MajorFunction;
  r.DeviceObject = DeviceObject;
  if (MajorFunction == IRP_MJ_WRITE) {
    r.InputBuffer = Buffer;
    r.InputLength = Length;
  } else if (MajorFunction == IRP_MJ_READ) {
    r.OutputBuffer = Buffer;
    r.OutputLength = Length;
  }
  if (StartingOffset != NULL) r.ByteOffset = *StartingOffset;
  r.Iosb = IoStatusBlock;
  return IopBuildRequest(r);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  IOP_REQUEST r;
  r.MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  r.DeviceObject = DeviceObject;
  r.InputBuffer = InputBuffer;
  r.InputLength = InputBufferLength;
  r.OutputBuffer = OutputBuffer;
  r.OutputLength = OutputBufferLength;
  r.IoControlCode = IoControlCode;
  r.Event = Event;
  r.Iosb = IoStatusBlock;
  PIRP irp = IopBuildRequest(r);
  if (irp != NULL) irp->Flags |= IRP_SYNCHRONOUS_API;
  return irp;
}

void IopReferenceIrp(PIRP Irp) {
  IrpExtra *extra = ExtraOf(Irp);
  if (extra != NULL) InterlockedIncrement(&extra->References);
}

void IopDereferenceIrp(PIRP Irp) {
  IrpExtra *extra = ExtraOf(Irp);
  if (extra != NULL && InterlockedDecrement(&extra->References) == 0) FreeIrpMemory(Irp);
}

NTSTATUS IopCallDriverAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STATUS_BLOCK IoStatus) {
  KiCheckIrqlAtMost(APC_LEVEL, "IopCallDriverAndWait");
  IrpExtra *extra = ExtraOf(Irp);
  WaitBlock w;
  KeInitializeEvent(&w.Done, NotificationEvent, FALSE);
  w.Result.Status = STATUS_PENDING;
  w.Result.Information = 0;
  extra->FinalRoutine = WaitFinal;
  extra->FinalContext = &w;
  NTSTATUS status = IofCallDriver(DeviceObject, Irp);
  /* Always wait: the final completion is what lets go of w. */
  KeWaitForSingleObject(&w.Done, Executive, KernelMode, FALSE, NULL);
  if (status == STATUS_PENDING) status = w.Result.Status;
  if (IoStatus != NULL) {
    IoStatus->Status = status;
    IoStatus->Information = w.Result.Information;
  }
  return status;
}

/* ---- sending ---- */

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
  std::shared_ptr<IrpRecord> record = RecordOf(Irp, "IofCallDriver");
  if (Irp->Type != IO_TYPE_IRP)
    Violation(0xC9, IOP_VERIFIER_CALL_NOT_IRP, (ULONG_PTR)Irp, 0, 0, "IofCallDriver called with something that is no IRP");
  if (DeviceObject == NULL || ObpTypeOf(DeviceObject) != &IopDeviceObjectType)
    Violation(0xC9, IOP_VERIFIER_CALL_BAD_DEVICE, (ULONG_PTR)DeviceObject, (ULONG_PTR)Irp, 0,
              "IofCallDriver called with something that is no device object");
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0)
    Violation(0x35 /* NO_MORE_IRP_STACK_LOCATIONS */, (ULONG_PTR)Irp, 0, 0, 0,
              "IofCallDriver: the IRP has no stack location left for the device it is sent to");
  PIO_STACK_LOCATION sp = --Irp->Tail.Overlay.CurrentStackLocation;
  sp->DeviceObject = DeviceObject;
  CHAR location = Irp->CurrentLocation;
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  UCHAR major = sp->MajorFunction;
  if (major > IRP_MJ_MAXIMUM_FUNCTION)
    Violation(0xC9, IOP_VERIFIER_CALL_NOT_IRP, (ULONG_PTR)Irp, major, 0,
              "IofCallDriver: the stack location's major function is out of range");
  ULONG generation;
  {
    std::lock_guard<std::mutex> guard(g_IrpLock);
    LocationState *ls = LocationOf(record.get(), location);
    generation = ++ls->Generation;
    ls->ReturnedPending = ls->Passed = ls->Marked = false;
    ls->Driver = driver;
  }
  PDRIVER_DISPATCH dispatch = driver != NULL ? driver->MajorFunction[major] : NULL;
  if (dispatch == NULL) dispatch = IopInvalidDeviceRequest;

  KIRQL before = KeGetCurrentIrql();
  NTSTATUS status;
  {
    KiDriverScope scope(driver);
    status = dispatch(DeviceObject, Irp);
  }
  KIRQL after = KeGetCurrentIrql();
  if (after != before)
    Violation(0xC9, IOP_VERIFIER_DISPATCH_IRQL, (ULONG_PTR)dispatch, before, after,
              "dispatch routine returned at another IRQL than it was called at");
  if (status == STATUS_PENDING) {
    bool violated = false;
    {
      std::lock_guard<std::mutex> guard(g_IrpLock);
      LocationState *ls = LocationOf(record.get(), location);
      if (ls->Generation == generation) {
        ls->ReturnedPending = true;
        violated = ls->Passed && !ls->Marked;
      }
    }
    if (violated) PendingNotMarked(record->Irp, location, driver);
  }
  return status;
}

/* ---- completion ---- */

namespace {
std::atomic<bool> g_HaveObserver{false};
std::mutex g_ObserverLock; /* guards g_Observer */
nt::io::CompletionObserver g_Observer;
}  // namespace

void nt::io::SetCompletionObserver(CompletionObserver Observer) {
  std::lock_guard<std::mutex> guard(g_ObserverLock);
  g_Observer = std::move(Observer);
  g_HaveObserver.store((bool)g_Observer);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  if (g_HaveObserver.load()) {
    nt::io::CompletionObserver observer;
    {
      std::lock_guard<std::mutex> guard(g_ObserverLock);
      observer = g_Observer;
    }
    if (observer) observer(Irp, Irp->IoStatus.Status, PriorityBoost);
  }
  std::shared_ptr<IrpRecord> record;
  {
    std::lock_guard<std::mutex> guard(g_IrpLock);
    auto it = g_Records.find(Irp);
    if (it != g_Records.end()) {
      record = it->second;
    } else if (g_FreedIrps.count(Irp)) {
      g_IrpLock.unlock();
      Violation(0x44 /* MULTIPLE_IRP_COMPLETE_REQUESTS */, (ULONG_PTR)Irp, 0, 0, 0,
                "IRP completed twice: IoCompleteRequest of an IRP that was already completed and freed");
    } else {
      record = NewRecordLocked(Irp, Irp->StackCount);
    }
  }
  if (Irp->CurrentLocation > (CHAR)(Irp->StackCount + 1))
    Violation(0x44 /* MULTIPLE_IRP_COMPLETE_REQUESTS */, (ULONG_PTR)Irp, (ULONG_PTR)Irp->CurrentLocation, 0, 0,
              "IRP completed twice: IoCompleteRequest of an IRP whose completion already reached the top");
  if (Irp->CurrentLocation == (CHAR)(Irp->StackCount + 1))
    Violation(0xC9, IOP_VERIFIER_COMPLETE_UNSENT, (ULONG_PTR)Irp, 0, 0,
              "IoCompleteRequest of an IRP that no driver holds (never sent, or reclaimed by its allocator)");
  if (Irp->IoStatus.Status == STATUS_PENDING)
    Violation(0xC9, IOP_VERIFIER_COMPLETE_PENDING, (ULONG_PTR)Irp, 0, 0, "IoCompleteRequest called with STATUS_PENDING");
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != NULL)
    Violation(0xC9, IOP_VERIFIER_COMPLETE_CANCEL_SET, (ULONG_PTR)Irp, (ULONG_PTR)Irp->CancelRoutine, 0,
              "IoCompleteRequest called with a cancel routine still set");

  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  for (;;) {
    CHAR location = Irp->CurrentLocation;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    UCHAR control = sp->Control;
    Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
    PDRIVER_OBJECT pendingViolator = NULL;
    bool violated = false;
    {
      std::lock_guard<std::mutex> guard(g_IrpLock);
      if (LocationState *ls = LocationOf(record.get(), location)) {
        ls->Passed = true;
        ls->Marked = Irp->PendingReturned;
        violated = ls->ReturnedPending && !ls->Marked;
        pendingViolator = ls->Driver;
      }
    }
    if (violated) PendingNotMarked(Irp, location, pendingViolator);

    PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
    PVOID context = sp->Context;
    NTSTATUS status = Irp->IoStatus.Status;
    bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) != 0;
    bool invoke = routine != NULL && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                      (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                      (cancelled && (control & SL_INVOKE_ON_CANCEL)));
    memset(sp, 0, sizeof *sp);
    if (invoke) {
      PDEVICE_OBJECT device =
          Irp->CurrentLocation == (CHAR)(Irp->StackCount + 1) ? NULL : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      NTSTATUS result;
      {
        KiDriverScope scope(device != NULL ? device->DriverObject : record->Owner);
        result = routine(device, Irp, context);
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return; /* the routine's owner has the IRP back */
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
    if (Irp->CurrentLocation > Irp->StackCount) break;
    sp++;
  }
  /* Past the top: a second completion is detected by CurrentLocation. */
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;

  IrpExtra *extra = ExtraOf(Irp);
  if (extra != NULL && (extra->Options & kSystemBuilt)) FinishSystemIrp(Irp, extra, PriorityBoost);
}

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                  PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                  BOOLEAN InvokeOnCancel) {
  auto *c = (CompletionExContext *)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CompletionExContext), kContextTag);
  if (c == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  c->Routine = CompletionRoutine;
  c->Context = Context;
  c->Device = DeviceObject;
  c->Control = (UCHAR)((InvokeOnSuccess ? SL_INVOKE_ON_SUCCESS : 0) | (InvokeOnError ? SL_INVOKE_ON_ERROR : 0) |
                       (InvokeOnCancel ? SL_INVOKE_ON_CANCEL : 0));
  ObReferenceObject(DeviceObject);
  /* The thunk always runs, so that the reference and the context are let go. */
  IoSetCompletionRoutine(Irp, CompletionExThunk, c, TRUE, TRUE, TRUE);
  return STATUS_SUCCESS;
}

/* ---- cancel ---- */

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_CancelSpinLock, Irql); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_CancelSpinLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  {
    std::lock_guard<std::mutex> guard(g_IrpLock);
    if (!g_Records.count(Irp) && g_FreedIrps.count(Irp)) {
      g_IrpLock.unlock();
      IrpFreed(Irp, "IoCancelIrp");
    }
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_RELEASE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
  if (routine == NULL) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount)
    Violation(0x48 /* CANCEL_STATE_IN_COMPLETED_IRP */, (ULONG_PTR)Irp, (ULONG_PTR)routine, 0, 0,
              "IoCancelIrp: an IRP that no driver holds has a cancel routine set");
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  KiDriverScope scope(device != NULL ? device->DriverObject : NULL);
  routine(device, Irp); /* releases the cancel spin lock */
  return TRUE;
}

/* ---- queries and life cycle ---- */

std::vector<PIRP> IopOutstandingIrps(PDRIVER_OBJECT DriverObject) {
  std::vector<PIRP> irps;
  std::lock_guard<std::mutex> guard(g_IrpLock);
  for (auto &entry : g_Records) {
    for (const LocationState &ls : entry.second->Locations) {
      if (ls.Generation != 0 && !ls.Passed && ls.Driver == DriverObject) {
        irps.push_back(entry.first);
        break;
      }
    }
  }
  return irps;
}

void IopIrpInitialize() { KeInitializeSpinLock(&g_CancelSpinLock); }

void IopIrpShutdown() {
  std::lock_guard<std::mutex> guard(g_IrpLock);
  for (auto &entry : g_Records) entry.second->Freed = true;
  g_Records.clear();
  g_FreedIrps.clear();
}
