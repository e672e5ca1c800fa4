/*
 * The PnP manager: the device tree, enumeration of buses, the PnP and power
 * requests it sends, and the root-enumerated PDOs of the buses it starts.
 *
 * Locks. g_ActionLock serialises every action (and so every request the
 * manager sends): one at a time, on the thread that asked for it or on the
 * PnP worker. g_DataLock guards the tree and the registrations; it is never
 * held while a driver runs. Order: g_ActionLock before g_DataLock.
 */
#include <nt/debug.h>
#include <nt/pnp.h>
#include <nt/registry.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "cm/cmp.h"
#include "io/iop.h"
#include "pnpp.h"
#include "system/utf.h"

#ifndef STATUS_INVALID_PARAMETER_5
#define STATUS_INVALID_PARAMETER_5 ((NTSTATUS)0xC00000F3L)
#endif

using nt::pnp::DeviceInfo;
using nt::pnp::DeviceState;
using nt::pnp::FunctionDriver;

namespace {

struct Node {
  DeviceInfo Info;                /* Info.Pdo referenced while the node is in the tree */
  Node *Parent = nullptr;
  std::vector<Node *> Children;   /* in the order the bus reported them */
  bool RootEnumerated = false;    /* its PDO is ours (\Driver\PnpManager) */
  std::string BusDriver;          /* root-enumerated: the bus driver's name */
  bool Reported = true;           /* its bus still reports it */
  bool HasFunction = false;
  FunctionDriver Function;
  /* Surprise-removed while file objects were open on its subtree: its
   * IRP_MN_REMOVE_DEVICE waits for the last of them. DropAfter: the
   * children leave the tree with it (SurpriseRemove of a bus). */
  bool RemoveDeferred = false;
  bool DropAfter = false;
};

std::mutex g_ActionLock;
std::mutex g_DataLock;
std::vector<std::unique_ptr<Node>> g_Nodes;             /* enumeration order; under g_DataLock */
std::map<PDEVICE_OBJECT, Node *> g_ByPdo;                /* under g_DataLock */
std::vector<std::pair<std::string, FunctionDriver>> g_ById;  /* upper-cased id -> driver; under g_DataLock */
std::map<std::string, FunctionDriver> g_ByBus;           /* upper-cased bus driver name; under g_DataLock */
PDRIVER_OBJECT g_PnpDriver;                              /* \Driver\PnpManager */

/* The PnP worker and its queue of IoInvalidateDeviceRelations requests. */
std::mutex g_WorkLock;
std::condition_variable g_WorkCv;
std::deque<std::pair<PDEVICE_OBJECT, DEVICE_RELATION_TYPE>> g_Work; /* PDOs referenced; under g_WorkLock */
bool g_WorkBusy = false;                                            /* under g_WorkLock */
bool g_WorkStop = false;                                            /* under g_WorkLock */
bool g_WorkAccept = false; /* requests are queued only while the system is up; under g_WorkLock */
std::thread g_Worker;
bool g_RemoveCheck = false; /* a file object closed while removes were deferred; under g_WorkLock */
std::atomic<int> g_DeferredCount{0}; /* nodes with RemoveDeferred */

/* A device object a driver kept past IRP_MN_REMOVE_DEVICE while file
 * objects on its stack were open: checked again when the last one goes. */
struct KeptDevice {
  PDEVICE_OBJECT Device;              /* referenced */
  std::vector<PDEVICE_OBJECT> Stack;  /* the stack it was in, referenced */
};
std::mutex g_KeptLock;
std::vector<KeptDevice> g_Kept; /* under g_KeptLock */

const ULONG kPnpTag = 0x706E5052; /* "RPnp" in memory */

std::string Upper(const std::string &s) { return nt::sys::UpcaseAscii(s); }

Node *NodeOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> lock(g_DataLock);
  auto it = g_ByPdo.find(pdo);
  return it == g_ByPdo.end() ? nullptr : it->second;
}

void SetState(Node *n, DeviceState s, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(g_DataLock);
  n->Info.State = s;
  n->Info.LastStatus = status;
}

DeviceState StateOf(Node *n) {
  std::lock_guard<std::mutex> lock(g_DataLock);
  return n->Info.State;
}

/* ---- sending requests ---- */

NTSTATUS OnRequestDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

const char *MinorName(UCHAR major, UCHAR minor) {
  static const char *pnp[] = {"START_DEVICE", "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE",
                              "STOP_DEVICE", "QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE", "QUERY_DEVICE_RELATIONS",
                              "QUERY_INTERFACE", "QUERY_CAPABILITIES", "QUERY_RESOURCES",
                              "QUERY_RESOURCE_REQUIREMENTS", "QUERY_DEVICE_TEXT", "FILTER_RESOURCE_REQUIREMENTS",
                              "0x0E", "READ_CONFIG", "WRITE_CONFIG", "EJECT", "SET_LOCK", "QUERY_ID",
                              "QUERY_PNP_DEVICE_STATE", "QUERY_BUS_INFORMATION", "DEVICE_USAGE_NOTIFICATION",
                              "SURPRISE_REMOVAL"};
  static const char *power[] = {"WAIT_WAKE", "POWER_SEQUENCE", "SET_POWER", "QUERY_POWER"};
  if (major == IRP_MJ_PNP && minor < sizeof pnp / sizeof pnp[0]) return pnp[minor];
  if (major == IRP_MJ_POWER && minor < 4) return power[minor];
  return "request";
}

/* Builds one request with the status preset to STATUS_NOT_SUPPORTED, sends
 * it to the top of Pdo's stack and waits for it. Caller holds g_ActionLock
 * (or is the start-up/shut-down path). */
nt::pnp::Result SendRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, const IO_STACK_LOCATION *params) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "PnP manager request");
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return {STATUS_INSUFFICIENT_RESOURCES, 0};
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  if (params != nullptr) sp->Parameters = params->Parameters;
  sp->MajorFunction = major;
  sp->MinorFunction = minor;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, OnRequestDone, &done, TRUE, TRUE, TRUE);
  if (major == IRP_MJ_POWER)
    PoCallDriver(top, irp);
  else
    IoCallDriver(top, irp);
  unsigned ms = nt::CurrentBootOptions().PnpRequestTimeoutMs;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -(LONGLONG)ms * 10000;
  if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, ms ? &timeout : nullptr) == STATUS_TIMEOUT) {
    char rule[160];
    snprintf(rule, sizeof rule, "IRP_MN_%s (IRP %p) sent to device %p not completed within %u ms",
             MinorName(major, minor), (void *)irp, (void *)top, ms);
    if (major == IRP_MJ_POWER)
      KiBugCheck(PNP_BUGCHECK_POWER_STATE_FAILURE, PNP_POWER_REQUEST_TIMEOUT, (ULONG_PTR)top, (ULONG_PTR)irp, 0,
                 rule);
    KiBugCheck(PNP_BUGCHECK_FATAL_ERROR, PNP_FATAL_REQUEST_TIMEOUT, (ULONG_PTR)top, (ULONG_PTR)irp, minor, rule);
  }
  nt::pnp::Result r{irp->IoStatus.Status, irp->IoStatus.Information};
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  return r;
}

