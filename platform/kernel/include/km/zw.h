/*
 * Registry access: the Zw key and value calls, their information records,
 * and IoOpenDeviceRegistryKey. All of them are PASSIVE_LEVEL only. Key
 * handles are ordinary kernel handles: ZwClose closes them.
 *
 * Also the PnP manager's services to drivers that touch a device's
 * registry record or its place in the device tree.
 */
#pragma once

#include "ntdef.h"
#include "ke.h" /* OBJECT_ATTRIBUTES, ZwClose */
#include "io.h" /* DEVICE_OBJECT, PLUGPLAY_REGKEY_* */

#ifndef STATUS_CANNOT_DELETE
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121L)
#endif

/* ---- access rights ---- */
#ifndef DELETE
#define DELETE ((ACCESS_MASK)0x00010000L)
#endif
#ifndef READ_CONTROL
#define READ_CONTROL ((ACCESS_MASK)0x00020000L)
#endif
#ifndef SYNCHRONIZE
#define SYNCHRONIZE ((ACCESS_MASK)0x00100000L)
#endif
#ifndef STANDARD_RIGHTS_READ
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#endif
#ifndef STANDARD_RIGHTS_REQUIRED
#define STANDARD_RIGHTS_REQUIRED ((ACCESS_MASK)0x000F0000L)
#endif
#ifndef STANDARD_RIGHTS_ALL
#define STANDARD_RIGHTS_ALL ((ACCESS_MASK)0x001F0000L)
#endif

#define KEY_QUERY_VALUE ((ACCESS_MASK)0x0001)
#define KEY_SET_VALUE ((ACCESS_MASK)0x0002)
#define KEY_CREATE_SUB_KEY ((ACCESS_MASK)0x0004)
#define KEY_ENUMERATE_SUB_KEYS ((ACCESS_MASK)0x0008)
#define KEY_NOTIFY ((ACCESS_MASK)0x0010)
#define KEY_CREATE_LINK ((ACCESS_MASK)0x0020)
#define KEY_WOW64_32KEY ((ACCESS_MASK)0x0200)
#define KEY_WOW64_64KEY ((ACCESS_MASK)0x0100)
#define KEY_READ ((ACCESS_MASK)0x00020019L)    /* READ_CONTROL | QUERY_VALUE | ENUMERATE_SUB_KEYS | NOTIFY */
#define KEY_WRITE ((ACCESS_MASK)0x00020006L)   /* READ_CONTROL | SET_VALUE | CREATE_SUB_KEY */
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS ((ACCESS_MASK)0x000F003FL)

/* ---- value types ---- */
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

/* ---- ZwCreateKey ---- */
#define REG_OPTION_RESERVED 0x00000000L
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_OPTION_CREATE_LINK 0x00000002L
#define REG_OPTION_BACKUP_RESTORE 0x00000004L
#define REG_OPTION_OPEN_LINK 0x00000008L
#define REG_LEGAL_OPTION 0x0000000FL

/* Disposition */
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

/* ---- roots of the Rtl registry helpers ---- */
#ifndef RTL_REGISTRY_ABSOLUTE
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000
#endif

/* ---- information records ---- */
typedef enum _KEY_INFORMATION_CLASS {
  KeyBasicInformation = 0,
  KeyNodeInformation = 1,
  KeyFullInformation = 2,
  KeyNameInformation = 3,
  KeyCachedInformation = 4,
  KeyFlagsInformation = 5,
  KeyVirtualizationInformation = 6,
  KeyHandleTagsInformation = 7,
  MaxKeyInfoClass
} KEY_INFORMATION_CLASS;

typedef struct _KEY_BASIC_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG NameLength; /* bytes */
  WCHAR Name[1];
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

typedef struct _KEY_NODE_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG ClassOffset;
  ULONG ClassLength;
  ULONG NameLength;
  WCHAR Name[1];
} KEY_NODE_INFORMATION, *PKEY_NODE_INFORMATION;

typedef struct _KEY_FULL_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG ClassOffset;
  ULONG ClassLength;
  ULONG SubKeys;
  ULONG MaxNameLen;
  ULONG MaxClassLen;
  ULONG Values;
  ULONG MaxValueNameLen;
  ULONG MaxValueDataLen;
  WCHAR Class[1];
} KEY_FULL_INFORMATION, *PKEY_FULL_INFORMATION;

