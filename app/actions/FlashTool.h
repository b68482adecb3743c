// The flash tool launch through the Shell, and the check that the Shell
// resolves the BIOS file name where the version check reads it.
#pragma once

#include "app/state/UpdateLog.h"
#include "kit/Library.h"
#include "kit/Scoped.h"

// The tool's name, as the command line gives it: the Shell finds it.
constexpr const CHAR16 *FLASH_TOOL_NAME = u"H2OFFT-Sx64.efi";

// Makes the flash tool's start ready (the Shell, the tool where the Shell
// looks, the command line) and only then records that flashing has begun,
// so that no later start runs the tool again. On EFI_SUCCESS *Shell and
// CommandLine are what RunFlashTool takes. A failure is reported to the
// operator and comes back; *ToolMissing says that the Shell would not find
// the tool.
EFI_STATUS PrepareFlash(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN BackupMode,
                        EFI_SHELL_PROTOCOL **Shell, PoolPtr<CHAR16> &CommandLine, BOOLEAN *ToolMissing);

// Has the Shell run the tool and says how it ended: the Shell's own
// failure, or the status the Shell hands back for the tool. OVMF's Shell
// hands it back without its error bit (0x7 may be EFI_DEVICE_ERROR or the
// warning EFI_WARN_RESET_REQUIRED), so any value but 0 is shown and logged
// as it came, with both readings where it has two, and is the launch's exit
// status. Words (FLASH_WORDS_SIZE) holds the log's outcome.
constexpr UINTN FLASH_WORDS_SIZE = 20;
STEP_OUTCOME RunFlashTool(EFI_SHELL_PROTOCOL *Shell, CHAR16 *CommandLine, BOOLEAN BackupMode, STATE_SEEN After,
                          CHAR8 *Words);

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
