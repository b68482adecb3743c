// The state file: one byte at the root of the application's own volume
// that carries the update's progress from one launch to the next.
#pragma once

#include "app/checks/MachineIdentity.h"
#include "kit/Library.h"
#include "kit/Scoped.h"

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

// What the launch does next, from the mode and the state byte.
enum class UPDATE_ACTION : UINT8 {
  ACTION_BEGIN = 0,          // version check, platform check, update mode
  ACTION_FLASH = 1,          // the flash tool
  ACTION_FINISH = 2,         // '3', board reset request
  ACTION_CLEANUP = 3,        // delete the file; in normal mode after the version is confirmed
  ACTION_MANUAL_RESET = 4,   // backup '@': ask for update mode, 'G', board reset on a key
  ACTION_ASK_START_OVER = 5, // backup 'G': start over on Y, else give up
  ACTION_OTHER_MODE = 6,     // a byte of the other mode: nothing, the operator told
  ACTION_UNKNOWN_STATE = 7,  // a byte no update writes: nothing, the operator told
  ACTION_NONE = 0xFF,        // backup 'B': the board's own tools carry on
};
using enum UPDATE_ACTION;
static_assert(sizeof(UPDATE_ACTION) == 1);

// The approved image: its size and CRC-32.
typedef struct {
  BOOLEAN Present;  // FALSE: no image was read when the update began
  UINT64 Size;
  UINT32 Crc32;
} IMAGE_IDENTITY;

// What the first launch of an update records after the state byte: the
// machine it runs on and the image it approved.
typedef struct {
  MACHINE_IDENTITY Machine;
  IMAGE_IDENTITY Image;
  BOOLEAN VersionChecked;  // the first start compared the image's version with the running BIOS's
} UPDATE_RECORD;

// The record as it lies in State.dat from offset 1: a magic, a format
// number, which fields are set, the fields, and a CRC-32 of the bytes
// before it, all little-endian. A file too short for it, or whose magic,
// format or CRC do not match (a file of one byte, a torn write), holds no
// record.
constexpr UINTN UPDATE_RECORD_MAGIC_OFFSET = 0;    // "TSKR"
constexpr UINTN UPDATE_RECORD_FORMAT_OFFSET = 4;   // 1
constexpr UINTN UPDATE_RECORD_FLAGS_OFFSET = 5;    // UPDATE_RECORD_HAS_*
constexpr UINTN UPDATE_RECORD_SERIAL_LENGTH_OFFSET = 6;
constexpr UINTN UPDATE_RECORD_UUID_OFFSET = 8;
constexpr UINTN UPDATE_RECORD_SERIAL_OFFSET = 24;
constexpr UINTN UPDATE_RECORD_IMAGE_SIZE_OFFSET = 88;
constexpr UINTN UPDATE_RECORD_IMAGE_CRC_OFFSET = 96;
constexpr UINTN UPDATE_RECORD_CRC_OFFSET = 100;
constexpr UINTN UPDATE_RECORD_SIZE = 104;
constexpr UINT8 UPDATE_RECORD_FORMAT = 1;
constexpr UINT8 UPDATE_RECORD_HAS_UUID = 0x01;
constexpr UINT8 UPDATE_RECORD_HAS_SERIAL = 0x02;
constexpr UINT8 UPDATE_RECORD_HAS_IMAGE = 0x04;
constexpr UINT8 UPDATE_RECORD_VERSION_CHECKED = 0x08;
static_assert(UPDATE_RECORD_SERIAL_OFFSET + MACHINE_SERIAL_MAX <= UPDATE_RECORD_IMAGE_SIZE_OFFSET);

// Lays Record out into Bytes, all but the CRC, which is left 0. Pure logic.
VOID EncodeUpdateRecord(const UPDATE_RECORD *Record, UINT8 Bytes[UPDATE_RECORD_SIZE]);
// TRUE when the Size bytes at Bytes are laid out as a record; *Record then
// holds its fields and *Crc32 the CRC it carries, still to be checked.
// Pure logic.
BOOLEAN DecodeUpdateRecord(const UINT8 *Bytes, UINTN Size, UPDATE_RECORD *Record, UINT32 *Crc32);