nt::pnp::Result SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const IO_STACK_LOCATION *params = nullptr) {
  return SendRequest(pdo, IRP_MJ_PNP, minor, params);
}

/* A string a driver returned in pool (one or a list), freed here. */
std::vector<std::string> TakeStrings(ULONG_PTR info, bool multi) {
  std::vector<std::string> out;
  PWCHAR p = reinterpret_cast<PWCHAR>(info);
  if (p == nullptr) return out;
  PWCHAR at = p;
  while (*at) {
    std::u16string s;
    while (*at) s.push_back(char16_t(*at++));
    out.push_back(nt::sys::Utf16ToUtf8(s));
    ++at;
    if (!multi) break;
  }
  ExFreePool(p);
  return out;
}

std::vector<std::string> QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, NTSTATUS *status) {
  IO_STACK_LOCATION params{};
  params.Parameters.QueryId.IdType = type;
  auto r = SendPnp(pdo, IRP_MN_QUERY_ID, &params);
  *status = r.Status;
  if (!NT_SUCCESS(r.Status)) return {};
  return TakeStrings(r.Information, type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs);
}

std::string QueryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type) {
  IO_STACK_LOCATION params{};
  params.Parameters.QueryDeviceText.DeviceTextType = type;
  params.Parameters.QueryDeviceText.LocaleId = 0x409;
  auto r = SendPnp(pdo, IRP_MN_QUERY_DEVICE_TEXT, &params);
  if (!NT_SUCCESS(r.Status)) return {};
  auto v = TakeStrings(r.Information, false);
  return v.empty() ? std::string() : v[0];
}

/* The devices of Pdo's stack above it, top first, each referenced. */
std::vector<PDEVICE_OBJECT> StackAbove(PDEVICE_OBJECT pdo) {
  std::vector<PDEVICE_OBJECT> out;
  PDEVICE_OBJECT d = IoGetAttachedDeviceReference(pdo);
  while (d != pdo) {
    out.push_back(d);
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(d);
    if (lower == nullptr) break;
    d = lower;
  }
  if (d == pdo) ObDereferenceObject(d);
  return out;
}

bool Deleted(PDEVICE_OBJECT d) {
  return d->DeviceObjectExtension != nullptr && (d->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING);
}

void VerifyDeleted(PDEVICE_OBJECT d, const char *when) {
  if (Deleted(d)) return;
  char rule[200];
  std::string driver = d->DriverObject ? nt::sys::ToUtf8(&d->DriverObject->DriverName) : std::string("?");
  snprintf(rule, sizeof rule, "device object %p of %s not deleted %s", (void *)d, driver.c_str(), when);
  KiBugCheck(0xC9, PNP_VERIFIER_DEVICE_NOT_DELETED, (ULONG_PTR)d, (ULONG_PTR)d->DriverObject, 0, rule);
}

LONG OpenCount(const std::vector<PDEVICE_OBJECT> &stack) {
  LONG total = 0;
  for (PDEVICE_OBJECT d : stack) total += IopDeviceOpenCount(d);
  return total;
}

/* File objects open on any device of Pdo's stack. */
LONG StackOpenCount(PDEVICE_OBJECT pdo) {
  std::vector<PDEVICE_OBJECT> stack = StackAbove(pdo);
  LONG total = OpenCount(stack) + IopDeviceOpenCount(pdo);
  for (PDEVICE_OBJECT d : stack) ObDereferenceObject(d);
  return total;
}

/* ---- the tree ---- */

void RemoveFromTree(Node *n) {
  PDEVICE_OBJECT pdo;
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    pdo = n->Info.Pdo;
    if (n->Parent) std::erase(n->Parent->Children, n);
    for (Node *c : n->Children) c->Parent = nullptr;
    g_ByPdo.erase(pdo);
    if (pdo->DeviceObjectExtension) pdo->DeviceObjectExtension->DeviceNode = nullptr;
    std::erase_if(g_Nodes, [&](const std::unique_ptr<Node> &p) { return p.get() == n; });
  }
  ObDereferenceObject(pdo);
}

bool FindFunction(Node *n, FunctionDriver *out) {
  std::lock_guard<std::mutex> lock(g_DataLock);
  std::vector<std::string> ids = n->Info.HardwareIds;
  ids.insert(ids.end(), n->Info.CompatibleIds.begin(), n->Info.CompatibleIds.end());
  for (auto &id : ids)
    for (auto it = g_ById.rbegin(); it != g_ById.rend(); ++it)
      if (it->first == Upper(id)) {
        *out = it->second;
        return true;
      }
  Node *bus = n->Parent;
  while (bus && !bus->RootEnumerated) bus = bus->Parent;
  if (bus) {
    auto it = g_ByBus.find(Upper(bus->BusDriver));
    if (it != g_ByBus.end()) {
      *out = it->second;
      return true;
    }
  }
  return false;
}

/* Control\Class\{guid}\nnnn: the next free four-digit index. */
std::string CreateDriverKey(const std::string &classGuid) {
  std::string classKey = std::string(nt::registry::kControlClass) + "\\" + classGuid;
  if (!nt::registry::KeyExists(nt::registry::kControlClass)) return {};
  nt::registry::CreateKey(classKey);
  auto subs = nt::registry::SubKeys(classKey);
  for (unsigned i = 0;; ++i) {
    char idx[8];
    snprintf(idx, sizeof idx, "%04u", i);
    if (std::find_if(subs.begin(), subs.end(), [&](const std::string &s) { return Upper(s) == idx; }) == subs.end()) {
      std::string key = classKey + "\\" + idx;
      nt::registry::CreateKey(key);
      return key;
    }
  }
}

