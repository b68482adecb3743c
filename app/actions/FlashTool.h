// The flash tool launch through the Shell.
#pragma once

#include "kit/Library.h"

// The tool's command line buffer in bytes: 99 characters and the NUL.
constexpr UINTN FLASH_TOOL_COMMAND_SIZE = 200;
constexpr const CHAR8 *FLASH_TOOL_COMMAND_FORMAT = "H2OFFT-Sx64.efi %s";

VOID StartFlash(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN BackupMode);
VOID LaunchFlashTool(EFI_HANDLE ImageHandle);