enum class STATE_FOUND : UINT8 {
  STATE_FILE_MISSING,  // no State.dat: a fresh update
  STATE_FILE_EMPTY,    // State.dat without a byte: a fresh update
  STATE_FILE_BYTE,     // State.dat holds Byte
};
using enum STATE_FOUND;

// What State.dat holds at the start of a launch.
typedef struct {
  STATE_FOUND Found;
  UINT8 Byte;
  BOOLEAN HasRecord;
  UPDATE_RECORD Record;
} UPDATE_STATE;

// The next action for the mode and what State.dat holds. Pure logic.
UPDATE_ACTION NextAction(BOOLEAN BackupMode, const UPDATE_STATE *State);

// The mode a state byte belongs to: TRUE for backup ('@', 'A', 'B', 'G'),
// FALSE for normal ('1', '2', '3'); *Known is FALSE for a byte of no mode.
BOOLEAN IsBackupByte(UINT8 Byte, BOOLEAN *Known);

// The state file's name, in the root of the application's own volume.
constexpr const CHAR16 *STATE_FILE_NAME = u"State.dat";

EFI_STATUS GetBootDeviceHandle(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, EFI_HANDLE *DeviceHandle);

// Opens the file a device path names. *FilePath is advanced past the device
// part, so a path serves one open only; the caller frees the path it built
// through its own pointer, not through the advanced one.
EFI_STATUS OpenFileByPath(EFI_SYSTEM_TABLE *SystemTable, EFI_DEVICE_PATH_PROTOCOL **FilePath,
                          EFI_HANDLE *DeviceHandle, EFI_FILE_PROTOCOL **File, UINT64 OpenMode);

// The most one Read call is asked for: 1 MiB. Firmware has been seen to fail
// or misbehave on single reads of many megabytes from USB sticks; a megabyte
// is large enough that a 32 MiB image takes 32 calls, so the pieces cost
// nothing measurable against the transfer itself.
constexpr UINTN FILE_READ_PIECE_SIZE = 0x100000;

// Reads up to Size bytes from the file's position into Buffer, in calls of at
// most FILE_READ_PIECE_SIZE bytes, until Size bytes have come or a call gives
// 0 bytes (the end of the file): a driver may return fewer bytes than asked
// before the end. *Read is what came. A failing call, or one that claims more
// than it was asked, fails the whole read.
EFI_STATUS ReadFileBytes(EFI_FILE_PROTOCOL *File, VOID *Buffer, UINTN Size, UINTN *Read);

// Reads State.dat without changing it: *State says whether it is there,
// its byte and the record after it. A file that cannot be read, or (when
// it seems to be missing) cannot be opened for writing either, as on a
// write-protected stick, is reported to the operator and its failure comes
// back; nothing can be recorded then, so nothing may start.
EFI_STATUS ReadUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UPDATE_STATE *State);

// Writes StateByte at offset 0 of the state file, with the record after it
// as it stands, flushes it and closes it.
// Succeeds only when the volume took the byte and wrote it back to the
// medium: Close reports nothing, so Flush is where a refused write-back shows.
EFI_STATUS WriteUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, STATE_CODE StateByte);

// The first byte of an update and its record, in one write to a State.dat
// created when missing, flushed and closed, so that a power cut leaves the
// file as it was or as it is meant to be. A failure is reported to the
// operator and comes back.
EFI_STATUS RecordUpdateBegin(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, STATE_CODE StateByte,
                             const UPDATE_RECORD *Record);

// WriteUpdateState for a step that must not be taken without its byte: on
// failure the operator is told, and the failure comes back for the exit
// status.
EFI_STATUS RecordUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, STATE_CODE StateByte);

VOID DeleteUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// Opens Name in the root of the application's own volume, where State.dat
// lies; a missing device handle counts as a failed open.
EFI_STATUS OpenFileOnVolume(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const CHAR16 *Name,
                            UINT64 OpenMode, FileHandle &File);
