/*
 * The bus driver proper: its FDO on the root PDO, one PDO per port, the
 * interface and its Request codes.
 */
#include <atomic>
#include <cstdio>
#include <string>

#include <nt/mmio.h>
#include <nt/registry.h>

#include "bus/bus.h"

namespace sim::bus {

namespace {

/* "Nbus" as the tag's bytes lie in memory. */
constexpr ULONG kTag = 0x7375624E;

/* The Hardware the driver serves; set by StartBus before the driver loads. */
std::atomic<Hardware *> g_Hardware{nullptr};

enum class Kind : ULONG { Fdo = 0x4F44465B, Pdo = 0x4F44505B };

struct FdoExtension {
  Kind Type;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;
  Hardware *Hw;
  bool Started; /* PnP requests come one at a time: no lock */
};

struct PdoExtension {
  Kind Type;
  PDEVICE_OBJECT Self;
  PortRecord *Port;
};

Kind KindOf(PDEVICE_OBJECT d) { return *static_cast<Kind *>(d->DeviceExtension); }

/* ---------------------------------------------------------------- strings */

/* A NUL-terminated (and for a list, doubly terminated) UTF-16 copy in paged
 * pool, as IRP_MN_QUERY_ID and IRP_MN_QUERY_DEVICE_TEXT return them. */
PWCHAR PoolStrings(const std::vector<std::string> &texts, bool multi) {
  size_t chars = multi ? 1 : 0;
  for (const std::string &t : texts) chars += t.size() + 1;
  auto *p = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kTag));
  if (p == nullptr) return nullptr;
  size_t at = 0;
  for (const std::string &t : texts) {
    /* The ids and names are ASCII; anything else becomes '?'. */
    for (unsigned char ch : t) p[at++] = ch < 0x80 ? WCHAR(ch) : WCHAR('?');
    p[at++] = 0;
  }
  if (multi) p[at++] = 0;
  return p;
}

std::string Hex4(uint16_t v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04X", v);
  return b;
}

/* ------------------------------------------------------------- the UART */

volatile ULONG *Register(Hardware::ControllerRecord &c, const PortRecord &p, unsigned k) {
  return reinterpret_cast<volatile ULONG *>(
      c.RegisterBase + (static_cast<size_t>(p.Unit) * c.Board->RegistersPerPort() + k) * 4);
}

Hardware::ControllerRecord *ControllerOf(Hardware &hw, const PortRecord &p) {
  for (auto &c : hw.Controllers())
    if (c.Config->DevID == p.DevID) return &c;
  return nullptr;
}

ULONG DivisorFor(uint16_t productId, ULONG rate) {
  const ULONG reference = (productId == 0x2B71 || productId == 0x2B72) ? 1382400 : 921600;
  return reference / rate;
}

void ProgramDivisor(Hardware::ControllerRecord &c, const PortRecord &p, ULONG divisor) {
  const ULONG lcr = READ_REGISTER_ULONG(Register(c, p, 3)) & 0xFF;
  WRITE_REGISTER_ULONG(Register(c, p, 3), (lcr | 0x80) & 0xFF);
  WRITE_REGISTER_ULONG(Register(c, p, 0), divisor & 0xFF);
  WRITE_REGISTER_ULONG(Register(c, p, 1), (divisor >> 8) & 0xFF);
  WRITE_REGISTER_ULONG(Register(c, p, 3), lcr & 0x7F);
}

/* What every port looks like when the bus starts: 9600 8N1, FIFOs on and
 * empty, interrupts off, DTR and OUT2 on, and RTS on, which on the KV50x
 * class is the RS-485 transmitter switched off. */
void InitializePort(Hardware::ControllerRecord &c, PortRecord &p) {
  p.Uart->Reset();
  WRITE_REGISTER_ULONG(Register(c, p, 3), 0x03);
  ProgramDivisor(c, p, DivisorFor(c.Config->ProductId, 9600));
  WRITE_REGISTER_ULONG(Register(c, p, 2), 0x07);
  WRITE_REGISTER_ULONG(Register(c, p, 1), 0x00);
  WRITE_REGISTER_ULONG(Register(c, p, 4), 0x0B);
}

/* ------------------------------------------------------------ interface */

VOID InterfaceReference(PVOID Context) {
  auto *p = static_cast<PortRecord *>(Context);
  if (p == nullptr) return;
  std::lock_guard<std::mutex> lock(p->Lock);
  ++p->InterfaceReferences;
}

