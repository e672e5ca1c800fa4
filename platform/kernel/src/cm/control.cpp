/*
 * nt::registry: the registry reached by path, for tests and tools.
 */
#include <nt/registry.h>

#include <cstring>

#include "cmp.h"
#include "system/utf.h"

using nt::sys::Utf16ToUtf8;
using nt::sys::Utf8ToUtf16;

namespace nt::registry {
namespace {

std::u16string Normalise(const std::string &path) {
  std::string p = path;
  auto starts = [&](const char *prefix) {
    size_t n = strlen(prefix);
    return p.size() >= n && nt::sys::UpcaseAscii(p.substr(0, n)) == prefix;
  };
  if (starts("HKLM\\")) p = "\\Registry\\Machine\\" + p.substr(5);
  else if (starts("HKU\\")) p = "\\Registry\\User\\" + p.substr(4);
  else if (starts("HKEY_LOCAL_MACHINE\\")) p = "\\Registry\\Machine\\" + p.substr(19);
  return Utf8ToUtf16(p);
}

bool Valid(const std::u16string &path) {
  if (path.empty() || path[0] != u'\\') return false;
  std::vector<std::u16string> parts;
  return CmpSplitPath(path.substr(1), &parts) && !parts.empty() && nt::sys::EqualsNoCase(parts[0], u"Registry");
}

std::u16string Wide(const std::string &s) { return Utf8ToUtf16(s); }

std::string Narrow(const std::vector<uint8_t> &data, size_t from, size_t *next) {
  std::u16string s;
  size_t i = from;
  for (; i + 1 < data.size(); i += 2) {
    char16_t c = char16_t(data[i] | (data[i + 1] << 8));
    if (c == 0) {
      i += 2;
      break;
    }
    s.push_back(c);
  }
  if (next) *next = i;
  return Utf16ToUtf8(s);
}

std::vector<uint8_t> Bytes(const std::u16string &s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(uint8_t(c & 0xFF));
    out.push_back(uint8_t(c >> 8));
  }
  return out;
}

void DumpNode(const CmpKeyNode &n, int depth, std::string *out) {
  out->append(size_t(depth) * 2, ' ');
  *out += Utf16ToUtf8(n.Name) + "\n";
  for (auto &v : n.Values) {
    out->append(size_t(depth) * 2 + 2, ' ');
    *out += "\"" + Utf16ToUtf8(v.Name) + "\" type " + std::to_string(v.Type) + ": ";
    if (v.Type == REG_SZ || v.Type == REG_EXPAND_SZ || v.Type == REG_MULTI_SZ) {
      std::vector<uint8_t> d(v.Data.begin(), v.Data.end());
      size_t at = 0;
      bool first = true;
      while (at + 1 < d.size()) {
        std::string s = Narrow(d, at, &at);
        if (s.empty() && v.Type == REG_MULTI_SZ) break;
        *out += (first ? "" : ", ") + ("\"" + s + "\"");
        first = false;
        if (v.Type != REG_MULTI_SZ) break;
      }
    } else if (v.Type == REG_DWORD && v.Data.size() == 4) {
      ULONG x;
      memcpy(&x, v.Data.data(), 4);
      *out += std::to_string(x);
    } else {
      static const char hex[] = "0123456789abcdef";
      for (uint8_t b : v.Data) {
        out->push_back(hex[b >> 4]);
        out->push_back(hex[b & 15]);
      }
    }
    *out += "\n";
  }
  for (auto &[upper, sub] : n.SubKeys) {
    (void)upper;
    DumpNode(*sub, depth + 1, out);
  }
}

}  // namespace

NTSTATUS CreateKey(const std::string &Path) {
  auto p = Normalise(Path);
  if (!Valid(p)) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::lock_guard<std::mutex> lock(CmpLock());
  return CmpCreatePath(p) ? STATUS_SUCCESS : STATUS_OBJECT_PATH_SYNTAX_BAD;
}

bool KeyExists(const std::string &Path) {
  std::lock_guard<std::mutex> lock(CmpLock());
  return CmpLookupAbsolute(Normalise(Path)) != nullptr;
}

NTSTATUS DeleteKey(const std::string &Path) {
  std::lock_guard<std::mutex> lock(CmpLock());
  auto node = CmpLookupAbsolute(Normalise(Path));
  if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (node->Parent == nullptr) return STATUS_CANNOT_DELETE;
  CmpDeleteTree(node);
  return STATUS_SUCCESS;
}

std::vector<std::string> SubKeys(const std::string &Path) {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> lock(CmpLock());
  auto node = CmpLookupAbsolute(Normalise(Path));
  if (node)
    for (auto &[upper, sub] : node->SubKeys) {
      (void)upper;
      out.push_back(Utf16ToUtf8(sub->Name));
    }
  return out;
}

