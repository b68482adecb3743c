// Helpers for the tests of the simulated firmware: they drive the services
// through the same tables the application uses.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "simfw/Firmware.h"

namespace simfw_test {

inline constexpr EFI_GUID kSimpleFileSystemGuid = {
    0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
inline constexpr EFI_GUID kShellGuid = {0x6302D008, 0x7F9B, 0x4F30, {0x87, 0xAC, 0x60, 0xC9, 0xFE, 0xF5, 0xDA, 0x4E}};
inline constexpr EFI_GUID kFileInfoGuid = {
    0x09576E92, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

inline std::vector<uint8_t> Bytes(const std::string &S) { return {S.begin(), S.end()}; }
inline std::string Text(const std::optional<std::vector<uint8_t>> &B) {
  return B ? std::string(B->begin(), B->end()) : std::string("<none>");
}

// The entry point Launch(Entry) runs: whatever the test put in Body.
inline std::function<EFI_STATUS()> &Body() {
  static std::function<EFI_STATUS()> B;
  return B;
}
inline EFI_STATUS EFIAPI RunBody(EFI_HANDLE, EFI_SYSTEM_TABLE *) { return Body()(); }

class SimTest : public ::testing::Test {
 protected:
  sim::Firmware Fw;
  EFI_BOOT_SERVICES *Bs = Fw.SystemTable()->BootServices;
  EFI_RUNTIME_SERVICES *Rt = Fw.SystemTable()->RuntimeServices;

  // The services' own tests look at what a failing call leaves behind on
  // kind firmware; the unkind behaviours have their own cases, which turn
  // them on.
  SimTest() { Fw.Unkind = {}; }

  EFI_STATUS LaunchWith(std::function<EFI_STATUS()> F) {
    Body() = std::move(F);
    return Fw.Launch(RunBody);
  }

  EFI_FILE_PROTOCOL *OpenRoot(EFI_HANDLE Volume) {
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *Fs = nullptr;
    EXPECT_EQ(Bs->HandleProtocol(Volume, &kSimpleFileSystemGuid, reinterpret_cast<VOID **>(&Fs)), EFI_SUCCESS);
    EFI_FILE_PROTOCOL *Root = nullptr;
    EXPECT_EQ(Fs->OpenVolume(Fs, &Root), EFI_SUCCESS);
    return Root;
  }
  EFI_FILE_PROTOCOL *BootRoot() { return OpenRoot(Fw.BootVolumeHandle()); }

  // The Shell protocol, found as the application finds it.
  EFI_SHELL_PROTOCOL *Shell() {
    UINTN Count = 0;
    EFI_HANDLE *Handles = nullptr;
    EXPECT_EQ(Bs->LocateHandleBuffer(ByProtocol, &kShellGuid, nullptr, &Count, &Handles), EFI_SUCCESS);
    EFI_SHELL_PROTOCOL *Found = nullptr;
    EXPECT_EQ(Bs->HandleProtocol(Handles[0], &kShellGuid, reinterpret_cast<VOID **>(&Found)), EFI_SUCCESS);
    Bs->FreePool(Handles);
    return Found;
  }

  // Opens Path from Dir; null when it fails, with the status in *Status.
  static EFI_FILE_PROTOCOL *Open(EFI_FILE_PROTOCOL *Dir, const std::u16string &Path, UINT64 Mode,
                                 EFI_STATUS *Status = nullptr, UINT64 Attributes = 0) {
    EFI_FILE_PROTOCOL *F = nullptr;
    std::u16string Name = Path;
    const EFI_STATUS S = Dir->Open(Dir, &F, Name.data(), Mode, Attributes);
    if (Status != nullptr) {
      *Status = S;
    }
    return S == EFI_SUCCESS ? F : nullptr;
  }

  static EFI_STATUS Write(EFI_FILE_PROTOCOL *F, const std::string &S) {
    std::string Copy = S;
    UINTN Size = Copy.size();
    return F->Write(F, &Size, Copy.data());
  }

  // Reads from the current position to the end.
  static std::string ReadRest(EFI_FILE_PROTOCOL *F) {
    std::string Out;
    char Chunk[7];  // odd size, so reads straddle boundaries
    for (;;) {
      UINTN Size = sizeof Chunk;
      if (F->Read(F, &Size, Chunk) != EFI_SUCCESS || Size == 0) {
        return Out;
      }
      Out.append(Chunk, Size);
    }
  }
};

constexpr UINT64 kRead = EFI_FILE_MODE_READ;
constexpr UINT64 kReadWrite = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
constexpr UINT64 kCreate = EFI_FILE_MODE_CREATE | EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;

}  // namespace simfw_test
