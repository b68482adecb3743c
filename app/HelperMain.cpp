// One launch: find the command line, read the state file, carry out the
// action it calls for.
#include "app/Tamsork.h"
#include "app/actions/FlashTool.h"
#include "app/actions/UpdateMode.h"
#include "app/checks/Platform.h"
#include "app/checks/VersionGate.h"
#include "app/platform/Guids.h"
#include "app/state/UpdateState.h"
#include "kit/Scoped.h"

EFI_STATUS HelperMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  BOOLEAN BackupMode = FALSE;
  BOOLEAN SkipVersionCheck = FALSE;
  gShellParameters = NULL;

  {
    UINTN Count = 0;
    PoolPtr<EFI_HANDLE> Handles;
    if (EFI_ERROR(gBS->LocateHandleBuffer(ByProtocol, &gEfiShellParametersProtocolGuid, NULL, &Count,
                                          Handles.Out())) ||
        !Handles || Count < 2) {
      return EFI_NOT_FOUND;
    }
    if (ParseCommandLine(&BackupMode, &SkipVersionCheck, Handles.Get()) != EFI_SUCCESS) {
      return EFI_NOT_FOUND;
    }
  }

  switch (ReadUpdateState(ImageHandle, SystemTable, BackupMode)) {
    case ACTION_BEGIN:
      if (CheckVersions(ImageHandle, SystemTable, SkipVersionCheck) != EFI_SUCCESS) {
        return EFI_NOT_FOUND;
      }
      // An unrecognised platform keeps its memory-overwrite request but is
      // still updated.
      if (CheckPlatform() == EFI_SUCCESS) {
        ClearMemoryOverwriteRequest();
      }
      EnterUpdateMode(ImageHandle, SystemTable, BackupMode);
      break;
    case ACTION_FLASH:
      StartFlash(ImageHandle, SystemTable, BackupMode);
      break;
    case ACTION_FINISH:
      if (!EFI_ERROR(WriteUpdateState(ImageHandle, SystemTable, STATE_FLASH_FINISHED))) {
        RequestBoardReset();
      }
      break;
    case ACTION_CLEANUP:
      DeleteUpdateState(ImageHandle, SystemTable);
      if (!BackupMode) {
        Print(u"BIOS Update done!\n");
      }
      break;
    case ACTION_NONE:
    default:
      break;
  }
  return EFI_SUCCESS;
}
