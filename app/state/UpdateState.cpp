// The state file and the helpers that reach files on the application's own
// volume.
#include "app/state/UpdateState.h"

#include "app/Tamsork.h"
#include "app/platform/Guids.h"
#include "kit/Scoped.h"

EFI_STATUS GetBootDeviceHandle(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, EFI_HANDLE *DeviceHandle) {
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = NULL;
  EFI_STATUS Status = SystemTable->BootServices->OpenProtocol(
      ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&LoadedImage, ImageHandle, NULL,
      EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (!EFI_ERROR(Status)) {
    if (LoadedImage == NULL) {
      return EFI_NOT_FOUND;
    }
    *DeviceHandle = LoadedImage->DeviceHandle;
  }
  return Status;
}

namespace {

// A file-path node's name, ready to hand to Open: the node must hold a
// terminated name; one stored at an odd address is copied to an aligned
// pool buffer first.
EFI_STATUS NodeFileName(const EFI_DEVICE_PATH_PROTOCOL *Node, PoolPtr<CHAR16> &Copy, CHAR16 **Name) {
  UINTN Length = DevicePathNodeLength(Node);
  if (Length < SIZE_OF_FILEPATH_DEVICE_PATH + sizeof(CHAR16)) {
    return EFI_UNSUPPORTED;
  }
  const UINT8 *Bytes = (const UINT8 *)Node + SIZE_OF_FILEPATH_DEVICE_PATH;
  UINTN NameBytes = Length - SIZE_OF_FILEPATH_DEVICE_PATH;
  NameBytes -= NameBytes % sizeof(CHAR16);
  if (Bytes[NameBytes - 2] != 0 || Bytes[NameBytes - 1] != 0) {
    return EFI_UNSUPPORTED;
  }
  if (((UINTN)Bytes % sizeof(CHAR16)) == 0) {
    *Name = (CHAR16 *)Bytes;
    return EFI_SUCCESS;
  }
  Copy.Reset((CHAR16 *)AllocatePool(NameBytes));
  if (!Copy) {
    return EFI_OUT_OF_RESOURCES;
  }
  CopyMem(Copy.Get(), Bytes, NameBytes);
  *Name = Copy.Get();
  return EFI_SUCCESS;
}

// Builds the path of Name on DeviceHandle, opens it and releases the path.
EFI_STATUS OpenFileOnDevice(EFI_SYSTEM_TABLE *SystemTable, EFI_HANDLE DeviceHandle, const CHAR16 *Name,
                            UINT64 OpenMode, FileHandle &File) {
  PoolPtr<EFI_DEVICE_PATH_PROTOCOL> Path(FileDevicePath(DeviceHandle, Name));
  if (!Path) {
    return EFI_OUT_OF_RESOURCES;
  }
  EFI_DEVICE_PATH_PROTOCOL *Remaining = Path.Get();
  EFI_HANDLE Volume = NULL;
  return OpenFileByPath(SystemTable, &Remaining, &Volume, File.Out(), OpenMode);
}

EFI_STATUS OpenStateFile(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINT64 OpenMode, FileHandle &File) {
  return OpenFileOnVolume(ImageHandle, SystemTable, STATE_FILE_NAME, OpenMode, File);
}

// What the operator is told when the state file fails; %r is the status.
constexpr const CHAR16 *STATE_FILE_NOT_READ = u"State.dat could not be read: %r\n";
constexpr const CHAR16 *STATE_FILE_NOT_WRITTEN = u"State.dat could not be written: %r\n";

constexpr UINT8 UPDATE_RECORD_MAGIC[4] = {'T', 'S', 'K', 'R'};

VOID PutLittleEndian(UINT8 *Bytes, UINT64 Value, UINTN Size) {
  for (UINTN I = 0; I < Size; I++) {
    Bytes[I] = (UINT8)(Value >> (8 * I));
  }
}

UINT64 GetLittleEndian(const UINT8 *Bytes, UINTN Size) {
  UINT64 Value = 0;
  for (UINTN I = 0; I < Size; I++) {
    Value |= (UINT64)Bytes[I] << (8 * I);
  }
  return Value;
}

// Writes Size bytes at offset 0 of the state file opened with OpenMode,
// flushes and closes it. With KeepRecord only Bytes[0] is new: the bytes
// that follow it, up to the end of the record, are read back and written
// again with it, as some FAT drivers end a file where a write at offset 0
// ends. The bytes are on the medium only once the volume has written them
// back; Close cannot say that it failed to.
EFI_STATUS WriteStateBytes(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const UINT8 *Bytes, UINTN Size,
                           UINT64 OpenMode, BOOLEAN KeepRecord) {
  FileHandle File;
  EFI_STATUS Status = OpenStateFile(ImageHandle, SystemTable, OpenMode, File);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINT8 Kept[1 + UPDATE_RECORD_SIZE];
  if (KeepRecord) {
    UINTN Read = 0;
    Status = File->SetPosition(File.Get(), 0);
    if (!EFI_ERROR(Status)) {
      Status = ReadFileBytes(File.Get(), Kept, sizeof(Kept), &Read);
    }
    if (EFI_ERROR(Status)) {
      File.Close();
      return Status;
    }
    Kept[0] = Bytes[0];
    Bytes = Kept;
    Size = Read == 0 ? 1 : Read;
  }
  Status = File->SetPosition(File.Get(), 0);
  if (!EFI_ERROR(Status)) {
    UINTN Written = Size;
    Status = File->Write(File.Get(), &Written, (VOID *)Bytes);
    if (!EFI_ERROR(Status) && Written != Size) {
      Status = EFI_DEVICE_ERROR;
    }
  }
  if (!EFI_ERROR(Status)) {
    Status = File->Flush(File.Get());
  }
  File.Close();
  return Status;
}

}  // namespace

EFI_STATUS ReadFileBytes(EFI_FILE_PROTOCOL *File, VOID *Buffer, UINTN Size, UINTN *Read) {
  *Read = 0;
  UINTN Done = 0;
  while (Done < Size) {
    const UINTN Asked = Size - Done < FILE_READ_PIECE_SIZE ? Size - Done : FILE_READ_PIECE_SIZE;
    UINTN Piece = Asked;
    // A warning is no success: its size is not trusted either.
    const EFI_STATUS Status = File->Read(File, &Piece, (UINT8 *)Buffer + Done);
    if (Status != EFI_SUCCESS) {
      return EFI_ERROR(Status) ? Status : EFI_DEVICE_ERROR;
    }
    if (Piece > Asked) {
      return EFI_DEVICE_ERROR;
    }
    if (Piece == 0) {
      break;
    }
    Done += Piece;
  }
  *Read = Done;
  return EFI_SUCCESS;
}

EFI_STATUS OpenFileByPath(EFI_SYSTEM_TABLE *SystemTable, EFI_DEVICE_PATH_PROTOCOL **FilePath,
                          EFI_HANDLE *DeviceHandle, EFI_FILE_PROTOCOL **File, UINT64 OpenMode) {
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;
  *File = NULL;

  EFI_FILE_PROTOCOL *Current = NULL;
  EFI_STATUS Status = BootServices->LocateDevicePath(&gEfiSimpleFileSystemProtocolGuid, FilePath, DeviceHandle);
  if (!EFI_ERROR(Status)) {
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem = NULL;
    Status = BootServices->OpenProtocol(*DeviceHandle, &gEfiSimpleFileSystemProtocolGuid, (VOID **)&FileSystem,
                                        gImageHandle, NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
    if (!EFI_ERROR(Status) && FileSystem != NULL) {
      Status = FileSystem->OpenVolume(FileSystem, &Current);
      if (EFI_ERROR(Status)) {
        Current = NULL;
      }
    }
  }
  Status = Current != NULL ? EFI_SUCCESS : EFI_UNSUPPORTED;

  // Open each file-path node relative to the directory opened before it.
  for (EFI_DEVICE_PATH_PROTOCOL *Node = *FilePath; !EFI_ERROR(Status) && !IsDevicePathEnd(Node);
       Node = NextDevicePathNode(Node)) {
    if (Node->Type != MEDIA_DEVICE_PATH || Node->SubType != MEDIA_FILEPATH_DP) {
      Status = EFI_UNSUPPORTED;
      break;
    }
    PoolPtr<CHAR16> NameCopy;
    CHAR16 *Name = NULL;
    Status = NodeFileName(Node, NameCopy, &Name);
    if (EFI_ERROR(Status)) {
      break;
    }
    EFI_FILE_PROTOCOL *Next = NULL;
    Status = Current->Open(Current, &Next, Name, OpenMode, 0);
    Current->Close(Current);
    if (!EFI_ERROR(Status) && Next == NULL) {
      Status = EFI_NOT_FOUND;
    }
    Current = EFI_ERROR(Status) ? NULL : Next;
  }

  if (EFI_ERROR(Status)) {
    if (Current != NULL) {
      Current->Close(Current);
    }
    return Status;
  }
  *File = Current;
  return Status;
}

VOID EncodeUpdateRecord(const UPDATE_RECORD *Record, UINT8 Bytes[UPDATE_RECORD_SIZE]) {
  ZeroMem(Bytes, UPDATE_RECORD_SIZE);
  CopyMem(Bytes + UPDATE_RECORD_MAGIC_OFFSET, UPDATE_RECORD_MAGIC, sizeof(UPDATE_RECORD_MAGIC));
  Bytes[UPDATE_RECORD_FORMAT_OFFSET] = UPDATE_RECORD_FORMAT;
  UINT8 Flags = 0;
  if (Record->Machine.HasUuid) {
    Flags |= UPDATE_RECORD_HAS_UUID;
    CopyMem(Bytes + UPDATE_RECORD_UUID_OFFSET, Record->Machine.Uuid, SMBIOS_UUID_SIZE);
  }
  const UINT8 SerialLength =
      Record->Machine.SerialLength < MACHINE_SERIAL_MAX ? Record->Machine.SerialLength : (UINT8)MACHINE_SERIAL_MAX;
  if (SerialLength != 0) {
    Flags |= UPDATE_RECORD_HAS_SERIAL;
    Bytes[UPDATE_RECORD_SERIAL_LENGTH_OFFSET] = SerialLength;
    CopyMem(Bytes + UPDATE_RECORD_SERIAL_OFFSET, Record->Machine.Serial, SerialLength);
  }
  if (Record->Image.Present) {
    Flags |= UPDATE_RECORD_HAS_IMAGE;
    PutLittleEndian(Bytes + UPDATE_RECORD_IMAGE_SIZE_OFFSET, Record->Image.Size, 8);
    PutLittleEndian(Bytes + UPDATE_RECORD_IMAGE_CRC_OFFSET, Record->Image.Crc32, 4);
  }
  if (Record->VersionChecked) {
    Flags |= UPDATE_RECORD_VERSION_CHECKED;
  }
  Bytes[UPDATE_RECORD_FLAGS_OFFSET] = Flags;
}

BOOLEAN DecodeUpdateRecord(const UINT8 *Bytes, UINTN Size, UPDATE_RECORD *Record, UINT32 *Crc32) {
  ZeroMem(Record, sizeof(*Record));
  if (Size < UPDATE_RECORD_SIZE) {
    return FALSE;
  }
  for (UINTN I = 0; I < sizeof(UPDATE_RECORD_MAGIC); I++) {
    if (Bytes[UPDATE_RECORD_MAGIC_OFFSET + I] != UPDATE_RECORD_MAGIC[I]) {
      return FALSE;
    }
  }
  const UINT8 Flags = Bytes[UPDATE_RECORD_FLAGS_OFFSET];
  const UINT8 SerialLength = Bytes[UPDATE_RECORD_SERIAL_LENGTH_OFFSET];
  const UINT8 KnownFlags =
      UPDATE_RECORD_HAS_UUID | UPDATE_RECORD_HAS_SERIAL | UPDATE_RECORD_HAS_IMAGE | UPDATE_RECORD_VERSION_CHECKED;
  if (Bytes[UPDATE_RECORD_FORMAT_OFFSET] != UPDATE_RECORD_FORMAT || (Flags & ~KnownFlags) != 0 ||
      SerialLength > MACHINE_SERIAL_MAX || ((Flags & UPDATE_RECORD_HAS_SERIAL) != 0) != (SerialLength != 0)) {
    return FALSE;
  }
  if ((Flags & UPDATE_RECORD_HAS_UUID) != 0) {
    Record->Machine.HasUuid = TRUE;
    CopyMem(Record->Machine.Uuid, Bytes + UPDATE_RECORD_UUID_OFFSET, SMBIOS_UUID_SIZE);
  }
  Record->Machine.SerialLength = SerialLength;
  CopyMem(Record->Machine.Serial, Bytes + UPDATE_RECORD_SERIAL_OFFSET, SerialLength);
  Record->Machine.Serial[SerialLength] = 0;
  if ((Flags & UPDATE_RECORD_HAS_IMAGE) != 0) {
    Record->Image.Present = TRUE;
    Record->Image.Size = GetLittleEndian(Bytes + UPDATE_RECORD_IMAGE_SIZE_OFFSET, 8);
    Record->Image.Crc32 = (UINT32)GetLittleEndian(Bytes + UPDATE_RECORD_IMAGE_CRC_OFFSET, 4);
  }
  Record->VersionChecked = (Flags & UPDATE_RECORD_VERSION_CHECKED) != 0;
  *Crc32 = (UINT32)GetLittleEndian(Bytes + UPDATE_RECORD_CRC_OFFSET, 4);
  return TRUE;
}

BOOLEAN IsBackupByte(UINT8 Byte, BOOLEAN *Known) {
  *Known = TRUE;
  switch ((STATE_CODE)Byte) {
    case STATE_MODE_ENTERED:
    case STATE_FLASH_STARTED:
    case STATE_FLASH_FINISHED:
      return FALSE;
    case STATE_BACKUP_MODE_REQUESTED:
    case STATE_BACKUP_MODE_READY:
    case STATE_BACKUP_FLASH_STARTED:
    case STATE_BACKUP_RESET_PENDING:
      return TRUE;
    default:
      *Known = FALSE;
      return FALSE;
  }
}

UPDATE_ACTION NextAction(BOOLEAN BackupMode, const UPDATE_STATE *State) {
  if (State->Found != STATE_FILE_BYTE) {
    return ACTION_BEGIN;
  }
  BOOLEAN Known = FALSE;
  const BOOLEAN Backup = IsBackupByte(State->Byte, &Known);
  if (!Known) {
    return ACTION_UNKNOWN_STATE;
  }
  if (Backup != (BackupMode != FALSE)) {
    return ACTION_OTHER_MODE;
  }
  switch ((STATE_CODE)State->Byte) {
    case STATE_MODE_ENTERED:
    case STATE_BACKUP_MODE_READY:
      return ACTION_FLASH;
    case STATE_FLASH_STARTED:
      return ACTION_FINISH;
    case STATE_FLASH_FINISHED:
      return ACTION_CLEANUP;
    case STATE_BACKUP_MODE_REQUESTED:
      return ACTION_MANUAL_RESET;
    case STATE_BACKUP_RESET_PENDING:
      return ACTION_ASK_START_OVER;
    default:
      return ACTION_NONE;
  }
}

EFI_STATUS ReadUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UPDATE_STATE *State) {
  ZeroMem(State, sizeof(*State));
  State->Found = STATE_FILE_MISSING;
  EFI_HANDLE DeviceHandle = NULL;
  EFI_STATUS Status = GetBootDeviceHandle(ImageHandle, SystemTable, &DeviceHandle);
  if (EFI_ERROR(Status)) {
    Print(STATE_FILE_NOT_READ, Status);
    return Status;
  }

  FileHandle File;
  if (EFI_ERROR(OpenFileOnDevice(SystemTable, DeviceHandle, STATE_FILE_NAME, EFI_FILE_MODE_READ, File))) {
    // Missing, or refused for another reason: an open for writing, which
    // creates nothing, tells the two apart, and on a write-protected stick
    // stops the launch here, before any check, since no step could be
    // recorded.
    Status = OpenFileOnDevice(SystemTable, DeviceHandle, STATE_FILE_NAME, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE,
                              File);
    if (Status == EFI_NOT_FOUND) {
      return EFI_SUCCESS;
    }
    if (EFI_ERROR(Status)) {
      Print(STATE_FILE_NOT_WRITTEN, Status);
      return Status;
    }
  }

  UINT8 Bytes[1 + UPDATE_RECORD_SIZE];
  UINTN Size = 0;
  Status = File->SetPosition(File.Get(), 0);
  if (!EFI_ERROR(Status)) {
    Status = ReadFileBytes(File.Get(), Bytes, sizeof(Bytes), &Size);
  }
  File.Close();
  if (EFI_ERROR(Status)) {
    Print(STATE_FILE_NOT_READ, Status);
    return Status;
  }
  if (Size == 0) {
    State->Found = STATE_FILE_EMPTY;
    return EFI_SUCCESS;
  }
  State->Found = STATE_FILE_BYTE;
  State->Byte = Bytes[0];

  // A record whose CRC does not match is a torn write: no record. One whose
  // CRC cannot be computed cannot be trusted either way.
  UINT32 Stored = 0;
  if (DecodeUpdateRecord(Bytes + 1, Size - 1, &State->Record, &Stored)) {
    UINT32 Computed = 0;
    Status = SystemTable->BootServices->CalculateCrc32(Bytes + 1, UPDATE_RECORD_CRC_OFFSET, &Computed);
    if (EFI_ERROR(Status)) {
      Print(STATE_FILE_NOT_READ, Status);
      return Status;
    }
    State->HasRecord = Computed == Stored;
  }
  if (!State->HasRecord) {
    ZeroMem(&State->Record, sizeof(State->Record));
  }
  return EFI_SUCCESS;
}

EFI_STATUS WriteUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, STATE_CODE StateByte) {
  const UINT8 Byte = (UINT8)StateByte;
  return WriteStateBytes(ImageHandle, SystemTable, &Byte, sizeof(Byte), EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE,
                         TRUE);
}

