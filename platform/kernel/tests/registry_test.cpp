#include <gtest/gtest.h>
#include <ntddk.h>
#include <nt/registry.h>
#include <nt/system.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace reg = nt::registry;

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(nt::Boot(), STATUS_SUCCESS); }
  void TearDown() override {
    for (HANDLE h : m_Handles) ZwClose(h);
    nt::Shutdown();
  }

  /* Opens (or with Create, creates) a key; the fixture closes it. */
  NTSTATUS Open(PCWSTR path, HANDLE *out, ACCESS_MASK access = KEY_ALL_ACCESS, HANDLE root = nullptr,
                bool create = false, ULONG *disposition = nullptr, ULONG options = 0) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    NTSTATUS s = create ? ZwCreateKey(out, access, &oa, 0, nullptr, options, disposition)
                        : ZwOpenKey(out, access, &oa);
    if (NT_SUCCESS(s)) m_Handles.push_back(*out);
    return s;
  }
  void Forget(HANDLE h) { std::erase(m_Handles, h); }

  std::vector<HANDLE> m_Handles;
};

NTSTATUS SetValue(HANDLE key, PCWSTR name, ULONG type, const void *data, ULONG size) {
  UNICODE_STRING n;
  RtlInitUnicodeString(&n, name);
  return ZwSetValueKey(key, &n, 0, type, const_cast<void *>(data), size);
}

NTSTATUS QueryValue(HANDLE key, PCWSTR name, KEY_VALUE_INFORMATION_CLASS cls, void *buffer, ULONG length,
                    ULONG *result) {
  UNICODE_STRING n;
  RtlInitUnicodeString(&n, name);
  return ZwQueryValueKey(key, &n, cls, buffer, length, result);
}

