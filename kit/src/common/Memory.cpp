// Pool memory through the boot services, and fills and copies.
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

// Fills and copies go to the C runtime's memset and memmove: glibc's on the
// host, the kit's word-at-a-time ones (kit/src/efi/Crt.cpp) in the EFI
// build. A byte loop here would zero a 32 MiB image buffer one byte per
// step.
VOID *CopyMem(VOID *Destination, const VOID *Source, UINTN Length) {
  return __builtin_memmove(Destination, Source, Length);
}

VOID *SetMem(VOID *Buffer, UINTN Length, UINT8 Value) { return __builtin_memset(Buffer, Value, Length); }

VOID *ZeroMem(VOID *Buffer, UINTN Length) { return SetMem(Buffer, Length, 0); }

INTN CompareMem(const VOID *First, const VOID *Second, UINTN Length) {
  return Length == 0 ? 0 : __builtin_memcmp(First, Second, Length);
}
