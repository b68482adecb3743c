// One launch: find the command line, read the state file, and carry out the
// step that the mode and the state byte call for, on the machine and with
// the image the update began with. Every launch that read the state file
// says in one screen line and one line of Tamsork.log what it does, or why
// it does nothing.
#include "app/Tamsork.h"
#include "app/actions/FlashTool.h"
#include "app/actions/UpdateMode.h"
#include "app/checks/MachineIdentity.h"
#include "app/checks/Platform.h"
#include "app/checks/VersionGate.h"
#include "app/state/UpdateLog.h"
#include "app/state/UpdateState.h"

namespace {

// The step word of a launch whose state byte could not be written: the
// stick has said so, and the log's own failure goes untold.
constexpr const CHAR8 STATE_UNWRITABLE[] = "state-unwritable";

// A launch that ends without a step: its screen line and log line.
EFI_STATUS Refuse(LAUNCH_RECORD *Launch, const CHAR8 *Step, EFI_STATUS Status, const CHAR16 *Text,
                  const CHAR16 *Argument = NULL) {
  SayStep(Launch, Text, Argument);
  Launch->StickFailed = Launch->StickFailed || Step == STATE_UNWRITABLE;
  LogStep(Launch, Step, Launch->Line.Before, Status);
  return Status;
}

// The first launch of an update: the checks, then the state byte with the
// record of this machine and this image, then update mode.
EFI_STATUS BeginUpdate(LAUNCH_RECORD *Launch, const MACHINE_FACTS *Machine, const CHAR8 *Step) {
  EFI_HANDLE ImageHandle = Launch->ImageHandle;
  EFI_SYSTEM_TABLE *SystemTable = Launch->SystemTable;
  const BOOLEAN BackupMode = Launch->Line.BackupMode;
  const BOOLEAN SkipVersionCheck = Launch->Line.SkipVersionCheck;
  // The flash tool will look for the file where the Shell stands; the
  // version check reads it from the root of this volume.
  if (CheckFlashToolStart(ImageHandle, SystemTable) != EFI_SUCCESS) {
    return Refuse(Launch, gShellParameters->Argv[1][0] == 0 ? "refused-name" : "refused-folder", EFI_NOT_FOUND,
                  u"started away from the root of its volume, or with no name; nothing changed");
  }
  UPDATE_RECORD Record;
  ZeroMem(&Record, sizeof(Record));
  if (CheckVersions(ImageHandle, SystemTable, SkipVersionCheck, &Record.Image, Launch) != EFI_SUCCESS) {
    // The check removed State.dat, so that the next start begins afresh.
    SayStep(Launch, u"the version check refused %s; the update does not begin", gShellParameters->Argv[1]);
    LogStep(Launch, "refused-version", STATE_REMOVED, EFI_NOT_FOUND);
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
  Record.Machine = Machine->Identity;
  // An unrecognised platform keeps its memory-overwrite request but is
  // still updated.
  const BOOLEAN Supported = CheckPlatform() == EFI_SUCCESS;
  const EFI_STATUS Status = EnterUpdateMode(ImageHandle, SystemTable, BackupMode, &Record, Supported, Launch, Step);
  if (EFI_ERROR(Status)) {
    return Refuse(Launch, STATE_UNWRITABLE, Status, u"State.dat could not be written; nothing changed");
  }
  return Status;
}

// A state byte this mode does not act on: nothing happens, the operator is
// told what the byte belongs to and how to go on.
EFI_STATUS ExplainState(LAUNCH_RECORD *Launch, UINT8 Byte) {
  BOOLEAN Known = FALSE;
  const BOOLEAN Backup = IsBackupByte(Byte, &Known);
  const CHAR16 Text[2] = {(CHAR16)Byte, 0};
  if (!Known) {
    SayStep(Launch, u"State.dat holds a byte no update writes; nothing to do");
    Print(u"State.dat holds 0x%02X, which no update writes: delete State.dat to begin a new update\n", Byte);
  } else if (Backup) {
    SayStep(Launch, u"State.dat holds %s, a step of a backup update; nothing to do", Text);
    Print(u"State.dat holds %c, a step of a backup update: start it with -b to go on, or delete State.dat to begin "
          u"again\n",
          (CHAR16)Byte);
  } else {
    SayStep(Launch, u"State.dat holds %s, a step of a normal update; nothing to do", Text);
    Print(u"State.dat holds %c, a step of a normal update: start it without -b to go on, or delete State.dat to "
          u"begin again\n",
          (CHAR16)Byte);
  }
  LogStep(Launch, Known ? "other-mode" : "unknown-state", Launch->Line.Before, EFI_INVALID_PARAMETER);
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

EFI_STATUS CarryOut(LAUNCH_RECORD *Launch, const UPDATE_STATE *State, const MACHINE_FACTS *Machine,
                    UPDATE_ACTION Action) {
  EFI_HANDLE ImageHandle = Launch->ImageHandle;
  EFI_SYSTEM_TABLE *SystemTable = Launch->SystemTable;
  const BOOLEAN BackupMode = Launch->Line.BackupMode;
  EFI_STATUS Status = EFI_SUCCESS;

  // Every step of an update begun elsewhere would finish another machine's
  // update here: none is taken.
  if (TakesStep(Action) && State->HasRecord) {
    Status = CheckRecordedMachine(&State->Record.Machine, &Machine->Identity);
    if (EFI_ERROR(Status)) {
      return Refuse(Launch, "refused-machine", Status, u"the update belongs to another machine; nothing changed");
    }
  }

  switch (Action) {
    case ACTION_BEGIN:
      return BeginUpdate(Launch, Machine, "begin");
    case ACTION_FLASH:
      if (CheckFlashToolStart(ImageHandle, SystemTable) != EFI_SUCCESS) {
        return Refuse(Launch, gShellParameters->Argv[1][0] == 0 ? "refused-name" : "refused-folder", EFI_NOT_FOUND,
                      u"started away from the root of its volume, or with no name; nothing changed");
      }
      if (State->HasRecord && State->Record.Image.Present) {
        Status = CheckApprovedImage(ImageHandle, SystemTable, &State->Record.Image);
        if (EFI_ERROR(Status)) {
          return Refuse(Launch, "refused-image", Status, u"%s is not the image the update began with; nothing changed",
                        gShellParameters->Argv[1]);
        }
      }
      Status = StartFlash(ImageHandle, SystemTable, BackupMode, Launch);
      if (EFI_ERROR(Status)) {
        return Refuse(Launch, STATE_UNWRITABLE, Status, u"the flash tool was not started; nothing changed");
      }
      return Status;
    case ACTION_FINISH:
      Status = RecordUpdateState(ImageHandle, SystemTable, STATE_FLASH_FINISHED);
      if (EFI_ERROR(Status)) {
        return Refuse(Launch, STATE_UNWRITABLE, Status, u"State.dat could not be written; nothing changed");
      }
      AnnounceStep(Launch, "finish", StateByte(STATE_FLASH_FINISHED),
                   u"step 3 of 4, flashing has finished; the board restarts the machine now");
      RequestBoardReset();
      return Status;
    case ACTION_CLEANUP:
      return ConfirmFlashedVersion(ImageHandle, SystemTable, Launch);
    case ACTION_MANUAL_RESET:
      Print(u"Please enable UPDATE MODE to flash BIOS!\n");
      Status = RequestManualReset(ImageHandle, SystemTable, Launch);
      if (EFI_ERROR(Status)) {
        return Refuse(Launch, STATE_UNWRITABLE, Status, u"State.dat could not be written; nothing changed");
      }
      return Status;
    case ACTION_ASK_START_OVER: {
      SayStep(Launch, u"backup update, State.dat holds G; asking whether to start over");
      Print(u"State file found! Press Y so flash BIOS or ANY key to abort!\n");
      EFI_INPUT_KEY Key;
      Status = WaitForKey(&Key);
      if (EFI_ERROR(Status)) {
        // Nobody answered: the update stays where it is.
        Print(u"No key could be read: %r\n", Status);
        LogStep(Launch, "no-key", Launch->Line.Before, Status);
        return Status;
      }
      if (Key.UnicodeChar == u'y' || Key.UnicodeChar == u'Y') {
        return BeginUpdate(Launch, Machine, "start-over");
      }
      LogStep(Launch, "give-up", STATE_REMOVED, EFI_SUCCESS);
      DeleteUpdateState(ImageHandle, SystemTable);
      return EFI_SUCCESS;
    }
    case ACTION_OTHER_MODE:
    case ACTION_UNKNOWN_STATE:
      return ExplainState(Launch, State->Byte);
    case ACTION_NONE:
    default:
      SayStep(Launch, u"the board's tools take over (State.dat holds B); nothing to do");
      LogStep(Launch, "wait-board", Launch->Line.Before, EFI_SUCCESS);
      return EFI_SUCCESS;
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

  // One walk of the SMBIOS records tells the machine for the record, the
  // check against it and the log.
  MACHINE_FACTS Machine;
  ReadMachineFacts(&Machine);

  LAUNCH_RECORD Launch;
  ZeroMem(&Launch, sizeof(Launch));
  Launch.ImageHandle = ImageHandle;
  Launch.SystemTable = SystemTable;
  Launch.Line.Machine = &Machine;
  Launch.Line.File = gShellParameters->Argv[1];
  Launch.Line.BackupMode = BackupMode;
  Launch.Line.SkipVersionCheck = SkipVersionCheck;
  Launch.Line.Before = {State.Found, State.Byte};
  Launch.Line.Step = "";
  return CarryOut(&Launch, &State, &Machine, NextAction(BackupMode, &State));
}
