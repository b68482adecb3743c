// One launch: find the command line, read the state file, and carry out the
// step that the mode and the state byte call for, on the machine and with
// the image the update began with.
//
// Each step only decides and records: it returns what happened (the exit
// status, the "Tamsork: " line, the log line) and what is to follow once
// that is said (the board signal and reset, the flash tool, the board's
// reset, the state file's removal). HelperMain alone says it, logs it and
// then takes that last action, whose own outcome, where it comes back, is
// logged too, with a line on the screen. So a launch prints one
// "Tamsork: " line and writes one log line, two where it starts the tool or
// asks for the board's reset and gets control back.
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

// Room for the line printed after a step's own (a name of 255 characters
// with the rest of the line).
constexpr UINTN NOTE_SIZE = 400;

// What a launch does once its step is said and logged.
enum class LAUNCH_EFFECT : UINT8 {
  EFFECT_NONE,
  EFFECT_UPDATE_MODE,  // the board signal and a cold reset
  EFFECT_FLASH_TOOL,   // the flash tool through the Shell
  EFFECT_BOARD_RESET,  // the board's reset (a cold reset without its service)
  EFFECT_CLEAN_UP,     // State.dat removed
};
using enum LAUNCH_EFFECT;

struct LAUNCH_PLAN {
  LAUNCH_EFFECT Then;
  BOOLEAN SupportedPlatform;
  EFI_SHELL_PROTOCOL *Shell;
  PoolPtr<CHAR16> CommandLine;
  VENDOR_CONTROL_PROTOCOL *Vendor;  // NULL: the board's service is missing
  BOOLEAN KeyFirst;                 // the board's reset waits for a key
  STATE_SEEN After;
  CHAR8 Words[FLASH_WORDS_SIZE];
  CHAR16 Note[NOTE_SIZE];  // printed last, when not empty
  CHAR16 Byte[2];          // the state byte as text
};

STEP_OUTCOME Said(EFI_STATUS Status, const CHAR8 *Step, STATE_SEEN After, const CHAR8 *Text,
                  const CHAR16 *Argument = NULL) {
  return {Status, Text, Argument, Step, After, NULL};
}

const CHAR16 *ImageName() { return gShellParameters->Argv[1]; }

// The image's file name without its folders: the name its checksum file lists.
const CHAR16 *BaseName(const CHAR16 *Path) {
  const CHAR16 *Name = Path;
  for (; *Path != 0; Path++) {
    Name = *Path == u'\\' ? Path + 1 : Name;
  }
  return Name;
}

// The folder check of every start that uses the name.
BOOLEAN StartedAtRoot(LAUNCH_RECORD *Launch, STEP_OUTCOME *Refusal) {
  if (CheckFlashToolStart(Launch->ImageHandle, Launch->SystemTable) == EFI_SUCCESS) {
    return TRUE;
  }
  *Refusal = Said(EFI_NOT_FOUND, ImageName()[0] == 0 ? "refused-name" : "refused-folder", Launch->Line.Before,
                  "started away from the root of its volume, or with no name; nothing changed");
  return FALSE;
}

STEP_OUTCOME Unwritable(LAUNCH_RECORD *Launch, EFI_STATUS Status, const CHAR8 *Text) {
  Launch->StickFailed = TRUE;
  return Said(Status, STATE_UNWRITABLE, Launch->Line.Before, Text);
}

BOOLEAN SameField(const CHAR8 *Line, UINTN Length, const CHAR8 *Own, UINTN OwnLength, const CHAR8 *Key) {
  const CHAR8 *A = NULL;
  const CHAR8 *B = NULL;
  UINTN LengthA = 0;
  UINTN LengthB = 0;
  return LogLineField(Line, Length, Key, &A, &LengthA) && LogLineField(Own, OwnLength, Key, &B, &LengthB) &&
         LengthA == LengthB && CompareMem(A, B, LengthA) == 0;
}

