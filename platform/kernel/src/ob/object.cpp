/*
 * Object headers, references and the kernel handle table.
 *
 * Every object lives in one host allocation: a header, then the body that
 * callers see. Live bodies are also kept in a set, so that a pointer can be
 * checked before its header is read: a reference to something that is not
 * an object, or to one already deleted, is a bug check and never a read of
 * foreign or freed memory.
 */
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ki.h"

namespace {

struct ObjectHeader {
  const OBP_OBJECT_TYPE *Type;
  LONG ReferenceCount; /* guarded by g_ObLock */
  ULONG Spare;
};
static_assert(sizeof(ObjectHeader) == 16, "bodies stay 16-byte aligned");

struct HandleEntry {
  PVOID Object;
  ACCESS_MASK GrantedAccess;
};

std::mutex g_ObLock;
std::unordered_set<PVOID> g_Live;                       /* guarded by g_ObLock */
std::unordered_set<PVOID> g_Deleted;                    /* bodies freed and not reused since */
std::unordered_map<ULONG_PTR, HandleEntry> g_Handles;   /* guarded by g_ObLock */
ULONG_PTR g_NextHandle = 1;                             /* guarded by g_ObLock */

/* Kernel handles carry the top bits, as OBJ_KERNEL_HANDLE handles do on
   Windows, so they are never mistaken for small user-mode handle values. */
constexpr ULONG_PTR kKernelHandleBits = 0xFFFFFFFF80000000ULL;
constexpr size_t kDeletedMemory = 1 << 16;

ObjectHeader *HeaderOf(PVOID Object) { return (ObjectHeader *)Object - 1; }

/* Caller holds g_ObLock. */
[[noreturn]] void NotAnObject(const char *Routine, PVOID Object) {
  bool deleted = g_Deleted.count(Object) != 0;
  char rule[160];
  std::snprintf(rule, sizeof rule, "%s: %p %s", Routine, Object,
                deleted ? "is an object that was already deleted" : "is not an object");
  KiBugCheck(0x18 /* REFERENCE_BY_POINTER */, 0, (ULONG_PTR)Object, deleted ? 1 : 0, 0, rule);
}

bool TypeMatches(PVOID Object, POBJECT_TYPE Type) {
  return Type == NULL || HeaderOf(Object)->Type == (const OBP_OBJECT_TYPE *)Type;
}

}  // namespace

PVOID ObpCreateObject(const OBP_OBJECT_TYPE *Type, SIZE_T BodySize) {
  auto *header = (ObjectHeader *)std::calloc(1, sizeof(ObjectHeader) + BodySize);
  if (header == NULL) return NULL;
  header->Type = Type;
  header->ReferenceCount = 1;
  PVOID body = header + 1;
  std::lock_guard<std::mutex> guard(g_ObLock);
  g_Live.insert(body);
  g_Deleted.erase(body);
  return body;
}

const OBP_OBJECT_TYPE *ObpTypeOf(PVOID Object) {
  std::lock_guard<std::mutex> guard(g_ObLock);
  return g_Live.count(Object) ? HeaderOf(Object)->Type : NULL;
}

LONG ObpReferenceCount(PVOID Object) {
  std::lock_guard<std::mutex> guard(g_ObLock);
  return g_Live.count(Object) ? HeaderOf(Object)->ReferenceCount : 0;
}

NTSTATUS ObpCreateHandle(PVOID Object, PHANDLE Handle) {
  std::lock_guard<std::mutex> guard(g_ObLock);
  if (!g_Live.count(Object)) NotAnObject("ObpCreateHandle", Object);
  ULONG_PTR value = kKernelHandleBits | (g_NextHandle++ << 2);
  g_Handles.emplace(value, HandleEntry{Object, STANDARD_RIGHTS_ALL | 0xFFFF});
  HeaderOf(Object)->ReferenceCount++;
  *Handle = (HANDLE)value;
  return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
  std::lock_guard<std::mutex> guard(g_ObLock);
  if (!g_Live.count(Object)) NotAnObject("ObReferenceObject", Object);
  return ++HeaderOf(Object)->ReferenceCount;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  ObjectHeader *header = HeaderOf(Object);
  {
    std::lock_guard<std::mutex> guard(g_ObLock);
    if (!g_Live.count(Object)) NotAnObject("ObDereferenceObject", Object);
    LONG left = --header->ReferenceCount;
    if (left > 0) return left;
    g_Live.erase(Object);
    if (g_Deleted.size() >= kDeletedMemory) g_Deleted.clear();
    g_Deleted.insert(Object);
  }
  /* Outside the lock: Delete may dereference other objects. */
  if (header->Type != NULL && header->Type->Delete != NULL) header->Type->Delete(Object);
  std::free(header);
  return 0;
}

NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                    KPROCESSOR_MODE AccessMode) {
  std::lock_guard<std::mutex> guard(g_ObLock);
  if (!g_Live.count(Object)) NotAnObject("ObReferenceObjectByPointer", Object);
  if (!TypeMatches(Object, ObjectType)) return STATUS_OBJECT_TYPE_MISMATCH;
  HeaderOf(Object)->ReferenceCount++;
  return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
  KiCheckIrqlAtMost(APC_LEVEL, "ObReferenceObjectByHandle");
  *Object = NULL;
  PVOID current = Handle == NtCurrentThread() ? KeGetCurrentThread() : NULL; /* outside the lock */
  std::lock_guard<std::mutex> guard(g_ObLock);
  PVOID body = current;
  ACCESS_MASK granted = THREAD_ALL_ACCESS;
  if (body == NULL) {
    auto it = g_Handles.find((ULONG_PTR)Handle);
    if (it == g_Handles.end()) return STATUS_INVALID_HANDLE;
    body = it->second.Object;
    granted = it->second.GrantedAccess;
  }
  if (!TypeMatches(body, ObjectType)) return STATUS_OBJECT_TYPE_MISMATCH;
  HeaderOf(body)->ReferenceCount++;
  *Object = body;
  if (HandleInformation != NULL) {
    HandleInformation->HandleAttributes = OBJ_KERNEL_HANDLE;
    HandleInformation->GrantedAccess = granted;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  PVOID object;
  {
    std::lock_guard<std::mutex> guard(g_ObLock);
    auto it = g_Handles.find((ULONG_PTR)Handle);
    if (it == g_Handles.end()) return STATUS_INVALID_HANDLE;
    object = it->second.Object;
    g_Handles.erase(it);
  }
  ObfDereferenceObject(object);
  return STATUS_SUCCESS;
}

NTSTATUS NtClose(HANDLE Handle) { return ZwClose(Handle); }

void ObpCloseAllHandles() {
  std::vector<PVOID> objects;
  {
    std::lock_guard<std::mutex> guard(g_ObLock);
    for (auto &entry : g_Handles) objects.push_back(entry.second.Object);
    g_Handles.clear();
    g_NextHandle = 1;
  }
  for (PVOID object : objects) ObfDereferenceObject(object);
}
