// The kit's firmware helpers: GUID comparison, device-path sizes, the path
// of a file on a device and the first handle's protocol, against a boot
// services table of the test's own that can fail each call, or succeed
// with an empty answer. A failing call scribbles over its outputs, as
// firmware may: nothing of what it leaves is to be used.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kit/Library.h"

namespace {

struct FakeFirmware {
  bool PoolExhausted = false;
  int PoolBlocks = 0;
  // OpenProtocol for a device path.
  EFI_STATUS PathStatus = EFI_SUCCESS;
  EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
  // LocateHandleBuffer and OpenProtocol for any other protocol.
  EFI_STATUS LocateStatus = EFI_SUCCESS;
  std::vector<EFI_HANDLE> Handles;
  bool NoArray = false;
  EFI_STATUS OpenStatus = EFI_SUCCESS;
  VOID *Interface = nullptr;
  EFI_HANDLE OpenedOn = nullptr;
  EFI_HANDLE Agent = nullptr;
  UINT32 Attributes = 0;
};
FakeFirmware Fake;
VOID *const kScribble = reinterpret_cast<VOID *>(0xDEADBEEF0ull);

EFI_STATUS EFIAPI FakeAllocatePool(EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer) {
  if (Fake.PoolExhausted) {
    *Buffer = kScribble;
    return EFI_OUT_OF_RESOURCES;
  }
  *Buffer = std::malloc(Size == 0 ? 1 : Size);
  Fake.PoolBlocks++;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI FakeFreePool(VOID *Buffer) {
  std::free(Buffer);
  Fake.PoolBlocks--;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI FakeLocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE, const EFI_GUID *, VOID *, UINTN *Count,
                                         EFI_HANDLE **Buffer) {
  if (Fake.LocateStatus != EFI_SUCCESS) {
    *Count = 5;
    *Buffer = static_cast<EFI_HANDLE *>(kScribble);
    return Fake.LocateStatus;
  }
  *Count = Fake.Handles.size();
  *Buffer = nullptr;
  if (!Fake.NoArray) {
    FakeAllocatePool(EfiBootServicesData, sizeof(EFI_HANDLE) * Fake.Handles.size(), reinterpret_cast<VOID **>(Buffer));
    std::memcpy(*Buffer, Fake.Handles.data(), sizeof(EFI_HANDLE) * Fake.Handles.size());
  }
  return EFI_SUCCESS;
}
// The device path of a device, or the protocol OpenFirstProtocol asks for.
EFI_STATUS EFIAPI FakeOpenProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface, EFI_HANDLE Agent,
                                   EFI_HANDLE, UINT32 Attributes) {
  Fake.OpenedOn = Handle;
  Fake.Agent = Agent;
  Fake.Attributes = Attributes;
  if (KitGuidEqual(*Protocol, gEfiDevicePathProtocolGuid)) {
    *Interface = Fake.PathStatus == EFI_SUCCESS ? Fake.Path : kScribble;
    return Fake.PathStatus;
  }
  *Interface = Fake.OpenStatus == EFI_SUCCESS ? Fake.Interface : kScribble;
  return Fake.OpenStatus;
}

class KitFirmware : public ::testing::Test {
 protected:
  KitFirmware() {
    Fake = {};
    Services.AllocatePool = FakeAllocatePool;
    Services.FreePool = FakeFreePool;
    Services.LocateHandleBuffer = FakeLocateHandleBuffer;
    Services.OpenProtocol = FakeOpenProtocol;
    gBS = &Services;
    gImageHandle = kImage;
  }
  ~KitFirmware() override {
    EXPECT_EQ(Fake.PoolBlocks, 0) << "pool blocks left";
    gBS = SavedServices;
    gImageHandle = SavedImage;
  }

