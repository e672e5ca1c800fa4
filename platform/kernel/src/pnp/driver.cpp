/*
 * Driver loading and unloading, and the unload report.
 */
#include <nt/debug.h>
#include <nt/pool.h>
#include <nt/registry.h>
#include <nt/system.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "io/iop.h"
#include "pnpp.h"
#include "system/utf.h"

namespace {

struct LoadedDriver {
  PDRIVER_OBJECT Driver;
  std::string Name; /* "NAME" */
};

std::mutex g_Lock;                   /* guards g_Loaded and g_Retired */
std::vector<LoadedDriver> g_Loaded;  /* in load order */
/* Unloaded drivers whose device objects outlived them. */
std::vector<PDRIVER_OBJECT> g_Retired;

UNICODE_STRING g_HardwareDatabase = RTL_CONSTANT_STRING(L"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM");

bool ValidName(const std::string &name) {
  if (name.empty() || name.size() > 200) return false;
  for (char c : name)
    if (c == '\\' || c == '/' || c == '\0') return false;
  return true;
}

std::string Hex(ULONG_PTR v) {
  char b[32];
  snprintf(b, sizeof b, "%p", (void *)v);
  return b;
}

nt::UnloadReport BuildReport(PDRIVER_OBJECT driver, const std::string &name) {
  nt::UnloadReport r;
  r.Driver = "\\Driver\\" + name;
  for (auto &[tag, usage] : nt::pool::TagsOfDriver(driver))
    r.Pool.push_back(nt::UnloadReport::PoolLeak{tag, nt::pool::TagText(tag), (size_t)usage.Blocks, (size_t)usage.Bytes});
  for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
    PDEVOBJ_EXTENSION x = d->DeviceObjectExtension;
    std::string devName = x ? nt::sys::ToUtf8(&x->DeviceName) : std::string();
    r.Devices.push_back(devName.empty() ? "(unnamed " + Hex((ULONG_PTR)d) + ")" : devName);
  }
  r.Irps = IopOutstandingIrps(driver).size();
  return r;
}

/* What a non-empty report does: stop the run, unless a report was asked
 * for or the system is going down. */
void Judge(const nt::UnloadReport &r, PDRIVER_OBJECT driver, bool bugCheck) {
  if (r.Empty()) return;
  std::string text = r.Text();
  if (!bugCheck || !nt::CurrentBootOptions().BugCheckOnUnloadLeaks) {
    fprintf(stderr, "%s", text.c_str());
    DbgPrint("%s", text.c_str());
    return;
  }
  if (!r.Devices.empty() || r.Irps != 0)
    KiBugCheck(0xCE, (ULONG_PTR)driver, r.Devices.size(), r.Irps, 0, text.c_str());
  size_t blocks = 0, bytes = 0;
  for (auto &p : r.Pool) {
    blocks += p.Blocks;
    bytes += p.Bytes;
  }
  KiBugCheck(0xC4, 0x62, (ULONG_PTR)&driver->DriverName, blocks, bytes, text.c_str());
}

/* Forgets the driver and deletes its object, unless device objects still
 * point at it: then it stays, with them, until the system goes down. */
void Retire(PDRIVER_OBJECT driver) {
  bool keep = driver->DeviceObject != nullptr;
  {
    std::lock_guard<std::mutex> lock(g_Lock);
    std::erase_if(g_Loaded, [&](const LoadedDriver &d) { return d.Driver == driver; });
    if (keep) g_Retired.push_back(driver);
  }
  if (!keep) IopDeleteDriverObject(driver);
}

/* At shutdown: the devices unloaded drivers left behind, and the drivers. */
void DeleteRetired() {
  std::vector<PDRIVER_OBJECT> retired;
  {
    std::lock_guard<std::mutex> lock(g_Lock);
    retired.swap(g_Retired);
  }
  for (PDRIVER_OBJECT driver : retired) {
    KiDriverScope scope(driver);
    while (PDEVICE_OBJECT d = driver->DeviceObject) {
      PDEVOBJ_EXTENSION x = d->DeviceObjectExtension;
      if (x != nullptr && x->AttachedTo != nullptr) IoDetachDevice(x->AttachedTo);
      IoDeleteDevice(d);
    }
    IopDeleteDriverObject(driver);
  }
}

NTSTATUS Unload(PDRIVER_OBJECT driver, nt::UnloadReport *report, bool bugCheck, bool force) {
  std::string name = PnpDriverName(driver);
  if (name.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (driver->DriverUnload == nullptr && !force) return STATUS_INVALID_DEVICE_REQUEST;
  if (driver->DriverUnload != nullptr) {
    KiDriverScope scope(driver);
    driver->DriverUnload(driver);
    PnpCheckReturnIrql(driver, "DriverUnload");
  }
  nt::UnloadReport r = BuildReport(driver, name);
  if (report != nullptr) {
    *report = r;
  } else {
    Judge(r, driver, bugCheck);
  }
  Retire(driver);
  return STATUS_SUCCESS;
}

}  // namespace