/* Writes the device's Enum key, its hardware key and its driver key. */
void WriteDeviceKeys(Node *n) {
  DeviceInfo &i = n->Info;
  i.EnumKey = std::string(nt::registry::kEnum) + "\\" + i.InstancePath;
  i.HardwareKey = i.EnumKey + "\\Device Parameters";
  nt::registry::CreateKey(i.HardwareKey);
  if (!i.HardwareIds.empty()) nt::registry::SetMultiString(i.EnumKey, "HardwareID", i.HardwareIds);
  if (!i.CompatibleIds.empty()) nt::registry::SetMultiString(i.EnumKey, "CompatibleIDs", i.CompatibleIds);
  if (!i.Description.empty()) nt::registry::SetString(i.EnumKey, "DeviceDesc", i.Description);
  if (n->HasFunction) {
    i.Service = n->Function.Name;
    nt::registry::SetString(i.EnumKey, "Service", i.Service);
    nt::registry::SetString(i.EnumKey, "ClassGUID", n->Function.ClassGuid);
    nt::registry::SetString(i.EnumKey, "Class", n->Function.ClassName);
    if (i.DriverKey.empty()) i.DriverKey = CreateDriverKey(n->Function.ClassGuid);
    if (!i.DriverKey.empty()) {
      std::string rel = i.DriverKey.substr(strlen(nt::registry::kControlClass) + 1);
      nt::registry::SetString(i.EnumKey, "Driver", rel);
    }
  }
}

DeviceInfo InfoOf(Node *n) {
  std::lock_guard<std::mutex> lock(g_DataLock);
  return n->Info;
}

NTSTATUS EnumerateChildren(Node *bus);
NTSTATUS RemoveSubtree(Node *n, bool surprise);
void DropChildren(Node *n);

/* Sends IRP_MN_REMOVE_DEVICE to a device whose stack failed or is being
 * taken down, and checks the drivers deleted what they had attached. */
NTSTATUS SendRemove(Node *n) {
  PDEVICE_OBJECT pdo = n->Info.Pdo;
  std::vector<PDEVICE_OBJECT> above = StackAbove(pdo);
  auto r = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
  std::vector<PDEVICE_OBJECT> stack = above;
  stack.push_back(pdo);
  for (PDEVICE_OBJECT d : above) {
    if (!Deleted(d) && OpenCount(stack) > 0) {
      /* Kept for the file objects still open on the stack; it must go with
         the last of them. */
      KeptDevice kept{d, stack};
      for (PDEVICE_OBJECT s : stack) ObReferenceObject(s);
      std::lock_guard<std::mutex> lock(g_KeptLock);
      g_Kept.push_back(std::move(kept)); /* takes over the reference on d */
      continue;
    }
    VerifyDeleted(d, "at IRP_MN_REMOVE_DEVICE");
    ObDereferenceObject(d);
  }
  return r.Status;
}

/* AddDevice of the function driver, then the start. */
NTSTATUS AddAndStart(Node *n) {
  PDEVICE_OBJECT pdo = n->Info.Pdo;
  DeviceState state = StateOf(n);
  if (state == DeviceState::Enumerated || state == DeviceState::Removed || state == DeviceState::StartFailed) {
    if (!n->HasFunction) {
      FunctionDriver f;
      if (!FindFunction(n, &f)) {
        SetState(n, DeviceState::Enumerated, STATUS_SUCCESS);
        return STATUS_SUCCESS; /* no driver for it: it stays as it is */
      }
      {
        std::lock_guard<std::mutex> lock(g_DataLock);
        n->Function = f;
        n->HasFunction = true;
      }
    }
    PDRIVER_OBJECT driver = nt::FindDriver(n->Function.Name.c_str());
    NTSTATUS status = STATUS_SUCCESS;
    if (driver == nullptr) {
      if (n->Function.Entry == nullptr) {
        DbgPrint("PnP: no driver %s loaded for %s\n", n->Function.Name.c_str(), n->Info.InstancePath.c_str());
        status = STATUS_DRIVER_INTERNAL_ERROR;
      } else {
        status = nt::LoadDriver(n->Function.Name.c_str(), n->Function.Entry, &driver);
      }
    }
    if (NT_SUCCESS(status)) {
      {
        std::lock_guard<std::mutex> lock(g_DataLock);
        WriteDeviceKeys(n);
      }
      if (n->Function.Install) n->Function.Install(InfoOf(n));
      PDRIVER_ADD_DEVICE add = driver->DriverExtension ? driver->DriverExtension->AddDevice : nullptr;
      if (add == nullptr) {
        status = STATUS_INVALID_DEVICE_REQUEST;
      } else {
        {
          KiDriverScope scope(driver);
          status = add(driver, pdo);
        }
        PnpCheckReturnIrql(driver, "AddDevice");
      }
    }
    if (!NT_SUCCESS(status)) {
      SetState(n, DeviceState::StartFailed, status);
      return status;
    }
    SetState(n, DeviceState::Added, status);
  }
  auto r = SendPnp(pdo, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(r.Status)) {
    /* A stack that failed to start is taken down again. */
    SendRemove(n);
    SetState(n, DeviceState::StartFailed, r.Status);
    return r.Status;
  }
  SetState(n, DeviceState::Started, r.Status);
  EnumerateChildren(n);
  return r.Status;
}

/* A PDO its bus reported for the first time: its ids, keys, driver. */
void AddChild(Node *bus, PDEVICE_OBJECT pdo) {
  NTSTATUS status;
  auto deviceId = QueryId(pdo, BusQueryDeviceID, &status);
  if (deviceId.empty()) {
    DbgPrint("PnP: child %p of %s reports no device id (status %x); ignored\n", (void *)pdo,
             bus->Info.InstancePath.c_str(), status);
    ObDereferenceObject(pdo);
    return;
  }
  auto instanceId = QueryId(pdo, BusQueryInstanceID, &status);
  auto hardwareIds = QueryId(pdo, BusQueryHardwareIDs, &status);
  auto compatibleIds = QueryId(pdo, BusQueryCompatibleIDs, &status);
  std::string description = QueryText(pdo, DeviceTextDescription);

  auto node = std::make_unique<Node>();
  Node *n = node.get();
  n->Parent = bus;
  n->Info.Pdo = pdo;
  n->Info.Parent = bus->Info.Pdo;
  n->Info.DeviceId = deviceId[0];
  n->Info.InstanceId = instanceId.empty() ? "0" : instanceId[0];
  n->Info.InstancePath = n->Info.DeviceId + "\\" + n->Info.InstanceId;
  n->Info.HardwareIds = hardwareIds;
  n->Info.CompatibleIds = compatibleIds;
  n->Info.Description = description;
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    for (auto &other : g_Nodes)
      if (Upper(other->Info.InstancePath) == Upper(n->Info.InstancePath)) {
        std::string rule = "two devices with the instance path " + n->Info.InstancePath;
        KiBugCheck(PNP_BUGCHECK_FATAL_ERROR, PNP_FATAL_DUPLICATE_PDO, (ULONG_PTR)pdo, (ULONG_PTR)other->Info.Pdo, 0,
                   rule.c_str());
      }
    g_ByPdo[pdo] = n;
    bus->Children.push_back(n);
    g_Nodes.push_back(std::move(node));
    if (pdo->DeviceObjectExtension) pdo->DeviceObjectExtension->DeviceNode = n;
  }
  std::u16string path = nt::sys::Utf8ToUtf16(n->Info.InstancePath);
  UNICODE_STRING pathU = IopView(path);
  IopSetDeviceInstancePath(pdo, &pathU);
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
  FunctionDriver f;
  if (FindFunction(n, &f)) {
    std::lock_guard<std::mutex> lock(g_DataLock);
    n->Function = f;
    n->HasFunction = true;
  }
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    WriteDeviceKeys(n);
  }
  AddAndStart(n);
}

