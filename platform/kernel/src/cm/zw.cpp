/*
 * ZwXxxKey: key objects, handles and the information records.
 *
 * Every open makes a new key object that records the access granted; the
 * handle's operations check it. Registry names never depend on case, with
 * or without OBJ_CASE_INSENSITIVE. A key deleted while open stays valid for
 * ZwClose; everything else on it gives STATUS_KEY_DELETED.
 */
#include <new>

#include "cmp.h"
#include "ki.h"
#include "system/utf.h"

#ifndef STATUS_CHILD_MUST_BE_VOLATILE
#define STATUS_CHILD_MUST_BE_VOLATILE ((NTSTATUS)0xC0000181L)
#endif

using nt::sys::FromUnicodeString;
using nt::sys::Upcase;

namespace {

void DeleteKeyBody(PVOID object) { static_cast<CmpKeyBody *>(object)->~CmpKeyBody(); }

const OBP_OBJECT_TYPE g_KeyType = {"Key", DeleteKeyBody};

/* A referenced key body for a handle, with the access it must grant. */
class KeyRef {
 public:
  KeyRef(HANDLE handle, ACCESS_MASK needed) {
    PVOID object = nullptr;
    m_Status = ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(m_Status)) return;
    if (ObpTypeOf(object) != &g_KeyType) {
      ObDereferenceObject(object);
      m_Status = STATUS_OBJECT_TYPE_MISMATCH;
      return;
    }
    m_Body = static_cast<CmpKeyBody *>(object);
    if ((m_Body->GrantedAccess & needed) != needed) m_Status = STATUS_ACCESS_DENIED;
  }
  ~KeyRef() {
    if (m_Body) ObDereferenceObject(m_Body);
  }
  KeyRef(const KeyRef &) = delete;
  KeyRef &operator=(const KeyRef &) = delete;

  NTSTATUS Status() const { return m_Status; }
  /* Caller holds CmpLock: the node, or NULL (status set) once deleted. */
  CmpKeyNode *Node() {
    if (m_Body->Node->Deleted) {
      m_Status = STATUS_KEY_DELETED;
      return nullptr;
    }
    return m_Body->Node.get();
  }
  const std::shared_ptr<CmpKeyNode> &Shared() const { return m_Body->Node; }

 private:
  NTSTATUS m_Status = STATUS_INVALID_HANDLE;
  CmpKeyBody *m_Body = nullptr;
};

/* Builds a record image and hands out what fits, by the registry's rules:
 * smaller than the fixed part -> STATUS_BUFFER_TOO_SMALL, nothing written;
 * the fixed part fits but not the rest -> STATUS_BUFFER_OVERFLOW with as
 * much written as fits; ResultLength is the full size in every case. */
class Record {
 public:
  explicit Record(ULONG fixed) : m_Fixed(fixed), m_Image(fixed, 0) {}
  template <class T>
  T *Header() {
    return reinterpret_cast<T *>(m_Image.data());
  }
  ULONG Size() const { return (ULONG)m_Image.size(); }
  void Align4() {
    while (m_Image.size() % 4) m_Image.push_back(0);
  }
  ULONG Append(const void *data, size_t size) {
    ULONG at = Size();
    const UCHAR *p = static_cast<const UCHAR *>(data);
    m_Image.insert(m_Image.end(), p, p + size);
    return at;
  }
  ULONG Append(const std::u16string &s) { return Append(s.data(), s.size() * sizeof(char16_t)); }
  NTSTATUS Emit(PVOID buffer, ULONG length, PULONG resultLength) const {
    *resultLength = Size();
    if (length < m_Fixed) return STATUS_BUFFER_TOO_SMALL;
    if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
    ULONG n = length < Size() ? length : Size();
    memcpy(buffer, m_Image.data(), n);
    return n < Size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
  }

 private:
  ULONG m_Fixed;
  std::vector<UCHAR> m_Image;
};

