/*
 * The registry tree and the keys a Windows machine has at boot.
 */
#include <chrono>

#include "cmp.h"
#include "ki.h"
#include "system/utf.h"

using nt::sys::EqualsNoCase;
using nt::sys::Upcase;

namespace {
std::mutex g_Lock;
std::shared_ptr<CmpKeyNode> g_Root; /* guarded by g_Lock */
CmpBootLayout g_Layout;             /* read at CmpInitialize */

LARGE_INTEGER Now() {
  /* 100 ns units since 1601-01-01 UTC. */
  using namespace std::chrono;
  const LONGLONG epochDelta = 116444736000000000LL;
  LARGE_INTEGER t;
  t.QuadPart = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100 + epochDelta;
  return t;
}
}  // namespace

CmpValue *CmpKeyNode::FindValue(const std::u16string &name) {
  for (auto &v : Values)
    if (EqualsNoCase(v.Name, name)) return &v;
  return nullptr;
}

std::mutex &CmpLock() { return g_Lock; }
std::shared_ptr<CmpKeyNode> CmpRoot() { return g_Root; }

void CmpTouch(CmpKeyNode *node) { node->LastWriteTime = Now(); }

bool CmpSplitPath(const std::u16string &path, std::vector<std::u16string> *parts) {
  parts->clear();
  size_t i = 0;
  std::u16string p = path;
  if (!p.empty() && p.back() == u'\\') p.pop_back();
  if (p.empty()) return true;
  while (true) {
    size_t j = p.find(u'\\', i);
    std::u16string part = p.substr(i, j == std::u16string::npos ? std::u16string::npos : j - i);
    if (part.empty()) return false;
    parts->push_back(part);
    if (j == std::u16string::npos) break;
    i = j + 1;
  }
  return true;
}

std::shared_ptr<CmpKeyNode> CmpWalk(std::shared_ptr<CmpKeyNode> node, const std::vector<std::u16string> &parts,
                                    size_t count) {
  for (size_t i = 0; i < count && node; ++i) {
    auto it = node->SubKeys.find(Upcase(parts[i]));
    node = it == node->SubKeys.end() ? nullptr : it->second;
  }
  return node;
}

std::shared_ptr<CmpKeyNode> CmpLookupAbsolute(const std::u16string &path) {
  if (path.empty() || path[0] != u'\\' || !g_Root) return nullptr;
  std::vector<std::u16string> parts;
  if (!CmpSplitPath(path.substr(1), &parts) || parts.empty()) return nullptr;
  if (!EqualsNoCase(parts[0], u"Registry")) return nullptr;
  parts.erase(parts.begin());
  return CmpWalk(g_Root, parts, parts.size());
}

std::shared_ptr<CmpKeyNode> CmpAddSubKey(const std::shared_ptr<CmpKeyNode> &parent, const std::u16string &name) {
  auto node = std::make_shared<CmpKeyNode>();
  node->Name = name;
  node->Parent = parent.get();
  node->Volatile = parent->Volatile;
  CmpTouch(node.get());
  parent->SubKeys[Upcase(name)] = node;
  CmpTouch(parent.get());
  return node;
}

std::shared_ptr<CmpKeyNode> CmpCreatePath(const std::u16string &path) {
  if (path.empty() || path[0] != u'\\' || !g_Root) return nullptr;
  std::vector<std::u16string> parts;
  if (!CmpSplitPath(path.substr(1), &parts) || parts.empty()) return nullptr;
  if (!EqualsNoCase(parts[0], u"Registry")) return nullptr;
  auto node = g_Root;
  for (size_t i = 1; i < parts.size(); ++i) {
    auto it = node->SubKeys.find(Upcase(parts[i]));
    node = it != node->SubKeys.end() ? it->second : CmpAddSubKey(node, parts[i]);
  }
  return node;
}

void CmpDeleteTree(const std::shared_ptr<CmpKeyNode> &node) {
  for (auto &[name, sub] : node->SubKeys) {
    (void)name;
    sub->Parent = nullptr;
    CmpDeleteTree(sub);
  }
  node->SubKeys.clear();
  node->Deleted = true;
  if (node->Parent) {
    node->Parent->SubKeys.erase(Upcase(node->Name));
    CmpTouch(node->Parent);
    node->Parent = nullptr;
  }
}

std::u16string CmpFullPath(const CmpKeyNode *node) {
  std::vector<const CmpKeyNode *> chain;
  for (; node; node = node->Parent) chain.push_back(node);
  std::u16string out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    out += u'\\';
    out += (*it)->Name;
  }
  return out;
}

ACCESS_MASK CmpMapAccess(ACCESS_MASK access) {
  ACCESS_MASK out = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (access & (GENERIC_READ | GENERIC_EXECUTE)) out |= KEY_READ;
  if (access & GENERIC_WRITE) out |= KEY_WRITE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) out |= KEY_ALL_ACCESS;
  return out;
}

void CmpSetBootLayout(const CmpBootLayout &layout) { g_Layout = layout; }

void CmpInitialize() {
  std::lock_guard<std::mutex> lock(g_Lock);
  g_Root = std::make_shared<CmpKeyNode>();
  g_Root->Name = u"REGISTRY";
  CmpTouch(g_Root.get());
  const char16_t *keys[] = {
      /* the spelling of the first creation is the one names report */
      u"\\Registry\\MACHINE\\HARDWARE",
      u"\\Registry\\MACHINE\\SOFTWARE",
      u"\\Registry\\MACHINE\\SYSTEM",
      u"\\Registry\\USER",
      u"\\Registry\\Machine\\Hardware\\DeviceMap\\SerialComm",
      u"\\Registry\\Machine\\Hardware\\Description\\System",
      u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
      CMP_CONTROL_PATH,
      CMP_SERVICES_PATH,
      CMP_ENUM_PATH,
      u"\\Registry\\User",
  };
  for (auto k : keys) CmpCreatePath(k);
  if (g_Layout.ControlClass) CmpCreatePath(CMP_CLASS_PATH);
  if (g_Layout.ServicesClass) CmpCreatePath(CMP_SERVICES_PATH u"\\Class");
}

void CmpShutdown() {
  std::lock_guard<std::mutex> lock(g_Lock);
  if (g_Root) CmpDeleteTree(g_Root);
  g_Root.reset();
  g_Layout = CmpBootLayout{};
}
