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

// Clears the memory-overwrite request on a supported platform, signals the
// board (and in backup mode sets its backup bit) and cold-resets. The state
// byte that records it must be on the stick first: reset without it, and
// every later start would enter update mode again.
VOID EnterUpdateMode(BOOLEAN BackupMode, BOOLEAN SupportedPlatform);

// The board firmware's control protocol: its failure when there is none.
EFI_STATUS LocateVendorControl(VENDOR_CONTROL_PROTOCOL **Vendor);

// Asks the board for a reset through Vendor; what Request returned comes
// back (on most boards it does not return at all).
EFI_STATUS RequestBoardReset(VENDOR_CONTROL_PROTOCOL *Vendor);
