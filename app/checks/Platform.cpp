#include "app/checks/Platform.h"

#include "app/checks/Smbios.h"
#include "app/platform/Guids.h"

const CHAR16 *const SUPPORTED_PRODUCT_NAMES[SUPPORTED_PRODUCT_COUNT] = {
    u"KVX4720",
    u"LQT5830",
    u"ZRN6940",
};

namespace {

// The first 7 characters of Name are one of the supported products. A NULL
// name (the pool was exhausted) matches nothing.
bool IsSupportedProduct(const CHAR16 *Name) {
  if (Name == NULL) {
    return false;
  }
  for (UINTN I = 0; I < SUPPORTED_PRODUCT_COUNT; I++) {
    if (StrnCmp(Name, SUPPORTED_PRODUCT_NAMES[I], SUPPORTED_PRODUCT_NAME_LENGTH) == 0) {
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

EFI_STATUS CheckPlatform() {
  EFI_SMBIOS_PROTOCOL *Smbios = NULL;
  if (EFI_ERROR(LocateSmbiosProtocol(&Smbios))) {
    return EFI_NOT_FOUND;
  }

  bool ProductMatched = false;
  bool ProcessorMatched = false;
  EFI_SMBIOS_HANDLE SmbiosHandle = SMBIOS_HANDLE_PI_RESERVED;
  EFI_SMBIOS_TABLE_HEADER *Record = NULL;
  while (SmbiosNextRecord(Smbios, &SmbiosHandle, &Record) == EFI_SUCCESS) {
    if (Record->Type == SMBIOS_TYPE_SYSTEM_INFORMATION) {
      CHAR16 *Name = NULL;
      GetSmbiosString(SmbiosStringArea(Record), SmbiosStringNumber(Record, SMBIOS_PRODUCT_NAME_OFFSET), &Name);
      bool Supported = IsSupportedProduct(Name);
      FreeSmbiosString(Name);
      if (!Supported) {
        return EFI_NOT_FOUND;
      }
      ProductMatched = true;
    } else if (Record->Type == SMBIOS_TYPE_PROCESSOR_INFORMATION) {
      if (ProcessorSignature(Record) != SUPPORTED_CPU_SIGNATURE) {
        return EFI_NOT_FOUND;
      }
      ProcessorMatched = true;
    } else {
      continue;
    }
    if (ProductMatched && ProcessorMatched) {
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
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