NTSTATUS ValueRecord(const CmpValue &v, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                     PULONG resultLength) {
  ULONG nameBytes = (ULONG)(v.Name.size() * sizeof(char16_t));
  ULONG dataBytes = (ULONG)v.Data.size();
  switch (cls) {
    case KeyValueBasicInformation: {
      Record r(offsetof(KEY_VALUE_BASIC_INFORMATION, Name));
      KEY_VALUE_BASIC_INFORMATION h{};
      h.Type = v.Type;
      h.NameLength = nameBytes;
      memcpy(r.Header<UCHAR>(), &h, offsetof(KEY_VALUE_BASIC_INFORMATION, Name));
      r.Append(v.Name);
      return r.Emit(buffer, length, resultLength);
    }
    case KeyValueFullInformation: {
      Record r(offsetof(KEY_VALUE_FULL_INFORMATION, Name));
      r.Append(v.Name);
      r.Align4();
      KEY_VALUE_FULL_INFORMATION h{};
      h.Type = v.Type;
      h.NameLength = nameBytes;
      h.DataLength = dataBytes;
      h.DataOffset = r.Size();
      r.Append(v.Data.data(), v.Data.size());
      memcpy(r.Header<UCHAR>(), &h, offsetof(KEY_VALUE_FULL_INFORMATION, Name));
      return r.Emit(buffer, length, resultLength);
    }
    case KeyValuePartialInformation: {
      Record r(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
      KEY_VALUE_PARTIAL_INFORMATION h{};
      h.Type = v.Type;
      h.DataLength = dataBytes;
      memcpy(r.Header<UCHAR>(), &h, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
      r.Append(v.Data.data(), v.Data.size());
      return r.Emit(buffer, length, resultLength);
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS KeyRecord(const CmpKeyNode &k, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                   PULONG resultLength) {
  ULONG nameBytes = (ULONG)(k.Name.size() * sizeof(char16_t));
  ULONG classBytes = (ULONG)(k.Class.size() * sizeof(char16_t));
  switch (cls) {
    case KeyBasicInformation: {
      Record r(offsetof(KEY_BASIC_INFORMATION, Name));
      KEY_BASIC_INFORMATION h{};
      h.LastWriteTime = k.LastWriteTime;
      h.NameLength = nameBytes;
      memcpy(r.Header<UCHAR>(), &h, offsetof(KEY_BASIC_INFORMATION, Name));
      r.Append(k.Name);
      return r.Emit(buffer, length, resultLength);
    }
    case KeyNodeInformation: {
      Record r(offsetof(KEY_NODE_INFORMATION, Name));
      r.Append(k.Name);
      KEY_NODE_INFORMATION h{};
      h.LastWriteTime = k.LastWriteTime;
      h.NameLength = nameBytes;
      h.ClassLength = classBytes;
      h.ClassOffset = 0xFFFFFFFF;
      if (classBytes) {
        r.Align4();
        h.ClassOffset = r.Append(k.Class);
      }
      memcpy(r.Header<UCHAR>(), &h, offsetof(KEY_NODE_INFORMATION, Name));
      return r.Emit(buffer, length, resultLength);
    }
    case KeyFullInformation: {
      Record r(offsetof(KEY_FULL_INFORMATION, Class));
      KEY_FULL_INFORMATION h{};
      h.LastWriteTime = k.LastWriteTime;
      h.ClassLength = classBytes;
      h.ClassOffset = classBytes ? (ULONG)offsetof(KEY_FULL_INFORMATION, Class) : 0xFFFFFFFF;
      h.SubKeys = (ULONG)k.SubKeys.size();
      for (auto &[upper, sub] : k.SubKeys) {
        (void)upper;
        ULONG n = (ULONG)(sub->Name.size() * sizeof(char16_t));
        ULONG c = (ULONG)(sub->Class.size() * sizeof(char16_t));
        if (n > h.MaxNameLen) h.MaxNameLen = n;
        if (c > h.MaxClassLen) h.MaxClassLen = c;
      }
      h.Values = (ULONG)k.Values.size();
      for (auto &v : k.Values) {
        ULONG n = (ULONG)(v.Name.size() * sizeof(char16_t));
        if (n > h.MaxValueNameLen) h.MaxValueNameLen = n;
        if (v.Data.size() > h.MaxValueDataLen) h.MaxValueDataLen = (ULONG)v.Data.size();
      }
      memcpy(r.Header<UCHAR>(), &h, offsetof(KEY_FULL_INFORMATION, Class));
      r.Append(k.Class);
      return r.Emit(buffer, length, resultLength);
    }
    case KeyNameInformation: {
      Record r(offsetof(KEY_NAME_INFORMATION, Name));
      std::u16string path = CmpFullPath(&k);
      KEY_NAME_INFORMATION h{};
      h.NameLength = (ULONG)(path.size() * sizeof(char16_t));
      memcpy(r.Header<UCHAR>(), &h, offsetof(KEY_NAME_INFORMATION, Name));
      r.Append(path);
      return r.Emit(buffer, length, resultLength);
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

/* Where an open or create lands: the key that exists last on the path, and
 * what is left of the path below it. */
struct Target {
  std::shared_ptr<CmpKeyNode> Parent; /* the key holding the last component */
  std::u16string Last;                /* empty: the path names Parent itself */
};

/* Caller holds CmpLock. Absolute form: no RootDirectory. */
NTSTATUS ResolveTarget(POBJECT_ATTRIBUTES oa, Target *t) {
  if (oa == nullptr) return STATUS_INVALID_PARAMETER;
  if (oa->ObjectName != nullptr && (oa->ObjectName->Length & 1)) return STATUS_OBJECT_NAME_INVALID;
  std::u16string name = FromUnicodeString(oa->ObjectName);
  std::shared_ptr<CmpKeyNode> start;
  if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::vector<std::u16string> parts;
  if (!CmpSplitPath(name.substr(1), &parts) || parts.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (!nt::sys::EqualsNoCase(parts[0], u"Registry")) return STATUS_OBJECT_PATH_NOT_FOUND;
  parts.erase(parts.begin());
  start = CmpRoot();
  if (!start) return STATUS_OBJECT_PATH_NOT_FOUND;
  if (parts.empty()) {
    t->Parent = start;
    t->Last.clear();
    return STATUS_SUCCESS;
  }
  auto parent = CmpWalk(start, parts, parts.size() - 1);
  if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
  t->Parent = parent;
  t->Last = parts.back();
  return STATUS_SUCCESS;
}

/* Caller holds CmpLock. Relative form: Root is the key of RootDirectory. */
NTSTATUS ResolveRelative(const std::shared_ptr<CmpKeyNode> &root, PCUNICODE_STRING objectName, Target *t) {
  if (objectName != nullptr && (objectName->Length & 1)) return STATUS_OBJECT_NAME_INVALID;
  std::u16string name = FromUnicodeString(objectName);
  if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::vector<std::u16string> parts;
  if (!CmpSplitPath(name, &parts)) return STATUS_OBJECT_NAME_INVALID;
  if (parts.empty()) {
    t->Parent = root;
    t->Last.clear();
    return STATUS_SUCCESS;
  }
  auto parent = CmpWalk(root, parts, parts.size() - 1);
  if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
  t->Parent = parent;
  t->Last = parts.back();
  return STATUS_SUCCESS;
}

const size_t kMaxKeyNameChars = 255;
const size_t kMaxValueNameChars = 16383;

NTSTATUS OpenOrCreate(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES oa, bool create,
                      PUNICODE_STRING cls, ULONG createOptions, PULONG disposition) {
  if (keyHandle == nullptr || oa == nullptr) return STATUS_INVALID_PARAMETER;
  *keyHandle = nullptr;
  if (create && (createOptions & ~REG_LEGAL_OPTION)) return STATUS_INVALID_PARAMETER;
  /* Registry links are not kept in this registry. */
  if (createOptions & (REG_OPTION_CREATE_LINK | REG_OPTION_OPEN_LINK)) return STATUS_NOT_IMPLEMENTED;

  std::unique_ptr<KeyRef> root;
  if (oa->RootDirectory != nullptr) {
    root = std::make_unique<KeyRef>(oa->RootDirectory, 0);
    if (!NT_SUCCESS(root->Status())) return root->Status();
  }

  std::shared_ptr<CmpKeyNode> node;
  ULONG how = 0;
  {
    std::lock_guard<std::mutex> lock(CmpLock());
    Target t;
    NTSTATUS status;
    if (root) {
      if (root->Node() == nullptr) return root->Status();
      status = ResolveRelative(root->Shared(), oa->ObjectName, &t);
    } else {
      status = ResolveTarget(oa, &t);
    }
    if (!NT_SUCCESS(status)) return status;
    if (t.Last.empty()) {
      node = t.Parent;
      how = REG_OPENED_EXISTING_KEY;
    } else {
      if (t.Last.size() > kMaxKeyNameChars) return STATUS_INVALID_PARAMETER;
      auto it = t.Parent->SubKeys.find(Upcase(t.Last));
      if (it != t.Parent->SubKeys.end()) {
        node = it->second;
        how = REG_OPENED_EXISTING_KEY;
      } else if (!create) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
      } else {
        bool isVolatile = (createOptions & REG_OPTION_VOLATILE) != 0;
        if (t.Parent->Volatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
        node = CmpAddSubKey(t.Parent, t.Last);
        node->Volatile = isVolatile;
        node->Class = FromUnicodeString(cls);
        how = REG_CREATED_NEW_KEY;
      }
    }
  }
  NTSTATUS status = CmpCreateKeyHandle(node, desiredAccess, keyHandle);
  if (NT_SUCCESS(status) && disposition != nullptr) *disposition = how;
  return status;
}

}  // namespace

NTSTATUS CmpCreateKeyHandle(const std::shared_ptr<CmpKeyNode> &node, ACCESS_MASK access, PHANDLE handle) {
  PVOID object = ObpCreateObject(&g_KeyType, sizeof(CmpKeyBody));
  if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  new (object) CmpKeyBody{node, CmpMapAccess(access)};
  NTSTATUS status = ObpCreateHandle(object, handle);
  ObDereferenceObject(object);
  return status;
}

EXTERN_C NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, Class, CreateOptions, Disposition);
}

EXTERN_C NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr, 0, nullptr);
}

EXTERN_C NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteKey");
  KeyRef key(KeyHandle, DELETE);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  std::lock_guard<std::mutex> lock(CmpLock());
  CmpKeyNode *node = key.Node();
  if (node == nullptr) return key.Status();
  /* The roots of the machine and user trees are not keys one deletes. */
  if (node->Parent == nullptr || node->Parent->Parent == nullptr) return STATUS_CANNOT_DELETE;
  if (!node->SubKeys.empty()) return STATUS_CANNOT_DELETE;
  CmpDeleteTree(key.Shared());
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwFlushKey");
  KeyRef key(KeyHandle, 0);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  std::lock_guard<std::mutex> lock(CmpLock());
  return key.Node() ? STATUS_SUCCESS : key.Status();
}

EXTERN_C NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                             ULONG Length, PULONG ResultLength) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryKey");
  if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
  KeyRef key(KeyHandle, KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  std::lock_guard<std::mutex> lock(CmpLock());
  CmpKeyNode *node = key.Node();
  if (node == nullptr) return key.Status();
  return KeyRecord(*node, KeyInformationClass, KeyInformation, Length, ResultLength);
}

EXTERN_C NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                 PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateKey");
  if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
  if (KeyInformationClass == KeyNameInformation) return STATUS_INVALID_PARAMETER;
  KeyRef key(KeyHandle, KEY_ENUMERATE_SUB_KEYS);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  std::lock_guard<std::mutex> lock(CmpLock());
  CmpKeyNode *node = key.Node();
  if (node == nullptr) return key.Status();
  if (Index >= node->SubKeys.size()) return STATUS_NO_MORE_ENTRIES;
  auto it = node->SubKeys.begin();
  std::advance(it, Index);
  return KeyRecord(*it->second, KeyInformationClass, KeyInformation, Length, ResultLength);
}

EXTERN_C NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                  KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                  ULONG Length, PULONG ResultLength) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
  if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
  if (ValueName != nullptr && (ValueName->Length & 1)) return STATUS_OBJECT_NAME_INVALID;
  KeyRef key(KeyHandle, KEY_QUERY_VALUE);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  std::lock_guard<std::mutex> lock(CmpLock());
  CmpKeyNode *node = key.Node();
  if (node == nullptr) return key.Status();
  const CmpValue *v = node->FindValue(FromUnicodeString(ValueName));
  if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return ValueRecord(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

EXTERN_C NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                      KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                      PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateValueKey");
  if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
  KeyRef key(KeyHandle, KEY_QUERY_VALUE);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  std::lock_guard<std::mutex> lock(CmpLock());
  CmpKeyNode *node = key.Node();
  if (node == nullptr) return key.Status();
  if (Index >= node->Values.size()) return STATUS_NO_MORE_ENTRIES;
  return ValueRecord(node->Values[Index], KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

EXTERN_C NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                PVOID Data, ULONG DataSize) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
  if (ValueName != nullptr && (ValueName->Length & 1)) return STATUS_OBJECT_NAME_INVALID;
  if (Data == nullptr && DataSize != 0) return STATUS_INVALID_PARAMETER;
  std::u16string name = FromUnicodeString(ValueName);
  if (name.size() > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
  KeyRef key(KeyHandle, KEY_SET_VALUE);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  /* Copy before taking the lock: the caller's buffer may fault. */
  std::vector<UCHAR> bytes(static_cast<UCHAR *>(Data), static_cast<UCHAR *>(Data) + DataSize);
  std::lock_guard<std::mutex> lock(CmpLock());
  CmpKeyNode *node = key.Node();
  if (node == nullptr) return key.Status();
  CmpValue *v = node->FindValue(name);
  if (v == nullptr) {
    node->Values.push_back(CmpValue{name, Type, std::move(bytes)});
  } else {
    v->Type = Type;
    v->Data = std::move(bytes);
  }
  CmpTouch(node);
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteValueKey");
  if (ValueName != nullptr && (ValueName->Length & 1)) return STATUS_OBJECT_NAME_INVALID;
  KeyRef key(KeyHandle, KEY_SET_VALUE);
  if (!NT_SUCCESS(key.Status())) return key.Status();
  std::lock_guard<std::mutex> lock(CmpLock());
  CmpKeyNode *node = key.Node();
  if (node == nullptr) return key.Status();
  std::u16string name = FromUnicodeString(ValueName);
  for (auto it = node->Values.begin(); it != node->Values.end(); ++it) {
    if (nt::sys::EqualsNoCase(it->Name, name)) {
      node->Values.erase(it);
      CmpTouch(node);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}
