#define KUNIT "circularbuffer"
#include "circularbuffer.h"

/* 'Serl' */
#define RING_TAG ((ULONG)'S' | ((ULONG)'e' << 8) | ((ULONG)'r' << 16) | ((ULONG)'l' << 24))

/* The producer and the consumer run on different processors without a
   common lock: each side publishes its index with release after the byte
   it covers, and reads the other side's with acquire. */
static inline ULONG LoadIndex(const ULONG *Index) { return __atomic_load_n(Index, __ATOMIC_ACQUIRE); }
static inline VOID StoreIndex(ULONG *Index, ULONG Value) { __atomic_store_n(Index, Value, __ATOMIC_RELEASE); }

NTSTATUS InitializeCircularBuffer(PCircularBuffer pBuffer, ULONG Size) {
  KASSERT_TEXT(pBuffer != NULL, "pBuffer", __LINE__);
  if (pBuffer == NULL) return STATUS_INVALID_PARAMETER;
  pBuffer->Buffer = Size != 0 ? (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, RING_TAG) : NULL;
  if (pBuffer->Buffer == NULL) {
    pBuffer->Length = 0;
    pBuffer->ReadIndex = 0;
    pBuffer->WriteIndex = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  pBuffer->Length = Size;
  StoreIndex(&pBuffer->WriteIndex, 0);
  StoreIndex(&pBuffer->ReadIndex, 0);
  return STATUS_SUCCESS;
}

NTSTATUS FreeCircularBuffer(PCircularBuffer pBuffer) {
  KASSERT_TEXT(pBuffer != NULL, "pBuffer", __LINE__);
  if (pBuffer == NULL) return STATUS_SUCCESS;
  if (pBuffer->Buffer != NULL) {
    ExFreePoolWithTag(pBuffer->Buffer, RING_TAG);
    pBuffer->Buffer = NULL;
  }
  pBuffer->Length = 0;
  pBuffer->ReadIndex = 0;
  pBuffer->WriteIndex = 0;
  return STATUS_SUCCESS;
}

BOOLEAN IsCircularBufferEmpty(PCircularBuffer pBuffer) {
  KASSERT_TEXT(pBuffer != NULL, "pBuffer", __LINE__);
  if (pBuffer == NULL) return TRUE;
  KIRQL old = KeGetCurrentIrql();
  BOOLEAN raised = old < DISPATCH_LEVEL;
  if (raised) KeRaiseIrql(DISPATCH_LEVEL, &old);
  BOOLEAN empty = LoadIndex(&pBuffer->ReadIndex) == LoadIndex(&pBuffer->WriteIndex);
  if (raised) KeLowerIrql(old);
  return empty;
}

ULONG GetCircularBufferCount(PCircularBuffer pBuffer) {
  KASSERT_TEXT(pBuffer != NULL, "pBuffer", __LINE__);
  if (pBuffer == NULL || pBuffer->Length == 0) return 0;
  ULONG w = LoadIndex(&pBuffer->WriteIndex), r = LoadIndex(&pBuffer->ReadIndex);
  return (w + pBuffer->Length - r) % pBuffer->Length;
}

ULONG GetCircularBufferWriteIndex(PCircularBuffer pBuffer) {
  KASSERT_TEXT(pBuffer != NULL, "pBuffer", __LINE__);
  if (pBuffer == NULL) return 0;
  return LoadIndex(&pBuffer->WriteIndex);
}

NTSTATUS WriteCircularBuffer(PCircularBuffer pBuffer, UCHAR Byte) {
  KASSERT_TEXT(pBuffer != NULL, "pBuffer", __LINE__);
  if (pBuffer == NULL) return STATUS_INVALID_PARAMETER;
  KASSERT_TEXT(pBuffer->Length != 0, "pBuffer->Length", __LINE__);
  if (pBuffer->Length == 0 || pBuffer->Buffer == NULL) return STATUS_BUFFER_TOO_SMALL;
  ULONG w = pBuffer->WriteIndex; /* only this side writes it */
  ULONG next = (w + 1) % pBuffer->Length;
  if (next == LoadIndex(&pBuffer->ReadIndex)) return STATUS_BUFFER_TOO_SMALL;
  pBuffer->Buffer[w] = Byte;
  StoreIndex(&pBuffer->WriteIndex, next);
  return STATUS_SUCCESS;
}

NTSTATUS ReadCircularBuffer(PCircularBuffer pBuffer, PUCHAR pByte) {
  KASSERT_TEXT(pBuffer != NULL, "pBuffer", __LINE__);
  if (pBuffer == NULL) return STATUS_INVALID_PARAMETER;
  KASSERT_TEXT(pBuffer->Length != 0, "pBuffer->Length", __LINE__);
  if (pBuffer->Length == 0 || pBuffer->Buffer == NULL) return STATUS_ARRAY_BOUNDS_EXCEEDED;
  if (IsCircularBufferEmpty(pBuffer)) return STATUS_ARRAY_BOUNDS_EXCEEDED;
  ULONG r = pBuffer->ReadIndex; /* only this side writes it */
  *pByte = pBuffer->Buffer[r];
  StoreIndex(&pBuffer->ReadIndex, (r + 1) % pBuffer->Length);
  return STATUS_SUCCESS;
}

VOID DiscardCircularBuffer(PCircularBuffer pBuffer) {
  KASSERT_TEXT(pBuffer != NULL, "pBuffer", __LINE__);
  if (pBuffer == NULL || pBuffer->Length == 0) return;
  StoreIndex(&pBuffer->ReadIndex, LoadIndex(&pBuffer->WriteIndex));
}
