// The version gate: an image older than the running BIOS is refused.
#pragma once

#include "kit/Library.h"

// Size of the image file name buffer in bytes: 99 characters and the NUL.
constexpr UINTN IMAGE_NAME_SIZE = 200;
// GetInfo buffer: the fixed part of EFI_FILE_INFO and a name of up to 103
// characters.
constexpr UINTN IMAGE_INFO_SIZE = 288;

EFI_STATUS CheckVersions(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN SkipVersionCheck);
EFI_STATUS GetFileVersion(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINTN *Major, UINTN *Minor);
EFI_STATUS GetDeviceVersion(UINTN *Major, UINTN *Minor);

// Reads "<c><major><c><minor>" the way the running BIOS's version string is
// read: major from index 1, minor from index 3; a part beyond the end of the
// string counts as 0.
VOID ParseDeviceVersion(const CHAR16 *Version, UINTN *Major, UINTN *Minor);
