/*
 * NERAVOXDriver: the driver instance. It creates one port device for every
 * child device the controller's bus driver reports.
 */
#pragma once

#include "kdriver.h"

class NERAVOXDriver : public KDriver {
 public:
  NERAVOXDriver() : m_NextUnit(0) {}
  ~NERAVOXDriver() override {}

  NTSTATUS DriverEntry(PUNICODE_STRING RegistryPath) override;
  VOID Unload() override;
  NTSTATUS AddDevice(PDEVICE_OBJECT Pdo) override;

 protected:
  ULONG m_NextUnit;
};

/* The image's entry. */
EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
