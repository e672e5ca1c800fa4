/*
 * The user-mode I/O manager: a handle table of its own over the kernel's
 * file objects, and the requests a program issues on them.
 *
 * Each open has one Open record shared by its handles. The record lists the
 * requests in progress, each with a hold on the IRP's memory so that a
 * cancel can still reach an IRP that is completing on another thread. An
 * entry leaves the list when its final routine has run and no cancel is
 * using it; whoever takes it off drops the hold. No kernel routine is
 * called with an Open's lock held.
 */
#include <nt/io.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "io/iop.h"
#include "ki.h"
#include "system/utf.h"

namespace {

struct Pending {
  PIRP Irp;
  std::thread::id Thread;
  PIO_STATUS_BLOCK UserIosb; /* the caller's, for CancelIoEx; NULL for synchronous calls */
  bool Done = false;         /* the final routine has run */
  int CancelHolds = 0;       /* cancels in progress that still need the IRP */
};

struct OpenRecord {
  PFILE_OBJECT File; /* one reference per handle */
  std::mutex Lock;   /* guards Requests */
  std::vector<Pending> Requests;
};

std::mutex g_Lock;                                      /* guards g_Handles and g_Next */
std::map<ULONG_PTR, std::shared_ptr<OpenRecord>> g_Handles;  /* by handle value */
ULONG_PTR g_Next;

/* User handles are multiples of 4 in a range of their own, so that one
 * passed where a kernel handle belongs is not taken for one. */
const ULONG_PTR kHandleBase = 0x40000000;

std::shared_ptr<OpenRecord> Lookup(HANDLE h) {
  std::lock_guard<std::mutex> lock(g_Lock);
  auto it = g_Handles.find((ULONG_PTR)h);
  return it == g_Handles.end() ? nullptr : it->second;
}

HANDLE Insert(std::shared_ptr<OpenRecord> open) {
  std::lock_guard<std::mutex> lock(g_Lock);
  ULONG_PTR value = kHandleBase + 4 * (++g_Next);
  g_Handles[value] = std::move(open);
  return (HANDLE)value;
}

/* "\\.\COM5" and "COM5" are "\??\COM5"; object paths stay as they are. */
std::u16string ObjectPath(std::u16string name) {
  if (name.size() >= 4 && name[0] == u'\\' && name[1] == u'\\' && name[2] == u'.' && name[3] == u'\\')
    return u"\\??\\" + name.substr(4);
  if (!name.empty() && name[0] == u'\\') return name;
  return u"\\??\\" + name;
}

NTSTATUS OpenPath(const std::u16string &name, HANDLE *handle, ACCESS_MASK access) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "nt::io::Open");
  if (handle == nullptr) return STATUS_INVALID_PARAMETER;
  *handle = nullptr;
  if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::u16string path = ObjectPath(name);
  UNICODE_STRING pathU = IopView(path);
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = IopOpenByName(&pathU, access, UserMode, &file);
  if (!NT_SUCCESS(status)) return status;
  auto open = std::make_shared<OpenRecord>();
  open->File = file;
  *handle = Insert(std::move(open));
  return status;
}

/* Takes Irp's entry off the list if it is done and unused. Caller holds
 * the lock; returns whether the caller must drop the hold. */
bool Retire(std::vector<Pending> &list, PIRP irp) {
  auto it = std::find_if(list.begin(), list.end(), [&](const Pending &p) { return p.Irp == irp; });
  if (it == list.end() || !it->Done || it->CancelHolds != 0) return false;
  list.erase(it);
  return true;
}

/* The final routine of every request. */
void OnFinal(PIRP Irp, PVOID Context) {
  auto *ref = static_cast<std::shared_ptr<OpenRecord> *>(Context);
  bool drop = false;
  {
    std::lock_guard<std::mutex> lock((*ref)->Lock);
    auto &list = (*ref)->Requests;
    auto it = std::find_if(list.begin(), list.end(), [&](const Pending &p) { return p.Irp == Irp; });
    if (it != list.end()) {
      it->Done = true;
      drop = Retire(list, Irp);
    }
  }
  if (drop) IopDereferenceIrp(Irp);
  delete ref;
}

