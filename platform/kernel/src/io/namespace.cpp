/*
 * The object namespace: a tree of directories whose leaves are objects, and
 * symbolic link objects that name another path (or, for links made by the
 * kernel itself, another object directly).
 *
 * Names compare case-insensitively and keep the case they were given.
 * Directories come into being when a name below them is inserted and stay.
 * "\DosDevices" and "\GLOBAL??" are links to "\??", so every name under one
 * is a name under the others. A path that still has links to follow after
 * 32 substitutions gives STATUS_OBJECT_NAME_NOT_FOUND (a cycle of links).
 */
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "io/iop.h"

namespace {

constexpr int kMaxReparse = 32;

struct LinkBody {
  std::u16string Target; /* a path; empty when TargetObject is set */
  PVOID TargetObject;    /* referenced */
};

void DeleteLink(PVOID Object) {
  auto *link = (LinkBody *)Object;
  PVOID target = link->TargetObject;
  link->~LinkBody();
  if (target != NULL) ObDereferenceObject(target);
}

struct Node {
  std::u16string Name;       /* as given */
  PVOID Object = NULL;       /* referenced by the name; NULL for a directory */
  std::map<std::u16string, std::unique_ptr<Node>> Children; /* by upcased name */
};

std::mutex g_NsLock;
std::unique_ptr<Node> g_Root; /* guarded by g_NsLock */

char16_t Upcase(char16_t c) {
  if (c >= u'a' && c <= u'z') return (char16_t)(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (char16_t)(c - 0x20);
  return c;
}

std::u16string Key(const std::u16string &s) {
  std::u16string k(s);
  for (auto &c : k) c = Upcase(c);
  return k;
}

bool IsLink(PVOID Object) { return Object != NULL && ObpTypeOf(Object) == &IopSymbolicLinkObjectType; }

NTSTATUS Split(const std::u16string &path, std::vector<std::u16string> *parts) {
  parts->clear();
  if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  if (path.size() == 1) return STATUS_SUCCESS;
  size_t start = 1;
  for (;;) {
    size_t end = path.find(u'\\', start);
    std::u16string part = path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
    if (part.empty()) return STATUS_OBJECT_NAME_INVALID;
    parts->push_back(std::move(part));
    if (end == std::u16string::npos) return STATUS_SUCCESS;
    start = end + 1;
  }
}

struct Walked {
  Node *Parent = NULL;         /* directory holding the last component */
  std::u16string Name;         /* the last component, as written */
  Node *Found = NULL;          /* its node, NULL if absent */
  PVOID LinkedObject = NULL;   /* a followed link that names an object directly */
};

/* Caller holds g_NsLock. FollowFinal: a link as the last component is
 * followed too. CreateDirectories: missing directories on the way are made. */
NTSTATUS Walk(const std::u16string &path, bool FollowFinal, bool CreateDirectories, Walked *out) {
  std::u16string current = path;
  for (int reparse = 0; reparse <= kMaxReparse; ++reparse) {
    std::vector<std::u16string> parts;
    NTSTATUS status = Split(current, &parts);
    if (!NT_SUCCESS(status)) return status;
    if (parts.empty()) {
      *out = Walked();
      out->Found = g_Root.get();
      return STATUS_SUCCESS;
    }
    Node *dir = g_Root.get();
    bool reparsed = false;
    for (size_t i = 0; i < parts.size(); ++i) {
      bool last = i + 1 == parts.size();
      auto it = dir->Children.find(Key(parts[i]));
      Node *node = it == dir->Children.end() ? NULL : it->second.get();
      if (node == NULL) {
        if (last) {
          *out = Walked();
          out->Parent = dir;
          out->Name = parts[i];
          return STATUS_SUCCESS;
        }
        if (!CreateDirectories) return STATUS_OBJECT_PATH_NOT_FOUND;
        auto made = std::make_unique<Node>();
        made->Name = parts[i];
        node = made.get();
        dir->Children.emplace(Key(parts[i]), std::move(made));
        dir = node;
        continue;
      }
      if (IsLink(node->Object) && (!last || FollowFinal)) {
        auto *link = (LinkBody *)node->Object;
        if (link->TargetObject != NULL) {
          if (!last) return STATUS_OBJECT_PATH_NOT_FOUND;
          *out = Walked();
          out->Parent = dir;
          out->Name = parts[i];
          out->Found = node;
          out->LinkedObject = link->TargetObject;
          return STATUS_SUCCESS;
        }
        std::u16string next = link->Target;
        for (size_t j = i + 1; j < parts.size(); ++j) next += u'\\' + parts[j];
        current = std::move(next);
        reparsed = true;
        break;
      }
      if (last) {
        *out = Walked();
        out->Parent = dir;
        out->Name = parts[i];
        out->Found = node;
        return STATUS_SUCCESS;
      }
      if (node->Object != NULL) return STATUS_OBJECT_PATH_NOT_FOUND; /* an object is no directory */
      dir = node;
    }
    if (!reparsed) break;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS InsertLocked(const std::u16string &path, PVOID Object) {
  Walked w;
  NTSTATUS status = Walk(path, false, true, &w);
  if (!NT_SUCCESS(status)) return status;
  if (w.Parent == NULL || w.Found != NULL) return STATUS_OBJECT_NAME_COLLISION;
  auto node = std::make_unique<Node>();
  node->Name = w.Name;
  node->Object = Object;
  ObReferenceObject(Object);
  w.Parent->Children.emplace(Key(w.Name), std::move(node));
  return STATUS_SUCCESS;
}

void CollectObjects(Node *node, std::vector<PVOID> *objects) {
  if (node->Object != NULL) objects->push_back(node->Object);
  for (auto &child : node->Children) CollectObjects(child.second.get(), objects);
}

PVOID CreateLinkObject(const std::u16string &target, PVOID TargetObject) {
  PVOID body = ObpCreateObject(&IopSymbolicLinkObjectType, sizeof(LinkBody));
  if (body == NULL) return NULL;
  new (body) LinkBody{target, TargetObject};
  if (TargetObject != NULL) ObReferenceObject(TargetObject);
  return body;
}

/* Makes a link object and gives it the name; the name holds the only reference. */
NTSTATUS CreateLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName, const char *Routine) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, Routine);
  if (SymbolicLinkName == NULL || DeviceName == NULL || SymbolicLinkName->Buffer == NULL || DeviceName->Buffer == NULL)
    return STATUS_INVALID_PARAMETER;
  PVOID link = CreateLinkObject(IopString(DeviceName), NULL);
  if (link == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = ObpInsertName(SymbolicLinkName, link);
  ObDereferenceObject(link);
  return status;
}

}  // namespace

const OBP_OBJECT_TYPE IopSymbolicLinkObjectType = {"SymbolicLink", DeleteLink};

void IopNamespaceInitialize() {
  {
    std::lock_guard<std::mutex> guard(g_NsLock);
    g_Root = std::make_unique<Node>();
    for (const char16_t *dir : {u"Device", u"Driver", u"??", u"ObjectTypes", u"Callback"}) {
      auto node = std::make_unique<Node>();
      node->Name = dir;
      g_Root->Children.emplace(Key(dir), std::move(node));
    }
  }
  for (const char16_t *alias : {u"\\DosDevices", u"\\GLOBAL??"}) {
    std::u16string name(alias), target(u"\\??");
    UNICODE_STRING n = IopView(name), t = IopView(target);
    CreateLink(&n, &t, "IopNamespaceInitialize");
  }
}

void IopNamespaceShutdown() {
  std::vector<PVOID> objects;
  {
    std::lock_guard<std::mutex> guard(g_NsLock);
    if (g_Root) CollectObjects(g_Root.get(), &objects);
    g_Root.reset();
  }
  for (PVOID object : objects) ObDereferenceObject(object);
}

NTSTATUS ObpInsertName(PCUNICODE_STRING Path, PVOID Object) {
  if (Path == NULL || Object == NULL) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(g_NsLock);
  if (!g_Root) return STATUS_OBJECT_PATH_NOT_FOUND;
  return InsertLocked(IopString(Path), Object);
}

NTSTATUS ObpRemoveName(PCUNICODE_STRING Path) {
  if (Path == NULL) return STATUS_INVALID_PARAMETER;
  PVOID object = NULL;
  {
    std::lock_guard<std::mutex> guard(g_NsLock);
    if (!g_Root) return STATUS_OBJECT_NAME_NOT_FOUND;
    Walked w;
    NTSTATUS status = Walk(IopString(Path), false, false, &w);
    if (!NT_SUCCESS(status)) return status;
    if (w.Found == NULL) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (w.Found->Object == NULL) return STATUS_OBJECT_TYPE_MISMATCH; /* directories stay */
    object = w.Found->Object;
    w.Parent->Children.erase(Key(w.Name));
  }
  ObDereferenceObject(object);
  return STATUS_SUCCESS;
}

NTSTATUS ObpLookupName(PCUNICODE_STRING Path, PVOID *Object) {
  if (Object == NULL) return STATUS_INVALID_PARAMETER;
  *Object = NULL;
  if (Path == NULL) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(g_NsLock);
  if (!g_Root) return STATUS_OBJECT_NAME_NOT_FOUND;
  Walked w;
  NTSTATUS status = Walk(IopString(Path), true, false, &w);
  if (!NT_SUCCESS(status)) return status;
  PVOID found = w.LinkedObject != NULL ? w.LinkedObject : (w.Found != NULL ? w.Found->Object : NULL);
  if (w.Found == NULL) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (found == NULL) return STATUS_OBJECT_TYPE_MISMATCH; /* a directory */
  ObReferenceObject(found);
  *Object = found;
  return STATUS_SUCCESS;
}

NTSTATUS IopCreateLinkToObject(PCUNICODE_STRING LinkName, PVOID Object) {
  PVOID link = CreateLinkObject(std::u16string(), Object);
  if (link == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = ObpInsertName(LinkName, link);
  ObDereferenceObject(link);
  return status;
}

NTSTATUS IopQuerySymbolicLink(PCUNICODE_STRING LinkName, std::u16string *Target) {
  std::lock_guard<std::mutex> guard(g_NsLock);
  if (!g_Root) return STATUS_OBJECT_NAME_NOT_FOUND;
  Walked w;
  NTSTATUS status = Walk(IopString(LinkName), false, false, &w);
  if (!NT_SUCCESS(status)) return status;
  if (w.Found == NULL) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!IsLink(w.Found->Object)) return STATUS_OBJECT_TYPE_MISMATCH;
  *Target = ((LinkBody *)w.Found->Object)->Target;
  return STATUS_SUCCESS;
}

std::vector<std::u16string> IopListDirectory(PCUNICODE_STRING DirectoryPath) {
  std::vector<std::u16string> names;
  std::lock_guard<std::mutex> guard(g_NsLock);
  if (!g_Root) return names;
  Walked w;
  if (!NT_SUCCESS(Walk(IopString(DirectoryPath), true, false, &w)) || w.Found == NULL || w.Found->Object != NULL)
    return names;
  for (auto &child : w.Found->Children) names.push_back(child.second->Name);
  return names;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  return CreateLink(SymbolicLinkName, DeviceName, "IoCreateSymbolicLink");
}

NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  return CreateLink(SymbolicLinkName, DeviceName, "IoCreateUnprotectedSymbolicLink");
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
  if (SymbolicLinkName == NULL || SymbolicLinkName->Buffer == NULL) return STATUS_INVALID_PARAMETER;
  PVOID object = NULL;
  {
    std::lock_guard<std::mutex> guard(g_NsLock);
    if (!g_Root) return STATUS_OBJECT_NAME_NOT_FOUND;
    Walked w;
    NTSTATUS status = Walk(IopString(SymbolicLinkName), false, false, &w);
    if (!NT_SUCCESS(status)) return status;
    if (w.Found == NULL) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!IsLink(w.Found->Object)) return STATUS_OBJECT_TYPE_MISMATCH;
    object = w.Found->Object;
    w.Parent->Children.erase(Key(w.Name));
  }
  ObDereferenceObject(object);
  return STATUS_SUCCESS;
}
