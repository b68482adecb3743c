// One launch: find the command line, read the state file, carry out the
// action it calls for.
#include "app/Tamsork.h"
#include "app/actions/FlashTool.h"
#include "app/actions/UpdateMode.h"
#include "app/checks/Platform.h"
#include "app/checks/VersionGate.h"
#include "app/state/UpdateState.h"

EFI_STATUS HelperMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  BOOLEAN BackupMode = FALSE;
  BOOLEAN SkipVersionCheck = FALSE;
  gShellParameters = NULL;

  if (ParseCommandLine(&BackupMode, &SkipVersionCheck, ImageHandle) != EFI_SUCCESS) {
    return EFI_NOT_FOUND;
  }

  // A state file that cannot be read or written ends the launch with its
  // failure, the operator told.
  EFI_STATUS Status = EFI_SUCCESS;
  switch (ReadUpdateState(ImageHandle, SystemTable, BackupMode, &Status)) {
    case ACTION_BEGIN:
      // The flash tool will look for the file where the Shell stands; the
      // version check reads it from the root of this volume.
      if (CheckFlashToolStart(ImageHandle, SystemTable) != EFI_SUCCESS) {
        return EFI_NOT_FOUND;
      }
      if (CheckVersions(ImageHandle, SystemTable, SkipVersionCheck) != EFI_SUCCESS) {
        return EFI_NOT_FOUND;
      }
      // An unrecognised platform keeps its memory-overwrite request but is
      // still updated.
      if (CheckPlatform() == EFI_SUCCESS) {
        ClearMemoryOverwriteRequest();
      }
      return EnterUpdateMode(ImageHandle, SystemTable, BackupMode);
    case ACTION_FLASH:
      if (CheckFlashToolStart(ImageHandle, SystemTable) != EFI_SUCCESS) {
        return EFI_NOT_FOUND;
      }
      return StartFlash(ImageHandle, SystemTable, BackupMode);
    case ACTION_FINISH:
      Status = RecordUpdateState(ImageHandle, SystemTable, STATE_FLASH_FINISHED);
      if (!EFI_ERROR(Status)) {
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
  return Status;
}
