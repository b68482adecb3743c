// Protocols found by GUID: the first handle that carries one, opened with the
// application's image as agent, so the firmware files the open under this
// image and releases it when the image exits.
#include "kit/Library.h"

EFI_STATUS OpenFirstProtocol(const EFI_GUID *Protocol, VOID **Interface) {
  *Interface = NULL;
  // A failed call leaves its outputs undefined: the handle array is taken
  // into ownership only after a success.
  UINTN Count = 0;
  EFI_HANDLE *Handles = NULL;
  EFI_STATUS Status = gBS->LocateHandleBuffer(ByProtocol, Protocol, NULL, &Count, &Handles);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Handles == NULL) {
    return EFI_NOT_FOUND;
  }
  const EFI_HANDLE First = Count != 0 ? Handles[0] : NULL;
  FreePool(Handles);
  if (First == NULL) {
    return EFI_NOT_FOUND;
  }

  VOID *Found = NULL;
  Status = gBS->OpenProtocol(First, Protocol, &Found, gImageHandle, NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Found == NULL) {
    return EFI_NOT_FOUND;
  }
  *Interface = Found;
  return EFI_SUCCESS;
}
