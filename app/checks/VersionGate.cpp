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

EFI_STATUS ReadImage(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const CHAR16 *Name, IMAGE_FACTS *Facts) {
  ZeroMem(Facts, sizeof(*Facts));

  // The name whole, exactly as the flash tool will be given it.
  EFI_HANDLE DeviceHandle = NULL;
  if (EFI_ERROR(GetBootDeviceHandle(ImageHandle, SystemTable, &DeviceHandle))) {
    return EFI_OUT_OF_RESOURCES;
  }
  PoolPtr<EFI_DEVICE_PATH_PROTOCOL> Path(FileDevicePath(DeviceHandle, Name));
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

  // One buffer of the file's size, read in pieces. Every byte is written by
  // Read before it is looked at, so the buffer needs no zero fill. A file
  // that shrank since its size was taken ends early; the bytes that came are
  // what is checked.
  PoolPtr<UINT8> Data((UINT8 *)AllocatePool(FileSize));
  if (!Data) {
    return EFI_OUT_OF_RESOURCES;
  }
  UINTN Size = 0;
  if (EFI_ERROR(ReadFileBytes(File.Get(), Data.Get(), FileSize, &Size))) {
    return EFI_NOT_FOUND;
  }
  File.Close();

  // The bytes that were read are the image: a file that grew or shrank
  // since its size was taken is still checked on what the tool would get.
  UINT32 Crc = 0;
  if (Size != 0 && EFI_ERROR(SystemTable->BootServices->CalculateCrc32(Data.Get(), Size, &Crc))) {
    return EFI_NOT_FOUND;
  }
  Facts->Identity.Present = TRUE;
  Facts->Identity.Size = Size;
  Facts->Identity.Crc32 = Crc;
  VERSION_MARKER Marker;
  if (FindVersionMarker(Data.Get(), Size, &Marker)) {
    Facts->HasVersion = TRUE;
    Facts->Major = Marker.Major;
    Facts->Minor = Marker.Minor;
  }
  return EFI_SUCCESS;
}

EFI_STATUS GetFileVersion(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINTN *Major, UINTN *Minor) {
  *Major = 254;
  *Minor = 254;
  IMAGE_FACTS Facts;
  EFI_STATUS Status = ReadImage(ImageHandle, SystemTable, gShellParameters->Argv[1], &Facts);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (!Facts.HasVersion) {
    return EFI_NOT_FOUND;
  }
  *Major = Facts.Major;
  *Minor = Facts.Minor;
  return EFI_SUCCESS;
}

namespace {

// The running BIOS's Version string, from the first type 0 record: a pool
// string, the shared SMBIOS_MISSING_STRING, or NULL with EFI_NOT_FOUND when
// there is none.
EFI_STATUS DeviceVersionText(CHAR16 **Version) {
  *Version = NULL;
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
  GetSmbiosString(SmbiosStringArea(Record), SmbiosStringNumber(Record, SMBIOS_BIOS_VERSION_OFFSET), Version);
  return *Version != NULL ? EFI_SUCCESS : EFI_NOT_FOUND;
}

// Whether the text at From, blanks skipped, starts with a decimal digit.
bool DigitAt(const CHAR16 *Version, UINTN Length, UINTN From) {
  while (From < Length && (Version[From] == u' ' || Version[From] == u'\t')) {
    From++;
  }
  return From < Length && Version[From] >= u'0' && Version[From] <= u'9';
}

}  // namespace

BOOLEAN DeviceVersionReadable(const CHAR16 *Version) {
  const UINTN Length = StrLen(Version);
  return DigitAt(Version, Length, 1) && DigitAt(Version, Length, 3);
}

EFI_STATUS GetDeviceVersion(UINTN *Major, UINTN *Minor) {
  *Major = 255;
  *Minor = 255;
  CHAR16 *Version = NULL;
  if (EFI_ERROR(DeviceVersionText(&Version))) {
    return EFI_NOT_FOUND;
  }
  ParseDeviceVersion(Version, Major, Minor);
  FreeSmbiosString(Version);
  return EFI_SUCCESS;
}