TEST_F(Registry, MachineKeysExistAtBootWhateverTheCase) {
  HANDLE h;
  for (PCWSTR path : {L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class",
                      L"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
                      L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum", L"\\Registry\\User",
                      L"\\REGISTRY\\MACHINE\\system\\currentcontrolset\\CONTROL\\class"}) {
    EXPECT_EQ(Open(path, &h, KEY_READ), STATUS_SUCCESS);
  }
  EXPECT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class", &h, KEY_READ),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

struct LayoutCase {
  const char *Name;
  bool ControlClass, ServicesClass;
};

class RegistryLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(RegistryLayout, BootBuildsTheFamilysClassKeys) {
  const auto &c = GetParam();
  nt::BootOptions options;
  options.ControlClassKey = c.ControlClass;
  options.ServicesClassKey = c.ServicesClass;
  ASSERT_EQ(nt::Boot(options), STATUS_SUCCESS);
  EXPECT_EQ(reg::KeyExists(reg::kControlClass), c.ControlClass);
  EXPECT_EQ(reg::KeyExists(std::string(reg::kServices) + "\\Class"), c.ServicesClass);
  EXPECT_TRUE(reg::KeyExists(reg::kServices));
  EXPECT_TRUE(reg::KeyExists(reg::kEnum));
  nt::Shutdown();
  /* the next boot starts from the default layout again */
  ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  EXPECT_TRUE(reg::KeyExists(reg::kControlClass));
  EXPECT_FALSE(reg::KeyExists(std::string(reg::kServices) + "\\Class"));
  nt::Shutdown();
}

INSTANTIATE_TEST_SUITE_P(Families, RegistryLayout,
                         ::testing::Values(LayoutCase{"Nt", true, false}, LayoutCase{"OnlyServicesClass", false, true},
                                           LayoutCase{"Neither", false, false}, LayoutCase{"Both", true, true}),
                         [](const auto &info) { return std::string(info.param.Name); });

/* "COM3" with its NUL: 10 bytes of data under an 8-character name. */
struct OverflowCase {
  KEY_VALUE_INFORMATION_CLASS Class;
  ULONG Length;
  NTSTATUS Status;
  ULONG ResultLength;
  bool HeaderFilled;
};

class RegistryOverflow : public Registry, public ::testing::WithParamInterface<OverflowCase> {};

TEST_P(RegistryOverflow, QueryValueFollowsTheOverflowRules) {
  const auto &c = GetParam();
  HANDLE key;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Probe", &key, KEY_ALL_ACCESS, nullptr,
                 true),
            STATUS_SUCCESS);
  static const WCHAR com3[] = L"COM3";
  ASSERT_EQ(SetValue(key, L"PortName", REG_SZ, com3, sizeof com3), STATUS_SUCCESS);

  std::vector<UCHAR> buffer(c.Length + 8, 0xCC);
  ULONG result = 0xDEAD;
  EXPECT_EQ(QueryValue(key, L"PortName", c.Class, buffer.data(), c.Length, &result), c.Status);
  EXPECT_EQ(result, c.ResultLength);
  /* nothing beyond Length is ever written */
  for (size_t i = c.Length; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xCC) << i;
  if (!c.HeaderFilled) {
    for (ULONG i = 0; i < c.Length; ++i) ASSERT_EQ(buffer[i], 0xCC) << i;
    return;
  }
  switch (c.Class) {
    case KeyValuePartialInformation: {
      auto *p = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer.data());
      EXPECT_EQ(p->Type, (ULONG)REG_SZ);
      EXPECT_EQ(p->DataLength, 10u);
      if (c.Status == STATUS_SUCCESS) EXPECT_EQ(memcmp(p->Data, com3, 10), 0);
      break;
    }
    case KeyValueBasicInformation: {
      auto *p = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION *>(buffer.data());
      EXPECT_EQ(p->Type, (ULONG)REG_SZ);
      EXPECT_EQ(p->NameLength, 16u);
      if (c.Status == STATUS_SUCCESS) EXPECT_EQ(memcmp(p->Name, L"PortName", 16), 0);
      break;
    }
    case KeyValueFullInformation: {
      auto *p = reinterpret_cast<KEY_VALUE_FULL_INFORMATION *>(buffer.data());
      EXPECT_EQ(p->Type, (ULONG)REG_SZ);
      EXPECT_EQ(p->NameLength, 16u);
      EXPECT_EQ(p->DataLength, 10u);
      EXPECT_EQ(p->DataOffset, 36u); /* 20 + 16, already ULONG-aligned */
      if (c.Status == STATUS_SUCCESS) EXPECT_EQ(memcmp(buffer.data() + p->DataOffset, com3, 10), 0);
      break;
    }
    default:
      FAIL();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RegistryOverflow,
    ::testing::Values(
        /* partial: 12-byte header, 22 in all */
        OverflowCase{KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL, 22, false},
        OverflowCase{KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL, 22, false},
        OverflowCase{KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW, 22, true},
        OverflowCase{KeyValuePartialInformation, 21, STATUS_BUFFER_OVERFLOW, 22, true},
        OverflowCase{KeyValuePartialInformation, 22, STATUS_SUCCESS, 22, true},
        OverflowCase{KeyValuePartialInformation, 64, STATUS_SUCCESS, 22, true},
        /* basic: 12-byte header and the name, 28 in all */
        OverflowCase{KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL, 28, false},
        OverflowCase{KeyValueBasicInformation, 12, STATUS_BUFFER_OVERFLOW, 28, true},
        OverflowCase{KeyValueBasicInformation, 28, STATUS_SUCCESS, 28, true},
        /* full: 20-byte header, name, data at 36, 46 in all */
        OverflowCase{KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 46, false},
        OverflowCase{KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, 46, true},
        OverflowCase{KeyValueFullInformation, 45, STATUS_BUFFER_OVERFLOW, 46, true},
        OverflowCase{KeyValueFullInformation, 46, STATUS_SUCCESS, 46, true}));

