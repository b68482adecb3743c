#include "app/checks/VersionGate.h"

#include "app/Tamsork.h"
#include "app/checks/Smbios.h"
#include "app/checks/VersionMarker.h"
#include "app/platform/Guids.h"
#include "app/state/UpdateState.h"
#include "kit/Scoped.h"

namespace {

bool AtLeast(UINTN MajorA, UINTN MinorA, UINTN MajorB, UINTN MinorB) {
  return MajorA > MajorB || (MajorA == MajorB && MinorA >= MinorB);
}

// The image file's size from GetInfo, its buffer sized by a first call, so
// that a long file name is never refused for want of room; directories are
// not images.
EFI_STATUS ImageFileSize(EFI_FILE_PROTOCOL *File, UINTN *FileSize) {
  UINTN InfoSize = 0;
  EFI_STATUS Status = File->GetInfo(File, (EFI_GUID *)&gEfiFileInfoGuid, &InfoSize, NULL);
  if (Status != EFI_BUFFER_TOO_SMALL || InfoSize < SIZE_OF_EFI_FILE_INFO) {
    return EFI_NOT_FOUND;
  }
  PoolPtr<EFI_FILE_INFO> Info((EFI_FILE_INFO *)AllocatePool(InfoSize));
  if (!Info) {
    return EFI_OUT_OF_RESOURCES;
  }
  Status = File->GetInfo(File, (EFI_GUID *)&gEfiFileInfoGuid, &InfoSize, Info.Get());
  if (EFI_ERROR(Status)) {
    return EFI_NOT_FOUND;
  }
  if ((Info->Attribute & EFI_FILE_DIRECTORY) != 0) {
    return EFI_NOT_FOUND;
  }
  *FileSize = Info->FileSize;
  return EFI_SUCCESS;
}

}  // namespace

VOID ParseDeviceVersion(const CHAR16 *Version, UINTN *Major, UINTN *Minor) {
  UINTN Length = StrLen(Version);
  UINTN Value = 0;
  if (Length >= 1) {
    StrDecimalToUintnS(Version + 1, NULL, &Value);
  }
  *Major = Value;
  Value = 0;
  if (Length >= 3) {
    StrDecimalToUintnS(Version + 3, NULL, &Value);
  }
  *Minor = Value;
}

EFI_STATUS GetFileVersion(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINTN *Major, UINTN *Minor) {
  *Major = 254;
  *Minor = 254;

  // The name whole, exactly as the flash tool will be given it.
  EFI_HANDLE DeviceHandle = NULL;
  if (EFI_ERROR(GetBootDeviceHandle(ImageHandle, SystemTable, &DeviceHandle))) {
    return EFI_OUT_OF_RESOURCES;
  }
  PoolPtr<EFI_DEVICE_PATH_PROTOCOL> Path(FileDevicePath(DeviceHandle, gShellParameters->Argv[1]));
  if (!Path) {
    return EFI_OUT_OF_RESOURCES;
  }

  FileHandle File;
  EFI_DEVICE_PATH_PROTOCOL *Remaining = Path.Get();
  EFI_HANDLE Volume = NULL;
  EFI_STATUS Status = OpenFileByPath(SystemTable, &Remaining, &Volume, File.Out(), EFI_FILE_MODE_READ);
  Path.Reset();
  if (EFI_ERROR(Status) || !File) {
    return EFI_NOT_FOUND;
  }

  UINTN FileSize = 0;
  Status = ImageFileSize(File.Get(), &FileSize);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  // The whole image in one read, into one buffer of the file's size.
  PoolPtr<UINT8> Data((UINT8 *)AllocateZeroPool(FileSize));
  if (!Data) {
    return EFI_OUT_OF_RESOURCES;
  }
  UINTN Size = FileSize;
  if (File->Read(File.Get(), &Size, Data.Get()) != EFI_SUCCESS) {
    return EFI_NOT_FOUND;
  }
  File.Close();
  if (Size > FileSize) {
    Size = FileSize;
  }

  VERSION_MARKER Marker;
  if (!FindVersionMarker(Data.Get(), Size, &Marker)) {
    return EFI_NOT_FOUND;
  }
  *Major = Marker.Major;
  *Minor = Marker.Minor;
  return EFI_SUCCESS;
}

EFI_STATUS GetDeviceVersion(UINTN *Major, UINTN *Minor) {
  *Major = 255;
  *Minor = 255;

  EFI_SMBIOS_PROTOCOL *Smbios = NULL;
  if (EFI_ERROR(LocateSmbiosProtocol(&Smbios))) {
    return EFI_NOT_FOUND;
  }

  EFI_SMBIOS_HANDLE SmbiosHandle = SMBIOS_HANDLE_PI_RESERVED;
  EFI_SMBIOS_TABLE_HEADER *Record = NULL;
  do {
    if (EFI_ERROR(SmbiosNextRecord(Smbios, &SmbiosHandle, &Record))) {
      return EFI_NOT_FOUND;
    }
  } while (Record->Type != SMBIOS_TYPE_BIOS_INFORMATION);

  CHAR16 *Version = NULL;
  GetSmbiosString(SmbiosStringArea(Record), SmbiosStringNumber(Record, SMBIOS_BIOS_VERSION_OFFSET), &Version);
  if (Version == NULL) {
    return EFI_NOT_FOUND;
  }
  ParseDeviceVersion(Version, Major, Minor);
  FreeSmbiosString(Version);
  return EFI_SUCCESS;
}

EFI_STATUS CheckVersions(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN SkipVersionCheck) {
  if (SkipVersionCheck) {
    return EFI_SUCCESS;
  }

  UINTN FileMajor = 0;
  UINTN FileMinor = 0;
  UINTN DeviceMajor = 0;
  UINTN DeviceMinor = 0;
  if (GetFileVersion(ImageHandle, SystemTable, &FileMajor, &FileMinor) != EFI_SUCCESS) {
    Print(u"Check File Version\n");
  } else if (GetDeviceVersion(&DeviceMajor, &DeviceMinor) != EFI_SUCCESS) {
    Print(u"Check Device Version\n");
  } else if (AtLeast(FileMajor, FileMinor, DeviceMajor, DeviceMinor)) {
    return EFI_SUCCESS;
  } else {
    Print(u"Its not allowed to update from version %u.%02u to %u.%02u!\n", DeviceMajor, DeviceMinor, FileMajor,
          FileMinor);
  }

  Print(u"Press ANY key to abort!\n");
  WaitForAnyKey();
  DeleteUpdateState(ImageHandle, SystemTable);
  return EFI_NOT_FOUND;
}
