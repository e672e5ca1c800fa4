/* KRegistryKey over the kernel layer's registry. */
#include "fwtest.h"

#include <kregkey.h>
#include <nt/registry.h>

#include <cstring>

namespace {

const std::string kServices = nt::registry::kServices;
const std::string kTestKey = kServices + "\\NvRegTest";

class RegistryTest : public SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    ASSERT_EQ(nt::registry::CreateKey(kTestKey), STATUS_SUCCESS);
    const WCHAR com3[] = L"COM3";
    ASSERT_EQ(nt::registry::SetValue(kTestKey, "PortName", REG_SZ, com3, sizeof(com3)), STATUS_SUCCESS);
    ASSERT_EQ(nt::registry::SetDword(kTestKey, "Number", 0x12345678), STATUS_SUCCESS);
    ASSERT_EQ(nt::registry::SetValue(kTestKey, "Empty", REG_SZ, "", 0), STATUS_SUCCESS);
  }
  std::vector<nt::pool::BlockInfo> OurBlocks() {
    std::vector<nt::pool::BlockInfo> blocks;
    for (const auto &b : nt::pool::Leaks(nullptr))
      if (b.Tag == NERAVOX_POOL_TAG) blocks.push_back(b);
    return blocks;
  }
};

struct PathCase {
  ULONG Root;
  const WCHAR *Subkey;
  const char *Expected; /* the key the create must make */
};

