// The version gate: an image older than the running BIOS is refused, and a
// version that cannot be read on either side stops the update.
#pragma once

#include "app/checks/MachineIdentity.h"
#include "app/checks/Sha256.h"
#include "app/state/UpdateState.h"
#include "kit/Library.h"
#include "kit/Scoped.h"

// What one read of an image file gives: its identity and, where it holds a
// version marker, its version.
typedef struct {
  IMAGE_IDENTITY Identity;
  BOOLEAN HasVersion;
  UINTN Major;
  UINTN Minor;
  UINT8 Sha256[SHA256_DIGEST_SIZE];  // where the read was asked for it
} IMAGE_FACTS;

// Reads the image file Name, a path from the root of the application's own
// volume, whole, in pieces (ReadFileBytes), and takes its CRC-32, its
// version and, with Digest, its SHA-256 from that one read: EFI_NOT_FOUND or
// EFI_OUT_OF_RESOURCES when it cannot.
EFI_STATUS ReadImage(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const CHAR16 *Name, IMAGE_FACTS *Facts,
                     BOOLEAN Digest = FALSE);

// The checksum file of the image the command line names: its name with
// ".sha256", beside it. Its first CHECKSUM_FILE_MAX bytes into Text and
// *Size; EFI_NOT_FOUND when there is none.
constexpr UINTN CHECKSUM_FILE_MAX = 0x10000;
EFI_STATUS ReadChecksumFile(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, PoolPtr<CHAR8> &Text, UINTN *Size);

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

// The gate, at the start that begins an update: unless SkipVersionCheck,
// the version of Image (ImageRead: it could be read) against the running
// BIOS's in Machine. EFI_SUCCESS when the update may go on; otherwise the
// operator is told why and EFI_NOT_FOUND comes back.
EFI_STATUS CheckVersions(BOOLEAN SkipVersionCheck, const MACHINE_FACTS *Machine, const IMAGE_FACTS *Image,
                         BOOLEAN ImageRead);

// EFI_SUCCESS when the image the command line names is, byte for byte as
// far as its size and CRC-32 tell, the one Approved describes. Otherwise
// (another image, or none that can be read) the operator is told, and
// EFI_ABORTED comes back.
EFI_STATUS CheckApprovedImage(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const IMAGE_IDENTITY *Approved);