EFI_STATUS ConfirmFlashedVersion(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, LAUNCH_RECORD *Launch) {
  const CHAR16 *Name = gShellParameters->Argv[1];
  UINTN FileMajor = 0;
  UINTN FileMinor = 0;
  const bool FileRead = GetFileVersion(ImageHandle, SystemTable, &FileMajor, &FileMinor) == EFI_SUCCESS;
  if (FileRead && Launch != NULL) {
    Launch->Line.HasVersion = TRUE;
    Launch->Line.Major = FileMajor;
    Launch->Line.Minor = FileMinor;
  }
  CHAR16 *Version = NULL;
  const bool DeviceRead = FileRead && DeviceVersionText(&Version) == EFI_SUCCESS;
  UINTN DeviceMajor = 0;
  UINTN DeviceMinor = 0;
  const bool Readable = DeviceRead && DeviceVersionReadable(Version);
  if (Readable) {
    ParseDeviceVersion(Version, &DeviceMajor, &DeviceMinor);
    if (DeviceMajor != FileMajor || DeviceMinor != FileMinor) {
      // The machine still runs another BIOS: the update is not done, and
      // State.dat keeps its byte so that every later start says so too.
      FreeSmbiosString(Version);
      SayStep(Launch, u"step 4 of 4, the BIOS does not run the version of %s; the update failed", Name);
      Print(u"BIOS Update failed: the BIOS runs %u.%02u, %s holds %u.%02u\n", DeviceMajor, DeviceMinor, Name,
            FileMajor, FileMinor);
      LogStep(Launch, "failed", StateByte(STATE_FLASH_FINISHED), EFI_INCOMPATIBLE_VERSION);
      return EFI_INCOMPATIBLE_VERSION;
    }
  }

  if (Readable) {
    AnnounceStep(Launch, "done", STATE_REMOVED, u"step 4 of 4, the BIOS runs the version of %s; the update is done",
                 Name);
  } else {
    AnnounceStep(Launch, "done-unchecked", STATE_REMOVED, u"step 4 of 4, the update ends without a version check");
  }
  DeleteUpdateState(ImageHandle, SystemTable);
  if (Readable) {
    Print(u"BIOS Update done!\n");
  } else if (!FileRead) {
    Print(u"BIOS Update done! The version was not checked: %s cannot be read or holds no version\n", Name);
  } else if (!DeviceRead) {
    Print(u"BIOS Update done! The version was not checked: the firmware reports no BIOS version\n");
  } else {
    Print(u"BIOS Update done! The version was not checked: the BIOS version \"%s\" cannot be read\n", Version);
  }
  FreeSmbiosString(Version);
  return EFI_SUCCESS;
}

EFI_STATUS CheckVersions(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN SkipVersionCheck,
                         IMAGE_IDENTITY *Image, LAUNCH_RECORD *Launch) {
  ZeroMem(Image, sizeof(*Image));
  if (SkipVersionCheck) {
    return EFI_SUCCESS;
  }

  IMAGE_FACTS Facts;
  const bool FileRead = ReadImage(ImageHandle, SystemTable, gShellParameters->Argv[1], &Facts) == EFI_SUCCESS &&
                        Facts.HasVersion;
  const UINTN FileMajor = Facts.Major;
  const UINTN FileMinor = Facts.Minor;
  if (FileRead && Launch != NULL) {
    Launch->Line.HasVersion = TRUE;
    Launch->Line.Major = FileMajor;
    Launch->Line.Minor = FileMinor;
  }
  UINTN DeviceMajor = 0;
  UINTN DeviceMinor = 0;
  if (!FileRead) {
    Print(u"Check File Version\n");
  } else if (GetDeviceVersion(&DeviceMajor, &DeviceMinor) != EFI_SUCCESS) {
    Print(u"Check Device Version\n");
  } else if (AtLeast(FileMajor, FileMinor, DeviceMajor, DeviceMinor)) {
    *Image = Facts.Identity;
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

EFI_STATUS CheckApprovedImage(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const IMAGE_IDENTITY *Approved) {
  IMAGE_FACTS Facts;
  const CHAR16 *Name = gShellParameters->Argv[1];
  if (ReadImage(ImageHandle, SystemTable, Name, &Facts) == EFI_SUCCESS && Facts.Identity.Size == Approved->Size &&
      Facts.Identity.Crc32 == Approved->Crc32) {
    return EFI_SUCCESS;
  }
  Print(u"State.dat holds an update of another image: %s is not the image checked when the update began; put that "
        u"image back, or delete State.dat to begin with this one\n",
        Name);
  return EFI_ABORTED;
}
