// A simulated machine ready for Tamsork: the application's volume with a
// BIOS image, a supported platform running V1.05, one vendor control
// instance and the Shell. Tests change what they need and launch.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kit/Library.h"
#include "simfw/Firmware.h"

namespace tamsork_test {

inline std::vector<uint8_t> Bytes(const std::string &S) { return {S.begin(), S.end()}; }

// An image whose marker reads Field (for example "$.a1.05").
inline std::string ImageWithField(const std::string &Field) {
  return std::string(64, '\x5A') + "$BVDT" + std::string(16, '\0') + Field + std::string(64, '\xA5');
}

inline std::vector<sim::SmbiosRecord> SupportedPlatform(const std::string &BiosVersion = "V1.05") {
  return {sim::BiosInformation(BiosVersion), sim::SystemInformation("KVX4720"),
          sim::ProcessorInformation(0x000806E9)};
}

class Machine : public ::testing::Test {
 protected:
  sim::Firmware Fw;

  Machine() {
    Fw.SetCommandLine({u"Tamsork.efi", u"bios.bin"});
    Fw.BootVolume().PutFile("bios.bin", ImageWithField("$.a1.05"));
    Fw.SetSmbiosRecords(SupportedPlatform());
  }

  // One launch with these words after the application's name.
  EFI_STATUS Run(const std::vector<std::u16string> &Words = {u"bios.bin"}) {
    std::vector<std::u16string> Argv = {u"Tamsork.efi"};
    Argv.insert(Argv.end(), Words.begin(), Words.end());
    Fw.SetCommandLine(Argv);
    return Fw.Launch();
  }

  // Runs Body inside a launch, with the kit's globals set as the entry glue
  // sets them, so single functions can be tested on their own.
  EFI_STATUS Within(std::function<EFI_STATUS()> Body) {
    CurrentBody() = std::move(Body);
    return Fw.Launch(&Machine::RunBody);
  }

  std::optional<std::vector<uint8_t>> StateFile() const { return Fw.BootVolume().MediumFile("State.dat"); }
  // The first byte of State.dat on the medium; -1 for an empty file, -2 for none.
  int StateByte() const {
    auto File = StateFile();
    if (!File) {
      return -2;
    }
    return File->empty() ? -1 : (*File)[0];
  }
  void PutState(const std::string &Bytes, bool ReadOnly = false) {
    Fw.BootVolume().PutFile("State.dat", Bytes, ReadOnly);
  }

  std::vector<std::pair<uint16_t, uint8_t>> PortWrites() const { return Fw.PortWrites(); }

  // Everything a launch took was given back.
  void ExpectNothingLeft() const {
    EXPECT_EQ(Fw.LivePoolBlocks(), 0u) << "pool blocks left allocated";
    EXPECT_EQ(Fw.OpenFileHandles(), 0u) << "file handles left open";
    EXPECT_EQ(Fw.BadFrees(), 0u) << "pool frees of foreign pointers";
    EXPECT_EQ(Fw.StdErrText(), "") << "assertion reports";
    for (const std::string &Misuse : Fw.Misuses()) {
      ADD_FAILURE() << "firmware misuse: " << Misuse;
    }
  }

 private:
  static std::function<EFI_STATUS()> &CurrentBody() {
    static std::function<EFI_STATUS()> Body;
    return Body;
  }
  static EFI_STATUS EFIAPI RunBody(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
    gImageHandle = ImageHandle;
    gST = SystemTable;
    gBS = SystemTable->BootServices;
    gRT = SystemTable->RuntimeServices;
    return CurrentBody()();
  }
};

}  // namespace tamsork_test