/* BusRelations of a started device: new children are added, missing ones
 * removed. */
NTSTATUS EnumerateChildren(Node *bus) {
  IO_STACK_LOCATION params{};
  params.Parameters.QueryDeviceRelations.Type = BusRelations;
  auto r = SendPnp(bus->Info.Pdo, IRP_MN_QUERY_DEVICE_RELATIONS, &params);
  if (r.Status == STATUS_NOT_SUPPORTED) return STATUS_SUCCESS; /* not a bus */
  if (!NT_SUCCESS(r.Status)) return r.Status;
  std::vector<PDEVICE_OBJECT> reported;
  if (auto *rel = reinterpret_cast<PDEVICE_RELATIONS>(r.Information)) {
    for (ULONG i = 0; i < rel->Count; ++i) reported.push_back(rel->Objects[i]);
    ExFreePool(rel);
  }
  std::vector<Node *> known, fresh;
  std::vector<PDEVICE_OBJECT> added;
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    known = bus->Children;
    for (Node *c : known) c->Reported = false;
    for (PDEVICE_OBJECT pdo : reported) {
      auto it = g_ByPdo.find(pdo);
      if (it != g_ByPdo.end() && it->second->Parent == bus) {
        it->second->Reported = true;
        ObDereferenceObject(pdo); /* the relation's reference; the node has its own */
      } else if (std::find(added.begin(), added.end(), pdo) == added.end()) {
        added.push_back(pdo); /* the relation's reference becomes the node's */
      } else {
        ObDereferenceObject(pdo);
      }
    }
  }
  for (Node *c : known) {
    bool gone;
    {
      std::lock_guard<std::mutex> lock(g_DataLock);
      gone = !c->Reported;
    }
    if (gone) RemoveSubtree(c, true);
  }
  for (PDEVICE_OBJECT pdo : added) AddChild(bus, pdo);
  return STATUS_SUCCESS;
}

bool HasStack(DeviceState s) {
  return s == DeviceState::Added || s == DeviceState::Started || s == DeviceState::StopPending ||
         s == DeviceState::Stopped || s == DeviceState::RemovePending || s == DeviceState::SurpriseRemoved;
}

std::vector<Node *> ChildrenOf(Node *n) {
  std::lock_guard<std::mutex> lock(g_DataLock);
  return n->Children;
}

/* IRP_MN_SURPRISE_REMOVAL to a subtree, children first. */
void SurpriseSubtree(Node *n) {
  for (Node *c : ChildrenOf(n)) SurpriseSubtree(c);
  DeviceState s = StateOf(n);
  if (HasStack(s) && s != DeviceState::SurpriseRemoved) {
    SendPnp(n->Info.Pdo, IRP_MN_SURPRISE_REMOVAL);
    SetState(n, DeviceState::SurpriseRemoved, STATUS_SUCCESS);
  }
}

/* IRP_MN_REMOVE_DEVICE to a subtree, children first. A device its bus no
 * longer reports leaves the tree, and its bus driver must have deleted its
 * PDO. */
NTSTATUS RemoveOnly(Node *n) {
  for (Node *c : ChildrenOf(n)) RemoveOnly(c);
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    if (n->RemoveDeferred) {
      n->RemoveDeferred = false;
      n->DropAfter = false;
      g_DeferredCount--;
    }
  }
  DeviceState s = StateOf(n);
  NTSTATUS status = STATUS_SUCCESS;
  if (HasStack(s)) {
    status = SendRemove(n);
    SetState(n, DeviceState::Removed, status);
  }
  bool gone, root;
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    gone = !n->Reported;
    root = n->RootEnumerated;
  }
  if (gone && !root) {
    VerifyDeleted(n->Info.Pdo, "by its bus driver after IRP_MN_REMOVE_DEVICE of a device no longer reported");
    SetState(n, DeviceState::Deleted, status);
    RemoveFromTree(n);
  }
  return status;
}

/* Takes a device and everything below it out of service. */
LONG SubtreeOpenCount(Node *n) {
  LONG total = StackOpenCount(n->Info.Pdo);
  for (Node *c : ChildrenOf(n)) total += SubtreeOpenCount(c);
  return total;
}

/* Takes a device and everything below it out of service. After a surprise
 * removal the remove waits while file objects are open on the subtree. */
NTSTATUS RemoveSubtree(Node *n, bool surprise) {
  if (surprise) {
    SurpriseSubtree(n);
    if (SubtreeOpenCount(n) > 0) {
      std::lock_guard<std::mutex> lock(g_DataLock);
      if (!n->RemoveDeferred) {
        n->RemoveDeferred = true;
        g_DeferredCount++;
      }
      return STATUS_SUCCESS;
    }
  }
  return RemoveOnly(n);
}

/* On the worker: the deferred removes whose subtrees have no file object
 * open any more. */
void RunDeferredRemoves() {
  std::lock_guard<std::mutex> action(g_ActionLock);
  while (true) {
    std::vector<Node *> deferred;
    {
      std::lock_guard<std::mutex> lock(g_DataLock);
      for (auto &n : g_Nodes)
        if (n->RemoveDeferred) deferred.push_back(n.get());
    }
    Node *ready = nullptr;
    for (Node *n : deferred)
      if (SubtreeOpenCount(n) == 0) {
        ready = n;
        break;
      }
    if (ready == nullptr) return;
    PDEVICE_OBJECT pdo = ready->Info.Pdo;
    bool drop;
    {
      std::lock_guard<std::mutex> lock(g_DataLock);
      drop = ready->DropAfter;
    }
    RemoveOnly(ready);
    if (drop && NodeOf(pdo) == ready) DropChildren(ready);
  }
}