typedef struct _KEY_NAME_INFORMATION {
  ULONG NameLength;
  WCHAR Name[1];
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;

typedef enum _KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
  KeyValueFullInformationAlign64 = 3,
  KeyValuePartialInformationAlign64 = 4,
  KeyValueLayerInformation = 5,
  MaxKeyValueInfoClass
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG NameLength; /* bytes */
  WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset; /* from the start of the record */
  ULONG DataLength;
  ULONG NameLength;
  WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

C_ASSERT(offsetof(KEY_BASIC_INFORMATION, Name) == 16);
C_ASSERT(offsetof(KEY_FULL_INFORMATION, Class) == 44);
C_ASSERT(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12);
C_ASSERT(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);
C_ASSERT(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
C_ASSERT(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16);

EXTERN_C_START

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
/* Marks the key deleted; its handles stay valid for ZwClose only. Fails
 * with STATUS_CANNOT_DELETE while it has subkeys. */
NTSTATUS ZwDeleteKey(HANDLE KeyHandle);
NTSTATUS ZwFlushKey(HANDLE KeyHandle);
NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength);
NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength);
NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize);
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);

/* DevInstKeyType: PLUGPLAY_REGKEY_DEVICE opens the device's hardware key
 * (Enum\<instance>\Device Parameters), PLUGPLAY_REGKEY_DRIVER its software
 * key (Control\Class\{class}\<nnnn>). Only a PDO that the PnP manager
 * enumerated has them: any other device object gets
 * STATUS_INVALID_DEVICE_REQUEST. */
struct _DEVICE_OBJECT;
NTSTATUS IoOpenDeviceRegistryKey(struct _DEVICE_OBJECT *DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey);

/* ---- PnP manager services ---- */
typedef enum _DEVICE_REGISTRY_PROPERTY {
  DevicePropertyDeviceDescription = 0,
  DevicePropertyHardwareID = 1,
  DevicePropertyCompatibleIDs = 2,
  DevicePropertyBootConfiguration = 3,
  DevicePropertyBootConfigurationTranslated = 4,
  DevicePropertyClassName = 5,
  DevicePropertyClassGuid = 6,
  DevicePropertyDriverKeyName = 7,
  DevicePropertyManufacturer = 8,
  DevicePropertyFriendlyName = 9,
  DevicePropertyLocationInformation = 10,
  DevicePropertyPhysicalDeviceObjectName = 11,
  DevicePropertyBusTypeGuid = 12,
  DevicePropertyLegacyBusType = 13,
  DevicePropertyBusNumber = 14,
  DevicePropertyEnumeratorName = 15,
  DevicePropertyAddress = 16,
  DevicePropertyUINumber = 17,
  DevicePropertyInstallState = 18,
  DevicePropertyRemovalPolicy = 19,
  DevicePropertyResourceRequirements = 20,
  DevicePropertyAllocatedResources = 21,
  DevicePropertyContainerID = 22
} DEVICE_REGISTRY_PROPERTY;

/* Reads a property of a PDO the PnP manager enumerated: strings come as
 * NUL-terminated WCHARs (lists as REG_MULTI_SZ). STATUS_BUFFER_TOO_SMALL
 * with ResultLength = the size needed; STATUS_INVALID_DEVICE_REQUEST for a
 * device object that is no such PDO; STATUS_INVALID_PARAMETER_2 for a
 * property this system does not keep. PASSIVE_LEVEL. */
NTSTATUS IoGetDeviceProperty(struct _DEVICE_OBJECT *DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength);

/* Asks the PnP manager to query the device's relations of Type again; for
 * BusRelations, children that appeared are started and children that are
 * gone are removed. The work runs later on a PnP worker thread.
 * IRQL <= DISPATCH_LEVEL. */
VOID IoInvalidateDeviceRelations(struct _DEVICE_OBJECT *DeviceObject, DEVICE_RELATION_TYPE Type);

EXTERN_C_END

#define NtCreateKey ZwCreateKey
#define NtOpenKey ZwOpenKey
#define NtDeleteKey ZwDeleteKey
#define NtFlushKey ZwFlushKey
#define NtQueryKey ZwQueryKey
#define NtEnumerateKey ZwEnumerateKey
#define NtQueryValueKey ZwQueryValueKey
#define NtEnumerateValueKey ZwEnumerateValueKey
#define NtSetValueKey ZwSetValueKey
#define NtDeleteValueKey ZwDeleteValueKey