// A stick left in after an update that ended: when the log's last line
// says that this machine (its serial and UUID) finished an update with this
// image file (at the version it runs now, where both are read), the operator
// is asked before the same image is flashed again. TRUE: go on.
BOOLEAN FlashAgain(LAUNCH_RECORD *Launch, const MACHINE_FACTS *Machine, STEP_OUTCOME *Refusal) {
  CHAR8 Tail[LOG_TAIL_SIZE];
  const CHAR8 *Last = NULL;
  UINTN Length = 0;
  if (ReadLastLogLine(Launch->ImageHandle, Launch->SystemTable, Tail, &Last, &Length) != EFI_SUCCESS) {
    return TRUE;
  }
  const CHAR8 *Step = NULL;
  UINTN StepLength = 0;
  if (!LogLineField(Last, Length, "step", &Step, &StepLength) ||
      !((StepLength == 4 && CompareMem(Step, "done", 4) == 0) ||
        (StepLength == 12 && CompareMem(Step, "refused-done", 12) == 0))) {
    return TRUE;
  }
  // This launch's own fields, written as the log writes them.
  const UINTN OwnLength = FormatLogLine(&Launch->Line, NULL, 0);
  PoolPtr<CHAR8> Own((CHAR8 *)AllocatePool(OwnLength));
  if (!Own) {
    return TRUE;
  }
  FormatLogLine(&Launch->Line, Own.Get(), OwnLength);
  if (!SameField(Last, Length, Own.Get(), OwnLength, "serial") ||
      !SameField(Last, Length, Own.Get(), OwnLength, "uuid") ||
      !SameField(Last, Length, Own.Get(), OwnLength, "file")) {
    return TRUE;
  }
  // The version the image held then, against the one the BIOS runs now:
  // "1.06" is what the running "V1.06" reads as.
  const CHAR8 *Version = NULL;
  UINTN VersionLength = 0;
  UINTN Major = 0;
  UINTN Minor = 0;
  if (LogLineField(Last, Length, "version", &Version, &VersionLength) && VersionLength == 4 &&
      ReadDeviceVersion(Machine->Bios.Text, Machine->Bios.Length, &Major, &Minor) &&
      CompareMem(Version, Machine->Bios.Text + 1, 4) != 0) {
    return TRUE;
  }
  const CHAR8 *Time = NULL;
  UINTN TimeLength = 0;
  LogLineField(Last, Length, "time", &Time, &TimeLength);
  CHAR16 When[LOG_TAIL_SIZE];
  PrintableText(Time, TimeLength, When);
  Print(u"Tamsork.log says this machine finished an update with %s at %s\n", ImageName(), When);
  Print(u"Press Y to flash it again, or any other key to leave the machine as it is\n");
  EFI_INPUT_KEY Key;
  if (WaitForKey(&Key) == EFI_SUCCESS && (Key.UnicodeChar == u'y' || Key.UnicodeChar == u'Y')) {
    return TRUE;
  }
  DeleteUpdateState(Launch->ImageHandle, Launch->SystemTable);
  *Refusal = Said(EFI_ABORTED, "refused-done", STATE_REMOVED, "this machine has been updated with %s; nothing changed",
                  ImageName());
  return FALSE;
}