void PnpCheckReturnIrql(PDRIVER_OBJECT Driver, const char *Routine) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) {
    std::string rule = std::string(Routine) + " of " + nt::sys::ToUtf8(&Driver->DriverName) +
                       " returned above PASSIVE_LEVEL";
    KiBugCheck(0xC9, PNP_VERIFIER_ENTRY_IRQL, (ULONG_PTR)Driver, irql, 0, rule.c_str());
  }
}

std::string PnpDriverName(PDRIVER_OBJECT Driver) {
  std::lock_guard<std::mutex> lock(g_Lock);
  for (auto &d : g_Loaded)
    if (d.Driver == Driver) return d.Name;
  return {};
}

NTSTATUS PnpUnloadDriverQuietly(PDRIVER_OBJECT Driver) { return Unload(Driver, nullptr, false, true); }

void PnpUnloadAllDrivers() {
  while (true) {
    PDRIVER_OBJECT driver;
    {
      std::lock_guard<std::mutex> lock(g_Lock);
      if (g_Loaded.empty()) break;
      driver = g_Loaded.back().Driver;
    }
    PnpUnloadDriverQuietly(driver);
  }
  DeleteRetired();
}

namespace nt {

std::string UnloadReport::Text() const {
  std::string t = "Unload report for " + Driver + ":\n";
  for (auto &p : Pool)
    t += "  pool left behind: tag '" + p.TagText + "', " + std::to_string(p.Blocks) + " block(s), " +
         std::to_string(p.Bytes) + " byte(s)\n";
  for (auto &d : Devices) t += "  device object left: " + d + "\n";
  if (Irps) t += "  requests never completed: " + std::to_string(Irps) + "\n";
  if (Empty()) t += "  nothing left behind\n";
  return t;
}

NTSTATUS LoadDriver(const char *Name, DriverEntryRoutine Entry, PDRIVER_OBJECT *Driver) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "nt::LoadDriver");
  if (Driver) *Driver = nullptr;
  std::string name = Name ? Name : "";
  if (!ValidName(name) || Entry == nullptr) return STATUS_INVALID_PARAMETER;

  std::string serviceKey = std::string(registry::kServices) + "\\" + name;
  NTSTATUS status = registry::CreateKey(serviceKey);
  if (!NT_SUCCESS(status)) return status;

  std::u16string driverName = u"\\Driver\\" + sys::Utf8ToUtf16(name);
  std::u16string service = sys::Utf8ToUtf16(name);
  UNICODE_STRING driverNameU = IopView(driverName), serviceU = IopView(service);
  PDRIVER_OBJECT driver = nullptr;
  status = IopCreateDriverObject(&driverNameU, &serviceU, &driver);
  if (!NT_SUCCESS(status)) return status;
  driver->HardwareDatabase = &g_HardwareDatabase;
  driver->DriverInit = Entry;
  {
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Loaded.push_back(LoadedDriver{driver, name});
  }

  /* The registry path as the kernel passes it: \REGISTRY\MACHINE\... */
  std::u16string path = sys::Utf8ToUtf16(serviceKey);
  UNICODE_STRING pathU = IopView(path);
  {
    KiDriverScope scope(driver);
    status = Entry(driver, &pathU);
  }
  PnpCheckReturnIrql(driver, "DriverEntry");
  if (!NT_SUCCESS(status)) {
    /* A failed DriverEntry must leave nothing behind, as an unload. */
    Judge(BuildReport(driver, name), driver, true);
    Retire(driver);
    return status;
  }
  if (Driver) *Driver = driver;
  return status;
}

NTSTATUS LoadDriver(PCWSTR Name, DriverEntryRoutine Entry, PDRIVER_OBJECT *Driver) {
  std::string name = sys::Utf16ToUtf8(sys::FromWide(Name));
  return LoadDriver(name.c_str(), Entry, Driver);
}

PDRIVER_OBJECT FindDriver(const char *Name) {
  if (Name == nullptr) return nullptr;
  std::string upper = sys::UpcaseAscii(Name);
  std::lock_guard<std::mutex> lock(g_Lock);
  for (auto &d : g_Loaded)
    if (sys::UpcaseAscii(d.Name) == upper) return d.Driver;
  return nullptr;
}

NTSTATUS UnloadDriver(const char *Name, UnloadReport *Report) {
  PDRIVER_OBJECT driver = FindDriver(Name);
  if (driver == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return UnloadDriver(driver, Report);
}

NTSTATUS UnloadDriver(PDRIVER_OBJECT Driver, UnloadReport *Report) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "nt::UnloadDriver");
  if (Driver == nullptr) return STATUS_INVALID_PARAMETER;
  return Unload(Driver, Report, true, false);
}

}  // namespace nt