struct Call {
  UCHAR Major;
  PVOID In = nullptr;
  ULONG InLength = 0;
  PVOID Out = nullptr;
  ULONG OutLength = 0;
  ULONG Code = 0;
};

NTSTATUS Issue(HANDLE handle, const Call &c, PIO_STATUS_BLOCK iosb, PKEVENT event) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "nt::io request");
  auto open = Lookup(handle);
  if (!open) return STATUS_INVALID_HANDLE;
  if (event != nullptr && iosb == nullptr) return STATUS_INVALID_PARAMETER;
  if ((c.InLength && c.In == nullptr) || (c.OutLength && c.Out == nullptr)) return STATUS_INVALID_USER_BUFFER;

  /* A synchronous call waits on an event and status block of its own. */
  KEVENT syncEvent;
  IO_STATUS_BLOCK syncIosb{};
  bool sync = event == nullptr;
  if (sync) {
    KeInitializeEvent(&syncEvent, NotificationEvent, FALSE);
  } else {
    KeClearEvent(event);
  }

  IOP_REQUEST r;
  r.MajorFunction = c.Major;
  r.DeviceObject = IoGetRelatedDeviceObject(open->File);
  r.FileObject = open->File;
  r.InputBuffer = c.In;
  r.InputLength = c.InLength;
  r.OutputBuffer = c.Out;
  r.OutputLength = c.OutLength;
  r.IoControlCode = c.Code;
  r.RequestorMode = UserMode;
  r.UserRequest = TRUE;
  r.Event = sync ? &syncEvent : event;
  r.Iosb = sync ? &syncIosb : iosb;
  r.FinalRoutine = OnFinal;
  auto *ref = new std::shared_ptr<OpenRecord>(open);
  r.FinalContext = ref;
  PIRP irp = IopBuildRequest(r);
  if (irp == nullptr) {
    delete ref;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IopReferenceIrp(irp);
  {
    std::lock_guard<std::mutex> lock(open->Lock);
    open->Requests.push_back(Pending{irp, std::this_thread::get_id(), sync ? nullptr : iosb});
  }
  NTSTATUS status = IoCallDriver(r.DeviceObject, irp);
  if (!sync) return status;
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&syncEvent, Executive, UserMode, FALSE, nullptr);
    status = syncIosb.Status;
  }
  /* The caller's block gets what a completed request reports; a failure
   * that was never pended reports nothing. */
  if (iosb != nullptr && KeReadStateEvent(&syncEvent)) *iosb = syncIosb;
  return status;
}

NTSTATUS Cancel(HANDLE handle, bool thisThreadOnly, PIO_STATUS_BLOCK which, bool *any) {
  auto open = Lookup(handle);
  if (!open) return STATUS_INVALID_HANDLE;
  std::vector<PIRP> irps;
  {
    std::lock_guard<std::mutex> lock(open->Lock);
    for (auto &p : open->Requests) {
      if (p.Done) continue;
      if (thisThreadOnly && p.Thread != std::this_thread::get_id()) continue;
      if (which != nullptr && p.UserIosb != which) continue;
      p.CancelHolds++;
      irps.push_back(p.Irp);
    }
  }
  for (PIRP irp : irps) IoCancelIrp(irp);
  std::vector<PIRP> drop;
  {
    std::lock_guard<std::mutex> lock(open->Lock);
    for (PIRP irp : irps) {
      for (auto &p : open->Requests)
        if (p.Irp == irp) p.CancelHolds--;
      if (Retire(open->Requests, irp)) drop.push_back(irp);
    }
  }
  for (PIRP irp : drop) IopDereferenceIrp(irp);
  if (any) *any = !irps.empty();
  return STATUS_SUCCESS;
}

}  // namespace

void IomInitialize() {
  std::lock_guard<std::mutex> lock(g_Lock);
  g_Handles.clear();
  g_Next = 0;
}

void IomShutdown() {
  std::map<ULONG_PTR, std::shared_ptr<OpenRecord>> handles;
  {
    std::lock_guard<std::mutex> lock(g_Lock);
    handles.swap(g_Handles);
  }
  for (auto &[value, open] : handles) {
    (void)value;
    IopCloseFileHandle(open->File);
  }
}

