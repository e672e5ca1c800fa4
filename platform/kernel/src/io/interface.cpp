/*
 * Device interfaces: a registration per (PDO, class, reference string) with
 * the link name Windows gives it, "\??\<instance path, # for \>#{guid}"
 * followed by "\<reference string>" when there is one. Enabling creates the
 * link (without the reference string) to the PDO's name, or to the PDO
 * itself when it has none; disabling deletes it. A PDO without an instance
 * path (one the PnP manager did not enumerate) is given "ROOT\UNKNOWN\<n>".
 */
#include <cstdio>
#include <mutex>

#include "io/iop.h"

namespace {

constexpr ULONG kInterfaceTag = 0x66496f49; /* "IoIf" */

struct Registration {
  std::u16string Name;     /* as returned to the caller */
  std::u16string LinkName; /* Name without the reference string */
  GUID InterfaceClass;
  PDEVICE_OBJECT Pdo;
  bool Enabled;
};

std::mutex g_IfLock;
std::vector<Registration> g_Registrations; /* guarded by g_IfLock */
ULONG g_GeneratedInstance = 0;             /* guarded by g_IfLock */

std::u16string Ascii(const char *s) {
  std::u16string out;
  for (; *s; ++s) out += (char16_t)*s;
  return out;
}

std::u16string GuidText(const GUID &g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return Ascii(text);
}

bool SameName(const std::u16string &a, const std::u16string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = (char16_t)(x - 0x20);
    if (y >= u'a' && y <= u'z') y = (char16_t)(y - 0x20);
    if (x != y) return false;
  }
  return true;
}

Registration *FindLocked(const std::u16string &name) {
  for (auto &r : g_Registrations)
    if (SameName(r.Name, name)) return &r;
  return NULL;
}

bool LinkInUseLocked(const Registration &self) {
  for (auto &r : g_Registrations)
    if (&r != &self && r.Enabled && SameName(r.LinkName, self.LinkName)) return true;
  return false;
}

NTSTATUS CreateInterfaceLink(const Registration &r) {
  UNICODE_STRING link = IopView(r.LinkName);
  PDEVOBJ_EXTENSION x = r.Pdo->DeviceObjectExtension;
  if (x->DeviceName.Length != 0) {
    std::u16string target = IopString(&x->DeviceName);
    UNICODE_STRING t = IopView(target);
    return IoCreateSymbolicLink(&link, &t);
  }
  return IopCreateLinkToObject(&link, r.Pdo);
}

}  // namespace

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, CONST GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
  if (PhysicalDeviceObject == NULL || InterfaceClassGuid == NULL || SymbolicLinkName == NULL)
    return STATUS_INVALID_PARAMETER;
  if (ObpTypeOf(PhysicalDeviceObject) != &IopDeviceObjectType) return STATUS_INVALID_DEVICE_REQUEST;
  std::lock_guard<std::mutex> guard(g_IfLock);
  std::u16string instance = IopString(&PhysicalDeviceObject->DeviceObjectExtension->InstancePath);
  if (instance.empty()) {
    char text[32];
    std::snprintf(text, sizeof text, "ROOT\\UNKNOWN\\%04u", (unsigned)g_GeneratedInstance++);
    instance = Ascii(text);
    UNICODE_STRING path = IopView(instance);
    IopSetDeviceInstancePath(PhysicalDeviceObject, &path);
  }
  std::u16string link = u"\\??\\";
  for (char16_t c : instance) link += c == u'\\' ? u'#' : c;
  link += u'#' + GuidText(*InterfaceClassGuid);
  std::u16string name = link;
  if (ReferenceString != NULL && ReferenceString->Length != 0) name += u'\\' + IopString(ReferenceString);

  if (FindLocked(name) == NULL)
    g_Registrations.push_back(Registration{name, link, *InterfaceClassGuid, PhysicalDeviceObject, false});

  USHORT bytes = (USHORT)(name.size() * sizeof(WCHAR));
  auto *buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kInterfaceTag);
  if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, name.data(), bytes);
  buffer[name.size()] = 0;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = bytes;
  SymbolicLinkName->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
  if (SymbolicLinkName == NULL || SymbolicLinkName->Buffer == NULL) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(g_IfLock);
  Registration *r = FindLocked(IopString(SymbolicLinkName));
  if (r == NULL) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (Enable) {
    if (r->Enabled) return STATUS_OBJECT_NAME_EXISTS;
    if (!LinkInUseLocked(*r)) {
      NTSTATUS status = CreateInterfaceLink(*r);
      if (!NT_SUCCESS(status)) return status;
    }
    r->Enabled = true;
    return STATUS_SUCCESS;
  }
  if (!r->Enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
  r->Enabled = false;
  if (!LinkInUseLocked(*r)) {
    UNICODE_STRING link = IopView(r->LinkName);
    ObpRemoveName(&link);
  }
  return STATUS_SUCCESS;
}

std::vector<IOP_INTERFACE_INFO> IopDeviceInterfaces(const GUID *InterfaceClass, bool EnabledOnly) {
  std::vector<IOP_INTERFACE_INFO> out;
  std::lock_guard<std::mutex> guard(g_IfLock);
  for (auto &r : g_Registrations) {
    if (InterfaceClass != NULL && !InlineIsEqualGUID(InterfaceClass, &r.InterfaceClass)) continue;
    if (EnabledOnly && !r.Enabled) continue;
    out.push_back(IOP_INTERFACE_INFO{r.Name, r.InterfaceClass, r.Pdo, r.Enabled});
  }
  return out;
}

void IopRemoveDeviceInterfaces(PDEVICE_OBJECT Pdo) {
  std::lock_guard<std::mutex> guard(g_IfLock);
  for (auto it = g_Registrations.begin(); it != g_Registrations.end();) {
    if (it->Pdo != Pdo) {
      ++it;
      continue;
    }
    if (it->Enabled) {
      it->Enabled = false;
      if (!LinkInUseLocked(*it)) {
        UNICODE_STRING link = IopView(it->LinkName);
        ObpRemoveName(&link);
      }
    }
    it = g_Registrations.erase(it);
  }
}

void IopInterfacesShutdown() {
  std::lock_guard<std::mutex> guard(g_IfLock);
  g_Registrations.clear();
  g_GeneratedInstance = 0;
}
