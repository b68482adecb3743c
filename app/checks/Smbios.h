// SMBIOS record access through the PI SMBIOS protocol.
#pragma once

#include "kit/Library.h"

// Record fields the checks read (byte offsets from the start of a record).
constexpr UINT8 SMBIOS_TYPE_BIOS_INFORMATION = 0;
constexpr UINT8 SMBIOS_TYPE_SYSTEM_INFORMATION = 1;
constexpr UINT8 SMBIOS_TYPE_PROCESSOR_INFORMATION = 4;
constexpr UINTN SMBIOS_BIOS_VERSION_OFFSET = 5;
constexpr UINTN SMBIOS_PRODUCT_NAME_OFFSET = 5;
constexpr UINTN SMBIOS_PROCESSOR_ID_OFFSET = 8;

// Handed out in place of a string a record lacks; shared, never released.
extern const CHAR16 SMBIOS_MISSING_STRING[];

EFI_STATUS LocateSmbiosProtocol(EFI_SMBIOS_PROTOCOL **Smbios);

// One step of the record walk: start with *SmbiosHandle at
// SMBIOS_HANDLE_PI_RESERVED; an error status ends the walk, and *Record is
// then left as it was.
EFI_STATUS SmbiosNextRecord(EFI_SMBIOS_PROTOCOL *Smbios, EFI_SMBIOS_HANDLE *SmbiosHandle,
                            EFI_SMBIOS_TABLE_HEADER **Record);

// The record's string area, right after its formatted part.
inline CHAR8 *SmbiosStringArea(EFI_SMBIOS_TABLE_HEADER *Record) { return (CHAR8 *)Record + Record->Length; }

// A string-number field of the formatted part; 0 (no string) when the
// record is too short to hold the field.
UINT8 SmbiosStringNumber(const EFI_SMBIOS_TABLE_HEADER *Record, UINTN Offset);

// Always EFI_SUCCESS. *String is a new pool string the caller frees, the
// shared SMBIOS_MISSING_STRING, or NULL when the pool is exhausted.
EFI_STATUS GetSmbiosString(CHAR8 *StringArea, UINT8 StringNumber, CHAR16 **String);

// The string StringNumber of a record's area as it stands, with its length;
// NULL for string number 0, a number past the last string, or an empty
// string.
const CHAR8 *SmbiosAsciiString(const CHAR8 *StringArea, UINT8 StringNumber, UINTN *Length);

// Frees a string from GetSmbiosString unless it is the shared text.
VOID FreeSmbiosString(CHAR16 *String);
