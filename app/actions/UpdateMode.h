// Update-mode entry, the resets, the board's ports and the vendor control
// protocol.
#pragma once

#include "app/state/UpdateLog.h"
#include "app/state/UpdateState.h"
#include "kit/Library.h"

// Board I/O ports, 8-bit transfers in the processor's I/O space.
constexpr UINT16 BOARD_UPDATE_PORT = 0x41C0;
constexpr UINT16 BOARD_CONTROL_PORT = 0x419F;
constexpr UINT8 BACKUP_REQUEST_BIT = 0x02;
// The sequence that tells the board to enter update mode.
constexpr UINT8 BOARD_UPDATE_SIGNAL[] = {0xAA, 0x66};

// The board firmware's control protocol; only Request is called.
struct VENDOR_CONTROL_PROTOCOL;
typedef EFI_STATUS(EFIAPI *VENDOR_CONTROL_REQUEST)(VENDOR_CONTROL_PROTOCOL *This, UINTN Command, UINTN SubCommand,
                                                   UINTN Function, UINT32 Argument, VOID *Buffer,
                                                   UINT32 BufferSize, UINT64 *Result);
struct VENDOR_CONTROL_PROTOCOL {
  VOID *Reserved;
  VENDOR_CONTROL_REQUEST Request;
};
static_assert(offsetof(VENDOR_CONTROL_PROTOCOL, Request) == 8);

extern const EFI_GUID gVendorControlProtocolGuid;

// The board reset request's fixed arguments.
constexpr UINTN VENDOR_RESET_COMMAND = 0x50;
constexpr UINTN VENDOR_RESET_SUBCOMMAND = 0;
constexpr UINTN VENDOR_RESET_FUNCTION = 3;
constexpr UINT32 VENDOR_RESET_ARGUMENT = 1;
constexpr UINT32 VENDOR_RESET_DATA_SIZE = 4;
// Room given with the data: more than the size passed, covering every size
// the call admits.
constexpr UINTN VENDOR_RESET_BUFFER_SIZE = 24;

// Records the update-mode state with the update's record, clears the
// memory-overwrite request on a supported platform, signals the board and
// cold-resets. Comes back only when the state could not be recorded (its
// failure, the operator told) or the reset returned (EFI_SUCCESS).
// The launch's screen and log line (Step; NULL Launch: none) go out once
// the state is on the stick, before the board hears of it.
EFI_STATUS EnterUpdateMode(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN BackupMode,
                           const UPDATE_RECORD *Record, BOOLEAN SupportedPlatform, LAUNCH_RECORD *Launch = NULL,
                           const CHAR8 *Step = "begin");
// Records 'G', waits for a key and asks the board for a reset. The failure
// of the state write comes back, the operator told; whatever the board
// reset request does, EFI_SUCCESS.
EFI_STATUS RequestManualReset(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, LAUNCH_RECORD *Launch = NULL);
EFI_STATUS RequestBoardReset();
