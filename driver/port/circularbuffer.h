/*
 * CircularBuffer: the byte ring between the interrupt callback and reads
 * (receive) and between a write and the transmit loop (transmit). One
 * producer and one consumer; the record carries no lock. The receive ring's
 * address is handed to the bus driver, so the layout is fixed (it is the
 * BUS_PORT_RING of busport.h).
 *
 * One slot always stays free: a ring of Length bytes holds Length - 1.
 * A ring whose storage could not be allocated (Buffer NULL, Length 0) is
 * empty, holds nothing and refuses every byte.
 */
#pragma once

#include "kplatform.h"

typedef struct _CircularBuffer {
  PUCHAR Buffer; /* non-paged pool, tag 'Serl' */
  ULONG Length;
  ULONG ReadIndex;
  ULONG WriteIndex;
} CircularBuffer, *PCircularBuffer;

C_ASSERT(FIELD_OFFSET(CircularBuffer, Buffer) == 0);
C_ASSERT(FIELD_OFFSET(CircularBuffer, Length) == 8);
C_ASSERT(FIELD_OFFSET(CircularBuffer, ReadIndex) == 12);
C_ASSERT(FIELD_OFFSET(CircularBuffer, WriteIndex) == 16);

/* STATUS_INSUFFICIENT_RESOURCES leaves Buffer NULL and Length 0. */
NTSTATUS InitializeCircularBuffer(PCircularBuffer pBuffer, ULONG Size);
NTSTATUS FreeCircularBuffer(PCircularBuffer pBuffer);
/* Reads the two indices at DISPATCH_LEVEL. */
BOOLEAN IsCircularBufferEmpty(PCircularBuffer pBuffer);
ULONG GetCircularBufferCount(PCircularBuffer pBuffer);
ULONG GetCircularBufferWriteIndex(PCircularBuffer pBuffer);
/* STATUS_BUFFER_TOO_SMALL when full (or without storage). */
NTSTATUS WriteCircularBuffer(PCircularBuffer pBuffer, UCHAR Byte);
/* STATUS_ARRAY_BOUNDS_EXCEEDED when empty; *pByte is then not written. */
NTSTATUS ReadCircularBuffer(PCircularBuffer pBuffer, PUCHAR pByte);
/* Takes every byte stored so far, from the consumer's side: safe while the
   producer goes on storing. */
VOID DiscardCircularBuffer(PCircularBuffer pBuffer);
