/*
 * Control API of the registry, for tests and tools: seed and read keys and
 * values without handles. Paths are UTF-8 and absolute ("\Registry\Machine\
 * System\CurrentControlSet\Services\X"); "HKLM\" stands for
 * "\Registry\Machine\" and "HKU\" for "\Registry\User\". Names do not depend
 * on case. Callable from any thread at any time while the system is up.
 */
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nt::registry {

/* The keys every component knows by name. */
inline constexpr const char *kCurrentControlSet = "\\Registry\\Machine\\System\\CurrentControlSet";
inline constexpr const char *kServices = "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
inline constexpr const char *kControlClass = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
inline constexpr const char *kEnum = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

struct Value {
  ULONG Type = REG_NONE;
  std::vector<uint8_t> Data; /* as stored */
};

/* Creates the key and any missing key above it. STATUS_OBJECT_PATH_SYNTAX_BAD
 * for a path outside \Registry or with an empty component. */
NTSTATUS CreateKey(const std::string &Path);
bool KeyExists(const std::string &Path);
/* Deletes the key with everything below it. */
NTSTATUS DeleteKey(const std::string &Path);
std::vector<std::string> SubKeys(const std::string &Path);    /* names, in enumeration order */
std::vector<std::string> ValueNames(const std::string &Path); /* in the order first set */

/* The Set functions create the key when it is missing. */
NTSTATUS SetValue(const std::string &Path, const std::string &Name, ULONG Type, const void *Data, size_t Size);
/* Stored as UTF-16 with its terminating NUL, as Windows stores REG_SZ. */
NTSTATUS SetString(const std::string &Path, const std::string &Name, const std::string &Text, ULONG Type = REG_SZ);
NTSTATUS SetDword(const std::string &Path, const std::string &Name, ULONG Number);
/* Each string NUL-terminated, then one more NUL. */
NTSTATUS SetMultiString(const std::string &Path, const std::string &Name, const std::vector<std::string> &Texts);
NTSTATUS SetBinary(const std::string &Path, const std::string &Name, const std::vector<uint8_t> &Bytes);
NTSTATUS DeleteValue(const std::string &Path, const std::string &Name);

std::optional<Value> GetValue(const std::string &Path, const std::string &Name);
/* REG_SZ or REG_EXPAND_SZ, up to the first NUL; nullopt for other types. */
std::optional<std::string> GetString(const std::string &Path, const std::string &Name);
std::optional<ULONG> GetDword(const std::string &Path, const std::string &Name);
std::optional<std::vector<std::string>> GetMultiString(const std::string &Path, const std::string &Name);

/* The registry below Path as indented text, for diagnostics. */
std::string Dump(const std::string &Path = "\\Registry");

}  // namespace nt::registry