// The first launch of an update: the checks, then the state byte with the
// record of this machine and this image; update mode follows.
STEP_OUTCOME BeginUpdate(LAUNCH_RECORD *Launch, const MACHINE_FACTS *Machine, const CHAR8 *Step,
                         LAUNCH_PLAN *Plan) {
  const BOOLEAN BackupMode = Launch->Line.BackupMode;
  const BOOLEAN SkipVersionCheck = Launch->Line.SkipVersionCheck;
  STEP_OUTCOME Refusal;
  // The flash tool will look for the file where the Shell stands; the
  // version check reads it from the root of this volume.
  if (!StartedAtRoot(Launch, &Refusal) || (Launch->Line.Before.Found != STATE_FILE_BYTE &&
                                           !FlashAgain(Launch, Machine, &Refusal))) {
    return Refusal;
  }
  // The copy on the stick against the digest the stick maker wrote beside
  // it, from the same read of the image as its version and CRC-32.
  PoolPtr<CHAR8> Sums;
  UINTN SumsSize = 0;
  const EFI_STATUS Listed = ReadChecksumFile(Launch->ImageHandle, Launch->SystemTable, Sums, &SumsSize);
  IMAGE_FACTS Image;
  const BOOLEAN Read = ReadImage(Launch->ImageHandle, Launch->SystemTable, ImageName(), &Image, Listed == EFI_SUCCESS) ==
                       EFI_SUCCESS;
  if (Listed != EFI_NOT_FOUND &&
      (Listed != EFI_SUCCESS || !Read || !ChecksumListsDigest(Sums.Get(), SumsSize, BaseName(ImageName()), Image.Sha256))) {
    Print(u"%s does not match %s.sha256 (or cannot be read): make the stick again\n", ImageName(), ImageName());
    DeleteUpdateState(Launch->ImageHandle, Launch->SystemTable);
    return Said(EFI_CRC_ERROR, "refused-checksum", STATE_REMOVED, "the checksum refused %s; the update does not begin",
                ImageName());
  }
  const EFI_STATUS Checked = CheckVersions(SkipVersionCheck, Machine, &Image, Read);
  if (!SkipVersionCheck && Image.HasVersion) {
    Launch->Line.HasVersion = TRUE;
    Launch->Line.Major = Image.Major;
    Launch->Line.Minor = Image.Minor;
  }
  if (Checked != EFI_SUCCESS) {
    // The next start begins afresh.
    Print(u"Press ANY key to abort!\n");
    WaitForAnyKey();
    DeleteUpdateState(Launch->ImageHandle, Launch->SystemTable);
    return Said(EFI_NOT_FOUND, "refused-version", STATE_REMOVED, "the version check refused %s; the update does not begin",
                ImageName());
  }
  // Unchecked (-d), the image is still the one the tool must get: recorded
  // when it can be read, as -d allows a name that is not there yet.
  UPDATE_RECORD Record;
  ZeroMem(&Record, sizeof(Record));
  Record.Image = Image.Identity;
  Record.VersionChecked = !SkipVersionCheck;
  Record.Machine = Machine->Identity;
  // An unrecognised platform keeps its memory-overwrite request but is
  // still updated.
  Plan->SupportedPlatform = Machine->SupportedPlatform;
  const STATE_CODE Byte = BackupMode ? STATE_BACKUP_MODE_REQUESTED : STATE_MODE_ENTERED;
  const EFI_STATUS Status = RecordUpdateBegin(Launch->ImageHandle, Launch->SystemTable, Byte, &Record);
  if (EFI_ERROR(Status)) {
    return Unwritable(Launch, Status, "State.dat could not be written; nothing changed");
  }
  Plan->Then = EFFECT_UPDATE_MODE;
  // The line says whether the copy was checked.
  const BOOLEAN Summed = Listed == EFI_SUCCESS;
  return Said(EFI_SUCCESS, Step, StateByte(Byte),
              BackupMode ? (Summed ? "backup update, %s matches its .sha256 file; update mode requested; the machine "
                                     "restarts now"
                                   : "backup update, %s has no .sha256 file to check it; update mode requested; the "
                                     "machine restarts now")
                         : (Summed ? "step 1 of 4, %s matches its .sha256 file; update mode requested; the machine "
                                     "restarts now"
                                   : "step 1 of 4, %s has no .sha256 file to check it; update mode requested; the machine "
                                     "restarts now"),
              ImageName());
}

STEP_OUTCOME Flash(LAUNCH_RECORD *Launch, const UPDATE_STATE *State, LAUNCH_PLAN *Plan) {
  const BOOLEAN BackupMode = Launch->Line.BackupMode;
  STEP_OUTCOME Refusal;
  if (!StartedAtRoot(Launch, &Refusal)) {
    return Refusal;
  }
  EFI_STATUS Status = EFI_SUCCESS;
  if (State->HasRecord && State->Record.Image.Present) {
    Status = CheckApprovedImage(Launch->ImageHandle, Launch->SystemTable, &State->Record.Image);
    if (EFI_ERROR(Status)) {
      return Said(Status, "refused-image", Launch->Line.Before, "%s is not the image the update began with; nothing changed",
                  ImageName());
    }
  }
  BOOLEAN ToolMissing = FALSE;
  Status = PrepareFlash(Launch->ImageHandle, Launch->SystemTable, BackupMode, &Plan->Shell, Plan->CommandLine,
                        &ToolMissing);
  if (ToolMissing) {
    return Said(Status, "no-tool", Launch->Line.Before, "the flash tool is not where the Shell looks; nothing changed");
  }
  if (EFI_ERROR(Status)) {
    return Unwritable(Launch, Status, "the flash tool was not started; nothing changed");
  }
  const STATE_CODE Byte = BackupMode ? STATE_BACKUP_FLASH_STARTED : STATE_FLASH_STARTED;
  Plan->Then = EFFECT_FLASH_TOOL;
  Plan->After = StateByte(Byte);
  // What the tool does is not known before it returns.
  STEP_OUTCOME Outcome = Said(EFI_SUCCESS, "flash", StateByte(Byte),
                              BackupMode ? "backup update, the flash tool starts with %s"
                                         : "step 2 of 4, the flash tool starts with %s",
                              ImageName());
  Outcome.Outcome = "Started";
  return Outcome;
}