/* Every dereference withdraws the port's registrations, whatever the count:
 * a port that closes must not be called again, even if it took a reference
 * it never gave back. */
VOID InterfaceDereference(PVOID Context) {
  auto *p = static_cast<PortRecord *>(Context);
  if (p == nullptr) return;
  std::lock_guard<std::mutex> lock(p->Lock);
  if (p->InterfaceReferences > 0) --p->InterfaceReferences;
  p->Withdraw();
}

NTSTATUS BusRequest(ULONG First, PBUS_PORT_REQUEST Request, PVOID In, PVOID Out, PVOID Arg5, PVOID Arg6) {
  UNREFERENCED_PARAMETER(In);
  if (Request == nullptr) return STATUS_INVALID_PARAMETER;
  Hardware *hw = g_Hardware.load();
  PortRecord *p = hw != nullptr ? hw->Port(Request->DevID, Request->Unit) : nullptr;
  if (p == nullptr) return STATUS_NO_SUCH_DEVICE;
  {
    std::lock_guard<std::mutex> lock(p->Lock);
    if (p->InterfaceReferences <= 0) return STATUS_NO_SUCH_DEVICE;
  }
  Hardware::ControllerRecord *c = ControllerOf(*hw, *p);

  switch (Request->Code) {
    case BUS_PORT_GET_INFO: {
      auto *info = static_cast<PBUS_PORT_INFO>(Out);
      if (info == nullptr) return STATUS_INVALID_PARAMETER;
      RtlZeroMemory(info, sizeof *info);
      info->Size = sizeof *info;
      info->DevID = p->DevID;
      info->Port = p->Controller->IniPort + p->Unit;
      info->IniPort = p->Controller->IniPort;
      info->PortCount = static_cast<ULONG>(c->Ports.size());
      info->Unit = p->Unit;
      info->RegistersPerPort = c->Board->RegistersPerPort();
      info->FifoDepth = p->Controller->FifoDepth;
      info->UartClock = static_cast<ULONG>(uart::UartClockHz(p->Controller->ProductId));
      info->RegisterWindowLength = static_cast<ULONG>(c->Board->RegisterWindowSize());
      info->PmcWindowLength = static_cast<ULONG>(c->Board->PmcWindowSize());
      info->RegisterBase = c->RegisterBase;
      info->PmcBase = c->PmcBase;
      info->ProductId = p->Controller->ProductId;
      return STATUS_SUCCESS;
    }
    case BUS_PORT_SET_INTERRUPT_CALLBACK: {
      {
        std::lock_guard<std::mutex> lock(p->Lock);
        p->Callback = reinterpret_cast<PBUS_PORT_INTERRUPT_CALLBACK>(Arg5);
        p->CallbackContext = Arg6;
      }
      /* The line may be up already (characters that came while closed). */
      hw->Recheck(p);
      return STATUS_SUCCESS;
    }
    case BUS_PORT_SET_RX_RING: {
      std::lock_guard<std::mutex> lock(p->Lock);
      p->Ring = static_cast<PBUS_PORT_RING>(Arg5);
      return STATUS_SUCCESS;
    }
    case BUS_PORT_SET_EVENT1:
    case BUS_PORT_SET_INPUT_EVENT:
    case BUS_PORT_SET_EVENT2: {
      std::lock_guard<std::mutex> lock(p->Lock);
      PKEVENT *slot = Request->Code == BUS_PORT_SET_EVENT1 ? &p->Event1
                      : Request->Code == BUS_PORT_SET_INPUT_EVENT ? &p->InputEvent
                                                                  : &p->Event2;
      *slot = static_cast<PKEVENT>(Arg5);
      return STATUS_SUCCESS;
    }
    case BUS_PORT_GET_MODE: {
      auto *mode = static_cast<PULONG>(Out);
      if (mode == nullptr) return STATUS_INVALID_PARAMETER;
      const int m = hw->State().GetMode(p->DevID, p->Unit);
      /* The line follows the mode the port now works in. */
      p->Uart->SetPortMode(m);
      *mode = static_cast<ULONG>(m);
      return STATUS_SUCCESS;
    }
    case BUS_PORT_SET_DIVISOR: {
      if (First < 4) return STATUS_INVALID_PARAMETER;
      const ULONG divisor = Request->Values[0];
      if (divisor == 0 || divisor > 0xFFFF) return STATUS_INVALID_PARAMETER;
      if (c->RegisterBase == nullptr) return STATUS_DEVICE_NOT_READY;
      ProgramDivisor(*c, *p, divisor);
      return STATUS_SUCCESS;
    }
    case BUS_PORT_SET_LINE: {
      if (First < 6) return STATUS_INVALID_PARAMETER;
      const ULONG length = Request->Values[0], parity = Request->Values[1], stop = Request->Values[2];
      if (length > 3 || parity > BUS_PORT_PARITY_SPACE || stop > BUS_PORT_STOP_2) return STATUS_INVALID_PARAMETER;
      if (c->RegisterBase == nullptr) return STATUS_DEVICE_NOT_READY;
      static const ULONG parityBits[5] = {0x00, 0x08, 0x18, 0x28, 0x38}; /* none, odd, even, mark, space */
      const ULONG lcr = READ_REGISTER_ULONG(Register(*c, *p, 3)) & 0xFF;
      /* Keep a break the port is sending; DLAB is off afterwards. */
      const ULONG value = length | (stop != BUS_PORT_STOP_1 ? 0x04 : 0) | parityBits[parity] | (lcr & 0x40);
      WRITE_REGISTER_ULONG(Register(*c, *p, 3), value);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

/* --------------------------------------------------------------- PDO side */

NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto *x = static_cast<PdoExtension *>(device->DeviceExtension);
  PortRecord *p = x->Port;
  Hardware *hw = p->Owner;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL: {
      std::lock_guard<std::mutex> lock(p->Lock);
      p->Withdraw();
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE: {
      {
        /* The port's device objects are gone: nothing of theirs may be used. */
        std::lock_guard<std::mutex> lock(p->Lock);
        p->Withdraw();
        p->InterfaceReferences = 0;
      }
      bool present;
      {
        std::lock_guard<std::mutex> lock(hw->BusLock());
        present = p->Present;
        if (!present) p->Pdo = nullptr;
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      /* A port still on the board keeps its PDO for the next enumeration. */
      if (!present) IoDeleteDevice(device);
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID: {
      std::vector<std::string> ids;
      bool multi = false;
      switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: ids = {kPortDeviceId}; break;
        case BusQueryInstanceID: ids = {std::to_string(p->DevID) + "_" + std::to_string(p->Unit)}; break;
        case BusQueryHardwareIDs:
          ids = {std::string(kPortHardwareId) + "&PID_" + Hex4(p->Controller->ProductId), kPortHardwareId};
          multi = true;
          break;
        case BusQueryCompatibleIDs:
          ids = {kPortHardwareId};
          multi = true;
          break;
        default: break;
      }
      if (!ids.empty()) {
        PWCHAR s = PoolStrings(ids, multi);
        if (s == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
          irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(s);
          status = STATUS_SUCCESS;
        }
      }
      break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      std::string text;
      if (sp->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) text = p->Config->FriendlyName;
      else if (sp->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation)
        text = "Controller " + std::to_string(p->DevID) + ", port " + std::to_string(p->Unit);
      if (!text.empty()) {
        PWCHAR s = PoolStrings({text}, false);
        if (s == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
          irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(s);
          status = STATUS_SUCCESS;
        }
      }
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      if (caps == nullptr) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int i = PowerSystemSleeping1; i < PowerSystemMaximum; ++i) caps->DeviceState[i] = PowerDeviceD3;
      caps->DeviceD1 = FALSE;
      caps->DeviceD2 = FALSE;
      caps->UniqueID = FALSE;
      caps->SilentInstall = TRUE;
      caps->Removable = FALSE;
      caps->Address = p->Unit;
      caps->UINumber = p->GlobalIndex;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        auto *rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
        if (rel == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        rel->Count = 1;
        rel->Objects[0] = device;
        ObReferenceObject(device);
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(rel);
        status = STATUS_SUCCESS;
      }
      break;
    case IRP_MN_QUERY_INTERFACE: {
      const auto &q = sp->Parameters.QueryInterface;
      if (q.InterfaceType == nullptr || !IsEqualGUID(*q.InterfaceType, GUID_PORT_BUS_INTERFACE)) break;
      if (q.Interface == nullptr || q.Size < sizeof(BUS_PORT_INTERFACE) || q.Version < BUS_PORT_INTERFACE_VERSION) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      auto *iface = reinterpret_cast<PBUS_PORT_INTERFACE>(q.Interface);
      iface->Size = sizeof(BUS_PORT_INTERFACE);
      iface->Version = BUS_PORT_INTERFACE_VERSION;
      iface->Context = p;
      iface->InterfaceReference = InterfaceReference;
      iface->InterfaceDereference = InterfaceDereference;
      iface->DevID = p->DevID;
      iface->Port = p->Controller->IniPort + p->Unit;
      iface->IniPort = p->Controller->IniPort;
      iface->Request = BusRequest;
      InterfaceReference(p); /* the reference the caller gives back */
      status = STATUS_SUCCESS;
      break;
    }
    default:
      /* Resources, bus information, device state and the rest: a port has
       * nothing to add; the status stays as it came. */
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PdoPower(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* --------------------------------------------------------------- FDO side */

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends the request down and waits for it; the caller completes it. */
NTSTATUS ForwardAndWait(FdoExtension *x, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(x->Lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS PassDown(FdoExtension *x, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(x->Lower, irp);
}

NTSTATUS StartControllers(FdoExtension *x) {
  Hardware *hw = x->Hw;
  for (auto &c : hw->Controllers()) {
    c.RegisterBase = static_cast<PUCHAR>(nt::mmio::Map(c.Board->RegisterWindowSize(), &c.Board->RegisterWindow()));
    c.PmcBase = static_cast<PUCHAR>(nt::mmio::Map(c.Board->PmcWindowSize(), &c.Board->PmcWindow()));
    if (c.RegisterBase == nullptr || c.PmcBase == nullptr) {
      DbgPrint("NeravoxBus: nt::mmio::Map failed for controller %u\n", c.Config->DevID);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (auto &p : c.Ports) InitializePort(c, *p);
  }
  hw->StartInterrupts();
  return STATUS_SUCCESS;
}

void StopControllers(FdoExtension *x) {
  Hardware *hw = x->Hw;
  hw->StopInterrupts();
  for (auto &c : hw->Controllers()) {
    if (c.RegisterBase != nullptr) nt::mmio::Unmap(c.RegisterBase);
    if (c.PmcBase != nullptr) nt::mmio::Unmap(c.PmcBase);
    c.RegisterBase = nullptr;
    c.PmcBase = nullptr;
  }
}

NTSTATUS ReportPorts(FdoExtension *x, PIRP irp) {
  Hardware *hw = x->Hw;
  std::vector<PDEVICE_OBJECT> present;
  for (PortRecord *p : hw->Ports()) {
    std::lock_guard<std::mutex> lock(hw->BusLock());
    if (!p->Present) continue;
    if (p->Pdo == nullptr) {
      PDEVICE_OBJECT pdo = nullptr;
      NTSTATUS status = IoCreateDevice(x->Self->DriverObject, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                       FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
      if (!NT_SUCCESS(status)) {
        DbgPrint("NeravoxBus: IoCreateDevice failed for port %u of controller %u, status %x\n", p->Unit, p->DevID,
                 status);
        return status;
      }
      auto *px = static_cast<PdoExtension *>(pdo->DeviceExtension);
      px->Type = Kind::Pdo;
      px->Self = pdo;
      px->Port = p;
      pdo->Flags |= DO_POWER_PAGABLE;
      pdo->Flags &= ~DO_DEVICE_INITIALIZING;
      p->Pdo = pdo;
    }
    present.push_back(p->Pdo);
  }
  /* Keep what a filter above may have reported already. */
  auto *old = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
  const ULONG oldCount = old != nullptr ? old->Count : 0;
  const ULONG count = oldCount + static_cast<ULONG>(present.size());
  const size_t size = sizeof(DEVICE_RELATIONS) + (count > 0 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
  auto *rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kTag));
  if (rel == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  rel->Count = count;
  for (ULONG i = 0; i < oldCount; ++i) rel->Objects[i] = old->Objects[i];
  for (size_t i = 0; i < present.size(); ++i) {
    rel->Objects[oldCount + i] = present[i];
    ObReferenceObject(present[i]);
  }
  if (old != nullptr) ExFreePool(old);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(rel);
  return STATUS_SUCCESS;
}

NTSTATUS FdoPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto *x = static_cast<FdoExtension *>(device->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(x, irp);
      if (NT_SUCCESS(status) && !x->Started) {
        status = StartControllers(x);
        if (NT_SUCCESS(status)) x->Started = true;
        else StopControllers(x);
      }
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (sp->Parameters.QueryDeviceRelations.Type == BusRelations) {
        NTSTATUS status = ReportPorts(x, irp);
        if (!NT_SUCCESS(status)) {
          irp->IoStatus.Status = status;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return status;
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
      }
      return PassDown(x, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      /* The bus's resources are its own mappings; a stop keeps them. */
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(x, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      if (x->Started) StopControllers(x);
      x->Started = false;
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(x, irp);
    case IRP_MN_REMOVE_DEVICE: {
      if (x->Started) StopControllers(x);
      x->Started = false;
      /* The children have had their removal; their PDOs go with the bus. */
      Hardware *hw = x->Hw;
      for (PortRecord *p : hw->Ports()) {
        {
          std::lock_guard<std::mutex> lock(p->Lock);
          p->Withdraw();
          p->InterfaceReferences = 0;
        }
        PDEVICE_OBJECT pdo;
        {
          std::lock_guard<std::mutex> lock(hw->BusLock());
          pdo = p->Pdo;
          p->Pdo = nullptr;
        }
        if (pdo != nullptr) IoDeleteDevice(pdo);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = PassDown(x, irp);
      IoDetachDevice(x->Lower);
      IoDeleteDevice(device);
      return status;
    }
    default:
      return PassDown(x, irp);
  }
}

NTSTATUS FdoPower(PDEVICE_OBJECT device, PIRP irp) {
  auto *x = static_cast<FdoExtension *>(device->DeviceExtension);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(x->Lower, irp);
}

/* -------------------------------------------------------------- dispatch */

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const bool fdo = KindOf(device) == Kind::Fdo;
  switch (sp->MajorFunction) {
    case IRP_MJ_PNP: return fdo ? FdoPnp(device, irp) : PdoPnp(device, irp);
    case IRP_MJ_POWER: return fdo ? FdoPower(device, irp) : PdoPower(device, irp);
    case IRP_MJ_SYSTEM_CONTROL:
      if (fdo) return PassDown(static_cast<FdoExtension *>(device->DeviceExtension), irp);
      {
        /* No WMI provider here: completed as it came. */
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
      }
    default: {
      /* Neither the bus nor a raw port is opened or read directly. */
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INVALID_DEVICE_REQUEST;
    }
  }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  Hardware *hw = g_Hardware.load();
  if (hw == nullptr) {
    DbgPrint("NeravoxBus: AddDevice without hardware\n");
    return STATUS_NO_SUCH_DEVICE;
  }
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) {
    DbgPrint("NeravoxBus: IoCreateDevice failed, status %x\n", status);
    return status;
  }
  auto *x = static_cast<FdoExtension *>(fdo->DeviceExtension);
  x->Type = Kind::Fdo;
  x->Self = fdo;
  x->Hw = hw;
  x->Started = false;
  x->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (x->Lower == nullptr) {
    DbgPrint("NeravoxBus: IoAttachDeviceToDeviceStack failed\n");
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

/* Devices are gone by now (removed through PnP); forget the hardware so
 * that nothing reaches it after its owner destroys it. */
VOID Unload(PDRIVER_OBJECT) { g_Hardware.store(nullptr); }

}  // namespace

NTSTATUS BusDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = Dispatch;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

NTSTATUS StartBus(Hardware &Hw, PDEVICE_OBJECT *BusPdo) {
  g_Hardware.store(&Hw);
  return nt::pnp::StartBus(kBusDriverName, BusDriverEntry, BusPdo);
}

nt::pnp::Installer PortInstaller(Hardware &Hw) {
  Hardware *hw = &Hw;
  return [hw](const nt::pnp::DeviceInfo &device) {
    if (device.DeviceId != kPortDeviceId) return;
    unsigned dev = 0, unit = 0;
    if (std::sscanf(device.InstanceId.c_str(), "%u_%u", &dev, &unit) != 2) return;
    PortRecord *p = hw->Port(dev, unit);
    if (p == nullptr) return;
    nt::registry::SetString(device.HardwareKey, "PortName", p->Config->ComName);
    nt::registry::SetString(device.EnumKey, "FriendlyName", p->Config->FriendlyName);
  };
}

}  // namespace sim::bus
