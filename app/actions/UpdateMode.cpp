#include "app/actions/UpdateMode.h"

#include "app/Tamsork.h"
#include "app/checks/Platform.h"
#include "app/state/UpdateState.h"
#include "kit/Scoped.h"

const EFI_GUID gVendorControlProtocolGuid = {
    0x937A7061, 0xE4FA, 0x11E5, {0xAC, 0xDB, 0x40, 0xA8, 0xF0, 0x57, 0x39, 0x9B}};

EFI_STATUS EnterUpdateMode(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN BackupMode,
                           const UPDATE_RECORD *Record, BOOLEAN SupportedPlatform, LAUNCH_RECORD *Launch,
                           const CHAR8 *Step) {
  // The board hears nothing, and the memory-overwrite request stays, until
  // the state byte is on the medium: reset without it, and every later
  // start would enter update mode again.
  const STATE_CODE Byte = BackupMode ? STATE_BACKUP_MODE_REQUESTED : STATE_MODE_ENTERED;
  EFI_STATUS Status = RecordUpdateBegin(ImageHandle, SystemTable, Byte, Record);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  AnnounceStep(Launch, Step, StateByte(Byte),
               BackupMode ? u"backup update, update mode requested; the machine restarts now"
                          : u"step 1 of 4, update mode requested; the machine restarts now");
  if (SupportedPlatform) {
    ClearMemoryOverwriteRequest();
  }

  IoWrite8(BOARD_UPDATE_PORT, BOARD_UPDATE_SIGNAL[0]);
  IoWrite8(BOARD_UPDATE_PORT, BOARD_UPDATE_SIGNAL[1]);
  if (BackupMode) {
    UINT8 Control = IoRead8(BOARD_CONTROL_PORT);
    IoWrite8(BOARD_CONTROL_PORT, (UINT8)(Control | BACKUP_REQUEST_BIT));
  }
  gRT->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, NULL);
  return EFI_SUCCESS;
}

EFI_STATUS RequestManualReset(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, LAUNCH_RECORD *Launch) {
  // No prompt and no reset unless 'G' is on the medium.
  EFI_STATUS Status = RecordUpdateState(ImageHandle, SystemTable, STATE_BACKUP_RESET_PENDING);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  AnnounceStep(Launch, "manual-reset", StateByte(STATE_BACKUP_RESET_PENDING),
               u"backup update, update mode asked for; a key restarts the board");
  Print(u"Press ANY key to Reset!\n");
  WaitForAnyKey();
  RequestBoardReset();
  return EFI_SUCCESS;
}

EFI_STATUS RequestBoardReset() {
  VENDOR_CONTROL_PROTOCOL *Vendor = NULL;
  EFI_STATUS Status = OpenFirstProtocol(&gVendorControlProtocolGuid, (VOID **)&Vendor);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  UINT8 Data[VENDOR_RESET_BUFFER_SIZE] = {};
  UINT64 Result = 0;
  return Vendor->Request(Vendor, VENDOR_RESET_COMMAND, VENDOR_RESET_SUBCOMMAND, VENDOR_RESET_FUNCTION,
                         VENDOR_RESET_ARGUMENT, Data, VENDOR_RESET_DATA_SIZE, &Result);
}
