// The version gate: an image older than the running BIOS is refused.
#pragma once

#include "app/state/UpdateLog.h"
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

// The gate. When it lets the update go on after reading the image, *Image
// is what it read; with SkipVersionCheck nothing is read and *Image is
// absent.
EFI_STATUS CheckVersions(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN SkipVersionCheck,
                         IMAGE_IDENTITY *Image, LAUNCH_RECORD *Launch = NULL);
EFI_STATUS GetFileVersion(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINTN *Major, UINTN *Minor);
EFI_STATUS GetDeviceVersion(UINTN *Major, UINTN *Minor);

// Reads "<c><major><c><minor>" the way the running BIOS's version string is
// read: major from index 1, minor from index 3; a part beyond the end of the
// string counts as 0.
VOID ParseDeviceVersion(const CHAR16 *Version, UINTN *Major, UINTN *Minor);

// Whether the gate reads a number where it looks for each: a digit (after
// blanks) at index 1 and at index 3. "V1.05" is readable; "V12.34" (read
// as 12.00), "1.05" and "Missing String" are not.
BOOLEAN DeviceVersionReadable(const CHAR16 *Version);

// The last step of a normal update: the BIOS the machine runs now against
// the image's version, both read as the gate reads them. Equal: State.dat
// removed and "BIOS Update done!". Different: the failure line, State.dat
// kept, EFI_INCOMPATIBLE_VERSION. Either unreadable: State.dat removed and
// the done line saying why the version was not checked. Otherwise
// EFI_SUCCESS.
// The launch's screen and log line (NULL: none) go out before State.dat is
// removed.
EFI_STATUS ConfirmFlashedVersion(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, LAUNCH_RECORD *Launch = NULL);

// EFI_SUCCESS when the image the command line names is, byte for byte as
// far as its size and CRC-32 tell, the one Approved describes. Otherwise
// (another image, or none that can be read) the operator is told, and
// EFI_ABORTED comes back.
EFI_STATUS CheckApprovedImage(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const IMAGE_IDENTITY *Approved);