class RegistryPathTest : public RegistryTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(RegistryPathTest, JoinsRootAndSubkeyWithOneBackslash) {
  const PathCase &c = GetParam();
  std::string expected = c.Expected;
  ASSERT_FALSE(nt::registry::KeyExists(expected));
  {
    KRegistryKey key(c.Root, c.Subkey, TRUE, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS);
    EXPECT_EQ(key.Status(), STATUS_SUCCESS);
    EXPECT_NE(key.Handle(), nullptr);
    EXPECT_EQ(key.Disposition(), (ULONG)REG_CREATED_NEW_KEY);
  }
  EXPECT_TRUE(nt::registry::KeyExists(expected));
  KRegistryKey again(c.Root, c.Subkey, TRUE, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS);
  EXPECT_EQ(again.Disposition(), (ULONG)REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(OurBlocks().size(), 0u) << "the joined path is freed";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RegistryPathTest,
    ::testing::Values(PathCase{RTL_REGISTRY_SERVICES, L"NvRegTest\\Plain",
                               "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NvRegTest\\Plain"},
                      PathCase{RTL_REGISTRY_SERVICES, L"\\NvRegTest\\Leading",
                               "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NvRegTest\\Leading"},
                      PathCase{RTL_REGISTRY_CONTROL, L"Class\\NvRegTest",
                               "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\NvRegTest"},
                      PathCase{RTL_REGISTRY_ABSOLUTE,
                               L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NvRegTest\\Absolute",
                               "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NvRegTest\\Absolute"}));

TEST_F(RegistryTest, OpensExistingKeysUnderEveryForm) {
  KRegistryKey plain(RTL_REGISTRY_CONTROL, L"Class");
  EXPECT_EQ(plain.Status(), STATUS_SUCCESS);
  KRegistryKey leading(RTL_REGISTRY_CONTROL, L"\\Class");
  EXPECT_EQ(leading.Status(), STATUS_SUCCESS);
  KRegistryKey root(RTL_REGISTRY_SERVICES, nullptr);
  EXPECT_EQ(root.Status(), STATUS_SUCCESS);
  KRegistryKey missing(RTL_REGISTRY_SERVICES, L"NvNoSuchKey");
  EXPECT_EQ(missing.Status(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(missing.Handle(), nullptr);
  KRegistryKey badRoot(6, L"Class");
  EXPECT_EQ(badRoot.Status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(badRoot.Handle(), nullptr);

  /* Each open replaces the key the object held. */
  KRegistryKey key;
  EXPECT_EQ(key.Status(), STATUS_SUCCESS);
  EXPECT_EQ(key.Handle(), nullptr);
  EXPECT_EQ(key.Reconstruct(RTL_REGISTRY_SERVICES, L"NvRegTest"), STATUS_SUCCESS);
  EXPECT_EQ(key.Reconstruct(RTL_REGISTRY_SERVICES, L"NvNoSuchKey"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(key.Handle(), nullptr);
}

TEST_F(RegistryTest, QueryWithSizeZeroAllocatesExactlyTheData) {
  KRegistryKey key(RTL_REGISTRY_SERVICES, L"NvRegTest");
  ASSERT_EQ(key.Status(), STATUS_SUCCESS);
  PVOID buffer = nullptr;
  ULONG size = 0;
  EXPECT_EQ(key.QueryValue(L"PortName", &buffer, &size, PagedPool), STATUS_SUCCESS);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(size, 10u);
  auto blocks = OurBlocks();
  ASSERT_EQ(blocks.size(), 1u) << "only the caller's buffer is left";
  EXPECT_EQ(blocks[0].Address, buffer);
  EXPECT_EQ(blocks[0].Size, 10u);
  EXPECT_EQ(blocks[0].Type, PagedPool);
  const WCHAR expected[] = L"COM3";
  EXPECT_EQ(memcmp(buffer, expected, sizeof(expected)), 0);
  KFree(buffer);
}

TEST_F(RegistryTest, QueryIntoCallersBuffer) {
  KRegistryKey key(RTL_REGISTRY_SERVICES, L"NvRegTest");
  WCHAR buffer[16];
  memset(buffer, 0xEE, sizeof(buffer));
  PVOID p = buffer;
  ULONG size = sizeof(buffer);
  EXPECT_EQ(key.QueryValue(L"PortName", &p, &size, PagedPool), STATUS_SUCCESS);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(Narrow(buffer), "COM3");
  EXPECT_EQ(buffer[5], (WCHAR)0xEEEE) << "nothing written past the data";

  /* Too small a buffer: nothing is written past it. */
  memset(buffer, 0xEE, sizeof(buffer));
  size = 4;
  EXPECT_EQ(key.QueryValue(L"PortName", &p, &size, PagedPool), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(buffer[2], (WCHAR)0xEEEE);
  EXPECT_EQ(OurBlocks().size(), 0u);
}

TEST_F(RegistryTest, MissingOrEmptyValueIsNoResources) {
  KRegistryKey key(RTL_REGISTRY_SERVICES, L"NvRegTest");
  for (const WCHAR *name : {L"NoSuchValue", L"Empty"}) {
    PVOID buffer = nullptr;
    ULONG size = 0;
    EXPECT_EQ(key.QueryValue(name, &buffer, &size, PagedPool), STATUS_INSUFFICIENT_RESOURCES) << Narrow(name);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buffer, nullptr);
  }
  EXPECT_EQ(OurBlocks().size(), 0u);
}

TEST_F(RegistryTest, DwordFillsTheBufferThenMismatches) {
  KRegistryKey key(RTL_REGISTRY_SERVICES, L"NvRegTest");
  PVOID buffer = nullptr;
  ULONG size = 0;
  EXPECT_EQ(key.QueryValue(L"Number", &buffer, &size, NonPagedPool), STATUS_OBJECT_TYPE_MISMATCH);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(*(ULONG *)buffer, 0x12345678u);
  KFree(buffer);
}

TEST_F(RegistryTest, OpenWithoutMemory) {
  nt::pool::FailTag(NERAVOX_POOL_TAG);
  KRegistryKey key(RTL_REGISTRY_SERVICES, L"NvRegTest");
  EXPECT_EQ(key.Status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(key.Handle(), nullptr);
}

/* Every allocation of the query fails in turn; each ends in
   STATUS_INSUFFICIENT_RESOURCES and leaves only what the caller owns. */
TEST_F(RegistryTest, QueryWithoutMemoryAtEachStep) {
  KRegistryKey key(RTL_REGISTRY_SERVICES, L"NvRegTest");
  ASSERT_EQ(key.Status(), STATUS_SUCCESS);
  int failedSteps = 0;
  for (uint64_t n = 1; n < 20; n++) {
    uint64_t injected = nt::pool::InjectedFailures();
    nt::pool::FailNth(n);
    PVOID buffer = nullptr;
    ULONG size = 0;
    NTSTATUS status = key.QueryValue(L"PortName", &buffer, &size, PagedPool);
    nt::pool::ClearFaults();
    if (nt::pool::InjectedFailures() == injected) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      KFree(buffer);
      break;
    }
    failedSteps++;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    KFree(buffer); /* the caller owns what was allocated for it */
    EXPECT_EQ(OurBlocks().size(), 0u) << "allocation " << n;
  }
  EXPECT_GE(failedSteps, 2) << "the caller's buffer and the query record";
}

}  // namespace