// The board's reset, asked for once Byte is on the stick: through the
// board's service, or, when that is missing, by a cold reset, so that an
// unattended update still reaches its next start.
STEP_OUTCOME AskBoardReset(LAUNCH_RECORD *Launch, STATE_CODE Byte, BOOLEAN KeyFirst, const CHAR8 *Step,
                           const CHAR8 *Text, const CHAR8 *WithoutService, LAUNCH_PLAN *Plan) {
  const EFI_STATUS Status = RecordUpdateState(Launch->ImageHandle, Launch->SystemTable, Byte);
  if (EFI_ERROR(Status)) {
    return Unwritable(Launch, Status, "State.dat could not be written; nothing changed");
  }
  Plan->Then = EFFECT_BOARD_RESET;
  Plan->KeyFirst = KeyFirst;
  Plan->After = StateByte(Byte);
  const EFI_STATUS Found = LocateVendorControl(&Plan->Vendor);
  if (EFI_ERROR(Found)) {
    Plan->Vendor = NULL;
    Print(u"The board's control service cannot be found: %r; the machine is restarted without it\n", Found);
    return Said(Found, Step, StateByte(Byte), WithoutService);
  }
  return Said(EFI_SUCCESS, Step, StateByte(Byte), Text);
}

// The last start of a normal update: the BIOS the machine runs now against
// the image's version.
STEP_OUTCOME CheckFlashedVersion(LAUNCH_RECORD *Launch, const UPDATE_STATE *State, const MACHINE_FACTS *Machine,
                                 LAUNCH_PLAN *Plan) {
  const CHAR16 *Name = ImageName();
  IMAGE_FACTS Image;
  const BOOLEAN Read = ReadImage(Launch->ImageHandle, Launch->SystemTable, Name, &Image) == EFI_SUCCESS;
  if (Read && Image.HasVersion) {
    Launch->Line.HasVersion = TRUE;
    Launch->Line.Major = Image.Major;
    Launch->Line.Minor = Image.Minor;
  }
  UINTN Major = 0;
  UINTN Minor = 0;
  CHAR16 Version[MACHINE_SERIAL_MAX + 1];
  DeviceVersionText(Machine, Version);
  const VERSION_VERDICT Verdict = CompareVersions(&Image, Read, Machine, &Major, &Minor);
  if (Verdict == VERSION_EQUAL) {
    Plan->Then = EFFECT_CLEAN_UP;
    UnicodeSPrintAsciiFormat(Plan->Note, sizeof(Plan->Note), "BIOS Update done!\n");
    return Said(EFI_SUCCESS, "done", STATE_REMOVED, "step 4 of 4, the BIOS runs the version of %s; the update is done",
                Name);
  }
  if (Verdict == VERSION_NEWER || Verdict == VERSION_OLDER) {
    // The machine still runs another BIOS: State.dat keeps its byte so
    // that every later start says so too.
    UnicodeSPrintAsciiFormat(Plan->Note, sizeof(Plan->Note), "BIOS Update failed: the BIOS runs %u.%02u, %s holds %u.%02u\n",
                  Major, Minor, Name, Image.Major, Image.Minor);
    return Said(EFI_INCOMPATIBLE_VERSION, "failed", StateByte(STATE_FLASH_FINISHED),
                "step 4 of 4, the BIOS does not run the version of %s; the update failed", Name);
  }
  if (State->HasRecord && State->Record.VersionChecked) {
    // An update whose first start compared the versions ends only on the
    // same comparison.
    if (Verdict == VERSION_IMAGE_UNREADABLE) {
      UnicodeSPrintAsciiFormat(Plan->Note, sizeof(Plan->Note),
                    "BIOS Update not finished: %s cannot be read or holds no version; put the image back and start "
                    "again\n",
                    Name);
    } else {
      UnicodeSPrintAsciiFormat(Plan->Note, sizeof(Plan->Note),
                    "BIOS Update not finished: the running BIOS version \"%s\" cannot be read; check the version in "
                    "the firmware's setup, then delete State.dat\n",
                    Verdict == VERSION_DEVICE_MISSING ? u"(none)" : Version);
    }
    return Said(EFI_NOT_FOUND, "unchecked", StateByte(STATE_FLASH_FINISHED),
                "step 4 of 4, the version cannot be checked; the update is not finished");
  }
  Plan->Then = EFFECT_CLEAN_UP;
  if (Verdict == VERSION_IMAGE_UNREADABLE) {
    UnicodeSPrintAsciiFormat(Plan->Note, sizeof(Plan->Note),
                  "BIOS Update done! The version was not checked: %s cannot be read or holds no version\n", Name);
  } else if (Verdict == VERSION_DEVICE_MISSING) {
    UnicodeSPrintAsciiFormat(Plan->Note, sizeof(Plan->Note),
                  "BIOS Update done! The version was not checked: the firmware reports no BIOS version\n");
  } else {
    UnicodeSPrintAsciiFormat(Plan->Note, sizeof(Plan->Note),
                  "BIOS Update done! The version was not checked: the BIOS version \"%s\" cannot be read\n", Version);
  }
  return Said(EFI_SUCCESS, "done-unchecked", STATE_REMOVED, "step 4 of 4, the update ends without a version check");
}

