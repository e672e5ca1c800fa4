/*
 * KUnitName: a name that ends in a unit number, such as NERAVOXDevice0.
 * The buffer holds the base and four more characters (three digits and the
 * NUL), so the unit is below 1000 in radix 10 and below 0x1000 in radix 16.
 */
#pragma once

#include "kplatform.h"

class KUnitName {
 public:
  KUnitName(PCWSTR Base, ULONG Unit, ULONG Radix = 10);
  ~KUnitName();

  /* NULL when the name could not be built. */
  PCWSTR Buffer() const { return m_Buffer; }
  operator PCWSTR() const { return m_Buffer; }
  PCUNICODE_STRING Name() const { return &m_Name; }
  /* Why a name could not be built. */
  NTSTATUS Status() const { return m_Status; }

 private:
  KUnitName(const KUnitName &) = delete;
  KUnitName &operator=(const KUnitName &) = delete;

  PWSTR m_Buffer;
  ULONG m_unit;
  ULONG m_BaseLength;
  ULONG m_radix;
  UNICODE_STRING m_Name;
  BOOLEAN m_OwnsBuffer;
  NTSTATUS m_Status;
};