namespace nt::io {

NTSTATUS Open(const std::string &Name, HANDLE *Handle, ACCESS_MASK DesiredAccess) {
  return OpenPath(sys::Utf8ToUtf16(Name), Handle, DesiredAccess);
}

NTSTATUS Open(PCWSTR Name, HANDLE *Handle, ACCESS_MASK DesiredAccess) {
  return OpenPath(sys::FromWide(Name), Handle, DesiredAccess);
}

NTSTATUS Duplicate(HANDLE Handle, HANDLE *NewHandle) {
  if (NewHandle == nullptr) return STATUS_INVALID_PARAMETER;
  auto open = Lookup(Handle);
  if (!open) return STATUS_INVALID_HANDLE;
  IopReferenceFileHandle(open->File);
  ObReferenceObject(open->File);
  *NewHandle = Insert(open);
  return STATUS_SUCCESS;
}

NTSTATUS Close(HANDLE Handle) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "nt::io::Close");
  std::shared_ptr<OpenRecord> open;
  {
    std::lock_guard<std::mutex> lock(g_Lock);
    auto it = g_Handles.find((ULONG_PTR)Handle);
    if (it == g_Handles.end()) return STATUS_INVALID_HANDLE;
    open = it->second;
    g_Handles.erase(it);
  }
  IopCloseFileHandle(open->File);
  return STATUS_SUCCESS;
}

NTSTATUS Read(HANDLE Handle, PVOID Buffer, ULONG Length, PIO_STATUS_BLOCK IoStatus, PKEVENT Event) {
  Call c{IRP_MJ_READ};
  c.Out = Buffer;
  c.OutLength = Length;
  return Issue(Handle, c, IoStatus, Event);
}

NTSTATUS Write(HANDLE Handle, const void *Buffer, ULONG Length, PIO_STATUS_BLOCK IoStatus, PKEVENT Event) {
  Call c{IRP_MJ_WRITE};
  c.In = const_cast<void *>(Buffer);
  c.InLength = Length;
  return Issue(Handle, c, IoStatus, Event);
}

NTSTATUS DeviceIoControl(HANDLE Handle, ULONG IoControlCode, const void *InputBuffer, ULONG InputLength,
                         PVOID OutputBuffer, ULONG OutputLength, PIO_STATUS_BLOCK IoStatus, PKEVENT Event) {
  Call c{IRP_MJ_DEVICE_CONTROL};
  c.In = const_cast<void *>(InputBuffer);
  c.InLength = InputLength;
  c.Out = OutputBuffer;
  c.OutLength = OutputLength;
  c.Code = IoControlCode;
  return Issue(Handle, c, IoStatus, Event);
}

NTSTATUS FlushBuffers(HANDLE Handle, PIO_STATUS_BLOCK IoStatus) {
  return Issue(Handle, Call{IRP_MJ_FLUSH_BUFFERS}, IoStatus, nullptr);
}

NTSTATUS CancelIo(HANDLE Handle) { return Cancel(Handle, true, nullptr, nullptr); }

NTSTATUS CancelIoEx(HANDLE Handle, PIO_STATUS_BLOCK IoStatus) {
  bool any = false;
  NTSTATUS status = Cancel(Handle, false, IoStatus, &any);
  if (NT_SUCCESS(status) && !any) return STATUS_NOT_FOUND;
  return status;
}

size_t PendingRequests(HANDLE Handle) {
  auto open = Lookup(Handle);
  if (!open) return 0;
  std::lock_guard<std::mutex> lock(open->Lock);
  return (size_t)std::count_if(open->Requests.begin(), open->Requests.end(), [](const Pending &p) { return !p.Done; });
}

PFILE_OBJECT FileObject(HANDLE Handle) {
  auto open = Lookup(Handle);
  return open ? open->File : nullptr;
}

bool Wait(PKEVENT Event, unsigned TimeoutMs) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -(LONGLONG)TimeoutMs * 10000;
  return KeWaitForSingleObject(Event, Executive, UserMode, FALSE, &timeout) == STATUS_SUCCESS;
}

}  // namespace nt::io