TEST_F(Registry, MissingValuesAndKeysAreNotFound) {
  HANDLE key;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services", &key), STATUS_SUCCESS);
  UCHAR buffer[64];
  ULONG result = 0;
  EXPECT_EQ(QueryValue(key, L"Nothing", KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(QueryValue(key, L"Nothing", KeyValuePartialInformation, buffer, 0, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  HANDLE h;
  EXPECT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nothing", &h),
            STATUS_OBJECT_NAME_NOT_FOUND);
  /* ZwCreateKey does not create the keys above the one asked for */
  EXPECT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\A\\B", &h, KEY_ALL_ACCESS, nullptr, true),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(reg::KeyExists(std::string(reg::kServices) + "\\A"));
}

TEST_F(Registry, ValueNamesAndKeyNamesIgnoreCase) {
  HANDLE key;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Mixed", &key, KEY_ALL_ACCESS, nullptr,
                 true),
            STATUS_SUCCESS);
  ULONG one = 1, two = 2;
  ASSERT_EQ(SetValue(key, L"Start", REG_DWORD, &one, 4), STATUS_SUCCESS);
  /* the same value under another spelling: replaced, not added */
  ASSERT_EQ(SetValue(key, L"START", REG_DWORD, &two, 4), STATUS_SUCCESS);
  EXPECT_EQ(reg::ValueNames(std::string(reg::kServices) + "\\mixed"), std::vector<std::string>{"Start"});
  EXPECT_EQ(reg::GetDword("hklm\\SYSTEM\\CurrentControlSet\\Services\\MIXED", "start"), 2u);

  HANDLE again;
  ULONG disposition = 0;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\MIXED", &again, KEY_ALL_ACCESS, nullptr,
                 true, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(reg::SubKeys(reg::kServices), std::vector<std::string>{"Mixed"});
}

TEST_F(Registry, RelativeOpensStartAtTheRootKey) {
  HANDLE services;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services", &services), STATUS_SUCCESS);
  HANDLE sub;
  ULONG disposition = 0;
  ASSERT_EQ(Open(L"Serial", &sub, KEY_ALL_ACCESS, services, true, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
  HANDLE deeper;
  ASSERT_EQ(Open(L"Parameters", &deeper, KEY_ALL_ACCESS, sub, true, &disposition), STATUS_SUCCESS);
  EXPECT_TRUE(reg::KeyExists(std::string(reg::kServices) + "\\Serial\\Parameters"));
  HANDLE same;
  EXPECT_EQ(Open(L"serial\\PARAMETERS", &same, KEY_READ, services), STATUS_SUCCESS);
  /* an empty name opens the root key itself again */
  HANDLE self;
  EXPECT_EQ(Open(L"", &self, KEY_READ, sub), STATUS_SUCCESS);

  /* a volatile key holds only volatile keys */
  HANDLE vol, child;
  ASSERT_EQ(Open(L"Volatile", &vol, KEY_ALL_ACCESS, services, true, nullptr, REG_OPTION_VOLATILE), STATUS_SUCCESS);
  EXPECT_EQ(Open(L"Lasting", &child, KEY_ALL_ACCESS, vol, true), (NTSTATUS)0xC0000181L /* CHILD_MUST_BE_VOLATILE */);
  EXPECT_EQ(Open(L"Passing", &child, KEY_ALL_ACCESS, vol, true, nullptr, REG_OPTION_VOLATILE), STATUS_SUCCESS);
  EXPECT_EQ(Open(L"Odd", &child, KEY_ALL_ACCESS, services, true, nullptr, 0x100), STATUS_INVALID_PARAMETER);

  HANDLE bad;
  EXPECT_EQ(Open(L"\\Serial", &bad, KEY_READ, services), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(Open(L"Serial", &bad, KEY_READ), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(Open(L"Serial\\\\Parameters", &bad, KEY_READ, services), STATUS_OBJECT_NAME_INVALID);
}

struct TypeCase {
  const char *Name;
  ULONG Type;
  std::vector<uint8_t> Bytes;
};

class RegistryTypes : public Registry, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(RegistryTypes, DataIsStoredAsBytes) {
  const auto &c = GetParam();
  HANDLE key;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Types", &key, KEY_ALL_ACCESS, nullptr,
                 true),
            STATUS_SUCCESS);
  ASSERT_EQ(SetValue(key, L"V", c.Type, c.Bytes.data(), (ULONG)c.Bytes.size()), STATUS_SUCCESS);
  auto v = reg::GetValue(std::string(reg::kServices) + "\\Types", "V");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->Type, c.Type);
  EXPECT_EQ(v->Data, c.Bytes);

  /* and what the control API writes, the kernel reads back */
  ASSERT_EQ(reg::SetValue(std::string(reg::kServices) + "\\Types", "W", c.Type, c.Bytes.data(), c.Bytes.size()),
            STATUS_SUCCESS);
  std::vector<UCHAR> buffer(12 + c.Bytes.size());
  ULONG result = 0;
  ASSERT_EQ(QueryValue(key, L"W", KeyValuePartialInformation, buffer.data(), (ULONG)buffer.size(), &result),
            STATUS_SUCCESS);
  auto *p = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer.data());
  EXPECT_EQ(p->Type, c.Type);
  EXPECT_EQ(std::vector<uint8_t>(p->Data, p->Data + p->DataLength), c.Bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RegistryTypes,
    ::testing::Values(TypeCase{"Sz", REG_SZ, {'C', 0, 'O', 0, 'M', 0, '5', 0, 0, 0}},
                      TypeCase{"ExpandSz", REG_EXPAND_SZ, {'%', 0, 'X', 0, '%', 0, 0, 0}},
                      TypeCase{"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
                      TypeCase{"Binary", REG_BINARY, {0, 1, 2, 0xFF}}, TypeCase{"Empty", REG_BINARY, {}},
                      TypeCase{"MultiSz", REG_MULTI_SZ, {'A', 0, 0, 0, 'B', 0, 0, 0, 0, 0}}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST_F(Registry, ControlApiStringsRoundTrip) {
  std::string path = "HKLM\\System\\CurrentControlSet\\Enum\\X\\Y\\0\\Device Parameters";
  ASSERT_EQ(reg::SetString(path, "PortName", "COM5"), STATUS_SUCCESS);
  auto v = reg::GetValue(path, "PortName");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->Type, (ULONG)REG_SZ);
  EXPECT_EQ(v->Data, (std::vector<uint8_t>{'C', 0, 'O', 0, 'M', 0, '5', 0, 0, 0}));
  EXPECT_EQ(reg::GetString(path, "portname"), "COM5");
  ASSERT_EQ(reg::SetMultiString(path, "HardwareID", {"A\\B", "C"}), STATUS_SUCCESS);
  EXPECT_EQ(reg::GetMultiString(path, "HardwareID"), (std::vector<std::string>{"A\\B", "C"}));
  EXPECT_EQ(reg::GetString(path, "HardwareID"), std::nullopt);
  EXPECT_EQ(reg::SetString("\\Device\\Nope", "X", "Y"), STATUS_OBJECT_PATH_SYNTAX_BAD);
}

TEST_F(Registry, HandlesGrantOnlyTheAccessAskedFor) {
  HANDLE readOnly;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services", &readOnly, KEY_READ), STATUS_SUCCESS);
  ULONG one = 1;
  EXPECT_EQ(SetValue(readOnly, L"X", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ZwDeleteKey(readOnly), STATUS_ACCESS_DENIED);
  HANDLE writeOnly;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services", &writeOnly, KEY_SET_VALUE),
            STATUS_SUCCESS);
  ASSERT_EQ(SetValue(writeOnly, L"X", REG_DWORD, &one, 4), STATUS_SUCCESS);
  UCHAR buffer[32];
  ULONG result;
  EXPECT_EQ(QueryValue(writeOnly, L"X", KeyValuePartialInformation, buffer, sizeof buffer, &result),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(QueryValue(readOnly, L"X", KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
}

TEST_F(Registry, DeletedKeyAnswersOnlyClose) {
  HANDLE parent, child;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Doomed", &parent, KEY_ALL_ACCESS,
                 nullptr, true),
            STATUS_SUCCESS);
  ASSERT_EQ(Open(L"Child", &child, KEY_ALL_ACCESS, parent, true), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);
  ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
  ULONG one = 1;
  EXPECT_EQ(SetValue(child, L"X", REG_DWORD, &one, 4), STATUS_KEY_DELETED);
  HANDLE h;
  EXPECT_EQ(Open(L"Child", &h, KEY_ALL_ACCESS, child), STATUS_KEY_DELETED);
  ASSERT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
  EXPECT_FALSE(reg::KeyExists(std::string(reg::kServices) + "\\Doomed"));
  EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
  Forget(child);
  EXPECT_EQ(ZwFlushKey(parent), STATUS_KEY_DELETED);
}

TEST_F(Registry, EnumerationOrderAndEnd) {
  HANDLE key;
  ASSERT_EQ(Open(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Enumerated", &key, KEY_ALL_ACCESS,
                 nullptr, true),
            STATUS_SUCCESS);
  HANDLE sub;
  for (PCWSTR name : {L"beta", L"Alpha", L"GAMMA"}) ASSERT_EQ(Open(name, &sub, KEY_READ, key, true), STATUS_SUCCESS);
  ULONG one = 1;
  for (PCWSTR name : {L"z", L"a", L"m"}) ASSERT_EQ(SetValue(key, name, REG_DWORD, &one, 4), STATUS_SUCCESS);

  std::vector<std::u16string> keys, values;
  UCHAR buffer[256];
  ULONG result;
  for (ULONG i = 0;; ++i) {
    NTSTATUS s = ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof buffer, &result);
    if (s == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(s, STATUS_SUCCESS);
    auto *b = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
    keys.emplace_back(reinterpret_cast<const char16_t *>(b->Name), b->NameLength / 2);
  }
  for (ULONG i = 0;; ++i) {
    NTSTATUS s = ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof buffer, &result);
    if (s == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(s, STATUS_SUCCESS);
    auto *b = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION *>(buffer);
    values.emplace_back(reinterpret_cast<const char16_t *>(b->Name), b->NameLength / 2);
  }
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"Alpha", u"beta", u"GAMMA"}));
  EXPECT_EQ(values, (std::vector<std::u16string>{u"z", u"a", u"m"}));

  auto *full = reinterpret_cast<KEY_FULL_INFORMATION *>(buffer);
  ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  EXPECT_EQ(full->SubKeys, 3u);
  EXPECT_EQ(full->Values, 3u);
  EXPECT_EQ(full->MaxNameLen, 10u);
  EXPECT_EQ(full->MaxValueDataLen, 4u);
  EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, 4, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 16u + 10u);
}

TEST_F(Registry, ConcurrentWritersAndReadersKeepTheTreeWhole) {
  constexpr int kThreads = 4, kKeys = 50;
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!stop.load()) {
      (void)reg::SubKeys(reg::kServices);
      reads.fetch_add(1);
    }
  });
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([&, t] {
      HANDLE services;
      UNICODE_STRING n;
      RtlInitUnicodeString(&n, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services");
      OBJECT_ATTRIBUTES oa;
      InitializeObjectAttributes(&oa, &n, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
      if (ZwOpenKey(&services, KEY_ALL_ACCESS, &oa) != STATUS_SUCCESS) {
        failures++;
        return;
      }
      for (int i = 0; i < kKeys; ++i) {
        std::u16string name = u"T" + std::u16string(1, char16_t(u'0' + t)) + u"_" +
                              std::u16string(1, char16_t(u'A' + i % 26)) + std::u16string(1, char16_t(u'a' + i / 26));
        UNICODE_STRING sub{USHORT(name.size() * 2), USHORT(name.size() * 2), (PWCH)name.data()};
        OBJECT_ATTRIBUTES soa;
        InitializeObjectAttributes(&soa, &sub, OBJ_CASE_INSENSITIVE, services, nullptr);
        HANDLE k;
        ULONG d;
        if (ZwCreateKey(&k, KEY_ALL_ACCESS, &soa, 0, nullptr, 0, &d) != STATUS_SUCCESS || d != REG_CREATED_NEW_KEY) {
          failures++;
          continue;
        }
        ULONG value = ULONG(i);
        if (SetValue(k, L"Index", REG_DWORD, &value, 4) != STATUS_SUCCESS) failures++;
        ZwClose(k);
      }
      ZwClose(services);
    });
  for (auto &w : writers) w.join();
  stop = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(reg::SubKeys(reg::kServices).size(), size_t(kThreads * kKeys));
  EXPECT_GT(reads.load(), 0);
}

TEST(RegistryDeathTest, ZwCallsAbovePassiveLevelBugCheck) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        nt::Boot();
        HANDLE h;
        UNICODE_STRING n;
        RtlInitUnicodeString(&n, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &n, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ZwOpenKey(&h, KEY_READ, &oa);
      },
      "ZwOpenKey");
}

}  // namespace