/* After a bus's own removal its children are gone with it. */
void DropChildren(Node *n) {
  for (Node *c : ChildrenOf(n)) {
    DropChildren(c);
    VerifyDeleted(c->Info.Pdo, "by its bus driver after the bus was removed");
    SetState(c, DeviceState::Deleted, STATUS_SUCCESS);
    RemoveFromTree(c);
  }
}

/* Query-remove of a subtree, children first; on a refusal the ones already
 * asked get cancel-remove. */
NTSTATUS QueryRemoveSubtree(Node *n, std::vector<Node *> *asked) {
  for (Node *c : ChildrenOf(n)) {
    NTSTATUS s = QueryRemoveSubtree(c, asked);
    if (!NT_SUCCESS(s)) return s;
  }
  if (!HasStack(StateOf(n))) return STATUS_SUCCESS;
  auto r = SendPnp(n->Info.Pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  asked->push_back(n);
  if (!NT_SUCCESS(r.Status)) return r.Status;
  SetState(n, DeviceState::RemovePending, r.Status);
  return r.Status;
}

/* ---- the root-enumerated PDOs (\Driver\PnpManager) ---- */

struct RootPdoExtension {
  WCHAR DeviceId[128]; /* "ROOT\NAME" */
};

PWCHAR PoolString(const std::u16string &s, bool multi) {
  size_t chars = s.size() + 1 + (multi ? 1 : 0);
  auto *p = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kPnpTag));
  if (p == nullptr) return nullptr;
  for (size_t i = 0; i < s.size(); ++i) p[i] = WCHAR(s[i]);
  p[s.size()] = 0;
  if (multi) p[s.size() + 1] = 0;
  return p;
}

NTSTATUS RootPdoPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  auto *x = static_cast<RootPdoExtension *>(device->DeviceExtension);
  NTSTATUS status = irp->IoStatus.Status;
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_ID: {
      std::u16string id = nt::sys::FromWide(x->DeviceId);
      PWCHAR s = nullptr;
      switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: s = PoolString(id, false); break;
        case BusQueryInstanceID: s = PoolString(u"0000", false); break;
        case BusQueryHardwareIDs: s = PoolString(id, true); break;
        default: break;
      }
      if (s != nullptr) {
        irp->IoStatus.Information = (ULONG_PTR)s;
        status = STATUS_SUCCESS;
      }
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        auto *rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPnpTag));
        if (rel == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        rel->Count = 1;
        rel->Objects[0] = device;
        ObReferenceObject(device);
        irp->IoStatus.Information = (ULONG_PTR)rel;
        status = STATUS_SUCCESS;
      }
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int i = PowerSystemSleeping1; i < PowerSystemMaximum; ++i) caps->DeviceState[i] = PowerDeviceD3;
      caps->SilentInstall = TRUE;
      status = STATUS_SUCCESS;
      break;
    }
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RootPdoPower(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RootPdoPassThrough(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void DeleteRootPdo(PDEVICE_OBJECT pdo) {
  KiDriverScope scope(g_PnpDriver);
  IoDeleteDevice(pdo);
}

/* ---- the PnP worker ---- */

void WorkerMain() {
  std::unique_lock<std::mutex> lock(g_WorkLock);
  while (true) {
    g_WorkCv.wait(lock, [] { return g_WorkStop || !g_Work.empty() || g_RemoveCheck; });
    if (g_WorkStop) return;
    if (g_RemoveCheck) {
      g_RemoveCheck = false;
      g_WorkBusy = true;
      lock.unlock();
      RunDeferredRemoves();
      lock.lock();
      g_WorkBusy = false;
      g_WorkCv.notify_all();
      continue;
    }
    auto item = g_Work.front();
    g_Work.pop_front();
    g_WorkBusy = true;
    lock.unlock();
    if (item.second == BusRelations) {
      std::lock_guard<std::mutex> action(g_ActionLock);
      if (Node *n = NodeOf(item.first); n != nullptr && StateOf(n) == DeviceState::Started) EnumerateChildren(n);
    }
    ObDereferenceObject(item.first);
    lock.lock();
    g_WorkBusy = false;
    g_WorkCv.notify_all();
  }
}

/* Checks an action's target and takes the action lock. */
class Action {
 public:
  explicit Action(PDEVICE_OBJECT pdo) : m_Lock(g_ActionLock) {
    KiCheckIrqlAtMost(PASSIVE_LEVEL, "nt::pnp action");
    m_Node = pdo ? NodeOf(pdo) : nullptr;
  }
  Node *Target() const { return m_Node; }

 private:
  std::lock_guard<std::mutex> m_Lock;
  Node *m_Node;
};

}  // namespace

/* ---- start-up and shut-down ---- */

void PnpInitialize() {
  std::u16string name = u"\\Driver\\PnpManager";
  UNICODE_STRING nameU = IopView(name);
  NTSTATUS status = IopCreateDriverObject(&nameU, nullptr, &g_PnpDriver);
  if (!NT_SUCCESS(status)) KiBugCheck(0x7B, status, 0, 0, 0, "PnP manager: \\Driver\\PnpManager cannot be created");
  g_PnpDriver->MajorFunction[IRP_MJ_PNP] = RootPdoPnp;
  g_PnpDriver->MajorFunction[IRP_MJ_POWER] = RootPdoPower;
  g_PnpDriver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = RootPdoPassThrough;
  {
    std::lock_guard<std::mutex> lock(g_WorkLock);
    g_WorkStop = false;
    g_WorkBusy = false;
    g_WorkAccept = true;
  }
  g_Worker = std::thread(WorkerMain);
}

void PnpShutdown() {
  {
    std::lock_guard<std::mutex> lock(g_WorkLock);
    g_WorkStop = true;
  }
  g_WorkCv.notify_all();
  if (g_Worker.joinable()) g_Worker.join();
  {
    std::lock_guard<std::mutex> lock(g_WorkLock);
    g_RemoveCheck = false;
  }
  {
    std::lock_guard<std::mutex> action(g_ActionLock);
    /* The buses, newest first, each with everything on it. */
    while (true) {
      Node *root = nullptr;
      {
        std::lock_guard<std::mutex> lock(g_DataLock);
        for (auto it = g_Nodes.rbegin(); it != g_Nodes.rend(); ++it)
          if ((*it)->RootEnumerated) {
            root = it->get();
            break;
          }
        if (root == nullptr && !g_Nodes.empty()) root = g_Nodes.back().get();
      }
      if (root == nullptr) break;
      RemoveSubtree(root, false);
      DropChildren(root);
      bool ours = root->RootEnumerated;
      PDEVICE_OBJECT pdo = root->Info.Pdo;
      if (ours) ObReferenceObject(pdo);
      RemoveFromTree(root);
      if (ours) {
        DeleteRootPdo(pdo);
        ObDereferenceObject(pdo);
      }
    }
  }
  {
    /* What the drivers asked for on the way out is not done any more. */
    std::lock_guard<std::mutex> lock(g_WorkLock);
    for (auto &w : g_Work) ObDereferenceObject(w.first);
    g_Work.clear();
    g_WorkAccept = false;
  }
  {
    std::vector<KeptDevice> kept;
    {
      std::lock_guard<std::mutex> lock(g_KeptLock);
      kept.swap(g_Kept);
    }
    for (auto &k : kept) {
      ObDereferenceObject(k.Device);
      for (PDEVICE_OBJECT d : k.Stack) ObDereferenceObject(d);
    }
  }
  g_DeferredCount = 0;
  PnpUnloadAllDrivers();
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    g_ById.clear();
    g_ByBus.clear();
  }
  if (g_PnpDriver) {
    IopDeleteDriverObject(g_PnpDriver);
    g_PnpDriver = nullptr;
  }
}

