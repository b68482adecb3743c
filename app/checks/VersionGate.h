// The version gate: an image older than the running BIOS is refused, and a
// version that cannot be read on either side stops the update.
#pragma once

#include "app/checks/MachineIdentity.h"
#include "app/state/UpdateState.h"
#include "kit/Library.h"

// What one read of an image file gives: its identity and, where it holds a
// version marker, its version.
typedef struct {
  IMAGE_IDENTITY Identity;
  BOOLEAN HasVersion;
  UINTN Major;
  UINTN Minor;
} IMAGE_FACTS;

// Reads the image file Name, a path from the root of the application's own
// volume, whole, in pieces (ReadFileBytes): EFI_NOT_FOUND or
// EFI_OUT_OF_RESOURCES when it cannot.
EFI_STATUS ReadImage(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const CHAR16 *Name, IMAGE_FACTS *Facts);

// The running BIOS's version from its own walk of the SMBIOS records:
// EFI_NOT_FOUND when there is none, or when it cannot be read
// (ReadDeviceVersion).
EFI_STATUS GetDeviceVersion(UINTN *Major, UINTN *Minor);

// Reads a running BIOS version of the form "<c><major>.<minor>": any
// character at index 0, one decimal digit at 1, '.' at 2, two decimal
// digits at 3 and 4 and no digit at 5 ("V1.05", "V1.05a", "V1.05 build 7").
// Any other text ("R01.07", "1.05", "V12.34", "V1.6") cannot be read: FALSE,
// and the outputs are left alone. Pure logic.
BOOLEAN ReadDeviceVersion(const CHAR8 *Version, UINTN Length, UINTN *Major, UINTN *Minor);

// How an image's version stands against the running BIOS's.
enum class VERSION_VERDICT : UINT8 {
  VERSION_EQUAL,
  VERSION_NEWER,              // the image's is newer
  VERSION_OLDER,              // the image's is older
  VERSION_IMAGE_UNREADABLE,   // no image, or no version marker in it
  VERSION_DEVICE_MISSING,     // no SMBIOS, or no BIOS Information record
  VERSION_DEVICE_UNREADABLE,  // a BIOS Version string of another form
};
using enum VERSION_VERDICT;

// The one version decision of the first and the last start. The running
// version is read only when the image's was. Pure logic.
VERSION_VERDICT CompareVersions(const IMAGE_FACTS *Image, BOOLEAN ImageRead, const MACHINE_FACTS *Machine,
                                UINTN *DeviceMajor, UINTN *DeviceMinor);

// The running BIOS's Version string, printable, in quotes as the operator
// sees it: "Missing String" when the record names none. Out holds
// MACHINE_SERIAL_MAX + 1 characters.
VOID DeviceVersionText(const MACHINE_FACTS *Machine, CHAR16 *Out);

// The gate, at the start that begins an update: reads the image the
// command line names into *Image (its identity is present when it could be
// read, with or without SkipVersionCheck) and, unless SkipVersionCheck,
// compares its version with the running BIOS's in Machine. EFI_SUCCESS when
// the update may go on; otherwise the operator is told why and
// EFI_NOT_FOUND comes back.
EFI_STATUS CheckVersions(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN SkipVersionCheck,
                         const MACHINE_FACTS *Machine, IMAGE_FACTS *Image);

// EFI_SUCCESS when the image the command line names is, byte for byte as
// far as its size and CRC-32 tell, the one Approved describes. Otherwise
// (another image, or none that can be read) the operator is told, and
// EFI_ABORTED comes back.
EFI_STATUS CheckApprovedImage(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const IMAGE_IDENTITY *Approved);
