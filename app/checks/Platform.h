// Platform identification and the memory-overwrite request.
#pragma once

#include "kit/Library.h"

constexpr UINTN SUPPORTED_PRODUCT_NAME_LENGTH = 7;
constexpr UINTN SUPPORTED_PRODUCT_COUNT = 3;
extern const CHAR16 *const SUPPORTED_PRODUCT_NAMES[SUPPORTED_PRODUCT_COUNT];
constexpr UINT32 SUPPORTED_CPU_SIGNATURE = 0x000806E9;

constexpr const CHAR16 *MEMORY_OVERWRITE_REQUEST_VARIABLE_NAME = u"MemoryOverwriteRequestControl";
constexpr UINT8 MEMORY_OVERWRITE_REQUESTED = 0xFF;
constexpr UINT8 MEMORY_OVERWRITE_CLEARED = 0x00;

// The platform check over a walk of the SMBIOS records: every System
// Information record must name a supported product and every Processor
// Information record carry the supported signature, until one of each has.
typedef struct {
  BOOLEAN Product;    // a supported product was found
  BOOLEAN Processor;  // the supported processor was found
  BOOLEAN Refused;    // a record named another product or processor
} PLATFORM_CHECK;

// Takes one record into Check: TRUE once the check is decided. Pure logic.
BOOLEAN PlatformStep(PLATFORM_CHECK *Check, EFI_SMBIOS_TABLE_HEADER *Record);
inline BOOLEAN PlatformSupported(const PLATFORM_CHECK *Check) {
  return !Check->Refused && Check->Product && Check->Processor;
}

// The check in a walk of its own, which stops once it is decided:
// EFI_SUCCESS when a supported product with the supported processor is
// found; EFI_NOT_FOUND otherwise. Prints nothing. A launch takes it from
// its one walk of the records (ReadMachineFacts) instead.
EFI_STATUS CheckPlatform();

// Changes a one-byte 0xFF memory-overwrite request to 0x00, keeping its
// attributes; leaves every other value alone. Prints nothing.
VOID ClearMemoryOverwriteRequest();