/* ---- what drivers call ---- */

EXTERN_C VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
  if (DeviceObject == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(g_WorkLock);
    if (!g_WorkAccept) return;
    ObReferenceObject(DeviceObject);
    g_Work.emplace_back(DeviceObject, Type);
  }
  g_WorkCv.notify_all();
}

void PnpFileObjectClosed(PDEVICE_OBJECT Device) {
  std::vector<KeptDevice> due;
  {
    std::lock_guard<std::mutex> lock(g_KeptLock);
    for (auto it = g_Kept.begin(); it != g_Kept.end();) {
      if (std::find(it->Stack.begin(), it->Stack.end(), Device) != it->Stack.end() && OpenCount(it->Stack) == 0) {
        due.push_back(std::move(*it));
        it = g_Kept.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto &k : due) {
    VerifyDeleted(k.Device, "when the last file object on its stack was closed");
    ObDereferenceObject(k.Device);
    for (PDEVICE_OBJECT d : k.Stack) ObDereferenceObject(d);
  }
  if (g_DeferredCount > 0) {
    {
      std::lock_guard<std::mutex> lock(g_WorkLock);
      if (!g_WorkAccept) return;
      g_RemoveCheck = true;
    }
    g_WorkCv.notify_all();
  }
}

EXTERN_C NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                          ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
  if (DeviceRegKey == nullptr) return STATUS_INVALID_PARAMETER;
  *DeviceRegKey = nullptr;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    auto it = DeviceObject ? g_ByPdo.find(DeviceObject) : g_ByPdo.end();
    if (it == g_ByPdo.end()) return STATUS_INVALID_DEVICE_REQUEST;
    const DeviceInfo &info = it->second->Info;
    switch (DevInstKeyType) {
      case PLUGPLAY_REGKEY_DEVICE:
        path = info.HardwareKey;
        break;
      case PLUGPLAY_REGKEY_DRIVER:
        if (info.DriverKey.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        path = info.DriverKey;
        break;
      case PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE:
        path = "\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System\\"
               "CurrentControlSet\\Enum\\" +
               info.InstancePath;
        break;
      default:
        return STATUS_INVALID_PARAMETER;
    }
  }
  std::shared_ptr<CmpKeyNode> key;
  {
    std::lock_guard<std::mutex> lock(CmpLock());
    key = CmpCreatePath(nt::sys::Utf8ToUtf16(path));
  }
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  return CmpCreateKeyHandle(key, DesiredAccess, DeviceRegKey);
}

EXTERN_C NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                      ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceProperty");
  if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER_5;
  DeviceInfo info;
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    auto it = DeviceObject ? g_ByPdo.find(DeviceObject) : g_ByPdo.end();
    if (it == g_ByPdo.end()) return STATUS_INVALID_DEVICE_REQUEST;
    info = it->second->Info;
  }
  std::u16string data;
  auto multi = [&](const std::vector<std::string> &v) {
    for (auto &s : v) data += nt::sys::Utf8ToUtf16(s) + u'\0';
    data += u'\0';
  };
  auto single = [&](const std::string &s) { data = nt::sys::Utf8ToUtf16(s) + u'\0'; };
  switch (DeviceProperty) {
    case DevicePropertyDeviceDescription: single(info.Description); break;
    case DevicePropertyHardwareID: multi(info.HardwareIds); break;
    case DevicePropertyCompatibleIDs: multi(info.CompatibleIds); break;
    case DevicePropertyFriendlyName: {
      auto s = nt::registry::GetString(info.EnumKey, "FriendlyName");
      if (!s) return STATUS_OBJECT_NAME_NOT_FOUND;
      single(*s);
      break;
    }
    case DevicePropertyClassName: {
      auto s = nt::registry::GetString(info.EnumKey, "Class");
      if (!s) return STATUS_OBJECT_NAME_NOT_FOUND;
      single(*s);
      break;
    }
    case DevicePropertyClassGuid: {
      auto s = nt::registry::GetString(info.EnumKey, "ClassGUID");
      if (!s) return STATUS_OBJECT_NAME_NOT_FOUND;
      single(*s);
      break;
    }
    case DevicePropertyDriverKeyName:
      if (info.DriverKey.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
      single(info.DriverKey.substr(strlen(nt::registry::kControlClass) + 1));
      break;
    case DevicePropertyEnumeratorName:
      single(info.InstancePath.substr(0, info.InstancePath.find('\\')));
      break;
    case DevicePropertyPhysicalDeviceObjectName: {
      PDEVOBJ_EXTENSION x = DeviceObject->DeviceObjectExtension;
      data = (x ? nt::sys::FromUnicodeString(&x->DeviceName) : std::u16string()) + u'\0';
      break;
    }
    default:
      return STATUS_INVALID_PARAMETER_2;
  }
  ULONG size = ULONG(data.size() * sizeof(WCHAR));
  *ResultLength = size;
  if (BufferLength < size) return STATUS_BUFFER_TOO_SMALL;
  if (PropertyBuffer == nullptr) return STATUS_INVALID_PARAMETER_4;
  memcpy(PropertyBuffer, data.data(), size);
  return STATUS_SUCCESS;
}

/* ---- the control API ---- */

