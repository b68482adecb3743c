// Tamsork: entry, command line and dispatch.
//
// Module: base name Tamsork, a UEFI application whose entry is HelperMain
// (reached through the kit's entry glue).
#pragma once

#include "kit/Library.h"

// The application's own version, shown in the usage banner; the build gives
// it (CMake's project version).
constexpr UINTN TAMSORK_VERSION_MAJOR = TAMSORK_PROJECT_VERSION_MAJOR;
constexpr UINTN TAMSORK_VERSION_MINOR = TAMSORK_PROJECT_VERSION_MINOR;

// The Shell Parameters instance of this launch: Argv[0] is the name typed,
// Argv[1] the BIOS image file name, Argv[2] and Argv[3] the switches.
extern EFI_SHELL_PARAMETERS_PROTOCOL *gShellParameters;

EFI_STATUS ParseCommandLine(BOOLEAN *BackupMode, BOOLEAN *SkipVersionCheck, EFI_HANDLE ImageHandle);
VOID PrintUsage();

// Waits for a key pressed after the call, keys typed before it dropped, and
// hands it back; a failed read gives a key with no scan code and no
// character.
EFI_INPUT_KEY WaitForAnyKey();
// The same with the failure of the read: *Key is then no key.
EFI_STATUS WaitForKey(EFI_INPUT_KEY *Key);
