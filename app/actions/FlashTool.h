// The flash tool launch through the Shell, and the check that the Shell
// resolves the BIOS file name where the version check reads it.
#pragma once

#include "app/state/UpdateLog.h"
#include "kit/Library.h"

// The tool's name, as the command line gives it: the Shell finds it.
constexpr const CHAR16 *FLASH_TOOL_NAME = u"H2OFFT-Sx64.efi";

// Records that flashing has begun and has the Shell run the flash tool. The
// Shell, the tool and the command line are made ready first: the state byte
// is written only when the tool can be started. A failure is reported to the
// operator and comes back; what the tool returns is not looked at.
// The launch's screen and log line (NULL: none) go out once the byte is on
// the stick, before the tool starts.
EFI_STATUS StartFlash(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN BackupMode,
                      LAUNCH_RECORD *Launch = NULL);

// "H2OFFT-Sx64.efi <name>", the name written as one word for Shell: a new
// pool string, NULL when the pool is exhausted.
CHAR16 *FlashToolCommandLine(EFI_SHELL_PROTOCOL *Shell, const CHAR16 *FileName);

// EFI_SUCCESS when the Shell, running FLASH_TOOL_NAME, finds a file of that
// name where it looks for programs: the current directory, then each entry
// of its path variable in order. Otherwise the operator is told where it
// was looked for, and EFI_NOT_FOUND comes back.
EFI_STATUS FindFlashTool(EFI_SHELL_PROTOCOL *Shell);

// The Shell protocol of the first handle that carries it.
EFI_STATUS LocateShell(EFI_SHELL_PROTOCOL **Shell);

// EFI_SUCCESS when the flash tool, started later in this update, will open
// the BIOS file the version check reads: the name is one the Shell can hand
// over, and the Shell's current directory is the root of the volume the
// application was loaded from. Otherwise the operator is told why, and
// EFI_NOT_FOUND comes back.
EFI_STATUS CheckFlashToolStart(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// Whether CurrentDirectory ("FS0:\" or "fs0:") is the root of one of the
// ';'-separated mapping names in Mappings ("FS0:;BLK1:"), in any case.
BOOLEAN IsRootOfMapping(const CHAR16 *CurrentDirectory, const CHAR16 *Mappings);
