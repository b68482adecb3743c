#include "app/actions/FlashTool.h"

#include "app/Tamsork.h"
#include "app/platform/Guids.h"
#include "app/state/UpdateState.h"
#include "kit/Scoped.h"

VOID StartFlash(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN BackupMode) {
  // The tool runs only once the byte that says so is on the volume: a byte
  // that never got there would have every later launch flash again.
  STATE_CODE State = BackupMode ? STATE_BACKUP_FLASH_STARTED : STATE_FLASH_STARTED;
  if (EFI_ERROR(WriteUpdateState(ImageHandle, SystemTable, State))) {
    return;
  }
  LaunchFlashTool(ImageHandle);
}

VOID LaunchFlashTool(EFI_HANDLE ImageHandle) {
  PoolPtr<CHAR16> CommandLine((CHAR16 *)AllocateZeroPool(FLASH_TOOL_COMMAND_SIZE));
  if (!CommandLine) {
    return;
  }
  UnicodeSPrintAsciiFormat(CommandLine.Get(), FLASH_TOOL_COMMAND_SIZE, FLASH_TOOL_COMMAND_FORMAT,
                           gShellParameters->Argv[1]);

  UINTN Count = 0;
  PoolPtr<EFI_HANDLE> Handles;
  if (EFI_ERROR(gBS->LocateHandleBuffer(ByProtocol, &gEfiShellProtocolGuid, NULL, &Count, Handles.Out())) ||
      !Handles || Count == 0) {
    return;
  }
  EFI_HANDLE First = Handles[0];
  Handles.Reset();

  EFI_SHELL_PROTOCOL *Shell = NULL;
  if (EFI_ERROR(gBS->OpenProtocol(First, &gEfiShellProtocolGuid, (VOID **)&Shell, First, NULL,
                                  EFI_OPEN_PROTOCOL_GET_PROTOCOL)) ||
      Shell == NULL) {
    return;
  }
  Shell->Execute(&ImageHandle, CommandLine.Get(), NULL, NULL);
}
