/* Device interfaces. */
#include "io_test_driver.h"

using namespace iotest;

namespace {

/* {5982390E-DC91-4AC7-81D0-D79F408F5B8D} */
const GUID kClass = {0x5982390E, 0xDC91, 0x4AC7, {0x81, 0xD0, 0xD7, 0x9F, 0x40, 0x8F, 0x5B, 0x8D}};
const GUID kOtherClass = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

using Interfaces = IoTest;

TEST_F(Interfaces, NameComesFromTheInstancePathAndEnablingLinksToThePdo) {
  TestDriver driver;
  PDEVICE_OBJECT pdo = driver.Create("\\Device\\00000042", CompleteWith(STATUS_SUCCESS));
  Name instance("ROOT\\NERAVOX\\0000");
  ASSERT_EQ(IopSetDeviceInstancePath(pdo, &instance.String), STATUS_SUCCESS);

  UNICODE_STRING link = {};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, NULL, &link), STATUS_SUCCESS);
  EXPECT_TRUE(IopString(&link) == U("\\??\\ROOT#NERAVOX#0000#{5982390e-dc91-4ac7-81d0-d79f408f5b8d}"));
  EXPECT_EQ(link.Buffer[link.Length / 2], 0); /* terminated too */

  PVOID found = NULL;
  EXPECT_EQ(ObpLookupName(&link, &found), STATUS_OBJECT_NAME_NOT_FOUND); /* registered, not enabled */
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
  ASSERT_EQ(ObpLookupName(&link, &found), STATUS_SUCCESS);
  EXPECT_EQ(found, pdo);
  ObDereferenceObject(found);
  auto enabled = IopDeviceInterfaces(&kClass, true);
  ASSERT_EQ(enabled.size(), 1u);
  EXPECT_EQ(enabled[0].PhysicalDeviceObject, pdo);
  EXPECT_TRUE(IopDeviceInterfaces(&kOtherClass, false).empty());

  /* Registering again gives the same name. */
  UNICODE_STRING again = {};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, NULL, &again), STATUS_SUCCESS);
  EXPECT_TRUE(IopString(&again) == IopString(&link));
  EXPECT_EQ(IopDeviceInterfaces(NULL, false).size(), 1u);
  RtlFreeUnicodeString(&again);

  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ObpLookupName(&link, &found), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(IopDeviceInterfaces(&kClass, true).empty());
  RtlFreeUnicodeString(&link);
}

TEST_F(Interfaces, ReferenceStringsUnnamedPdosAndDeletion) {
  TestDriver driver;
  PDEVICE_OBJECT pdo = driver.Create(NULL, CompleteWith(STATUS_SUCCESS)); /* unnamed, not enumerated */
  Name reference("Port1");
  UNICODE_STRING link = {};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kOtherClass, &reference.String, &link), STATUS_SUCCESS);
  std::u16string name = IopString(&link);
  std::u16string base = U("\\??\\ROOT#UNKNOWN#");
  EXPECT_TRUE(name.rfind(base, 0) == 0);
  EXPECT_TRUE(name.size() > 6 && name.substr(name.size() - 6) == U("\\Port1"));
  ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  /* The link (without the reference string) names the PDO itself. */
  std::u16string linkName = name.substr(0, name.size() - 6);
  UNICODE_STRING l = IopView(linkName);
  PVOID found = NULL;
  ASSERT_EQ(ObpLookupName(&l, &found), STATUS_SUCCESS);
  EXPECT_EQ(found, pdo);
  ObDereferenceObject(found);

  /* Deleting the PDO takes its interfaces with it. */
  driver.Delete(pdo);
  EXPECT_EQ(ObpLookupName(&l, &found), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(IopDeviceInterfaces(NULL, false).empty());
  RtlFreeUnicodeString(&link);
}

TEST_F(Interfaces, BadArguments) {
  UNICODE_STRING link = {};
  EXPECT_EQ(IoRegisterDeviceInterface(NULL, &kClass, NULL, &link), STATUS_INVALID_PARAMETER);
  Name unknown("\\??\\ROOT#X#0000#{00000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(IoSetDeviceInterfaceState(&unknown.String, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
