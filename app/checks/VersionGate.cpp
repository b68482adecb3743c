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

EFI_STATUS ReadImage(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const CHAR16 *Name, IMAGE_FACTS *Facts,
                     BOOLEAN Digest) {
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
  if (Digest) {
    Sha256(Data.Get(), Size, Facts->Sha256);
  }
  return EFI_SUCCESS;
}

EFI_STATUS ReadChecksumFile(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, PoolPtr<CHAR8> &Text, UINTN *Size) {
  *Size = 0;
  const CHAR16 *Image = gShellParameters->Argv[1];
  const UINTN Length = StrLen(Image);
  PoolPtr<CHAR16> Name((CHAR16 *)AllocatePool(Length * sizeof(CHAR16) + sizeof(u".sha256")));
  if (!Name) {
    return EFI_OUT_OF_RESOURCES;
  }
  CopyMem(Name.Get(), Image, Length * sizeof(CHAR16));
  CopyMem(Name.Get() + Length, u".sha256", sizeof(u".sha256"));
  FileHandle File;
  EFI_STATUS Status = OpenFileOnVolume(ImageHandle, SystemTable, Name.Get(), EFI_FILE_MODE_READ, File);
  if (EFI_ERROR(Status)) {
    return EFI_NOT_FOUND;
  }
  Text.Reset((CHAR8 *)AllocatePool(CHECKSUM_FILE_MAX));
  if (!Text) {
    return EFI_OUT_OF_RESOURCES;
  }
  Status = ReadFileBytes(File.Get(), Text.Get(), CHECKSUM_FILE_MAX, Size);
  if (EFI_ERROR(Status)) {
    *Size = 0;
  }
  return Status;
}

BOOLEAN ReadDeviceVersion(const CHAR8 *Version, UINTN Length, UINTN *Major, UINTN *Minor) {
  auto Digit = [&](UINTN At) { return At < Length && Version[At] >= '0' && Version[At] <= '9'; };
  if (Length < 5 || Version[0] == 0 || !Digit(1) || Version[2] != '.' || !Digit(3) || !Digit(4) || Digit(5)) {
    return FALSE;
  }
  *Major = (UINTN)(Version[1] - '0');
  *Minor = (UINTN)(Version[3] - '0') * 10 + (UINTN)(Version[4] - '0');
  return TRUE;
}

EFI_STATUS GetDeviceVersion(UINTN *Major, UINTN *Minor) {
  *Major = 255;
  *Minor = 255;
  MACHINE_FACTS Machine;
  ReadMachineFacts(&Machine);
  UINTN ReadMajor = 0;
  UINTN ReadMinor = 0;
  if (!Machine.HasBios || !ReadDeviceVersion(Machine.Bios.Text, Machine.Bios.Length, &ReadMajor, &ReadMinor)) {
    return EFI_NOT_FOUND;
  }
  *Major = ReadMajor;
  *Minor = ReadMinor;
  return EFI_SUCCESS;
}

VERSION_VERDICT CompareVersions(const IMAGE_FACTS *Image, BOOLEAN ImageRead, const MACHINE_FACTS *Machine,
                                UINTN *DeviceMajor, UINTN *DeviceMinor) {
  if (!ImageRead || !Image->HasVersion) {
    return VERSION_IMAGE_UNREADABLE;
  }
  if (!Machine->HasBios) {
    return VERSION_DEVICE_MISSING;
  }
  if (!ReadDeviceVersion(Machine->Bios.Text, Machine->Bios.Length, DeviceMajor, DeviceMinor)) {
    return VERSION_DEVICE_UNREADABLE;
  }
  if (Image->Major == *DeviceMajor && Image->Minor == *DeviceMinor) {
    return VERSION_EQUAL;
  }
  return AtLeast(Image->Major, Image->Minor, *DeviceMajor, *DeviceMinor) ? VERSION_NEWER : VERSION_OLDER;
}

VOID DeviceVersionText(const MACHINE_FACTS *Machine, CHAR16 *Out) {
  if (Machine->Bios.Length == 0) {
    CopyMem(Out, SMBIOS_MISSING_STRING, sizeof(u"Missing String"));
  } else {
    PrintableText(Machine->Bios.Text, Machine->Bios.Length, Out);
  }
}

EFI_STATUS CheckVersions(BOOLEAN SkipVersionCheck, const MACHINE_FACTS *Machine, const IMAGE_FACTS *Image,
                         BOOLEAN Read) {
  if (SkipVersionCheck) {
    return EFI_SUCCESS;
  }
  UINTN DeviceMajor = 0;
  UINTN DeviceMinor = 0;
  CHAR16 Text[MACHINE_SERIAL_MAX + 1];
  switch (CompareVersions(Image, Read, Machine, &DeviceMajor, &DeviceMinor)) {
    case VERSION_EQUAL:
    case VERSION_NEWER:
      return EFI_SUCCESS;
    case VERSION_IMAGE_UNREADABLE:
      Print(u"Check File Version\n");
      break;
    case VERSION_DEVICE_MISSING:
      Print(u"Check Device Version\n");
      break;
    case VERSION_DEVICE_UNREADABLE:
      DeviceVersionText(Machine, Text);
      Print(u"The running BIOS version \"%s\" cannot be read: start with -d to update without the version check\n",
            Text);
      break;
    case VERSION_OLDER:
      Print(u"Its not allowed to update from version %u.%02u to %u.%02u!\n", DeviceMajor, DeviceMinor, Image->Major,
            Image->Minor);
      break;
  }
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
