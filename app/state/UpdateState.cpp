// The state file and the helpers that reach files on the application's own
// volume.
#include "app/state/UpdateState.h"

#include "app/Tamsork.h"
#include "app/actions/UpdateMode.h"
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

// Opens the state file; a missing device handle counts as a failed open.
EFI_STATUS OpenStateFile(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINT64 OpenMode, FileHandle &File) {
  EFI_HANDLE DeviceHandle = NULL;
  EFI_STATUS Status = GetBootDeviceHandle(ImageHandle, SystemTable, &DeviceHandle);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  return OpenFileOnDevice(SystemTable, DeviceHandle, STATE_FILE_NAME, OpenMode, File);
}

enum class BYTE_READ : UINT8 { Present, Empty, Failed };

// What the operator is told when the state file fails; %r is the status.
constexpr const CHAR16 *STATE_FILE_NOT_READ = u"State.dat could not be read: %r\n";
constexpr const CHAR16 *STATE_FILE_NOT_WRITTEN = u"State.dat could not be written: %r\n";

// Reads the first byte of an open state file.
BYTE_READ ReadFirstByte(FileHandle &File, UINT8 *Byte, EFI_STATUS *Status) {
  *Status = File->SetPosition(File.Get(), 0);
  if (EFI_ERROR(*Status)) {
    return BYTE_READ::Failed;
  }
  UINTN Size = 1;
  *Status = File->Read(File.Get(), &Size, Byte);
  if (EFI_ERROR(*Status)) {
    return BYTE_READ::Failed;
  }
  return Size == 0 ? BYTE_READ::Empty : BYTE_READ::Present;
}

UPDATE_ACTION MapNormalMode(UINT8 Byte) {
  switch ((STATE_CODE)Byte) {
    case STATE_MODE_ENTERED:
      return ACTION_FLASH;
    case STATE_FLASH_STARTED:
      return ACTION_FINISH;
    case STATE_FLASH_FINISHED:
      return ACTION_CLEANUP;
    default:
      return ACTION_NONE;
  }
}

UPDATE_ACTION MapBackupMode(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINT8 Byte, EFI_STATUS *Status) {
  switch ((STATE_CODE)Byte) {
    case STATE_BACKUP_MODE_REQUESTED:
      Print(u"Please enable UPDATE MODE to flash BIOS!\n");
      *Status = RequestManualReset(ImageHandle, SystemTable);
      return ACTION_NONE;
    case STATE_BACKUP_MODE_READY:
      return ACTION_FLASH;
    case STATE_BACKUP_RESET_PENDING: {
      Print(u"State file found! Press Y so flash BIOS or ANY key to abort!\n");
      EFI_INPUT_KEY Key = WaitForAnyKey();
      return Key.UnicodeChar == u'y' ? ACTION_BEGIN : ACTION_CLEANUP;
    }
    default:
      return ACTION_NONE;
  }
}

}  // namespace

EFI_STATUS OpenFileByPath(EFI_SYSTEM_TABLE *SystemTable, EFI_DEVICE_PATH_PROTOCOL **FilePath,
                          EFI_HANDLE *DeviceHandle, EFI_FILE_PROTOCOL **File, UINT64 OpenMode) {
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;
  *File = NULL;

  EFI_FILE_PROTOCOL *Current = NULL;
  EFI_STATUS Status = BootServices->LocateDevicePath(&gEfiSimpleFileSystemProtocolGuid, FilePath, DeviceHandle);
  if (!EFI_ERROR(Status)) {
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem = NULL;
    Status = BootServices->OpenProtocol(*DeviceHandle, &gEfiSimpleFileSystemProtocolGuid, (VOID **)&FileSystem,
                                        *DeviceHandle, NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
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

UPDATE_ACTION ReadUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN BackupMode,
                              EFI_STATUS *Status) {
  *Status = EFI_SUCCESS;
  EFI_HANDLE DeviceHandle = NULL;
  EFI_STATUS OpenStatus = GetBootDeviceHandle(ImageHandle, SystemTable, &DeviceHandle);
  if (EFI_ERROR(OpenStatus)) {
    *Status = OpenStatus;
    Print(STATE_FILE_NOT_READ, OpenStatus);
    return ACTION_NONE;
  }

  FileHandle File;
  if (EFI_ERROR(OpenFileOnDevice(SystemTable, DeviceHandle, STATE_FILE_NAME, EFI_FILE_MODE_READ, File))) {
    // Missing: create it empty. Should the read-only open have failed for
    // another reason, the create-open finds the existing file, and its byte
    // is read below rather than taken for a fresh start.
    OpenStatus = OpenFileOnDevice(SystemTable, DeviceHandle, STATE_FILE_NAME,
                                  EFI_FILE_MODE_CREATE | EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, File);
    if (EFI_ERROR(OpenStatus)) {
      // A write-protected stick: nothing can be recorded, so nothing starts.
      *Status = OpenStatus;
      Print(STATE_FILE_NOT_WRITTEN, OpenStatus);
      return ACTION_NONE;
    }
  }

  UINT8 Byte = 0;
  EFI_STATUS ReadStatus = EFI_SUCCESS;
  BYTE_READ Result = ReadFirstByte(File, &Byte, &ReadStatus);
  File.Close();
  if (Result == BYTE_READ::Failed) {
    *Status = ReadStatus;
    Print(STATE_FILE_NOT_READ, ReadStatus);
    return ACTION_NONE;
  }
  if (Result == BYTE_READ::Empty) {
    // No state recorded yet: a fresh update.
    return ACTION_BEGIN;
  }
  return BackupMode ? MapBackupMode(ImageHandle, SystemTable, Byte, Status) : MapNormalMode(Byte);
}

EFI_STATUS WriteUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, STATE_CODE StateByte) {
  FileHandle File;
  EFI_STATUS Status = OpenStateFile(ImageHandle, SystemTable, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, File);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = File->SetPosition(File.Get(), 0);
  if (!EFI_ERROR(Status)) {
    UINT8 Byte = (UINT8)StateByte;
    UINTN Size = sizeof(Byte);
    Status = File->Write(File.Get(), &Size, &Byte);
    if (!EFI_ERROR(Status) && Size != sizeof(Byte)) {
      Status = EFI_DEVICE_ERROR;
    }
  }
  // The byte is on the medium only once the volume has written it back;
  // Close cannot say that it failed to.
  if (!EFI_ERROR(Status)) {
    Status = File->Flush(File.Get());
  }
  File.Close();
  return Status;
}

EFI_STATUS RecordUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, STATE_CODE StateByte) {
  EFI_STATUS Status = WriteUpdateState(ImageHandle, SystemTable, StateByte);
  if (EFI_ERROR(Status)) {
    Print(STATE_FILE_NOT_WRITTEN, Status);
  }
  return Status;
}

VOID DeleteUpdateState(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  FileHandle File;
  if (!EFI_ERROR(OpenStateFile(ImageHandle, SystemTable, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, File))) {
    File.Delete();
  }
}