  EFI_HANDLE const kImage = reinterpret_cast<EFI_HANDLE>(0x1000);
  EFI_BOOT_SERVICES Services = {};
  EFI_BOOT_SERVICES *const SavedServices = gBS;
  EFI_HANDLE const SavedImage = gImageHandle;
};

std::vector<UINT8> Node(UINT8 Type, UINT8 SubType, UINTN Length) {
  std::vector<UINT8> Bytes(Length < 4 ? 4 : Length, 0xA5);
  Bytes[0] = Type;
  Bytes[1] = SubType;
  Bytes[2] = (UINT8)(Length & 0xFF);
  Bytes[3] = (UINT8)(Length >> 8);
  return Bytes;
}
std::vector<UINT8> Path(std::initializer_list<std::vector<UINT8>> Nodes) {
  std::vector<UINT8> Bytes;
  for (const std::vector<UINT8> &N : Nodes) {
    Bytes.insert(Bytes.end(), N.begin(), N.end());
  }
  return Bytes;
}
constexpr EFI_GUID kSomeProtocol = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
const std::vector<UINT8> kEnd = Node(END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4);
const std::vector<UINT8> kPci = Node(HARDWARE_DEVICE_PATH, 1, 6);

TEST(KitGuid, EqualOnlyWhenEveryFieldIs) {
  const EFI_GUID A = {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
  struct Case {
    const char *Name;
    EFI_GUID B;
    bool Equal;
  };
  const Case Cases[] = {
      {"same", A, true},
      {"Data1", {0x09576E92, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}, false},
      {"Data2", {0x09576E91, 0x6D3E, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}, false},
      {"Data3", {0x09576E91, 0x6D3F, 0x11D3, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}, false},
      {"first byte of Data4", {0x09576E91, 0x6D3F, 0x11D2, {0x8F, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}, false},
      {"last byte of Data4", {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3C}}, false},
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(KitGuidEqual(A, C.B), C.Equal) << C.Name;
    EXPECT_EQ(KitGuidEqual(C.B, A), C.Equal) << C.Name;
  }
}

// The size of a path with its end node; 0 for one that cannot be walked.
TEST(KitDevicePath, SizeCountsEveryNodeAndTheEnd) {
  struct Case {
    const char *Name;
    std::vector<UINT8> Bytes;
    UINTN Size;
  };
  const Case Cases[] = {
      {"end only", kEnd, 4},
      {"one node", Path({kPci, kEnd}), 10},
      {"an instance end is a node", Path({kPci, Node(END_DEVICE_PATH_TYPE, 0x01, 4), kEnd}), 14},
      {"node shorter than its header", Path({Node(HARDWARE_DEVICE_PATH, 1, 3), kEnd}), 0},
      {"node of length 0", Path({Node(HARDWARE_DEVICE_PATH, 1, 0), kEnd}), 0},
      {"nodes of 64 KiB", Path({Node(HARDWARE_DEVICE_PATH, 1, 0x8000), Node(HARDWARE_DEVICE_PATH, 1, 0x8000), kEnd}),
       0x10004},
      {"nodes past 64 KiB", Path({Node(HARDWARE_DEVICE_PATH, 1, 0x8000), Node(HARDWARE_DEVICE_PATH, 1, 0x8001), kEnd}),
       0},
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(GetDevicePathSize(reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(C.Bytes.data())), C.Size)
        << C.Name;
  }
  EXPECT_EQ(GetDevicePathSize(nullptr), 0u);
}

// The device's path, then the file node, then the end; only the file node
// when the device has no usable path; nothing when it cannot be built.
TEST_F(KitFirmware, FileDevicePathFollowsTheDevicesPath) {
  struct Case {
    const char *Name;
    bool Device;
    EFI_STATUS PathStatus;
    std::vector<UINT8> DevicePath;  // empty: OpenProtocol answers NULL
    std::u16string FileName;
    bool Built;
    UINTN DeviceBytes;  // of the device's path before the file node
  };
  const std::u16string Longest(0xFFFF / 2 - 3, u'n');
  const Case Cases[] = {
      {"device with a path", true, EFI_SUCCESS, Path({kPci, kEnd}), u"\\bios.bin", true, 6},
      {"no device", false, EFI_SUCCESS, Path({kPci, kEnd}), u"\\bios.bin", true, 0},
      {"device without a path", true, EFI_UNSUPPORTED, Path({kPci, kEnd}), u"\\bios.bin", true, 0},
      {"path answered as NULL", true, EFI_SUCCESS, {}, u"\\bios.bin", true, 0},
      {"corrupt device path", true, EFI_SUCCESS, Path({Node(HARDWARE_DEVICE_PATH, 1, 2), kEnd}), u"x", true, 0},
      {"longest name a node holds", false, EFI_SUCCESS, {}, Longest, true, 0},
      {"name too long for a node", false, EFI_SUCCESS, {}, Longest + u"n", false, 0},
  };
  for (const Case &C : Cases) {
    std::vector<UINT8> DevicePath = C.DevicePath;
    Fake.PathStatus = C.PathStatus;
    Fake.Path = DevicePath.empty() ? nullptr : reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(DevicePath.data());
    EFI_HANDLE Device = C.Device ? reinterpret_cast<EFI_HANDLE>(0x2000) : nullptr;
    Fake.Agent = nullptr;
    EFI_DEVICE_PATH_PROTOCOL *Built = FileDevicePath(Device, C.FileName.c_str());
    if (C.Device) {
      EXPECT_EQ(Fake.Agent, kImage) << C.Name << ": opened under the image";
    }
    ASSERT_EQ(Built != nullptr, C.Built) << C.Name;
    if (Built == nullptr) {
      continue;
    }
    const UINTN NameBytes = (C.FileName.size() + 1) * sizeof(CHAR16);
    const UINT8 *Bytes = reinterpret_cast<const UINT8 *>(Built);
    EXPECT_EQ(GetDevicePathSize(Built), C.DeviceBytes + 4 + NameBytes + 4) << C.Name;
    if (C.DeviceBytes != 0) {
      EXPECT_EQ(std::memcmp(Bytes, DevicePath.data(), C.DeviceBytes), 0) << C.Name;
    }
    const UINT8 *File = Bytes + C.DeviceBytes;
    EXPECT_EQ(File[0], MEDIA_DEVICE_PATH) << C.Name;
    EXPECT_EQ(File[1], MEDIA_FILEPATH_DP) << C.Name;
    EXPECT_EQ(std::memcmp(File + 4, C.FileName.c_str(), NameBytes), 0) << C.Name;
    FreePool(Built);
  }
  EXPECT_EQ(FileDevicePath(nullptr, nullptr), nullptr);
  Fake.PoolExhausted = true;
  EXPECT_EQ(FileDevicePath(nullptr, u"bios.bin"), nullptr);
  EXPECT_EQ(AllocateZeroPool(16), nullptr);
}

// The interface on the first handle, opened with the image as agent; every
// empty or failed answer gives no interface.
TEST_F(KitFirmware, OpenFirstProtocolTakesOnlyWhatSucceeded) {
  int Protocol = 0;
  EFI_HANDLE const First = reinterpret_cast<EFI_HANDLE>(0x3000);
  EFI_HANDLE const Second = reinterpret_cast<EFI_HANDLE>(0x3001);
  struct Case {
    const char *Name;
    EFI_STATUS LocateStatus;
    std::vector<EFI_HANDLE> Handles;
    bool NoArray;
    EFI_STATUS OpenStatus;
    VOID *Interface;
    EFI_STATUS Status;
  };
  const Case Cases[] = {
      {"found", EFI_SUCCESS, {First, Second}, false, EFI_SUCCESS, &Protocol, EFI_SUCCESS},
      {"no handle", EFI_NOT_FOUND, {}, false, EFI_SUCCESS, &Protocol, EFI_NOT_FOUND},
      {"locate fails", EFI_OUT_OF_RESOURCES, {}, false, EFI_SUCCESS, &Protocol, EFI_OUT_OF_RESOURCES},
      {"success without an array", EFI_SUCCESS, {First}, true, EFI_SUCCESS, &Protocol, EFI_NOT_FOUND},
      {"success with no handles", EFI_SUCCESS, {}, false, EFI_SUCCESS, &Protocol, EFI_NOT_FOUND},
      {"first handle NULL", EFI_SUCCESS, {nullptr, Second}, false, EFI_SUCCESS, &Protocol, EFI_NOT_FOUND},
      {"open fails", EFI_SUCCESS, {First}, false, EFI_UNSUPPORTED, &Protocol, EFI_UNSUPPORTED},
      {"opened as NULL", EFI_SUCCESS, {First}, false, EFI_SUCCESS, nullptr, EFI_NOT_FOUND},
  };
  for (const Case &C : Cases) {
    Fake.LocateStatus = C.LocateStatus;
    Fake.Handles = C.Handles;
    Fake.NoArray = C.NoArray;
    Fake.OpenStatus = C.OpenStatus;
    Fake.Interface = C.Interface;
    Fake.OpenedOn = nullptr;
    VOID *Interface = kScribble;
    EXPECT_EQ(OpenFirstProtocol(&kSomeProtocol, &Interface), C.Status) << C.Name;
    EXPECT_EQ(Interface, C.Status == EFI_SUCCESS ? C.Interface : nullptr) << C.Name;
    EXPECT_EQ(Fake.PoolBlocks, 0) << C.Name << ": the handle array is freed";
    if (Fake.OpenedOn != nullptr) {
      EXPECT_EQ(Fake.OpenedOn, First) << C.Name;
      EXPECT_EQ(Fake.Agent, kImage) << C.Name;
      EXPECT_EQ(Fake.Attributes, (UINT32)EFI_OPEN_PROTOCOL_GET_PROTOCOL) << C.Name;
    }
  }
}

}  // namespace