// A state byte this mode does not act on: nothing happens, the operator is
// told what the byte belongs to and how to go on.
STEP_OUTCOME ExplainState(LAUNCH_RECORD *Launch, UINT8 Byte, LAUNCH_PLAN *Plan) {
  BOOLEAN Known = FALSE;
  const BOOLEAN Backup = IsBackupByte(Byte, &Known);
  Plan->Byte[0] = (CHAR16)Byte;
  if (!Known) {
    UnicodeSPrintAsciiFormat(Plan->Note, sizeof(Plan->Note),
                  "State.dat holds 0x%02X, which no update writes: delete State.dat to begin a new update\n", Byte);
    return Said(EFI_INVALID_PARAMETER, "unknown-state", Launch->Line.Before,
                "State.dat holds a byte no update writes; nothing to do");
  }
  UnicodeSPrintAsciiFormat(Plan->Note, sizeof(Plan->Note),
                "State.dat holds %c, a step of a %s update: start it %s to go on, or delete State.dat to begin "
                "again\n",
                (CHAR16)Byte, Backup ? u"backup" : u"normal", Backup ? u"with -b" : u"without -b");
  return Said(EFI_INVALID_PARAMETER, "other-mode", Launch->Line.Before,
              Backup ? "State.dat holds %s, a step of a backup update; nothing to do"
                     : "State.dat holds %s, a step of a normal update; nothing to do",
              Plan->Byte);
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

STEP_OUTCOME CarryOut(LAUNCH_RECORD *Launch, const UPDATE_STATE *State, const MACHINE_FACTS *Machine,
                      UPDATE_ACTION Action, LAUNCH_PLAN *Plan) {
  // Every step of an update begun elsewhere would finish another machine's
  // update here: none is taken.
  if (TakesStep(Action) && State->HasRecord) {
    const EFI_STATUS Status = CheckRecordedMachine(&State->Record.Machine, &Machine->Identity);
    if (EFI_ERROR(Status)) {
      return Said(Status, "refused-machine", Launch->Line.Before,
                  "the update belongs to another machine; nothing changed");
    }
  }

  switch (Action) {
    case ACTION_BEGIN:
      return BeginUpdate(Launch, Machine, "begin", Plan);
    case ACTION_FLASH:
      return Flash(Launch, State, Plan);
    case ACTION_FINISH:
      return AskBoardReset(Launch, STATE_FLASH_FINISHED, FALSE, "finish",
                           "step 3 of 4, flashing has finished; the board restarts the machine now",
                           "step 3 of 4, flashing has finished; the machine restarts now", Plan);
    case ACTION_CLEANUP:
      return CheckFlashedVersion(Launch, State, Machine, Plan);
    case ACTION_MANUAL_RESET:
      Print(u"Please enable UPDATE MODE to flash BIOS!\n");
      return AskBoardReset(Launch, STATE_BACKUP_RESET_PENDING, TRUE, "manual-reset",
                           "backup update, update mode asked for; a key restarts the board",
                           "backup update, update mode asked for; a key restarts the machine", Plan);
    case ACTION_ASK_START_OVER: {
      // The question is the launch's line; what follows the answer is
      // logged, not said again.
      Print(u"Tamsork: backup update, State.dat holds G; asking whether to start over\n");
      Print(u"State file found! Press Y so flash BIOS or ANY key to abort!\n");
      EFI_INPUT_KEY Key;
      const EFI_STATUS Status = WaitForKey(&Key);
      STEP_OUTCOME Outcome;
      if (EFI_ERROR(Status)) {
        // Nobody answered: the update stays where it is.
        Print(u"No key could be read: %r\n", Status);
        Outcome = Said(Status, "no-key", Launch->Line.Before, NULL);
      } else if (Key.UnicodeChar == u'y' || Key.UnicodeChar == u'Y') {
        Outcome = BeginUpdate(Launch, Machine, "start-over", Plan);
      } else {
        Plan->Then = EFFECT_CLEAN_UP;
        Outcome = Said(EFI_SUCCESS, "give-up", STATE_REMOVED, NULL);
      }
      Outcome.Text = NULL;
      return Outcome;
    }
    case ACTION_OTHER_MODE:
    case ACTION_UNKNOWN_STATE:
      return ExplainState(Launch, State->Byte, Plan);
    case ACTION_NONE:
    default:
      return Said(EFI_SUCCESS, "wait-board", Launch->Line.Before,
                  "the board's tools take over (State.dat holds B); nothing to do");
  }
}

// The action a step leaves to follow its line; what comes back of it.
STEP_OUTCOME TakeEffect(LAUNCH_RECORD *Launch, LAUNCH_PLAN *Plan, const STEP_OUTCOME *Step) {
  STEP_OUTCOME Outcome = Said(Step->Status, NULL, Plan->After, NULL);
  switch (Plan->Then) {
    case EFFECT_UPDATE_MODE:
      EnterUpdateMode(Launch->Line.BackupMode, Plan->SupportedPlatform);
      break;
    case EFFECT_FLASH_TOOL:
      Outcome = RunFlashTool(Plan->Shell, Plan->CommandLine.Get(), Launch->Line.BackupMode, Plan->After, Plan->Words);
      break;
    case EFFECT_BOARD_RESET: {
      if (Plan->KeyFirst) {
        Print(u"Press ANY key to Reset!\n");
        WaitForAnyKey();
      }
      if (Plan->Vendor == NULL) {
        gRT->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, NULL);
        break;
      }
      // The board decides whether and when it resets: a request that
      // returns is not overridden, and the launch does not end as if the
      // restart had come.
      const EFI_STATUS Status = RequestBoardReset(Plan->Vendor);
      if (EFI_ERROR(Status)) {
        Print(u"The board's reset request failed: %r\n", Status);
      }
      Print(u"The board was asked to restart the machine; if it does not, restart it by hand\n");
      Outcome = Said(EFI_ERROR(Status) ? Status : EFI_NOT_READY, "reset-asked", Plan->After, NULL);
      break;
    }
    case EFFECT_CLEAN_UP:
      DeleteUpdateState(Launch->ImageHandle, Launch->SystemTable);
      break;
    case EFFECT_NONE:
    default:
      break;
  }
  return Outcome;
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
  // check against it, the versions, the platform and the log.
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

  LAUNCH_PLAN Plan{};
  const STEP_OUTCOME Step = CarryOut(&Launch, &State, &Machine, NextAction(BackupMode, &State), &Plan);
  ReportStep(&Launch, &Step);
  const STEP_OUTCOME After = TakeEffect(&Launch, &Plan, &Step);
  ReportStep(&Launch, &After);
  if (Plan.Note[0] != 0) {
    Print(u"%s", Plan.Note);
  }
  return After.Status;
}
