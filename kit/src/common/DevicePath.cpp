// Device paths: the size of a path and the path of a file on a device.
#include "kit/Library.h"

const EFI_GUID gEfiDevicePathProtocolGuid = {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

namespace {
// A device path longer than this is taken as corrupt rather than walked on.
constexpr UINTN kMaxDevicePathSize = 0x10000;
}  // namespace

UINTN GetDevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  if (DevicePath == NULL) {
    return 0;
  }
  const EFI_DEVICE_PATH_PROTOCOL *Node = DevicePath;
  UINTN Size = 0;
  while (!IsDevicePathEnd(Node)) {
    UINTN Length = DevicePathNodeLength(Node);
    if (Length < sizeof(EFI_DEVICE_PATH_PROTOCOL) || Size + Length > kMaxDevicePathSize) {
      return 0;
    }
    Size += Length;
    Node = NextDevicePathNode(Node);
  }
  return Size + END_DEVICE_PATH_LENGTH;
}

EFI_DEVICE_PATH_PROTOCOL *FileDevicePath(EFI_HANDLE Device, const CHAR16 *FileName) {
  if (FileName == NULL) {
    return NULL;
  }
  UINTN NameSize = (StrLen(FileName) + 1) * sizeof(CHAR16);
  UINTN NodeSize = SIZE_OF_FILEPATH_DEVICE_PATH + NameSize;
  if (NodeSize > 0xFFFF) {
    return NULL;
  }

  // Opened under the application's image, so the firmware drops the record
  // when the image exits; what a failed call leaves in its output is never
  // looked at.
  EFI_DEVICE_PATH_PROTOCOL *DevicePath = NULL;
  EFI_DEVICE_PATH_PROTOCOL *Found = NULL;
  UINTN DeviceSize = 0;
  if (Device != NULL &&
      !EFI_ERROR(gBS->OpenProtocol(Device, &gEfiDevicePathProtocolGuid, (VOID **)&Found, gImageHandle, NULL,
                                   EFI_OPEN_PROTOCOL_GET_PROTOCOL)) &&
      Found != NULL) {
    DevicePath = Found;
    DeviceSize = GetDevicePathSize(DevicePath);
    // The end node is replaced by the file node.
    DeviceSize = DeviceSize >= END_DEVICE_PATH_LENGTH ? DeviceSize - END_DEVICE_PATH_LENGTH : 0;
  }

  UINT8 *Path = (UINT8 *)AllocatePool(DeviceSize + NodeSize + END_DEVICE_PATH_LENGTH);
  if (Path == NULL) {
    return NULL;
  }
  CopyMem(Path, DevicePath, DeviceSize);

  EFI_DEVICE_PATH_PROTOCOL *FileNode = (EFI_DEVICE_PATH_PROTOCOL *)(Path + DeviceSize);
  FileNode->Type = MEDIA_DEVICE_PATH;
  FileNode->SubType = MEDIA_FILEPATH_DP;
  FileNode->Length[0] = (UINT8)(NodeSize & 0xFF);
  FileNode->Length[1] = (UINT8)(NodeSize >> 8);
  CopyMem(Path + DeviceSize + SIZE_OF_FILEPATH_DEVICE_PATH, FileName, NameSize);

  EFI_DEVICE_PATH_PROTOCOL *End = (EFI_DEVICE_PATH_PROTOCOL *)(Path + DeviceSize + NodeSize);
  End->Type = END_DEVICE_PATH_TYPE;
  End->SubType = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  End->Length[0] = END_DEVICE_PATH_LENGTH;
  End->Length[1] = 0;
  return (EFI_DEVICE_PATH_PROTOCOL *)Path;
}
