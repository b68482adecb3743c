// The state file: one byte at the root of the application's own volume
// that carries the update's progress from one launch to the next.
#pragma once

#include "kit/Library.h"

// The state byte's codes.
enum class STATE_CODE : UINT8 {
  STATE_MODE_ENTERED = 0x31,           // '1' update mode entered, normal mode
  STATE_FLASH_STARTED = 0x32,          // '2' flash tool started, normal mode
  STATE_FLASH_FINISHED = 0x33,         // '3' flashing finished, board reset requested
  STATE_BACKUP_MODE_REQUESTED = 0x40,  // '@' backup mode asked of the board
  STATE_BACKUP_MODE_READY = 0x41,      // 'A' placed from outside: backup flash may start
  STATE_BACKUP_FLASH_STARTED = 0x42,   // 'B' flash tool started, backup mode
  STATE_BACKUP_RESET_PENDING = 0x47,   // 'G' manual reset requested, backup mode
};
using enum STATE_CODE;
static_assert(sizeof(STATE_CODE) == 1);

// What the launch does next.
enum class UPDATE_ACTION : UINT8 {
  ACTION_BEGIN = 0,
  ACTION_FLASH = 1,
  ACTION_FINISH = 2,
  ACTION_CLEANUP = 3,
  ACTION_NONE = 0xFF,
};
using enum UPDATE_ACTION;
static_assert(sizeof(UPDATE_ACTION) == 1);

// The state file's name, in the root of the application's own volume.
constexpr const CHAR16 *STATE_FILE_NAME = u"State.dat";

EFI_STATUS GetBootDeviceHandle(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, EFI_HANDLE *DeviceHandle);

// Opens the file a device path names. *FilePath is advanced past the device
// part, so a path serves one open only; the caller frees the path it built
// through its own pointer, not through the advanced one.
EFI_STATUS OpenFileByPath(EFI_SYSTEM_TABLE *SystemTable, EFI_DEVICE_PATH_PROTOCOL **FilePath,
                          EFI_HANDLE *DeviceHandle, EFI_FILE_PROTOCOL **File, UINT64 OpenMode);

// The next action from the state file. When the file can be neither opened
// nor created, or its byte cannot be read, or a prompt's state byte cannot
// be recorded, the operator has been told, *Status holds the failure and the
// action is ACTION_NONE; otherwise *Status is EFI_SUCCESS.
UPDATE_ACTION ReadUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN BackupMode,
                              EFI_STATUS *Status);

// Writes StateByte at offset 0 of the state file, flushes it and closes it.
// Succeeds only when the volume took the byte and wrote it back to the
// medium: Close reports nothing, so Flush is where a refused write-back shows.
EFI_STATUS WriteUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, STATE_CODE StateByte);

// WriteUpdateState for a step that must not be taken without its byte: on
// failure the operator is told, and the failure comes back for the exit
// status.
EFI_STATUS RecordUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, STATE_CODE StateByte);

VOID DeleteUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
