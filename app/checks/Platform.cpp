#include "app/checks/Platform.h"

#include "app/checks/Smbios.h"
#include "app/platform/Guids.h"

const CHAR16 *const SUPPORTED_PRODUCT_NAMES[SUPPORTED_PRODUCT_COUNT] = {
    u"KVX4720",
    u"LQT5830",
    u"ZRN6940",
};

namespace {

// The first 7 characters of the record's product name are one of the
// supported products.
bool IsSupportedProduct(EFI_SMBIOS_TABLE_HEADER *Record) {
  UINTN Length = 0;
  const CHAR8 *Name =
      SmbiosAsciiString(SmbiosStringArea(Record), SmbiosStringNumber(Record, SMBIOS_PRODUCT_NAME_OFFSET), &Length);
  for (UINTN I = 0; Name != NULL && Length >= SUPPORTED_PRODUCT_NAME_LENGTH && I < SUPPORTED_PRODUCT_COUNT; I++) {
    UINTN Same = 0;
    while (Same < SUPPORTED_PRODUCT_NAME_LENGTH && (CHAR16)(UINT8)Name[Same] == SUPPORTED_PRODUCT_NAMES[I][Same]) {
      Same++;
    }
    if (Same == SUPPORTED_PRODUCT_NAME_LENGTH) {
      return true;
    }
  }
  return false;
}

// The first 32 bits of Processor ID; a record too short to hold them gives
// a value no processor reports.
UINT32 ProcessorSignature(const EFI_SMBIOS_TABLE_HEADER *Record) {
  if (Record->Length < SMBIOS_PROCESSOR_ID_OFFSET + sizeof(UINT32)) {
    return 0;
  }
  const UINT8 *Id = (const UINT8 *)Record + SMBIOS_PROCESSOR_ID_OFFSET;
  return (UINT32)Id[0] | ((UINT32)Id[1] << 8) | ((UINT32)Id[2] << 16) | ((UINT32)Id[3] << 24);
}

}  // namespace

BOOLEAN PlatformStep(PLATFORM_CHECK *Check, EFI_SMBIOS_TABLE_HEADER *Record) {
  if (Record->Type == SMBIOS_TYPE_SYSTEM_INFORMATION) {
    Check->Refused = Check->Refused || !IsSupportedProduct(Record);
    Check->Product = TRUE;
  } else if (Record->Type == SMBIOS_TYPE_PROCESSOR_INFORMATION) {
    Check->Refused = Check->Refused || ProcessorSignature(Record) != SUPPORTED_CPU_SIGNATURE;
    Check->Processor = TRUE;
  }
  return Check->Refused || (Check->Product && Check->Processor);
}

EFI_STATUS CheckPlatform() {
  EFI_SMBIOS_PROTOCOL *Smbios = NULL;
  if (EFI_ERROR(LocateSmbiosProtocol(&Smbios))) {
    return EFI_NOT_FOUND;
  }
  PLATFORM_CHECK Check = {FALSE, FALSE, FALSE};
  EFI_SMBIOS_HANDLE SmbiosHandle = SMBIOS_HANDLE_PI_RESERVED;
  EFI_SMBIOS_TABLE_HEADER *Record = NULL;
  while (SmbiosNextRecord(Smbios, &SmbiosHandle, &Record) == EFI_SUCCESS && !PlatformStep(&Check, Record)) {
  }
  return PlatformSupported(&Check) ? EFI_SUCCESS : EFI_NOT_FOUND;
}

VOID ClearMemoryOverwriteRequest() {
  UINT32 Attributes = 0;
  UINTN DataSize = 0;
  EFI_STATUS Status = gRT->GetVariable((CHAR16 *)MEMORY_OVERWRITE_REQUEST_VARIABLE_NAME,
                                       (EFI_GUID *)&gMemoryOverwriteControlDataGuid, &Attributes, &DataSize, NULL);
  if (Status != EFI_BUFFER_TOO_SMALL || DataSize != 1) {
    return;
  }
  UINT8 Value = 0;
  Status = gRT->GetVariable((CHAR16 *)MEMORY_OVERWRITE_REQUEST_VARIABLE_NAME,
                            (EFI_GUID *)&gMemoryOverwriteControlDataGuid, &Attributes, &DataSize, &Value);
  if (Status != EFI_SUCCESS || DataSize != 1 || Value != MEMORY_OVERWRITE_REQUESTED) {
    return;
  }
  Value = MEMORY_OVERWRITE_CLEARED;
  gRT->SetVariable((CHAR16 *)MEMORY_OVERWRITE_REQUEST_VARIABLE_NAME, (EFI_GUID *)&gMemoryOverwriteControlDataGuid,
                   Attributes, 1, &Value);
}
