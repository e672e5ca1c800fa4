#include "kunitnam.h"

#define KUNIT "kunitnam"

/* Three digits and the terminating NUL. */
#define UNIT_CHARACTERS 4

KUnitName::KUnitName(PCWSTR Base, ULONG Unit, ULONG Radix)
    : m_Buffer(NULL), m_unit(Unit), m_BaseLength(0), m_radix(Radix), m_OwnsBuffer(FALSE), m_Status(STATUS_SUCCESS) {
  m_Name.Length = 0;
  m_Name.MaximumLength = 0;
  m_Name.Buffer = NULL;

  if (!((m_radix == 10) || (m_radix == 16))) {
    KASSERT((m_radix == 10) || (m_radix == 16));
    m_Status = STATUS_INVALID_PARAMETER;
    return;
  }
  /* A unit with more digits than the buffer holds builds no name rather
     than one that runs past it. */
  if (m_radix == 10) {
    KASSERT(m_unit < 1000);
    if (m_unit >= 1000) m_Status = STATUS_INVALID_PARAMETER;
  } else {
    KASSERT(m_unit < 0x1000);
    if (m_unit >= 0x1000) m_Status = STATUS_INVALID_PARAMETER;
  }
  if (!NT_SUCCESS(m_Status)) return;

  ULONG baseLength = 0;
  if (Base != NULL)
    while (Base[baseLength] != 0) baseLength++;
  if ((baseLength + UNIT_CHARACTERS) * sizeof(WCHAR) > MAXUSHORT) {
    m_Status = STATUS_INVALID_PARAMETER;
    return;
  }
  m_BaseLength = baseLength;

  m_Buffer = (PWSTR)KAllocate(PagedPool, (baseLength + UNIT_CHARACTERS) * sizeof(WCHAR));
  if (m_Buffer == NULL) {
    m_Status = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  m_OwnsBuffer = TRUE;
  if (baseLength != 0) RtlCopyMemory(m_Buffer, Base, baseLength * sizeof(WCHAR));

  UNICODE_STRING digits;
  digits.Buffer = m_Buffer + baseLength;
  digits.Length = 0;
  digits.MaximumLength = UNIT_CHARACTERS * sizeof(WCHAR);
  m_Status = RtlIntegerToUnicodeString(m_unit, m_radix, &digits);
  if (!NT_SUCCESS(m_Status)) digits.Length = 0;
  m_Buffer[baseLength + digits.Length / sizeof(WCHAR)] = 0;

  m_Name.Buffer = m_Buffer;
  m_Name.Length = (USHORT)((baseLength * sizeof(WCHAR)) + digits.Length);
  m_Name.MaximumLength = (USHORT)((baseLength + UNIT_CHARACTERS) * sizeof(WCHAR));
}

KUnitName::~KUnitName() {
  if (m_OwnsBuffer && m_Buffer != NULL) KFree(m_Buffer);
  m_Buffer = NULL;
  m_OwnsBuffer = FALSE;
}