namespace nt::pnp {

const char *StateName(DeviceState State) {
  switch (State) {
    case DeviceState::Enumerated: return "Enumerated";
    case DeviceState::Added: return "Added";
    case DeviceState::Started: return "Started";
    case DeviceState::StopPending: return "StopPending";
    case DeviceState::Stopped: return "Stopped";
    case DeviceState::RemovePending: return "RemovePending";
    case DeviceState::SurpriseRemoved: return "SurpriseRemoved";
    case DeviceState::Removed: return "Removed";
    case DeviceState::StartFailed: return "StartFailed";
    case DeviceState::Deleted: return "Deleted";
  }
  return "?";
}

NTSTATUS RegisterFunctionDriver(const std::string &HardwareId, const FunctionDriver &Driver) {
  if (HardwareId.empty() || Driver.Name.empty()) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(g_DataLock);
  std::erase_if(g_ById, [&](const auto &p) { return p.first == Upper(HardwareId); });
  g_ById.emplace_back(Upper(HardwareId), Driver);
  return STATUS_SUCCESS;
}

NTSTATUS AttachFunctionDriver(const std::string &BusDriverName, const FunctionDriver &Driver) {
  if (BusDriverName.empty() || Driver.Name.empty()) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(g_DataLock);
  g_ByBus[Upper(BusDriverName)] = Driver;
  return STATUS_SUCCESS;
}

NTSTATUS StartBus(const char *DriverName, DriverEntryRoutine Entry, PDEVICE_OBJECT *BusPdo) {
  Action action(nullptr);
  if (BusPdo) *BusPdo = nullptr;
  if (DriverName == nullptr || *DriverName == 0) return STATUS_INVALID_PARAMETER;
  PDRIVER_OBJECT driver = FindDriver(DriverName);
  if (driver == nullptr) {
    if (Entry == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    NTSTATUS status = LoadDriver(DriverName, Entry, &driver);
    if (!NT_SUCCESS(status)) return status;
  }
  std::string upperName = Upper(DriverName);
  std::string instancePath = "ROOT\\" + upperName + "\\0000";
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    for (auto &n : g_Nodes)
      if (Upper(n->Info.InstancePath) == instancePath) return STATUS_OBJECT_NAME_COLLISION;
  }

  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status;
  {
    KiDriverScope scope(g_PnpDriver);
    status = IoCreateDevice(g_PnpDriver, sizeof(RootPdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                            FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  }
  if (!NT_SUCCESS(status)) return status;
  auto *x = static_cast<RootPdoExtension *>(pdo->DeviceExtension);
  std::u16string deviceId = u"ROOT\\" + sys::Utf8ToUtf16(upperName);
  size_t n = std::min(deviceId.size(), sizeof x->DeviceId / sizeof(WCHAR) - 1);
  for (size_t i = 0; i < n; ++i) x->DeviceId[i] = WCHAR(deviceId[i]);
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;

  auto node = std::make_unique<Node>();
  Node *bus = node.get();
  bus->RootEnumerated = true;
  bus->BusDriver = DriverName;
  bus->Info.Pdo = pdo;
  ObReferenceObject(pdo); /* the node's; IoDeleteDevice drops the creation reference */
  bus->Info.DeviceId = sys::Utf16ToUtf8(deviceId);
  bus->Info.InstanceId = "0000";
  bus->Info.InstancePath = instancePath;
  bus->Info.HardwareIds = {bus->Info.DeviceId};
  bus->HasFunction = true;
  bus->Function.Name = DriverName;
  bus->Function.Entry = Entry;
  bus->Function.ClassGuid = "{4D36E97D-E325-11CE-BFC1-08002BE10318}"; /* System */
  bus->Function.ClassName = "System";
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    g_ByPdo[pdo] = bus;
    g_Nodes.push_back(std::move(node));
    pdo->DeviceObjectExtension->DeviceNode = bus;
    WriteDeviceKeys(bus);
  }
  std::u16string path = sys::Utf8ToUtf16(instancePath);
  UNICODE_STRING pathU = IopView(path);
  IopSetDeviceInstancePath(pdo, &pathU);
  if (BusPdo) *BusPdo = pdo;
  return AddAndStart(bus);
}

NTSTATUS Reenumerate(PDEVICE_OBJECT BusPdo) {
  Action action(BusPdo);
  Node *n = action.Target();
  if (n == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (StateOf(n) != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
  return EnumerateChildren(n);
}

bool WaitIdle(unsigned TimeoutMs) {
  std::unique_lock<std::mutex> lock(g_WorkLock);
  return g_WorkCv.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [] { return g_Work.empty() && !g_WorkBusy && !g_RemoveCheck; });
}

std::vector<DeviceInfo> Devices() {
  std::lock_guard<std::mutex> lock(g_DataLock);
  std::vector<DeviceInfo> out;
  for (auto &n : g_Nodes) out.push_back(n->Info);
  return out;
}

std::vector<PDEVICE_OBJECT> Children(PDEVICE_OBJECT BusPdo) {
  std::lock_guard<std::mutex> lock(g_DataLock);
  std::vector<PDEVICE_OBJECT> out;
  auto it = g_ByPdo.find(BusPdo);
  if (it != g_ByPdo.end())
    for (Node *c : it->second->Children) out.push_back(c->Info.Pdo);
  return out;
}

bool GetDevice(PDEVICE_OBJECT Pdo, DeviceInfo *Info) {
  std::lock_guard<std::mutex> lock(g_DataLock);
  auto it = g_ByPdo.find(Pdo);
  if (it == g_ByPdo.end()) return false;
  if (Info) *Info = it->second->Info;
  return true;
}

PDEVICE_OBJECT FindDevice(const std::string &InstancePath) {
  std::lock_guard<std::mutex> lock(g_DataLock);
  for (auto &n : g_Nodes)
    if (Upper(n->Info.InstancePath) == Upper(InstancePath)) return n->Info.Pdo;
  return nullptr;
}

NTSTATUS Start(PDEVICE_OBJECT Pdo) {
  Action action(Pdo);
  Node *n = action.Target();
  if (n == nullptr) return STATUS_NO_SUCH_DEVICE;
  DeviceState s = StateOf(n);
  if (s == DeviceState::Started) return STATUS_SUCCESS;
  if (s != DeviceState::Enumerated && s != DeviceState::Removed && s != DeviceState::StartFailed &&
      s != DeviceState::Stopped && s != DeviceState::Added)
    return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = AddAndStart(n);
  if (NT_SUCCESS(status) && StateOf(n) != DeviceState::Started) return STATUS_NO_SUCH_DEVICE; /* no driver */
  return status;
}

NTSTATUS QueryStop(PDEVICE_OBJECT Pdo) {
  Action action(Pdo);
  Node *n = action.Target();
  if (n == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (StateOf(n) != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
  auto r = SendPnp(Pdo, IRP_MN_QUERY_STOP_DEVICE);
  if (NT_SUCCESS(r.Status)) SetState(n, DeviceState::StopPending, r.Status);
  return r.Status;
}

NTSTATUS CancelStop(PDEVICE_OBJECT Pdo) {
  Action action(Pdo);
  Node *n = action.Target();
  if (n == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!HasStack(StateOf(n))) return STATUS_INVALID_DEVICE_STATE;
  auto r = SendPnp(Pdo, IRP_MN_CANCEL_STOP_DEVICE);
  if (StateOf(n) == DeviceState::StopPending) SetState(n, DeviceState::Started, r.Status);
  return r.Status;
}

NTSTATUS Stop(PDEVICE_OBJECT Pdo) {
  Action action(Pdo);
  Node *n = action.Target();
  if (n == nullptr) return STATUS_NO_SUCH_DEVICE;
  DeviceState s = StateOf(n);
  if (s != DeviceState::Started && s != DeviceState::StopPending) return STATUS_INVALID_DEVICE_STATE;
  if (s == DeviceState::Started) {
    auto q = SendPnp(Pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(q.Status)) {
      SendPnp(Pdo, IRP_MN_CANCEL_STOP_DEVICE);
      SetState(n, DeviceState::Started, q.Status);
      return q.Status;
    }
    SetState(n, DeviceState::StopPending, q.Status);
  }
  auto r = SendPnp(Pdo, IRP_MN_STOP_DEVICE);
  SetState(n, DeviceState::Stopped, r.Status);
  return r.Status;
}

NTSTATUS QueryRemove(PDEVICE_OBJECT Pdo) {
  Action action(Pdo);
  Node *n = action.Target();
  if (n == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!HasStack(StateOf(n))) return STATUS_INVALID_DEVICE_STATE;
  auto r = SendPnp(Pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  if (NT_SUCCESS(r.Status)) SetState(n, DeviceState::RemovePending, r.Status);
  return r.Status;
}

NTSTATUS CancelRemove(PDEVICE_OBJECT Pdo) {
  Action action(Pdo);
  Node *n = action.Target();
  if (n == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!HasStack(StateOf(n))) return STATUS_INVALID_DEVICE_STATE;
  auto r = SendPnp(Pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
  if (StateOf(n) == DeviceState::RemovePending) SetState(n, DeviceState::Started, r.Status);
  return r.Status;
}

NTSTATUS Remove(PDEVICE_OBJECT Pdo) {
  Action action(Pdo);
  Node *n = action.Target();
  if (n == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!HasStack(StateOf(n))) return STATUS_INVALID_DEVICE_STATE;
  std::vector<Node *> asked;
  NTSTATUS q = QueryRemoveSubtree(n, &asked);
  if (!NT_SUCCESS(q)) {
    for (Node *a : asked) {
      SendPnp(a->Info.Pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
      if (StateOf(a) == DeviceState::RemovePending) SetState(a, DeviceState::Started, q);
    }
    return q;
  }
  NTSTATUS status = RemoveSubtree(n, false);
  if (NodeOf(Pdo) == n) DropChildren(n);
  return status;
}

NTSTATUS SurpriseRemove(PDEVICE_OBJECT Pdo) {
  Action action(Pdo);
  Node *n = action.Target();
  if (n == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!HasStack(StateOf(n))) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = RemoveSubtree(n, true);
  {
    std::lock_guard<std::mutex> lock(g_DataLock);
    if (n->RemoveDeferred) {
      n->DropAfter = true;
      return status;
    }
  }
  if (NodeOf(Pdo) == n) DropChildren(n);
  return status;
}

namespace {
NTSTATUS Power(PDEVICE_OBJECT Pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION act) {
  Action action(Pdo);
  if (action.Target() == nullptr) return STATUS_NO_SUCH_DEVICE;
  IO_STACK_LOCATION params{};
  params.Parameters.Power.Type = type;
  params.Parameters.Power.State = state;
  params.Parameters.Power.ShutdownType = act;
  return SendRequest(Pdo, IRP_MJ_POWER, minor, &params).Status;
}
}  // namespace

NTSTATUS SetPower(PDEVICE_OBJECT Pdo, SYSTEM_POWER_STATE State, POWER_ACTION ShutdownType) {
  POWER_STATE s;
  s.SystemState = State;
  return Power(Pdo, IRP_MN_SET_POWER, SystemPowerState, s, ShutdownType);
}

NTSTATUS SetPower(PDEVICE_OBJECT Pdo, DEVICE_POWER_STATE State) {
  POWER_STATE s;
  s.DeviceState = State;
  return Power(Pdo, IRP_MN_SET_POWER, DevicePowerState, s, PowerActionNone);
}

NTSTATUS QueryPower(PDEVICE_OBJECT Pdo, SYSTEM_POWER_STATE State, POWER_ACTION ShutdownType) {
  POWER_STATE s;
  s.SystemState = State;
  return Power(Pdo, IRP_MN_QUERY_POWER, SystemPowerState, s, ShutdownType);
}

NTSTATUS QueryPower(PDEVICE_OBJECT Pdo, DEVICE_POWER_STATE State) {
  POWER_STATE s;
  s.DeviceState = State;
  return Power(Pdo, IRP_MN_QUERY_POWER, DevicePowerState, s, PowerActionNone);
}

Result Send(PDEVICE_OBJECT Pdo, UCHAR Major, UCHAR Minor, const IO_STACK_LOCATION *Stack) {
  Action action(Pdo);
  if (action.Target() == nullptr) return {STATUS_NO_SUCH_DEVICE, 0};
  return SendRequest(Pdo, Major, Minor, Stack);
}

NTSTATUS QueryInterface(PDEVICE_OBJECT Pdo, const GUID &Type, USHORT Size, USHORT Version, PINTERFACE Interface,
                        PVOID InterfaceSpecificData) {
  IO_STACK_LOCATION params{};
  params.Parameters.QueryInterface.InterfaceType = &Type;
  params.Parameters.QueryInterface.Size = Size;
  params.Parameters.QueryInterface.Version = Version;
  params.Parameters.QueryInterface.Interface = Interface;
  params.Parameters.QueryInterface.InterfaceSpecificData = InterfaceSpecificData;
  return Send(Pdo, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, &params).Status;
}

}  // namespace nt::pnp
