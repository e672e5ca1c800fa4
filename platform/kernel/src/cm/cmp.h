/*
 * The registry: one in-memory tree of keys under \Registry, guarded by one
 * lock. Kernel callers reach it through key objects (one per open, holding
 * the access granted), the control API through paths.
 */
#pragma once

#include <ntddk.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct CmpValue {
  std::u16string Name; /* as set: case kept, compared without case */
  ULONG Type = REG_NONE;
  std::vector<UCHAR> Data;
};

struct CmpKeyNode {
  std::u16string Name;         /* last path component, case kept */
  std::u16string Class;        /* from ZwCreateKey */
  CmpKeyNode *Parent = nullptr; /* NULL for \Registry and for deleted keys */
  bool Deleted = false;
  bool Volatile = false;
  LARGE_INTEGER LastWriteTime{};
  /* Keyed by the upper-cased name, so enumeration runs in name order. */
  std::map<std::u16string, std::shared_ptr<CmpKeyNode>> SubKeys;
  /* In the order they were first set. */
  std::vector<CmpValue> Values;

  CmpValue *FindValue(const std::u16string &name);
};

/* The body of a key object. */
struct CmpKeyBody {
  std::shared_ptr<CmpKeyNode> Node;
  ACCESS_MASK GrantedAccess;
};

/* Guards the whole tree and every CmpKeyBody's Node. */
std::mutex &CmpLock();
/* \Registry; valid between CmpInitialize and CmpShutdown. Caller holds CmpLock. */
std::shared_ptr<CmpKeyNode> CmpRoot();

/* Splits a path at backslashes. Returns FALSE for an empty component
 * (a doubled backslash). A single trailing backslash is allowed. */
bool CmpSplitPath(const std::u16string &path, std::vector<std::u16string> *parts);

/* Walks from Start along Parts. Caller holds CmpLock. NULL if a key is missing. */
std::shared_ptr<CmpKeyNode> CmpWalk(std::shared_ptr<CmpKeyNode> start, const std::vector<std::u16string> &parts,
                                    size_t count);

/* Finds an absolute path ("\Registry\..."). Caller holds CmpLock. */
std::shared_ptr<CmpKeyNode> CmpLookupAbsolute(const std::u16string &path);

/* Creates the key and every missing key on the way. Caller holds CmpLock.
 * NULL if the path is not a registry path. */
std::shared_ptr<CmpKeyNode> CmpCreatePath(const std::u16string &path);

/* Adds one subkey. Caller holds CmpLock. */
std::shared_ptr<CmpKeyNode> CmpAddSubKey(const std::shared_ptr<CmpKeyNode> &parent, const std::u16string &name);

/* Removes a key and everything below it from the tree. Caller holds CmpLock. */
void CmpDeleteTree(const std::shared_ptr<CmpKeyNode> &node);

/* The full path of a key ("\Registry\Machine\..."). Caller holds CmpLock. */
std::u16string CmpFullPath(const CmpKeyNode *node);

void CmpTouch(CmpKeyNode *node);

/* Opens a key object for Node and returns a kernel handle to it. */
NTSTATUS CmpCreateKeyHandle(const std::shared_ptr<CmpKeyNode> &node, ACCESS_MASK access, PHANDLE handle);

/* Access masks as a key grants them (generic rights mapped). */
ACCESS_MASK CmpMapAccess(ACCESS_MASK access);

/* The registry paths every component uses. */
#define CMP_MACHINE_SYSTEM u"\\Registry\\Machine\\System\\CurrentControlSet"
#define CMP_CONTROL_PATH CMP_MACHINE_SYSTEM u"\\Control"
#define CMP_CLASS_PATH CMP_MACHINE_SYSTEM u"\\Control\\Class"
#define CMP_SERVICES_PATH CMP_MACHINE_SYSTEM u"\\Services"
#define CMP_ENUM_PATH CMP_MACHINE_SYSTEM u"\\Enum"

/* Which keys of the platform family CmpInitialize builds; set by nt::Boot. */
struct CmpBootLayout {
  bool ControlClass = true;
  bool ServicesClass = false;
};
void CmpSetBootLayout(const CmpBootLayout &layout);
