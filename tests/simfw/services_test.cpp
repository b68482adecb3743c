// The simulated firmware's services: handle database, device paths, pool,
// variables, fault injection, power cuts, SMBIOS, console and board.
#include <algorithm>
#include <cstring>

#include "SimfwTestSupport.h"

// The kit's port accessors, which the simulated board implements.
UINT8 IoRead8(UINTN Port);
UINT8 IoWrite8(UINTN Port, UINT8 Value);

// The vendor control interface's name as callers know it; only pointers to
// it are used here.
struct VENDOR_CONTROL_PROTOCOL;

namespace simfw_test {
namespace {

using sim::Event;
using sim::Service;

constexpr EFI_GUID kDevicePathGuid = {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
constexpr EFI_GUID kLoadedImageGuid = {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
constexpr EFI_GUID kShellParametersGuid = {
    0x752F3136, 0x4E16, 0x4FDC, {0xA2, 0x2A, 0xE5, 0xF4, 0x68, 0x12, 0xF4, 0xCA}};
constexpr EFI_GUID kSmbiosGuid = {0x03583FF6, 0xCB36, 0x4940, {0x94, 0x7E, 0xB9, 0xB3, 0x9F, 0x4A, 0xFA, 0xF7}};
constexpr EFI_GUID kVendorControlGuid = {0x937A7061, 0xE4FA, 0x11E5, {0xAC, 0xDB, 0x40, 0xA8, 0xF0, 0x57, 0x39, 0x9B}};
constexpr EFI_GUID kTestGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct VendorControl {
  VOID *Unused;
  EFI_STATUS(EFIAPI *Request)(VENDOR_CONTROL_PROTOCOL *, UINTN, UINTN, UINTN, UINT32, VOID *, UINT32, UINT64 *);
};

using ServicesTest = SimTest;

std::vector<EFI_HANDLE> Located(EFI_BOOT_SERVICES *Bs, const EFI_GUID &Guid, EFI_STATUS *Status) {
  UINTN Count = 0;
  EFI_HANDLE *Buffer = nullptr;
  *Status = Bs->LocateHandleBuffer(ByProtocol, &Guid, nullptr, &Count, &Buffer);
  std::vector<EFI_HANDLE> Out(Buffer, Buffer + (*Status == EFI_SUCCESS ? Count : 0));
  if (Buffer != nullptr) {
    EXPECT_EQ(Bs->FreePool(Buffer), EFI_SUCCESS);
  }
  return Out;
}

TEST_F(ServicesTest, LocateHandleBufferListsHandlesInCreationOrderInAPoolBuffer) {
  struct Case {
    const char *Name;
    EFI_GUID Guid;
    std::function<void()> Setup;
    std::function<std::vector<EFI_HANDLE>()> Expected;  // empty: EFI_NOT_FOUND
  };
  const std::vector<Case> Cases = {
      {"file systems", kSimpleFileSystemGuid, [] {},
       [&] {
         return std::vector<EFI_HANDLE>{Fw.BootVolumeHandle(), Fw.OtherVolumeHandle()};
       }},
      {"loaded images", kLoadedImageGuid, [] {},
       [&] {
         return std::vector<EFI_HANDLE>{Fw.ShellImageHandle(), Fw.ImageHandle()};
       }},
      {"Shell parameters, both", kShellParametersGuid, [&] { Fw.SetShellParameterInstances(2); },
       [&] {
         return std::vector<EFI_HANDLE>{Fw.ShellImageHandle(), Fw.ImageHandle()};
       }},
      {"Shell parameters, Shell only", kShellParametersGuid, [&] { Fw.SetShellParameterInstances(1); },
       [&] { return std::vector<EFI_HANDLE>{Fw.ShellImageHandle()}; }},
      {"Shell parameters, none", kShellParametersGuid, [&] { Fw.SetShellParameterInstances(0); },
       [] { return std::vector<EFI_HANDLE>{}; }},
      {"no Shell", kShellGuid, [&] { Fw.SetShellProtocolInstalled(false); }, [] { return std::vector<EFI_HANDLE>{}; }},
      {"unknown protocol", kTestGuid, [] {}, [] { return std::vector<EFI_HANDLE>{}; }},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    C.Setup();
    EFI_STATUS Status = EFI_SUCCESS;
    const auto Expected = C.Expected();
    EXPECT_EQ(Located(Bs, C.Guid, &Status), Expected);
    EXPECT_EQ(Status, Expected.empty() ? EFI_NOT_FOUND : EFI_SUCCESS);
    EXPECT_EQ(Fw.LivePoolBlocks(), 0u);
  }
  // Counts follow the configuration; the buffer is a live pool block.
  Fw.SetVendorControlInstances(3);
  Fw.SetSmbiosInstances(2);
  UINTN Count = 0;
  EFI_HANDLE *Buffer = nullptr;
  ASSERT_EQ(Bs->LocateHandleBuffer(ByProtocol, &kVendorControlGuid, nullptr, &Count, &Buffer), EFI_SUCCESS);
  EXPECT_EQ(Count, 3u);
  EXPECT_EQ(Fw.LivePoolBlocks(), 1u);
  EXPECT_EQ(Bs->FreePool(Buffer), EFI_SUCCESS);
  EFI_STATUS Status = EFI_SUCCESS;
  EXPECT_EQ(Located(Bs, kSmbiosGuid, &Status).size(), 2u);
  EXPECT_EQ(Bs->LocateHandleBuffer(ByProtocol, &kSmbiosGuid, nullptr, nullptr, &Buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs->LocateHandleBuffer(ByProtocol, &kSmbiosGuid, nullptr, &Count, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(ServicesTest, OpenProtocolAndHandleProtocolCheckTheirArguments) {
  VOID *Interface = nullptr;
  EFI_HANDLE Image = Fw.ImageHandle();
  int NotAHandle = 0;
  struct Case {
    EFI_HANDLE Handle;
    const EFI_GUID *Guid;
    VOID **Out;
    UINT32 Attributes;
    EFI_STATUS Expected;
  };
  const std::vector<Case> Cases = {
      {Image, &kLoadedImageGuid, &Interface, EFI_OPEN_PROTOCOL_GET_PROTOCOL, EFI_SUCCESS},
      {Image, &kLoadedImageGuid, &Interface, EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL, EFI_SUCCESS},
      {Image, &kLoadedImageGuid, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL, EFI_INVALID_PARAMETER},
      {Image, &kSmbiosGuid, &Interface, EFI_OPEN_PROTOCOL_GET_PROTOCOL, EFI_UNSUPPORTED},
      {Image, nullptr, &Interface, EFI_OPEN_PROTOCOL_GET_PROTOCOL, EFI_INVALID_PARAMETER},
      {&NotAHandle, &kLoadedImageGuid, &Interface, EFI_OPEN_PROTOCOL_GET_PROTOCOL, EFI_INVALID_PARAMETER},
      {nullptr, &kLoadedImageGuid, &Interface, EFI_OPEN_PROTOCOL_GET_PROTOCOL, EFI_INVALID_PARAMETER},
      {Image, &kLoadedImageGuid, &Interface, 0x3, EFI_INVALID_PARAMETER},
  };
  for (size_t I = 0; I < Cases.size(); I++) {
    SCOPED_TRACE(I);
    const Case &C = Cases[I];
    Interface = nullptr;
    EXPECT_EQ(Bs->OpenProtocol(C.Handle, C.Guid, C.Out, Image, nullptr, C.Attributes), C.Expected);
    EXPECT_EQ(Interface != nullptr, C.Expected == EFI_SUCCESS);
    if (C.Attributes == EFI_OPEN_PROTOCOL_GET_PROTOCOL) {
      Interface = nullptr;
      EXPECT_EQ(Bs->HandleProtocol(C.Handle, C.Guid, C.Out), C.Expected);
    }
  }
}

TEST_F(ServicesTest, ImagesAndCommandLinesAreWhereTheShellPutsThem) {
  Fw.SetCommandLine({u"Tamsork.efi", u"-y", u"new.bin"});
  LaunchWith([&] {
    EFI_LOADED_IMAGE_PROTOCOL *Image = nullptr;
    EXPECT_EQ(Bs->OpenProtocol(Fw.ImageHandle(), &kLoadedImageGuid, reinterpret_cast<VOID **>(&Image), Fw.ImageHandle(),
                               nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL),
              EFI_SUCCESS);
    EXPECT_EQ(Image->DeviceHandle, Fw.BootVolumeHandle());
    EXPECT_EQ(Image->FilePath->Type, MEDIA_DEVICE_PATH);
    EXPECT_EQ(Image->FilePath->SubType, MEDIA_FILEPATH_DP);
    EXPECT_EQ(std::u16string(reinterpret_cast<FILEPATH_DEVICE_PATH *>(Image->FilePath)->PathName), u"\\Tamsork.efi");
    EXPECT_TRUE(IsDevicePathEnd(NextDevicePathNode(Image->FilePath)));

    for (auto [Handle, Argv] :
         {std::pair{Fw.ImageHandle(), std::vector<std::u16string>{u"Tamsork.efi", u"-y", u"new.bin"}},
          std::pair{Fw.ShellImageHandle(), std::vector<std::u16string>{u"\\EFI\\BOOT\\BOOTX64.EFI"}}}) {
      EFI_SHELL_PARAMETERS_PROTOCOL *Parameters = nullptr;
      EXPECT_EQ(Bs->HandleProtocol(Handle, &kShellParametersGuid, reinterpret_cast<VOID **>(&Parameters)), EFI_SUCCESS);
      EXPECT_EQ(std::vector<std::u16string>(Parameters->Argv, Parameters->Argv + Parameters->Argc), Argv);
    }
    return EFI_SUCCESS;
  });
  EXPECT_TRUE(Fw.BootVolume().Exists("tamsork.efi"));
}

// Builds a device path from vendor nodes named by one distinguishing byte,
// optionally followed by a file-path node.
std::vector<uint8_t> PathOf(const std::vector<uint8_t> &Vendors, const std::u16string &File = u"") {
  std::vector<uint8_t> Path;
  for (uint8_t V : Vendors) {
    EFI_GUID Guid = kTestGuid;
    Guid.Data4[7] = V;
    const uint8_t Header[4] = {HARDWARE_DEVICE_PATH, HW_VENDOR_DP, 20, 0};
    Path.insert(Path.end(), Header, Header + 4);
    const auto *G = reinterpret_cast<const uint8_t *>(&Guid);
    Path.insert(Path.end(), G, G + sizeof Guid);
  }
  if (!File.empty()) {
    const size_t Length = 4 + (File.size() + 1) * 2;
    const uint8_t Header[4] = {MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, static_cast<uint8_t>(Length), 0};
    Path.insert(Path.end(), Header, Header + 4);
    const auto *F = reinterpret_cast<const uint8_t *>(File.c_str());
    Path.insert(Path.end(), F, F + (File.size() + 1) * 2);
  }
  const uint8_t End[4] = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0};
  Path.insert(Path.end(), End, End + 4);
  return Path;
}

TEST_F(ServicesTest, LocateDevicePathPicksTheLongestWholeNodePrefix) {
  // Handles carrying kTestGuid: A = [1], B = [1,2]; C = [1,2] without it.
  std::vector<uint8_t> PathA = PathOf({1}), PathB = PathOf({1, 2}), PathC = PathOf({1, 2});
  int InterfaceA = 0, InterfaceB = 0;
  EFI_HANDLE A = nullptr, B = nullptr, C = nullptr;
  ASSERT_EQ(Bs->InstallProtocolInterface(&A, &kTestGuid, EFI_NATIVE_INTERFACE, &InterfaceA), EFI_SUCCESS);
  ASSERT_EQ(Bs->InstallProtocolInterface(&A, &kDevicePathGuid, EFI_NATIVE_INTERFACE, PathA.data()), EFI_SUCCESS);
  ASSERT_EQ(Bs->InstallProtocolInterface(&B, &kDevicePathGuid, EFI_NATIVE_INTERFACE, PathB.data()), EFI_SUCCESS);
  ASSERT_EQ(Bs->InstallProtocolInterface(&B, &kTestGuid, EFI_NATIVE_INTERFACE, &InterfaceB), EFI_SUCCESS);
  ASSERT_EQ(Bs->InstallProtocolInterface(&C, &kDevicePathGuid, EFI_NATIVE_INTERFACE, PathC.data()), EFI_SUCCESS);
  EXPECT_EQ(Bs->InstallProtocolInterface(&B, &kTestGuid, EFI_NATIVE_INTERFACE, &InterfaceB), EFI_INVALID_PARAMETER);

  struct Case {
    std::vector<uint8_t> Query;
    EFI_STATUS Expected;
    EFI_HANDLE Device;
    size_t Consumed;  // bytes *DevicePath moves forward
  };
  const std::vector<Case> Cases = {
      {PathOf({1, 2}, u"\\bios.bin"), EFI_SUCCESS, B, 40},
      {PathOf({1, 3}), EFI_SUCCESS, A, 20},
      {PathOf({1}), EFI_SUCCESS, A, 20},
      {PathOf({2, 1}), EFI_NOT_FOUND, nullptr, 0},
      {PathOf({}, u"\\bios.bin"), EFI_NOT_FOUND, nullptr, 0},
  };
  for (size_t I = 0; I < Cases.size(); I++) {
    SCOPED_TRACE(I);
    std::vector<uint8_t> Query = Cases[I].Query;
    auto *Path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Query.data());
    EFI_HANDLE Device = nullptr;
    EXPECT_EQ(Bs->LocateDevicePath(&kTestGuid, &Path, &Device), Cases[I].Expected);
    EXPECT_EQ(Device, Cases[I].Device);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(Path) - Query.data(), static_cast<ptrdiff_t>(Cases[I].Consumed));
  }

  // The path of a file on the boot volume leads to the boot volume's file system.
  EFI_DEVICE_PATH_PROTOCOL *VolumePath = nullptr;
  ASSERT_EQ(Bs->HandleProtocol(Fw.BootVolumeHandle(), &kDevicePathGuid, reinterpret_cast<VOID **>(&VolumePath)),
            EFI_SUCCESS);
  const size_t VolumeBytes = DevicePathNodeLength(VolumePath);
  ASSERT_TRUE(IsDevicePathEnd(NextDevicePathNode(VolumePath)));
  std::vector<uint8_t> Query(reinterpret_cast<uint8_t *>(VolumePath),
                             reinterpret_cast<uint8_t *>(VolumePath) + VolumeBytes);
  const auto FileNode = PathOf({}, u"\\bios.bin");
  Query.insert(Query.end(), FileNode.begin(), FileNode.end());
  auto *Path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Query.data());
  EFI_HANDLE Device = nullptr;
  EXPECT_EQ(Bs->LocateDevicePath(&kSimpleFileSystemGuid, &Path, &Device), EFI_SUCCESS);
  EXPECT_EQ(Device, Fw.BootVolumeHandle());
  EXPECT_EQ(Path->Type, MEDIA_DEVICE_PATH);
}

TEST_F(ServicesTest, PoolBlocksAreGarbageFilledCountedAndCheckedOnFree) {
  VOID *Block = nullptr;
  VOID *Empty = nullptr;
  ASSERT_EQ(Bs->AllocatePool(EfiBootServicesData, 16, &Block), EFI_SUCCESS);
  ASSERT_EQ(Bs->AllocatePool(EfiBootServicesData, 0, &Empty), EFI_SUCCESS);
  EXPECT_NE(Empty, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t *>(Block), static_cast<uint8_t *>(Block) + 16),
            std::vector<uint8_t>(16, 0xAF));
  EXPECT_EQ(Fw.LivePoolBlocks(), 2u);

  VOID *Huge = &Block;
  EXPECT_EQ(Bs->AllocatePool(EfiBootServicesData, ~UINTN{0} - 7, &Huge), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Huge, nullptr);
  EXPECT_EQ(Bs->AllocatePool(EfiConventionalMemory, 8, &Huge), EFI_INVALID_PARAMETER);

  int Stack = 0;
  const std::vector<VOID *> BadPointers = {static_cast<uint8_t *>(Block) + 1, &Stack, nullptr};
  for (VOID *P : BadPointers) {
    EXPECT_EQ(Bs->FreePool(P), EFI_INVALID_PARAMETER);
  }
  EXPECT_EQ(Fw.BadFrees(), 3u);
  EXPECT_EQ(Bs->FreePool(Block), EFI_SUCCESS);
  EXPECT_EQ(Bs->FreePool(Block), EFI_INVALID_PARAMETER);  // twice
  EXPECT_EQ(Fw.BadFrees(), 4u);
  EXPECT_EQ(Fw.LivePoolBlocks(), 1u);
  Fw.Reboot();  // reclaims the leak
  EXPECT_EQ(Fw.LivePoolBlocks(), 0u);
}

TEST_F(ServicesTest, GetVariableFollowsTheTwoCallProtocol) {
  const EFI_GUID Guid = kTestGuid;
  Fw.PutVariable(u"Var", Guid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, Bytes("12345"));
  struct Case {
    const char16_t *Name;
    UINTN Size;
    bool WithBuffer;
    EFI_STATUS Expected;
    UINTN SizeAfter;
  };
  const std::vector<Case> Cases = {
      {u"Var", 0, false, EFI_BUFFER_TOO_SMALL, 5},
      {u"Var", 4, true, EFI_BUFFER_TOO_SMALL, 5},
      {u"Var", 5, true, EFI_SUCCESS, 5},
      {u"Var", 64, true, EFI_SUCCESS, 5},
      {u"Var", 5, false, EFI_INVALID_PARAMETER, 5},
      {u"var", 64, true, EFI_NOT_FOUND, 64},  // names are case-sensitive
      {u"", 64, true, EFI_NOT_FOUND, 64},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(sim::ToUtf8(C.Name) + " " + std::to_string(C.Size));
    std::u16string Name = C.Name;
    EFI_GUID G = Guid;
    std::vector<uint8_t> Buffer(64, 0xEE);
    UINTN Size = C.Size;
    UINT32 Attributes = 0;
    EXPECT_EQ(Rt->GetVariable(Name.data(), &G, &Attributes, &Size, C.WithBuffer ? Buffer.data() : nullptr), C.Expected);
    EXPECT_EQ(Size, C.SizeAfter);
    if (C.Expected == EFI_SUCCESS) {
      EXPECT_EQ(std::string(Buffer.begin(), Buffer.begin() + 6), "12345\xEE");
      EXPECT_EQ(Attributes, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
    }
  }
  std::u16string Name = u"Var";
  EFI_GUID G = Guid;
  UINTN Size = 8;
  uint8_t Buffer[8];
  EXPECT_EQ(Rt->GetVariable(Name.data(), &G, nullptr, &Size, Buffer), EFI_SUCCESS);  // attributes are optional
  EXPECT_EQ(Rt->GetVariable(nullptr, &G, nullptr, &Size, Buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Rt->GetVariable(Name.data(), nullptr, nullptr, &Size, Buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Rt->GetVariable(Name.data(), &G, nullptr, nullptr, Buffer), EFI_INVALID_PARAMETER);
}

TEST_F(ServicesTest, SetVariableKeepsNonVolatileOnesAcrossReboot) {
  EFI_GUID G = kTestGuid;
  const UINT32 NonVolatile = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
  const UINT32 Volatile = EFI_VARIABLE_BOOTSERVICE_ACCESS;
  std::u16string Kept = u"Kept", Lost = u"Lost";
  uint8_t Data[2] = {1, 2};
  ASSERT_EQ(Rt->SetVariable(Kept.data(), &G, NonVolatile, 2, Data), EFI_SUCCESS);
  ASSERT_EQ(Rt->SetVariable(Lost.data(), &G, Volatile, 2, Data), EFI_SUCCESS);
  EXPECT_EQ(Rt->SetVariable(Kept.data(), &G, Volatile, 2, Data), EFI_INVALID_PARAMETER);  // attributes differ
  EXPECT_EQ(Rt->SetVariable(Kept.data(), &G, EFI_VARIABLE_RUNTIME_ACCESS, 2, Data), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Rt->SetVariable(Kept.data(), &G, NonVolatile, 2, nullptr), EFI_INVALID_PARAMETER);
  const auto Sets = Fw.EventsOf(Event::Kind::SetVariable);
  ASSERT_EQ(Sets.size(), 2u);
  EXPECT_EQ(Sets[0].Text, "Kept");
  EXPECT_EQ(Sets[1].Bytes, (std::vector<uint8_t>{1, 2}));
  Fw.Reboot();
  EXPECT_TRUE(Fw.GetVariableValue(u"Kept", G).has_value());
  EXPECT_FALSE(Fw.GetVariableValue(u"Lost", G).has_value());
  ASSERT_EQ(Rt->SetVariable(Kept.data(), &G, NonVolatile, 0, nullptr), EFI_SUCCESS);  // size 0 deletes
  EXPECT_FALSE(Fw.GetVariableValue(u"Kept", G).has_value());
  EXPECT_EQ(Rt->SetVariable(Kept.data(), &G, NonVolatile, 0, nullptr), EFI_NOT_FOUND);

  const auto Mor =
      Fw.GetVariableValue(sim::kMemoryOverwriteRequestControlName, sim::kMemoryOverwriteRequestControlGuid);
  ASSERT_TRUE(Mor.has_value());
  EXPECT_EQ(Mor->Data.size(), 1u);
}

TEST_F(ServicesTest, FaultsHitExactlyTheChosenCallsInEveryLaunchUntilCleared) {
  Fw.FailNth(Service::GetVariable, 2, EFI_DEVICE_ERROR);
  Fw.FailCallNumber(4, EFI_DEVICE_ERROR);  // an allocation can only run out of memory
  std::vector<EFI_STATUS> Statuses;
  std::vector<UINTN> Sizes;
  VOID *Block = &Statuses;
  const auto Script = [&] {
    Statuses.clear();
    Sizes.clear();
    for (int I = 0; I < 3; I++) {
      std::u16string Name = sim::kMemoryOverwriteRequestControlName;
      EFI_GUID G = sim::kMemoryOverwriteRequestControlGuid;
      uint8_t Data[8];
      UINTN Size = sizeof Data;
      Statuses.push_back(Rt->GetVariable(Name.data(), &G, nullptr, &Size, Data));
      Sizes.push_back(Size);
    }
    Statuses.push_back(Bs->AllocatePool(EfiBootServicesData, 8, &Block));  // call 4
    return EFI_SUCCESS;
  };
  for (int Launch = 0; Launch < 2; Launch++) {
    LaunchWith(Script);
    EXPECT_EQ(Statuses, (std::vector<EFI_STATUS>{EFI_SUCCESS, EFI_DEVICE_ERROR, EFI_SUCCESS, EFI_OUT_OF_RESOURCES}));
    EXPECT_EQ(Sizes, (std::vector<UINTN>{1, 8, 1}));  // the failed call touched nothing
    EXPECT_EQ(Block, nullptr);
    EXPECT_EQ(Fw.CallCount(), 4u);
    EXPECT_EQ(Fw.CallCount(Service::GetVariable), 3u);
    EXPECT_EQ(Fw.CallService(4), Service::AllocatePool);
  }
  Fw.ClearFaults();
  LaunchWith(Script);
  EXPECT_EQ(Statuses, (std::vector<EFI_STATUS>{EFI_SUCCESS, EFI_SUCCESS, EFI_SUCCESS, EFI_SUCCESS}));
  EXPECT_EQ(Bs->FreePool(Block), EFI_SUCCESS);

  // A failed FreePool leaves the block allocated.
  ASSERT_EQ(Bs->AllocatePool(EfiBootServicesData, 8, &Block), EFI_SUCCESS);
  Fw.FailNth(Service::FreePool, Fw.CallCount(Service::FreePool) + 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(Bs->FreePool(Block), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.LivePoolBlocks(), 1u);
  EXPECT_EQ(Fw.BadFrees(), 0u);
}

TEST_F(ServicesTest, CalculateCrc32GivesTheCrcUefiUses) {
  std::string Check = "123456789", One = "a", Fox = "_The quick brown fox jumps over the lazy dog";
  std::vector<uint8_t> Large(32 << 20, 0xA5), Pattern(1000003);
  for (size_t I = 0; I < Pattern.size(); I++) {
    Pattern[I] = static_cast<uint8_t>(I * 7 + 3);
  }
  UINT32 Crc = 0;
  const struct {
    const char *Name;
    VOID *Data;
    UINTN Size;
    UINT32 *Out;
    EFI_STATUS Expected;
    UINT32 Value;  // in Crc afterwards
  } Rows[] = {
      {"check value", Check.data(), 9, &Crc, EFI_SUCCESS, 0xCBF43926},
      {"one byte", One.data(), 1, &Crc, EFI_SUCCESS, 0xE8B7BE43},
      {"odd length at an odd address", Fox.data() + 1, 43, &Crc, EFI_SUCCESS, 0x414FA339},
      {"32 MiB", Large.data(), Large.size(), &Crc, EFI_SUCCESS, 0x242C2012},
      {"a pattern of a million bytes", Pattern.data(), Pattern.size(), &Crc, EFI_SUCCESS, 0x095D6E8A},
      {"no data", nullptr, 9, &Crc, EFI_INVALID_PARAMETER, 0x1234},
      {"no bytes", Check.data(), 0, &Crc, EFI_INVALID_PARAMETER, 0x1234},
      {"nowhere to put it", Check.data(), 9, nullptr, EFI_INVALID_PARAMETER, 0x1234},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Crc = 0x1234;
    EXPECT_EQ(Bs->CalculateCrc32(R.Data, R.Size, R.Out), R.Expected);
    EXPECT_EQ(Crc, R.Value);
  }
  // An injected failure leaves the result alone.
  Fw.FailNth(Service::CalculateCrc32, Fw.CallCount(Service::CalculateCrc32) + 1, EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs->CalculateCrc32(Check.data(), 9, &Crc), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Crc, 0x1234u);
}

TEST_F(ServicesTest, PowerCutFreezesTheMediumAndVariablesAtTheCutCall) {
  EFI_GUID G = kTestGuid;
  // One firmware call per numbered step.
  const auto Script = [&] {
    EFI_FILE_PROTOCOL *Root = BootRoot();                      // 1 HandleProtocol, 2 OpenVolume
    EFI_FILE_PROTOCOL *F = Open(Root, u"state.bin", kCreate);  // 3
    Write(F, "AAAA");                                          // 4
    F->Flush(F);                                               // 5
    std::u16string Step = u"Step", Temp = u"Temp";
    uint8_t One = 1;
    Rt->SetVariable(Step.data(), &G, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &One);  // 6
    Rt->SetVariable(Temp.data(), &G, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &One);                              // 7
    Write(F, "BBBB");                                                                                        // 8
    F->Close(F);                                                                                             // 9
    std::u16string Done = u"done";
    Fw.SystemTable()->ConOut->OutputString(Fw.SystemTable()->ConOut, Done.data());  // 10
    return EFI_SUCCESS;
  };
  struct Case {
    uint64_t CutAt;
    std::string File;  // "<none>" when absent
    bool Step;
    size_t Events;
  };
  const std::vector<Case> Cases = {
      {1, "<none>", false, 0}, {3, "<none>", false, 0}, {4, "", false, 1},    {5, "", false, 2},
      {6, "AAAA", false, 3},   {7, "AAAA", true, 4},    {9, "AAAA", true, 6}, {10, "AAAABBBB", true, 8},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.CutAt);
    Fw.BootVolume().RemoveFile("state.bin");
    Fw.RemoveVariable(u"Step", G);
    Fw.CutPowerAtCall(C.CutAt);
    LaunchWith(Script);
    EXPECT_TRUE(Fw.PowerWasCut());
    EXPECT_EQ(Text(Fw.BootVolume().MediumFile("state.bin")), C.File);
    EXPECT_EQ(Text(Fw.BootVolume().CurrentFile("state.bin")), C.File);
    EXPECT_EQ(Fw.GetVariableValue(u"Step", G).has_value(), C.Step);
    EXPECT_FALSE(Fw.GetVariableValue(u"Temp", G).has_value());  // volatile: gone with the power
    EXPECT_EQ(Fw.Events().size(), C.Events);
    EXPECT_EQ(Fw.ConsoleText(), "");
    Fw.Reboot();
  }
  // The request is used up; the next launch runs to the end with power on.
  LaunchWith(Script);
  EXPECT_FALSE(Fw.PowerWasCut());
  EXPECT_EQ(Text(Fw.BootVolume().MediumFile("state.bin")), "AAAABBBB");
  EXPECT_TRUE(Fw.GetVariableValue(u"Temp", G).has_value());
  EXPECT_EQ(Fw.ConsoleText(), "done");
}

// Finds string number N (1-based) in the string area after the formatted part.
std::string SmbiosString(const EFI_SMBIOS_TABLE_HEADER *Record, uint8_t N) {
  const char *S = reinterpret_cast<const char *>(Record) + Record->Length;
  for (uint8_t I = 1; I < N; I++) {
    S += std::strlen(S) + 1;
  }
  return S;
}

TEST_F(ServicesTest, SmbiosGetNextWalksTheTableInOrder) {
  sim::SmbiosRecord Bare;
  Bare.Type = 0x80;
  Bare.Formatted = {0xAB};
  Fw.SetSmbiosRecords({sim::BiosInformation("A1"), sim::SystemInformation("Board X"),
                       sim::ProcessorInformation(0x000906EA), sim::BiosInformation("B2"), Bare});
  EFI_SMBIOS_PROTOCOL *Smbios = nullptr;
  EFI_STATUS Status = EFI_SUCCESS;
  const auto Handles = Located(Bs, kSmbiosGuid, &Status);
  ASSERT_EQ(Handles.size(), 1u);
  ASSERT_EQ(Bs->HandleProtocol(Handles[0], &kSmbiosGuid, reinterpret_cast<VOID **>(&Smbios)), EFI_SUCCESS);

  const auto Walk = [&](const EFI_SMBIOS_TYPE *Type, std::vector<const EFI_SMBIOS_TABLE_HEADER *> *Records) {
    std::vector<EFI_SMBIOS_HANDLE> Seen;
    EFI_SMBIOS_HANDLE Handle = SMBIOS_HANDLE_PI_RESERVED;
    EFI_SMBIOS_TYPE T = Type ? *Type : 0;
    for (;;) {
      EFI_SMBIOS_TABLE_HEADER *Record = reinterpret_cast<EFI_SMBIOS_TABLE_HEADER *>(&Handle);  // sentinel
      if (Smbios->GetNext(Smbios, &Handle, Type ? &T : nullptr, &Record, nullptr) != EFI_SUCCESS) {
        EXPECT_EQ(Record, reinterpret_cast<EFI_SMBIOS_TABLE_HEADER *>(&Handle));  // untouched at the end
        return Seen;
      }
      EXPECT_EQ(Record->Handle, Handle);
      Seen.push_back(Handle);
      if (Records != nullptr) {
        Records->push_back(Record);
      }
    }
  };
  std::vector<const EFI_SMBIOS_TABLE_HEADER *> Records;
  EXPECT_EQ(Walk(nullptr, &Records), (std::vector<EFI_SMBIOS_HANDLE>{0, 1, 2, 3, 4}));
  const EFI_SMBIOS_TYPE Bios = 0, Missing = 0x7F;
  EXPECT_EQ(Walk(&Bios, nullptr), (std::vector<EFI_SMBIOS_HANDLE>{0, 3}));
  EXPECT_TRUE(Walk(&Missing, nullptr).empty());
  EFI_SMBIOS_HANDLE Unknown = 0x1234;
  EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
  EXPECT_EQ(Smbios->GetNext(Smbios, &Unknown, nullptr, &Record, nullptr), EFI_NOT_FOUND);

  // Layout: header, formatted bytes, strings; the builders' string numbers.
  ASSERT_EQ(Records.size(), 5u);
  const auto *B = reinterpret_cast<const uint8_t *>(Records[0]);
  EXPECT_EQ(Records[0]->Type, 0);
  EXPECT_EQ(SmbiosString(Records[0], B[5]), "A1");
  EXPECT_EQ(SmbiosString(Records[3], reinterpret_cast<const uint8_t *>(Records[3])[5]), "B2");
  EXPECT_EQ(SmbiosString(Records[1], reinterpret_cast<const uint8_t *>(Records[1])[5]), "Board X");
  const auto *P = reinterpret_cast<const uint8_t *>(Records[2]);
  EXPECT_GE(Records[2]->Length, 0x1A);
  EXPECT_EQ(std::vector<uint8_t>(P + 8, P + 12), (std::vector<uint8_t>{0xEA, 0x06, 0x09, 0x00}));
  const auto *Raw = reinterpret_cast<const uint8_t *>(Records[4]);
  EXPECT_EQ(Records[4]->Length, 5);
  EXPECT_EQ(std::vector<uint8_t>(Raw + 4, Raw + 7), (std::vector<uint8_t>{0xAB, 0, 0}));  // no strings: two NULs

  // Type 1's serial number (offset 7; empty: string 0) and UUID (offset 8).
  const sim::SmbiosRecord Set = sim::SystemInformation("B"), Unset = sim::SystemInformation("B", "", {});
  EXPECT_EQ(Set.Strings.at(Set.Formatted[3] - 1), "SN000001");
  EXPECT_TRUE(std::equal(sim::kSimulatedSystemUuid.begin(), sim::kSimulatedSystemUuid.end(), &Set.Formatted[4]));
  EXPECT_EQ(Unset.Formatted[3], 0);
  EXPECT_EQ(Unset.Strings.size(), 3u);  // no serial string
  EXPECT_EQ(std::count(&Unset.Formatted[4], &Unset.Formatted[20], 0), 16);
}

// Execute runs the program the Shell finds: the name from the current
// directory first, then along path in order; files only, in any case.
TEST_F(ServicesTest, ExecuteFindsItsProgramAsTheShellDoes) {
  const std::string InTools = "EFI\\Tools\\H2OFFT-Sx64.efi";
  const struct {
    const char *Name;
    std::function<void()> Setup;
    const char16_t *Command;
    EFI_STATUS Expected;
    std::string Volume, Path;  // where it was found; empty: nowhere
  } Rows[] = {
      {"in the current directory", [] {}, u"H2OFFT-Sx64.efi x", EFI_SUCCESS, "boot", "\\H2OFFT-Sx64.efi"},
      {"in any case", [] {}, u"h2offt-SX64.EFI x", EFI_SUCCESS, "boot", "\\H2OFFT-Sx64.efi"},
      {"by its mapping", [&] { Fw.SetCurrentDirectory(u"FS1:"); }, u"fs0:\\H2OFFT-Sx64.efi", EFI_SUCCESS, "boot",
       "\\H2OFFT-Sx64.efi"},
      {"missing", [&] { Fw.BootVolume().RemoveFile(sim::kFlashToolName); }, u"H2OFFT-Sx64.efi x", EFI_SUCCESS, "",
       ""},
      {"on the path",
       [&] {
         Fw.BootVolume().RemoveFile(sim::kFlashToolName);
         Fw.BootVolume().PutFile(InTools, "tool");
         Fw.ShellVariables[u"path"] = u"FS0:\\efi\\tools\\;FS0:\\";
       },
       u"H2OFFT-Sx64.efi x", EFI_SUCCESS, "boot", "\\EFI\\Tools\\H2OFFT-Sx64.efi"},
      {"the current directory before the path",
       [&] {
         Fw.BootVolume().PutFile(InTools, "tool");
         Fw.ShellVariables[u"path"] = u"FS0:\\efi\\tools\\";
       },
       u"H2OFFT-Sx64.efi x", EFI_SUCCESS, "boot", "\\H2OFFT-Sx64.efi"},
      {"the path in order, a '\\' put between",
       [&] {
         Fw.BootVolume().PutFile(InTools, "tool");
         Fw.OtherVolume().PutFile("bin\\H2OFFT-Sx64.efi", "tool");
         Fw.SetCurrentDirectory(u"FS0:\\EFI");
         Fw.ShellVariables[u"path"] = u"FS1:\\bin;FS0:\\efi\\tools";
       },
       u"H2OFFT-Sx64.efi x", EFI_SUCCESS, "other", "\\bin\\H2OFFT-Sx64.efi"},
      {"a directory of its name passed over",
       [&] {
         Fw.BootVolume().RemoveFile(sim::kFlashToolName);
         Fw.BootVolume().MakeDirectory(sim::kFlashToolName);
         Fw.BootVolume().PutFile(InTools, "tool");
         Fw.ShellVariables[u"path"] = u";.\\efi\\tools";
       },
       u"H2OFFT-Sx64.efi x", EFI_SUCCESS, "boot", "\\EFI\\Tools\\H2OFFT-Sx64.efi"},
      {"no current directory: the path alone",
       [&] {
         Fw.SetCurrentDirectory(u"");
         Fw.ShellVariables[u"PATH"] = u"FS0:\\";
       },
       u"H2OFFT-Sx64.efi x", EFI_SUCCESS, "boot", "\\H2OFFT-Sx64.efi"},
      // Not found, and yet no failure of Execute: as OVMF's Shell with
      // nesting off, which leaves the status code unwritten.
      {"no current directory, no path", [&] { Fw.SetCurrentDirectory(u""); }, u"H2OFFT-Sx64.efi x", EFI_SUCCESS, "",
       ""},
      {"endings not tried by default", [] {}, u"H2OFFT-Sx64 x", EFI_SUCCESS, "", ""},
      {"endings tried when set", [&] { Fw.ProgramExtensions = {u".nsh", u".efi"}; }, u"H2OFFT-Sx64 x", EFI_SUCCESS,
       "boot", "\\H2OFFT-Sx64.efi"},
  };
  EFI_SHELL_PROTOCOL *Sh = Shell();
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Fw.BootVolume().RemoveFile("EFI");
    Fw.BootVolume().RemoveFile(sim::kFlashToolName);
    Fw.BootVolume().PutFile(sim::kFlashToolName, "tool");
    Fw.OtherVolume().RemoveFile("bin");
    Fw.ShellVariables.clear();
    Fw.ProgramExtensions.clear();
    Fw.SetCurrentDirectory(u"FS0:");
    R.Setup();
    std::u16string Line = R.Command;
    EFI_HANDLE Parent = Fw.ImageHandle();
    EXPECT_EQ(LaunchWith([&] { return Sh->Execute(&Parent, Line.data(), nullptr, nullptr); }), R.Expected);
    ASSERT_EQ(Fw.Executions().size(), 1u);
    EXPECT_EQ(Fw.Executions()[0].ProgramVolume, R.Volume);
    EXPECT_EQ(Fw.Executions()[0].ProgramPath, R.Path);
  }
}

// The flash tool reads the image where the Shell resolves its argument; the
// version in its marker is the BIOS Version from the next boot on.
TEST_F(ServicesTest, FlashToolBringsTheImagesVersionAtTheNextBoot) {
  using Tool = sim::ExecuteCall::Tool;
  const struct {
    const char *Name;
    std::string Image;  // bios.bin
    Tool Did;
    std::string Version;  // SMBIOS type 0's after the reboot
    std::function<void()> Setup = [] {};
    const char16_t *Command = u"H2OFFT-Sx64.efi bios.bin";
  } Rows[] = {
      {"flashes", "xx$BVDTyy$.a1.06zz", Tool::Flashed, "V1.06"},
      {"past a field of another letter", "$BVDT$.b9.99$.i2. 7", Tool::Flashed, "V2.07"},
      {"not a field before the anchor", "$.a3.01$BVDT$.cX.1x", Tool::Flashed, "V0.01"},
      {"a tab, no digits", "$BVDT$.e1.\t-", Tool::Flashed, "V1.00"},
      {"a field cut short by the end", "$BVDT$.g1.0", Tool::NoMarker, "1.00"},
      {"no marker", "plain image", Tool::NoMarker, "1.00"},
      {"the tool does nothing", "$BVDT$.a1.06", Tool::DidNothing, "1.00",
       [&] { Fw.FlashTool = sim::FlashToolBehaviour::DoesNothing; }},
      {"no image", "$BVDT$.a1.06", Tool::NoImage, "1.00", [] {}, u"H2OFFT-Sx64.efi missing.bin"},
      {"an image on another volume", "", Tool::Flashed, "V2.10",
       [&] { Fw.OtherVolume().PutFile("new.bin", "$BVDT$.a2.10"); }, u"h2offt-sx64.efi FS1:\\new.bin"},
      {"the tool missing", "$BVDT$.a1.06", Tool::NotFound, "1.00",
       [&] { Fw.BootVolume().RemoveFile(sim::kFlashToolName); }},
      {"another program", "$BVDT$.a1.06", Tool::NotRun, "1.00", [&] { Fw.BootVolume().PutFile("x.efi", "MZ"); },
       u"x.efi bios.bin"},
  };
  EFI_SHELL_PROTOCOL *Sh = Shell();
  EFI_SMBIOS_PROTOCOL *Smbios = nullptr;
  EFI_STATUS Status = EFI_SUCCESS;
  Bs->HandleProtocol(Located(Bs, kSmbiosGuid, &Status).at(0), &kSmbiosGuid, reinterpret_cast<VOID **>(&Smbios));
  const auto Running = [&](EFI_SMBIOS_TYPE Type, size_t Offset) {
    EFI_SMBIOS_HANDLE Handle = SMBIOS_HANDLE_PI_RESERVED;
    EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
    EXPECT_EQ(Smbios->GetNext(Smbios, &Handle, &Type, &Record, nullptr), EFI_SUCCESS);
    return SmbiosString(Record, reinterpret_cast<const uint8_t *>(Record)[Offset]);
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Fw.SetSmbiosRecords({sim::BiosInformation("1.00"), sim::SystemInformation("Board", "SN9")});
    Fw.FlashTool = sim::FlashToolBehaviour::Flashes;
    Fw.BootVolume().PutFile(sim::kFlashToolName, "tool");
    Fw.BootVolume().PutFile("bios.bin", R.Image);
    R.Setup();
    std::u16string Line = R.Command;
    EFI_HANDLE Parent = Fw.ImageHandle();
    LaunchWith([&] { return Sh->Execute(&Parent, Line.data(), nullptr, nullptr); });
    ASSERT_EQ(Fw.Executions().size(), 1u);
    EXPECT_EQ(Fw.Executions()[0].FlashTool, R.Did);
    EXPECT_EQ(Fw.Executions()[0].FlashedVersion, R.Did == Tool::Flashed ? R.Version : "");
    EXPECT_EQ(Running(0, 5), "1.00");  // until the reboot
    Fw.Reboot();
    EXPECT_EQ(Running(0, 5), R.Version);
    EXPECT_EQ(Running(1, 5) + " " + Running(1, 7), "Board SN9");
    EXPECT_FALSE(Fw.PendingBiosVersion().has_value());
  }
}

TEST_F(ServicesTest, ConsoleDeliversQueuedKeysAndCapturesTextPerLaunch) {
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *In = Fw.SystemTable()->ConIn;
  Fw.QueueKeys({sim::CharKey(u'y'), sim::ScanKey(SCAN_ESC)});
  Fw.NoKeyStatus = EFI_NOT_READY;  // an idle keyboard
  std::vector<std::pair<EFI_STATUS, EFI_INPUT_KEY>> Read;
  LaunchWith([&] {
    for (int I = 0; I < 3; I++) {
      UINTN Index = 9;
      EFI_EVENT Event = In->WaitForKey;
      EXPECT_EQ(Bs->WaitForEvent(1, &Event, &Index), EFI_SUCCESS);
      EXPECT_EQ(Index, 0u);
      EFI_INPUT_KEY Key{0xBEEF, u'?'};
      const EFI_STATUS Status = In->ReadKeyStroke(In, &Key);
      Read.emplace_back(Status, Key);
    }
    std::u16string Out = u"h\u00e9llo \u2603 \U0001F600\r\n", Err = u"oops";
    Fw.SystemTable()->ConOut->OutputString(Fw.SystemTable()->ConOut, Out.data());
    Fw.SystemTable()->StdErr->OutputString(Fw.SystemTable()->StdErr, Err.data());
    return EFI_SUCCESS;
  });
  ASSERT_EQ(Read.size(), 3u);
  EXPECT_EQ(Read[0].first, EFI_SUCCESS);
  EXPECT_EQ(Read[0].second.UnicodeChar, u'y');
  EXPECT_EQ(Read[1].second.ScanCode, SCAN_ESC);
  EXPECT_EQ(Read[2].first, EFI_NOT_READY);
  EXPECT_EQ(Read[2].second.ScanCode, 0xBEEF);  // untouched
  EXPECT_EQ(Fw.ConsoleText(), "h\xC3\xA9llo \xE2\x98\x83 \xF0\x9F\x98\x80\r\n");
  EXPECT_EQ(Fw.StdErrText(), "oops");
  EXPECT_EQ(Fw.KeysLeft(), 0u);
  LaunchWith([] { return EFI_SUCCESS; });
  EXPECT_EQ(Fw.ConsoleText(), "");
  EXPECT_EQ(Fw.StdErrText(), "");

  // A key typed at the prompt is not there before the wait; one typed ahead
  // is. A spurious wake ends a wait with no key; a keyboard that is gone
  // fails the read. A wait for nothing is a misuse.
  Fw.QueueKey(sim::CharKey(u'p'));
  Fw.TypeAhead(sim::CharKey(u'a'));
  std::vector<EFI_STATUS> Statuses;
  LaunchWith([&] {
    UINTN Index = 0;
    EFI_EVENT Event = In->WaitForKey;
    EFI_INPUT_KEY Key{};
    Statuses.push_back(In->ReadKeyStroke(In, &Key));  // 'p' not typed yet
    Fw.SpuriousWakes(1);
    Bs->WaitForEvent(1, &Event, &Index);
    Statuses.push_back(In->ReadKeyStroke(In, &Key));  // still not
    Bs->WaitForEvent(1, &Event, &Index);
    Statuses.push_back(In->ReadKeyStroke(In, &Key));
    EXPECT_EQ(Key.UnicodeChar, u'p');
    Statuses.push_back(In->ReadKeyStroke(In, &Key));  // typed ahead
    EXPECT_EQ(Key.UnicodeChar, u'a');
    Fw.NoKeyStatus = EFI_DEVICE_ERROR;
    Statuses.push_back(In->ReadKeyStroke(In, &Key));
    Statuses.push_back(Bs->WaitForEvent(1, &Event, nullptr));
    return EFI_SUCCESS;
  });
  EXPECT_EQ(Statuses, (std::vector<EFI_STATUS>{EFI_NOT_READY, EFI_NOT_READY, EFI_SUCCESS, EFI_SUCCESS,
                                               EFI_DEVICE_ERROR, EFI_INVALID_PARAMETER}));
  EXPECT_EQ(Fw.Misuses().size(), 1u);
}

// The Shell's view of the volumes and of Execute's command line, as OVMF's
// Shell showed them on the virtual board.
TEST_F(ServicesTest, ShellMapsDirectoriesAndReadsCommandLinesAsOvmfDoes) {
  EFI_SHELL_PROTOCOL *Shell = nullptr;
  EFI_DEVICE_PATH_PROTOCOL *Boot = nullptr;
  Bs->HandleProtocol(Fw.BootVolumeHandle(), &kDevicePathGuid, reinterpret_cast<VOID **>(&Boot));
  std::vector<std::string> Seen;
  auto Text = [](const CHAR16 *S) { return S == nullptr ? std::string("NULL") : sim::ToUtf8(S); };
  LaunchWith([&] {
    EFI_STATUS Status = EFI_SUCCESS;
    Bs->HandleProtocol(Located(Bs, kShellGuid, &Status).at(0), &kShellGuid, reinterpret_cast<VOID **>(&Shell));
    EFI_DEVICE_PATH_PROTOCOL *Walk = Boot;
    Seen.push_back(Text(Shell->GetMapFromDevicePath(&Walk)));
    EXPECT_TRUE(IsDevicePathEnd(Walk));
    Seen.push_back(Text(Shell->GetCurDir(nullptr)));
    EXPECT_EQ(Shell->SetCurDir(nullptr, u"fs0:\\sub"), EFI_SUCCESS);
    Seen.push_back(Text(Shell->GetCurDir(nullptr)));
    Seen.push_back(Text(Shell->GetCurDir(u"FS1:")));
    Seen.push_back(Text(Shell->GetEnv(u"NoNesting")));
    return EFI_SUCCESS;
  });
  EXPECT_EQ(Seen, (std::vector<std::string>{"FS0:;BLK0:", "FS0:", "fs0:\\sub", "FS1:", "NULL"}));

  const std::map<std::u16string, std::u16string> Vars = {{u"path", u"FS0:\\"}, {u"lasterror", u"0x0"}};
  const std::map<std::u16string, std::u16string> Once = {{u"nonesting", u"True"}};
  const struct {
    const char16_t *Line;
    std::vector<std::u16string> Words;
    bool ReadOnce = false;
  } Lines[] = {
      {u"T \"my bios.bin\"", {u"T", u"my bios.bin"}},
      {u"T \"trail \"", {u"T", u"trail "}},
      {u"T trail^ ", {u"T", u"trail"}},
      {u"T \"%path%\"", {u"T", u"FS0:\\"}},
      {u"T \"%undefined%\"", {u"T"}},
      {u"T %1", {u"T", u"%1"}},
      {u"T 100%", {u"T", u"100%"}},
      {u"T %%", {u"T", u"%%"}},
      {u"T \"a^b\"", {u"T", u"ab"}},
      {u"T \"a^^^^b\"", {u"T", u"a^b"}},
      {u"T \"x #y\"", {}},
      {u"T \"a^^^^#b\"", {u"T", u"a#b"}},
      {u"T a|b", {u"T", u"a"}},
      {u"T >x", {u"T"}},
      {u"T a>b", {u"T", u"a>b"}},
      {u"T \"a\"b", {u"T", u"ab"}},
      {u"T a\tb", {u"T", u"a\tb"}},
      {u"T \"^%path^%\" a^^b", {u"T", u"%path%", u"a^b"}, true},
  };
  for (const auto &L : Lines) {
    SCOPED_TRACE(sim::ToUtf8(L.Line));
    EXPECT_EQ(sim::ReadShellCommandLine(L.Line, L.ReadOnce ? Once : Vars), L.Words);
  }
}

TEST_F(ServicesTest, BoardVendorShellAndResetShareOneOrderedRecord) {
  Fw.SetControlPort(0x5A);
  Fw.SetVendorControlInstances(2);
  Fw.VendorRequestStatus = EFI_DEVICE_ERROR;
  Fw.ExecuteCommandStatus = EFI_NOT_FOUND;
  uint8_t Buffer[16];
  std::memset(Buffer, 0xCC, sizeof Buffer);
  UINT64 Result = 77;
  EFI_STATUS CommandStatus = EFI_SUCCESS;
  VendorControl *Second = nullptr;
  Fw.BootVolume().PutFile("update.nsh", "echo");
  LaunchWith([&] {
    EXPECT_EQ(IoRead8(0x419F), 0x5A);
    EXPECT_EQ(IoRead8(0x80), 0xFF);
    IoWrite8(0x419F, 0x03);
    EFI_STATUS Status = EFI_SUCCESS;
    const auto Vendors = Located(Bs, kVendorControlGuid, &Status);
    Bs->HandleProtocol(Vendors.at(1), &kVendorControlGuid, reinterpret_cast<VOID **>(&Second));
    EXPECT_NE(Second->Unused, nullptr);
    EXPECT_EQ(Second->Request(reinterpret_cast<VENDOR_CONTROL_PROTOCOL *>(Second), 1, 2, 3, 4, Buffer, sizeof Buffer,
                              &Result),
              EFI_DEVICE_ERROR);
    EFI_SHELL_PROTOCOL *Shell = nullptr;
    EFI_HANDLE Parent = Fw.ImageHandle();
    std::u16string Command = u"fs0:\\update.nsh";
    const auto Shells = Located(Bs, kShellGuid, &Status);
    Bs->HandleProtocol(Shells.at(0), &kShellGuid, reinterpret_cast<VOID **>(&Shell));
    EXPECT_EQ(Shell->Execute(&Parent, Command.data(), nullptr, &CommandStatus), EFI_SUCCESS);
    Rt->ResetSystem(EfiResetWarm, EFI_SUCCESS, 0, nullptr);
    return EFI_SUCCESS;  // ResetSystem came back
  });
  std::vector<Event::Kind> Kinds;
  for (size_t I = 0; I < Fw.Events().size(); I++) {
    Kinds.push_back(Fw.Events()[I].What);
    EXPECT_EQ(Fw.Events()[I].Seq, I + 1);
  }
  EXPECT_EQ(Kinds, (std::vector<Event::Kind>{Event::Kind::PortRead, Event::Kind::PortRead, Event::Kind::PortWrite,
                                             Event::Kind::VendorRequest, Event::Kind::Execute, Event::Kind::Reset}));
  EXPECT_EQ(Fw.PortWrites(), (std::vector<std::pair<uint16_t, uint8_t>>{{0x419F, 0x03}}));
  EXPECT_EQ(Fw.PortReads(), (std::vector<uint16_t>{0x419F, 0x80}));
  ASSERT_EQ(Fw.VendorRequests().size(), 1u);
  const sim::VendorRequestCall &Call = Fw.VendorRequests()[0];
  EXPECT_EQ(Call.HandleIndex, 1u);
  EXPECT_EQ(Call.Seq, 4u);
  EXPECT_EQ(Call.This, Second);
  EXPECT_EQ(std::tie(Call.Arg2, Call.Arg3, Call.Arg4, Call.Arg5, Call.BufferSize),
            std::make_tuple(uint64_t{1}, uint64_t{2}, uint64_t{3}, uint32_t{4}, uint32_t{16}));
  EXPECT_EQ(std::vector<uint8_t>(Buffer, Buffer + 16), std::vector<uint8_t>(16, 0));
  EXPECT_EQ(Result, 0u);
  ASSERT_EQ(Fw.Executions().size(), 1u);
  EXPECT_EQ(Fw.Executions()[0].Parent, Fw.ImageHandle());
  EXPECT_EQ(Fw.Executions()[0].CommandLine, u"fs0:\\update.nsh");
  EXPECT_EQ(Fw.Executions()[0].ProgramPath, "\\update.nsh");
  EXPECT_TRUE(Fw.Executions()[0].StatusCodeGiven);
  EXPECT_FALSE(Fw.Executions()[0].EnvironmentGiven);
  EXPECT_EQ(CommandStatus, EFI_NOT_FOUND & ~MAX_BIT);  // handed back without its error bit
  EXPECT_TRUE(Fw.ResetRequested());
  EXPECT_EQ(Fw.LastResetType(), EfiResetWarm);

  // A failed port access has no effect: reads float, nothing is recorded.
  Fw.FailNth(Service::IoRead8, 1, EFI_DEVICE_ERROR);
  LaunchWith([] {
    EXPECT_EQ(IoRead8(0x419F), 0xFF);
    return EFI_SUCCESS;
  });
  EXPECT_TRUE(Fw.Events().empty());
  EXPECT_FALSE(Fw.ResetRequested());
}

TEST_F(ServicesTest, UnimplementedSlotsAnswerUnsupportedAndAreReported) {
  const auto Stall = reinterpret_cast<EFI_STATUS(EFIAPI *)()>(Bs->Stall);
  EXPECT_EQ(Stall(), EFI_UNSUPPORTED);
  ASSERT_EQ(Fw.Misuses().size(), 1u);
  EXPECT_NE(Fw.Misuses()[0].find("Stall"), std::string::npos);
}

// Each unkind behaviour on its own, on a fresh machine: what a failing call
// leaves in its outputs, the reads a driver may give, Execute through a
// nested Shell, and the opens filed by agent.
TEST_F(ServicesTest, UnkindFirmwareDoesOnlyWhatTheSpecificationAllows) {
  const auto Poison = reinterpret_cast<VOID *>(static_cast<uintptr_t>(sim::kPoisonPointer));
  constexpr UINTN PoisonSize = sim::kPoisonSize;
  const std::string Hundred(100, 'x');
  std::u16string Tool = u"H2OFFT-Sx64.efi bios.bin", Missing = u"NoSuchTool.efi";
  // Reads of a file of Size bytes asking Asked each time, until 0 bytes or
  // a failure: the sizes that came, and the last status.
  auto Reads = [&](size_t Size, UINTN Asked) {
    Fw.BootVolume().PutFile("f.bin", std::string(Size, 'f'));
    std::vector<UINTN> Got;
    EFI_STATUS Status = EFI_SUCCESS;
    LaunchWith([&] {
      EFI_FILE_PROTOCOL *Root = BootRoot(), *F = Open(Root, u"f.bin", kRead);
      std::vector<char> Buffer(Asked);
      for (UINTN N = Asked; (Status = F->Read(F, &N, Buffer.data())) == EFI_SUCCESS && N != 0; N = Asked) {
        Got.push_back(N);
      }
      F->Close(F);
      Root->Close(Root);
      return EFI_SUCCESS;
    });
    return std::pair(Got, Status);
  };
  auto Execute = [&](std::u16string Command, EFI_STATUS *Code) {
    EFI_STATUS Status = EFI_SUCCESS;
    LaunchWith([&] {
      EFI_HANDLE Image = Fw.ImageHandle();
      Status = Shell()->Execute(&Image, Command.data(), nullptr, Code);
      return EFI_SUCCESS;
    });
    return Status;
  };
  const struct {
    const char *Name;
    sim::UnkindBehaviour Unkind;
    std::function<void()> Check;
  } Rows[] = {
      {"a protocol the handle lacks: no interface", {.PoisonOutputs = true},
       [&] {
         VOID *Interface = nullptr;
         EXPECT_EQ(Bs->HandleProtocol(Fw.ImageHandle(), &kTestGuid, &Interface), EFI_UNSUPPORTED);
         EXPECT_EQ(Interface, Poison);
         Interface = nullptr;
         EXPECT_EQ(Bs->OpenProtocol(Fw.ImageHandle(), &kTestGuid, &Interface, Fw.ImageHandle(), nullptr,
                                    EFI_OPEN_PROTOCOL_GET_PROTOCOL),
                   EFI_UNSUPPORTED);
         EXPECT_EQ(Interface, Poison);
       }},
      {"no handle found: no count, no array", {.PoisonOutputs = true},
       [&] {
         UINTN Count = 0;
         EFI_HANDLE *Handles = nullptr;
         EXPECT_EQ(Bs->LocateHandleBuffer(ByProtocol, &kTestGuid, nullptr, &Count, &Handles), EFI_NOT_FOUND);
         EXPECT_EQ(Count, PoisonSize);
         EXPECT_EQ(static_cast<VOID *>(Handles), Poison);
       }},
      {"a failed allocation: no block", {.PoisonOutputs = true},
       [&] {
         VOID *Block = nullptr;
         Fw.FailNth(Service::AllocatePool, 1, EFI_OUT_OF_RESOURCES);
         EXPECT_EQ(Bs->AllocatePool(EfiBootServicesData, 8, &Block), EFI_OUT_OF_RESOURCES);
         EXPECT_EQ(Block, Poison);
       }},
      {"a variable too big keeps the size it needs", {.PoisonOutputs = true},
       [&] {
         UINTN Size = 0;
         UINT32 Attributes = 0;
         std::u16string Name = sim::kMemoryOverwriteRequestControlName;
         EFI_GUID Guid = sim::kMemoryOverwriteRequestControlGuid;
         EXPECT_EQ(Rt->GetVariable(Name.data(), &Guid, &Attributes, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
         EXPECT_EQ(Size, 1u);
         Name = u"Missing";
         EXPECT_EQ(Rt->GetVariable(Name.data(), &Guid, &Attributes, &Size, &Attributes), EFI_NOT_FOUND);
         EXPECT_EQ(Size, PoisonSize);
       }},
      {"no key: an odd key", {.PoisonOutputs = true},
       [&] {
         EFI_INPUT_KEY Key{0, u'y'};
         EXPECT_EQ(Fw.SystemTable()->ConIn->ReadKeyStroke(Fw.SystemTable()->ConIn, &Key), EFI_DEVICE_ERROR);
         EXPECT_EQ(Key.ScanCode, sim::kPoisonScanCode);
         EXPECT_EQ(Key.UnicodeChar, sim::kPoisonChar);
       }},
      {"a failed read: no size, no position, no bytes", {.PoisonOutputs = true},
       [&] {
         Fw.BootVolume().PutFile("f.bin", Hundred);
         Fw.FailNth(Service::FileRead, 1, EFI_DEVICE_ERROR);
         LaunchWith([&] {
           EFI_FILE_PROTOCOL *Root = BootRoot(), *F = Open(Root, u"f.bin", kRead);
           char Buffer[8] = {};
           UINTN Size = sizeof Buffer;
           UINT64 Position = 0;
           EXPECT_EQ(F->Read(F, &Size, Buffer), EFI_DEVICE_ERROR);
           EXPECT_EQ(Size, PoisonSize);
           EXPECT_EQ(static_cast<uint8_t>(Buffer[7]), sim::kPoisonByte);
           EXPECT_EQ(F->GetPosition(F, &Position), EFI_SUCCESS);
           EXPECT_EQ(Position, PoisonSize);
           F->Close(F);
           Root->Close(Root);
           return EFI_SUCCESS;
         });
       }},
      {"the end of the SMBIOS table keeps its handle", {.PoisonOutputs = true},
       [&] {
         EFI_SMBIOS_PROTOCOL *Smbios = nullptr;
         std::vector<EFI_HANDLE> Handles;
         EFI_STATUS Status = EFI_SUCCESS;
         Handles = Located(Bs, kSmbiosGuid, &Status);
         ASSERT_EQ(Bs->HandleProtocol(Handles[0], &kSmbiosGuid, reinterpret_cast<VOID **>(&Smbios)), EFI_SUCCESS);
         EFI_SMBIOS_HANDLE Handle = SMBIOS_HANDLE_PI_RESERVED;
         EFI_SMBIOS_TYPE Type = 0x7F;
         EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
         EXPECT_EQ(Smbios->GetNext(Smbios, &Handle, &Type, &Record, nullptr), EFI_NOT_FOUND);
         EXPECT_EQ(Handle, SMBIOS_HANDLE_PI_RESERVED);
         EXPECT_EQ(static_cast<VOID *>(Record), Poison);
       }},
      {"a failed Execute: no status code", {.PoisonOutputs = true},
       [&] {
         EFI_STATUS Code = EFI_SUCCESS;
         Fw.FailNth(Service::ShellExecute, 1, EFI_OUT_OF_RESOURCES);
         EXPECT_EQ(Execute(Tool, &Code), EFI_OUT_OF_RESOURCES);
         EXPECT_EQ(Code, sim::kPoisonStatus);
       }},
      {"short reads give half of what is asked", {.ShortReads = true},
       [&] {
         EXPECT_EQ(Reads(100, 64), std::pair(std::vector<UINTN>{32, 32, 32, 4}, EFI_SUCCESS));
         EXPECT_EQ(Reads(3, 1), std::pair(std::vector<UINTN>{1, 1, 1}, EFI_SUCCESS));
       }},
      {"a read above the limit is refused", {.MaxReadSize = 16},
       [&] {
         EXPECT_EQ(Reads(40, 16), std::pair(std::vector<UINTN>{16, 16, 8}, EFI_SUCCESS));
         EXPECT_EQ(Reads(40, 17), std::pair(std::vector<UINTN>{}, EFI_DEVICE_ERROR));
         EXPECT_EQ(Reads(10, 64), std::pair(std::vector<UINTN>{10}, EFI_SUCCESS));
       }},
      // As measured on OVMF's Shell: the status without its error bit, so
      // that an error and the warning of its number look alike, and an odd
      // code for a program not found; with nesting off, that program leaves
      // the status code unwritten.
      {"a nested Shell reports the command in the status code", {.NestedExecute = true},
       [&] {
         EFI_STATUS Code = EFI_SUCCESS;
         EXPECT_EQ(Execute(Missing, &Code), EFI_SUCCESS);
         EXPECT_EQ(Code, sim::kNestedNotFoundStatus);
         Fw.ExecuteStatus = EFI_ACCESS_DENIED;
         EXPECT_EQ(Execute(Tool, &Code), EFI_SUCCESS);
         EXPECT_EQ(Code, 0xFu);
         EXPECT_TRUE(Fw.Executions().at(0).FlashTool == sim::ExecuteCall::Tool::NotRun);
         Fw.ExecuteStatus = EFI_SUCCESS;
         for (EFI_STATUS Returned : {EFI_DEVICE_ERROR, EFI_STATUS{7}}) {
           Fw.ExecuteCommandStatus = Returned;
           EXPECT_EQ(Execute(Tool, &Code), EFI_SUCCESS);
           EXPECT_EQ(Code, 7u);
         }
         Fw.ShellVariables[u"nonesting"] = u"True";
         Code = 0x1234;
         EXPECT_EQ(Execute(Missing, &Code), EFI_SUCCESS);
         EXPECT_EQ(Code, 0x1234u);
         Fw.ExecuteStatus = EFI_ACCESS_DENIED;
         EXPECT_EQ(Execute(Tool, &Code), EFI_ACCESS_DENIED);
         EXPECT_EQ(Code, 0xFu);
       }},
      {"an agent that is no image is refused", {.StrictAgents = true},
       [&] {
         VOID *Interface = nullptr;
         for (EFI_HANDLE Agent : {Fw.BootVolumeHandle(), EFI_HANDLE{nullptr}}) {
           EXPECT_EQ(Bs->OpenProtocol(Fw.BootVolumeHandle(), &kDevicePathGuid, &Interface, Agent, nullptr,
                                      EFI_OPEN_PROTOCOL_GET_PROTOCOL),
                     EFI_INVALID_PARAMETER);
         }
         EXPECT_EQ(Bs->OpenProtocol(Fw.BootVolumeHandle(), &kDevicePathGuid, &Interface, Fw.ShellImageHandle(),
                                    nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL),
                   EFI_SUCCESS);
       }},
      {"opens left under another agent are listed; the image's and closed ones are not", {},
       [&] {
         LaunchWith([&] {
           VOID *Interface = nullptr;
           for (EFI_HANDLE Agent : {Fw.ImageHandle(), Fw.BootVolumeHandle(), Fw.ShellImageHandle()}) {
             EXPECT_EQ(Bs->OpenProtocol(Fw.BootVolumeHandle(), &kDevicePathGuid, &Interface, Agent, nullptr,
                                        EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL),
                       EFI_SUCCESS);
           }
           const auto Close = reinterpret_cast<EFI_STATUS(EFIAPI *)(EFI_HANDLE, const EFI_GUID *, EFI_HANDLE,
                                                                    EFI_HANDLE)>(Bs->CloseProtocol);
           EXPECT_EQ(Close(Fw.BootVolumeHandle(), &kDevicePathGuid, Fw.ShellImageHandle(), nullptr), EFI_SUCCESS);
           EXPECT_EQ(Close(Fw.BootVolumeHandle(), &kDevicePathGuid, Fw.ShellImageHandle(), nullptr), EFI_NOT_FOUND);
           return EFI_SUCCESS;
         });
         ASSERT_EQ(Fw.ForeignAgentOpens().size(), 1u);
         EXPECT_EQ(Fw.ForeignAgentOpens()[0].Agent, Fw.BootVolumeHandle());
         EXPECT_NE(Fw.ForeignAgentOpens()[0].Text.find("by the boot volume handle"), std::string::npos);
         LaunchWith([] { return EFI_SUCCESS; });
         EXPECT_TRUE(Fw.ForeignAgentOpens().empty());
       }},
  };
  for (const auto &Row : Rows) {
    SCOPED_TRACE(Row.Name);
    Fw.Unkind = Row.Unkind;
    Fw.ClearFaults();
    Row.Check();
  }
}

TEST(Utf8Test, ConversionsHandleSurrogatesAndBadInput) {
  struct Case {
    std::u16string Wide;
    std::string Narrow;
  };
  const std::vector<Case> RoundTrips = {
      {u"", ""},
      {u"plain", "plain"},
      {u"\u00e9\u20ac", "\xC3\xA9\xE2\x82\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
  };
  for (const Case &C : RoundTrips) {
    EXPECT_EQ(sim::ToUtf8(C.Wide), C.Narrow);
    EXPECT_EQ(sim::FromUtf8(C.Narrow), C.Wide);
  }
  EXPECT_EQ(sim::ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");  // lone surrogate
  EXPECT_EQ(sim::FromUtf8("\xFFx"), u"\uFFFDx");
  EXPECT_EQ(sim::FromUtf8("\xC3"), u"\uFFFD");      // cut short
  EXPECT_EQ(sim::FromUtf8("\xC0\xAF"), u"\uFFFD");  // overlong
}

}  // namespace
}  // namespace simfw_test
