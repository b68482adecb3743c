// One launch: find the command line, read the state file, and carry out the
// step that the mode and the state byte call for, on the machine and with
// the image the update began with.
#include "app/Tamsork.h"
#include "app/actions/FlashTool.h"
#include "app/actions/UpdateMode.h"
#include "app/checks/MachineIdentity.h"
#include "app/checks/Platform.h"
#include "app/checks/VersionGate.h"
#include "app/state/UpdateState.h"

namespace {

// The first launch of an update: the checks, then the state byte with the
// record of this machine and this image, then update mode.
EFI_STATUS BeginUpdate(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN BackupMode,
                       BOOLEAN SkipVersionCheck) {
  // The flash tool will look for the file where the Shell stands; the
  // version check reads it from the root of this volume.
  if (CheckFlashToolStart(ImageHandle, SystemTable) != EFI_SUCCESS) {
    return EFI_NOT_FOUND;
  }
  UPDATE_RECORD Record;
  ZeroMem(&Record, sizeof(Record));
  if (CheckVersions(ImageHandle, SystemTable, SkipVersionCheck, &Record.Image) != EFI_SUCCESS) {
    return EFI_NOT_FOUND;
  }
  if (SkipVersionCheck) {
    // Unchecked, but still the image the tool must get: recorded when it
    // can be read, as -d allows a name that is not there yet.
    IMAGE_FACTS Facts;
    if (ReadImage(ImageHandle, SystemTable, gShellParameters->Argv[1], &Facts) == EFI_SUCCESS) {
      Record.Image = Facts.Identity;
    }
  }
  ReadMachineIdentity(&Record.Machine);
  // An unrecognised platform keeps its memory-overwrite request but is
  // still updated.
  const BOOLEAN Supported = CheckPlatform() == EFI_SUCCESS;
  return EnterUpdateMode(ImageHandle, SystemTable, BackupMode, &Record, Supported);
}

// A state byte this mode does not act on: nothing happens, the operator is
// told what the byte belongs to and how to go on.
EFI_STATUS ExplainState(UINT8 Byte) {
  BOOLEAN Known = FALSE;
  const BOOLEAN Backup = IsBackupByte(Byte, &Known);
  if (!Known) {
    Print(u"State.dat holds 0x%02X, which no update writes: delete State.dat to begin a new update\n", Byte);
  } else if (Backup) {
    Print(u"State.dat holds %c, a step of a backup update: start it with -b to go on, or delete State.dat to begin "
          u"again\n",
          (CHAR16)Byte);
  } else {
    Print(u"State.dat holds %c, a step of a normal update: start it without -b to go on, or delete State.dat to "
          u"begin again\n",
          (CHAR16)Byte);
  }
  return EFI_INVALID_PARAMETER;
}

bool TakesStep(UPDATE_ACTION Action) {
  switch (Action) {
    case ACTION_FLASH:
    case ACTION_FINISH:
    case ACTION_CLEANUP:
    case ACTION_MANUAL_RESET:
    case ACTION_ASK_START_OVER:
      return true;
    default:
      return false;
  }
}

}  // namespace

EFI_STATUS HelperMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  BOOLEAN BackupMode = FALSE;
  BOOLEAN SkipVersionCheck = FALSE;
  gShellParameters = NULL;

  if (ParseCommandLine(&BackupMode, &SkipVersionCheck, ImageHandle) != EFI_SUCCESS) {
    return EFI_NOT_FOUND;
  }

  // A state file that cannot be read, or on a stick that cannot be
  // written, ends the launch with its failure, the operator told.
  UPDATE_STATE State;
  EFI_STATUS Status = ReadUpdateState(ImageHandle, SystemTable, &State);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  const UPDATE_ACTION Action = NextAction(BackupMode, &State);

  // Every step of an update begun elsewhere would finish another machine's
  // update here: none is taken.
  if (TakesStep(Action) && State.HasRecord) {
    Status = CheckRecordedMachine(&State.Record.Machine);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }

  switch (Action) {
    case ACTION_BEGIN:
      return BeginUpdate(ImageHandle, SystemTable, BackupMode, SkipVersionCheck);
    case ACTION_FLASH:
      if (CheckFlashToolStart(ImageHandle, SystemTable) != EFI_SUCCESS) {
        return EFI_NOT_FOUND;
      }
      if (State.HasRecord && State.Record.Image.Present) {
        Status = CheckApprovedImage(ImageHandle, SystemTable, &State.Record.Image);
        if (EFI_ERROR(Status)) {
          return Status;
        }
      }
      return StartFlash(ImageHandle, SystemTable, BackupMode);
    case ACTION_FINISH:
      Status = RecordUpdateState(ImageHandle, SystemTable, STATE_FLASH_FINISHED);
      if (!EFI_ERROR(Status)) {
        RequestBoardReset();
      }
      return Status;
    case ACTION_CLEANUP:
      return ConfirmFlashedVersion(ImageHandle, SystemTable);
    case ACTION_MANUAL_RESET:
      Print(u"Please enable UPDATE MODE to flash BIOS!\n");
      return RequestManualReset(ImageHandle, SystemTable);
    case ACTION_ASK_START_OVER: {
      Print(u"State file found! Press Y so flash BIOS or ANY key to abort!\n");
      EFI_INPUT_KEY Key;
      Status = WaitForKey(&Key);
      if (EFI_ERROR(Status)) {
        // Nobody answered: the update stays where it is.
        Print(u"No key could be read: %r\n", Status);
        return Status;
      }
      if (Key.UnicodeChar == u'y' || Key.UnicodeChar == u'Y') {
        return BeginUpdate(ImageHandle, SystemTable, BackupMode, SkipVersionCheck);
      }
      DeleteUpdateState(ImageHandle, SystemTable);
      return EFI_SUCCESS;
    }
    case ACTION_OTHER_MODE:
    case ACTION_UNKNOWN_STATE:
      return ExplainState(State.Byte);
    case ACTION_NONE:
    default:
      return EFI_SUCCESS;
  }
}