std::vector<std::string> ValueNames(const std::string &Path) {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> lock(CmpLock());
  auto node = CmpLookupAbsolute(Normalise(Path));
  if (node)
    for (auto &v : node->Values) out.push_back(Utf16ToUtf8(v.Name));
  return out;
}

NTSTATUS SetValue(const std::string &Path, const std::string &Name, ULONG Type, const void *Data, size_t Size) {
  if (Data == nullptr && Size != 0) return STATUS_INVALID_PARAMETER;
  auto p = Normalise(Path);
  if (!Valid(p)) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::lock_guard<std::mutex> lock(CmpLock());
  auto node = CmpCreatePath(p);
  if (!node) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::u16string name = Wide(Name);
  const UCHAR *b = static_cast<const UCHAR *>(Data);
  std::vector<UCHAR> bytes(b, b + Size);
  CmpValue *v = node->FindValue(name);
  if (v == nullptr) {
    node->Values.push_back(CmpValue{name, Type, std::move(bytes)});
  } else {
    v->Type = Type;
    v->Data = std::move(bytes);
  }
  CmpTouch(node.get());
  return STATUS_SUCCESS;
}

NTSTATUS SetString(const std::string &Path, const std::string &Name, const std::string &Text, ULONG Type) {
  auto bytes = Bytes(Wide(Text) + u'\0');
  return SetValue(Path, Name, Type, bytes.data(), bytes.size());
}

NTSTATUS SetDword(const std::string &Path, const std::string &Name, ULONG Number) {
  return SetValue(Path, Name, REG_DWORD, &Number, sizeof Number);
}

NTSTATUS SetMultiString(const std::string &Path, const std::string &Name, const std::vector<std::string> &Texts) {
  std::u16string all;
  for (auto &t : Texts) {
    all += Wide(t);
    all += u'\0';
  }
  all += u'\0';
  auto bytes = Bytes(all);
  return SetValue(Path, Name, REG_MULTI_SZ, bytes.data(), bytes.size());
}

NTSTATUS SetBinary(const std::string &Path, const std::string &Name, const std::vector<uint8_t> &Data) {
  return SetValue(Path, Name, REG_BINARY, Data.data(), Data.size());
}

NTSTATUS DeleteValue(const std::string &Path, const std::string &Name) {
  std::lock_guard<std::mutex> lock(CmpLock());
  auto node = CmpLookupAbsolute(Normalise(Path));
  if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string name = Wide(Name);
  for (auto it = node->Values.begin(); it != node->Values.end(); ++it)
    if (nt::sys::EqualsNoCase(it->Name, name)) {
      node->Values.erase(it);
      CmpTouch(node.get());
      return STATUS_SUCCESS;
    }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::optional<Value> GetValue(const std::string &Path, const std::string &Name) {
  std::lock_guard<std::mutex> lock(CmpLock());
  auto node = CmpLookupAbsolute(Normalise(Path));
  if (!node) return std::nullopt;
  const CmpValue *v = node->FindValue(Wide(Name));
  if (!v) return std::nullopt;
  return Value{v->Type, std::vector<uint8_t>(v->Data.begin(), v->Data.end())};
}

std::optional<std::string> GetString(const std::string &Path, const std::string &Name) {
  auto v = GetValue(Path, Name);
  if (!v || (v->Type != REG_SZ && v->Type != REG_EXPAND_SZ)) return std::nullopt;
  return Narrow(v->Data, 0, nullptr);
}

std::optional<ULONG> GetDword(const std::string &Path, const std::string &Name) {
  auto v = GetValue(Path, Name);
  if (!v || v->Type != REG_DWORD || v->Data.size() != 4) return std::nullopt;
  ULONG x;
  memcpy(&x, v->Data.data(), 4);
  return x;
}

std::optional<std::vector<std::string>> GetMultiString(const std::string &Path, const std::string &Name) {
  auto v = GetValue(Path, Name);
  if (!v || v->Type != REG_MULTI_SZ) return std::nullopt;
  std::vector<std::string> out;
  size_t at = 0;
  while (at + 1 < v->Data.size()) {
    size_t next;
    std::string s = Narrow(v->Data, at, &next);
    if (s.empty()) break;
    out.push_back(s);
    at = next;
  }
  return out;
}

std::string Dump(const std::string &Path) {
  std::string out;
  std::lock_guard<std::mutex> lock(CmpLock());
  auto node = CmpLookupAbsolute(Normalise(Path));
  if (node) DumpNode(*node, 0, &out);
  return out;
}

}  // namespace nt::registry
