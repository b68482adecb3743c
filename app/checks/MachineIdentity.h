// Which machine this is: the SMBIOS System Information fields that tell two
// machines of one product apart, so that an update begun on one machine is
// never carried on on another.
#pragma once

#include "kit/Library.h"

constexpr UINTN SMBIOS_SERIAL_NUMBER_OFFSET = 7;
constexpr UINTN SMBIOS_UUID_OFFSET = 8;
constexpr UINTN SMBIOS_UUID_SIZE = 16;
// Serial numbers longer than this are kept, and compared, by their first
// MACHINE_SERIAL_MAX characters.
constexpr UINTN MACHINE_SERIAL_MAX = 64;

typedef struct {
  BOOLEAN HasUuid;  // FALSE when the board leaves it unset (all 00 or all FF)
  UINT8 Uuid[SMBIOS_UUID_SIZE];
  UINT8 SerialLength;  // 0: no serial number
  CHAR8 Serial[MACHINE_SERIAL_MAX + 1];
} MACHINE_IDENTITY;

// Strings of the machine that are shown and logged but not compared: kept
// by their first MACHINE_SERIAL_MAX characters.
typedef struct {
  UINT8 Length;
  CHAR8 Text[MACHINE_SERIAL_MAX + 1];
} MACHINE_STRING;

// What one walk of the SMBIOS records tells of the machine.
typedef struct {
  BOOLEAN HasSmbios;
  MACHINE_IDENTITY Identity;  // from the first System Information record
  MACHINE_STRING Product;     // its Product Name
  BOOLEAN HasBios;            // a BIOS Information record was found
  MACHINE_STRING Bios;        // the first BIOS Information record's Version
  BOOLEAN SupportedPlatform;  // the platform check passed (CheckPlatform)
} MACHINE_FACTS;

// One walk of the SMBIOS records: the first System Information record's
// UUID, serial number and product name, the first BIOS Information
// record's Version, and the platform check. EFI_NOT_FOUND when the firmware has no SMBIOS protocol:
// nothing can be told apart then. A field the board leaves unset stays
// empty.
EFI_STATUS ReadMachineFacts(MACHINE_FACTS *Facts);

// Text, Length characters of ASCII from a record or a file anyone can
// write, as UCS-2 into Out (Length + 1 characters) with every character
// that is not printable shown as '?': it must not make a line of its own.
VOID PrintableText(const CHAR8 *Text, UINTN Length, CHAR16 *Out);

// Whether Now is the machine Recorded was taken on: every field recorded is
// there and the same. Pure logic.
BOOLEAN SameMachine(const MACHINE_IDENTITY *Recorded, const MACHINE_IDENTITY *Now);

// "12345678-9abc-def0-1122-334455667788", as SMBIOS 2.6 and later lay the
// UUID out (the first three fields little-endian), into Out of 37 characters.
VOID FormatMachineUuid(const UINT8 Uuid[SMBIOS_UUID_SIZE], CHAR16 Out[37]);

// EFI_SUCCESS when this machine (Now, as ReadMachineFacts read it) is the
// one Recorded describes; a record
// without a UUID or serial number (taken where there was no SMBIOS) fits
// any machine. Otherwise the operator is
// told which machine the update belongs to and how to go on, and
// EFI_ABORTED comes back.
EFI_STATUS CheckRecordedMachine(const MACHINE_IDENTITY *Recorded, const MACHINE_IDENTITY *Now);
