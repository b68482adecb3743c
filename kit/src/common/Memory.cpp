// Pool memory through the boot services, and byte fills and copies.
#include "kit/Library.h"

VOID *AllocatePool(UINTN AllocationSize) {
  VOID *Buffer = NULL;
  EFI_STATUS Status = gBS->AllocatePool(EfiBootServicesData, AllocationSize, &Buffer);
  if (EFI_ERROR(Status)) {
    return NULL;
  }
  return Buffer;
}

VOID *AllocateZeroPool(UINTN AllocationSize) {
  VOID *Buffer = AllocatePool(AllocationSize);
  if (Buffer != NULL) {
    ZeroMem(Buffer, AllocationSize);
  }
  return Buffer;
}

VOID FreePool(VOID *Buffer) {
  EFI_STATUS Status = gBS->FreePool(Buffer);
  ASSERT(!EFI_ERROR(Status));
}

VOID *CopyMem(VOID *Destination, const VOID *Source, UINTN Length) {
  UINT8 *To = (UINT8 *)Destination;
  const UINT8 *From = (const UINT8 *)Source;
  if (To == From || Length == 0) {
    return Destination;
  }
  if (To < From || To >= From + Length) {
    for (UINTN I = 0; I < Length; I++) {
      To[I] = From[I];
    }
  } else {
    for (UINTN I = Length; I > 0; I--) {
      To[I - 1] = From[I - 1];
    }
  }
  return Destination;
}

VOID *SetMem(VOID *Buffer, UINTN Length, UINT8 Value) {
  volatile UINT8 *Bytes = (volatile UINT8 *)Buffer;
  for (UINTN I = 0; I < Length; I++) {
    Bytes[I] = Value;
  }
  return Buffer;
}

VOID *ZeroMem(VOID *Buffer, UINTN Length) { return SetMem(Buffer, Length, 0); }
