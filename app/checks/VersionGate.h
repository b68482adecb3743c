// The version gate: an image older than the running BIOS is refused.
#pragma once

#include "kit/Library.h"

EFI_STATUS CheckVersions(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN SkipVersionCheck);
EFI_STATUS GetFileVersion(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINTN *Major, UINTN *Minor);
EFI_STATUS GetDeviceVersion(UINTN *Major, UINTN *Minor);

// Reads "<c><major><c><minor>" the way the running BIOS's version string is
// read: major from index 1, minor from index 3; a part beyond the end of the
// string counts as 0.
VOID ParseDeviceVersion(const CHAR16 *Version, UINTN *Major, UINTN *Minor);
