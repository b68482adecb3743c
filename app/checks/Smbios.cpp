#include "app/checks/Smbios.h"

#include "app/platform/Guids.h"
#include "kit/Scoped.h"

const CHAR16 SMBIOS_MISSING_STRING[] = u"Missing String";
static_assert(sizeof(SMBIOS_MISSING_STRING) == 15 * sizeof(CHAR16));

EFI_STATUS LocateSmbiosProtocol(EFI_SMBIOS_PROTOCOL **Smbios) {
  return EFI_ERROR(OpenFirstProtocol(&gEfiSmbiosProtocolGuid, (VOID **)Smbios)) ? EFI_NOT_FOUND : EFI_SUCCESS;
}

EFI_STATUS SmbiosNextRecord(EFI_SMBIOS_PROTOCOL *Smbios, EFI_SMBIOS_HANDLE *SmbiosHandle,
                            EFI_SMBIOS_TABLE_HEADER **Record) {
  EFI_SMBIOS_TABLE_HEADER *Next = NULL;
  EFI_STATUS Status = Smbios->GetNext(Smbios, SmbiosHandle, NULL, &Next, NULL);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Next == NULL) {
    return EFI_NOT_FOUND;
  }
  *Record = Next;
  return EFI_SUCCESS;
}

UINT8 SmbiosStringNumber(const EFI_SMBIOS_TABLE_HEADER *Record, UINTN Offset) {
  if (Record->Length <= Offset) {
    return 0;
  }
  return ((const UINT8 *)Record)[Offset];
}

EFI_STATUS GetSmbiosString(CHAR8 *StringArea, UINT8 StringNumber, CHAR16 **String) {
  if (StringNumber == 0) {
    *String = (CHAR16 *)AllocateZeroPool(sizeof(CHAR16));
    return EFI_SUCCESS;
  }

  CHAR8 *Current = StringArea;
  UINTN Counter = StringNumber;
  UINTN Length = 0;
  for (;;) {
    Counter--;
    Length = AsciiStrLen(Current);
    if (Current[Length + 1] == 0) {
      break;  // the area ends with this string
    }
    if (Counter == 0) {
      break;
    }
    Current += Length + 1;
  }

  if (Counter != 0 || Length == 0) {
    *String = (CHAR16 *)SMBIOS_MISSING_STRING;
    return EFI_SUCCESS;
  }
  *String = (CHAR16 *)AllocatePool((Length + 1) * sizeof(CHAR16));
  if (*String != NULL) {
    AsciiStrToUnicodeStrS(Current, *String, Length + 1);
  }
  return EFI_SUCCESS;
}

const CHAR8 *SmbiosAsciiString(const CHAR8 *StringArea, UINT8 StringNumber, UINTN *Length) {
  *Length = 0;
  if (StringNumber == 0) {
    return NULL;
  }
  const CHAR8 *Current = StringArea;
  for (UINTN Counter = StringNumber;; Counter--) {
    const UINTN Size = AsciiStrLen(Current);
    if (Counter == 1) {
      *Length = Size;
      return Size != 0 ? Current : NULL;
    }
    if (Current[Size + 1] == 0) {
      return NULL;  // the area ends before string number StringNumber
    }
    Current += Size + 1;
  }
}

VOID FreeSmbiosString(CHAR16 *String) {
  if (String != NULL && String != SMBIOS_MISSING_STRING) {
    FreePool(String);
  }
}