EFI_STATUS RecordUpdateBegin(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, STATE_CODE StateByte,
                             const UPDATE_RECORD *Record) {
  UINT8 Bytes[1 + UPDATE_RECORD_SIZE];
  Bytes[0] = (UINT8)StateByte;
  EncodeUpdateRecord(Record, Bytes + 1);
  UINT32 Crc = 0;
  EFI_STATUS Status = SystemTable->BootServices->CalculateCrc32(Bytes + 1, UPDATE_RECORD_CRC_OFFSET, &Crc);
  if (!EFI_ERROR(Status)) {
    PutLittleEndian(Bytes + 1 + UPDATE_RECORD_CRC_OFFSET, Crc, 4);
    Status = WriteStateBytes(ImageHandle, SystemTable, Bytes, sizeof(Bytes),
                             EFI_FILE_MODE_CREATE | EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, FALSE);
  }
  if (EFI_ERROR(Status)) {
    Print(STATE_FILE_NOT_WRITTEN, Status);
  }
  return Status;
}

EFI_STATUS RecordUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, STATE_CODE StateByte) {
  EFI_STATUS Status = WriteUpdateState(ImageHandle, SystemTable, StateByte);
  if (EFI_ERROR(Status)) {
    Print(STATE_FILE_NOT_WRITTEN, Status);
  }
  return Status;
}

EFI_STATUS OpenFileOnVolume(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const CHAR16 *Name,
                            UINT64 OpenMode, FileHandle &File) {
  EFI_HANDLE DeviceHandle = NULL;
  EFI_STATUS Status = GetBootDeviceHandle(ImageHandle, SystemTable, &DeviceHandle);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  return OpenFileOnDevice(SystemTable, DeviceHandle, Name, OpenMode, File);
}

VOID DeleteUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  FileHandle File;
  if (!EFI_ERROR(OpenStateFile(ImageHandle, SystemTable, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, File))) {
    File.Delete();
  }
}
