#include "app/actions/UpdateMode.h"

#include "app/Tamsork.h"
#include "app/checks/Platform.h"

const EFI_GUID gVendorControlProtocolGuid = {
    0x937A7061, 0xE4FA, 0x11E5, {0xAC, 0xDB, 0x40, 0xA8, 0xF0, 0x57, 0x39, 0x9B}};

VOID EnterUpdateMode(BOOLEAN BackupMode, BOOLEAN SupportedPlatform) {
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
}

EFI_STATUS LocateVendorControl(VENDOR_CONTROL_PROTOCOL **Vendor) {
  return OpenFirstProtocol(&gVendorControlProtocolGuid, (VOID **)Vendor);
}

EFI_STATUS RequestBoardReset(VENDOR_CONTROL_PROTOCOL *Vendor) {
  UINT8 Data[VENDOR_RESET_BUFFER_SIZE] = {};
  UINT64 Result = 0;
  return Vendor->Request(Vendor, VENDOR_RESET_COMMAND, VENDOR_RESET_SUBCOMMAND, VENDOR_RESET_FUNCTION,
                         VENDOR_RESET_ARGUMENT, Data, VENDOR_RESET_DATA_SIZE, &Result);
}
