// A simulated machine ready for Tamsork: the application's volume with a
// BIOS image, a supported platform running V1.05, one vendor control
// instance and the Shell. Tests change what they need and launch.
//
// Besides the simulator's own records, the fixture watches three things
// through the firmware tables the application uses: the sizes it asks of
// AllocatePool (and refuses chosen sizes), the handles it opens protocols
// on, and, on request, it makes writes to the boot volume come back short.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kit/Library.h"
#include "simfw/Firmware.h"
#include "simfw/Within.h"

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

inline constexpr EFI_GUID kSimpleFileSystemGuid = {
    0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
inline constexpr EFI_GUID kDevicePathGuid = {
    0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
inline constexpr EFI_GUID kSmbiosGuid = {0x03583FF6, 0xCB36, 0x4940, {0x94, 0x7E, 0xB9, 0xB3, 0x9F, 0x4A, 0xFA, 0xF7}};

// ---------------------------------------------------------------- what a launch shows

inline const std::string kNoFile = "<none>";
// The bytes of the update's record after the state byte.
inline constexpr size_t kRecordSize = 104;

// The texts the application prints.
inline const std::string kAbortPrompt = "Press ANY key to abort!\n";
inline const std::string kEnablePrompt = "Please enable UPDATE MODE to flash BIOS!\n";
inline const std::string kResetPrompt = "Press ANY key to Reset!\n";
inline const std::string kFoundPrompt = "State file found! Press Y so flash BIOS or ANY key to abort!\n";
inline const std::string kDone = "BIOS Update done!\n";
// After a flash tool that returns, and a board reset request that returns.
inline const std::string kToolEnded = "Flashing has ended: restart the machine for step 3 of 4\n";
inline const std::string kBackupToolEnded = "Flashing has ended: restart the machine, and the board's tools take over\n";
inline const std::string kAskedReset =
    "The board was asked to restart the machine; if it does not, restart it by hand\n";
inline const std::string kFileVersionFailed = "Check File Version\n" + kAbortPrompt;
inline const std::string kDeviceVersionFailed = "Check Device Version\n" + kAbortPrompt;
inline std::string Refused(const std::string &From, const std::string &To) {
  return "Its not allowed to update from version " + From + " to " + To + "!\n" + kAbortPrompt;
}
inline std::string Usage(const std::string &Name) {
  return "Kestrune Version 3.3\n"
         "Supported: xDW7150, xDW8260, ZRN6940, LQT1170\n"
         "           Ombrel, KVX9310\n"
         "Help!\n"
         "Example:\n"
         "Agument 1: BIOS filename\n"
         "Agument 2: Backup and recovery function\n" +
         Name + " bios.bin | Update with bios.bin file\n" + Name +
         " bios.bin -b | Update with bios.bin file using backup and recovery function\n";
}

// What reached the board, the variables, the Shell and the vendor protocol,
// one line each, in order.
inline std::string PortOut(uint16_t Port, uint8_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "out %04X %02X", Port, Value);
  return Text;
}
inline const std::vector<std::string> kNormalEntry = {"out 41C0 AA", "out 41C0 66", "reset cold"};
inline std::vector<std::string> BackupEntry(uint8_t ControlWritten) {
  return {"out 41C0 AA", "out 41C0 66", "in 419F", PortOut(0x419F, ControlWritten), "reset cold"};
}
inline const std::string kFlashTool = "run H2OFFT-Sx64.efi bios.bin";
inline const std::string kBoardReset = "request 0";
inline const std::string kMorCleared = "set MemoryOverwriteRequestControl 00";
inline std::vector<std::string> Then(std::vector<std::string> First, const std::vector<std::string> &Second) {
  First.insert(First.end(), Second.begin(), Second.end());
  return First;
}

struct Outcome {
  EFI_STATUS Status = EFI_SUCCESS;
  std::string State = kNoFile;  // State.dat as the medium holds it
  std::string Console;
  std::vector<std::string> Board;
};

class Machine : public ::testing::Test {
 protected:
  sim::Firmware Fw;
  std::vector<UINTN> PoolRequests;  // sizes asked of AllocatePool in the last launch
  std::set<UINTN> RefusedPoolSizes;  // AllocatePool fails for these sizes
  std::vector<std::pair<EFI_HANDLE, EFI_GUID>> ProtocolOpens;  // OpenProtocol calls in the last launch

  Machine() {
    // Firmware as unkind as the UEFI specification allows, in every test.
    Fw.Unkind = sim::UnkindBehaviour::All();
    Fw.SetCommandLine({u"Tamsork.efi", u"bios.bin"});
    Fw.BootVolume().PutFile("bios.bin", ImageWithField("$.a1.05"));
    Fw.SetSmbiosRecords(SupportedPlatform());
    Active() = this;
    EFI_BOOT_SERVICES *Bs = Fw.SystemTable()->BootServices;
    RealAllocatePool = Bs->AllocatePool;
    Bs->AllocatePool = &WatchAllocatePool;
    RealOpenProtocol = Bs->OpenProtocol;
    Bs->OpenProtocol = &WatchOpenProtocol;
  }
  ~Machine() override { Active() = nullptr; }

  // One launch with these words after the application's name.
  EFI_STATUS Run(const std::vector<std::u16string> &Words = {u"bios.bin"}) {
    std::vector<std::u16string> Argv = {u"Tamsork.efi"};
    Argv.insert(Argv.end(), Words.begin(), Words.end());
    Fw.SetCommandLine(Argv);
    PoolRequests.clear();
    ProtocolOpens.clear();
    return Fw.Launch();
  }

  // Runs Body inside a launch, with the kit's globals set as the entry glue
  // sets them, so single functions can be tested on their own.
  EFI_STATUS Within(std::function<EFI_STATUS()> Body) {
    PoolRequests.clear();
    ProtocolOpens.clear();
    return sim::LaunchWithin(Fw, std::move(Body));
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
  // State.dat as text, without the record an update's first launch puts
  // after the byte (tests that look at the record read StateFile()).
  std::string StateText() const {
    auto File = StateFile();
    if (!File) {
      return kNoFile;
    }
    std::string Text(File->begin(), File->end());
    if (Text.size() >= 1 + kRecordSize && Text.compare(1, 4, "TSKR") == 0) {
      Text.erase(1, kRecordSize);
    }
    return Text;
  }
  void PutState(const std::string &Bytes, bool ReadOnly = false) {
    Fw.BootVolume().PutFile("State.dat", Bytes, ReadOnly);
  }
  // State.dat holding Bytes, or no State.dat for none.
  void PlaceState(const std::optional<std::string> &Bytes) {
    Fw.BootVolume().RemoveFile("State.dat");
    if (Bytes) {
      PutState(*Bytes);
    }
  }

  std::vector<std::pair<uint16_t, uint8_t>> PortWrites() const { return Fw.PortWrites(); }

  // Number of the first or last call of S in the last launch; 0 when none.
  uint64_t CallOf(sim::Service S, bool Last = false) const {
    uint64_t Found = 0;
    for (uint64_t N = 1; N <= Fw.CallCount() && (Last || Found == 0); N++) {
      Found = Fw.CallService(N) == S ? N : Found;
    }
    return Found;
  }

  void DrainKeys() {
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn = Fw.SystemTable()->ConIn;
    EFI_INPUT_KEY Key;
    UINTN Index = 0;
    while (Fw.KeysLeft() != 0 && Fw.SystemTable()->BootServices->WaitForEvent(1, &ConIn->WaitForKey, &Index) ==
                                     EFI_SUCCESS &&
           ConIn->ReadKeyStroke(ConIn, &Key) == EFI_SUCCESS) {
    }
  }

  // The console text of the launch with line ends as the application wrote
  // them: the console may put a carriage return before each line feed.
  // The "Tamsork: " line that says each launch's step is left out here
  // (Steps() has it), so that the tables show what each step prints.
  std::string Console() const {
    std::string Text = AllConsole();
    for (size_t At = Text.find("Tamsork: "); At != std::string::npos; At = Text.find("Tamsork: ", At)) {
      if (At == 0 || Text[At - 1] == '\n') {
        Text.erase(At, Text.find('\n', At) + 1 - At);
      } else {
        At++;
      }
    }
    return Text;
  }
  std::string AllConsole() const {
    std::string Text = Fw.ConsoleText();
    for (size_t At = Text.find("\r\n"); At != std::string::npos; At = Text.find("\r\n", At)) {
      Text.erase(At, 1);
    }
    return Text;
  }
  // The launch's "Tamsork: " lines, without the prefix.
  std::vector<std::string> Steps() const {
    std::vector<std::string> Lines;
    const std::string Text = AllConsole();
    for (size_t At = 0; At < Text.size();) {
      const size_t End = std::min(Text.find('\n', At), Text.size());
      if (Text.compare(At, 9, "Tamsork: ") == 0) {
        Lines.push_back(Text.substr(At + 9, End - At - 9));
      }
      At = End + 1;
    }
    return Lines;
  }
  // Tamsork.log as the medium holds it, one string per line without CR LF.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> Lines;
    const auto File = Fw.BootVolume().MediumFile("Tamsork.log");
    if (!File) {
      return Lines;
    }
    std::string Text(File->begin(), File->end());
    for (size_t At = 0; At < Text.size();) {
      const size_t End = std::min(Text.find("\r\n", At), Text.size());
      Lines.push_back(Text.substr(At, End - At));
      At = End + 2;
    }
    return Lines;
  }

  std::vector<std::string> Board() const {
    std::vector<std::string> Lines;
    for (const sim::Event &E : Fw.Events()) {
      char Text[16];
      switch (E.What) {
        case sim::Event::Kind::PortRead:
          std::snprintf(Text, sizeof Text, "in %04X", E.Port);
          Lines.push_back(Text);
          break;
        case sim::Event::Kind::PortWrite: Lines.push_back(PortOut(E.Port, E.Value)); break;
        case sim::Event::Kind::Reset:
          Lines.push_back(E.Value == EfiResetCold ? "reset cold" : "reset type " + std::to_string(E.Value));
          break;
        case sim::Event::Kind::Execute: Lines.push_back("run " + E.Text); break;
        case sim::Event::Kind::VendorRequest: Lines.push_back("request " + std::to_string(E.Value)); break;
        case sim::Event::Kind::SetVariable: {
          std::string Line = "set " + E.Text + " ";
          for (uint8_t B : E.Bytes) {
            std::snprintf(Text, sizeof Text, "%02X", B);
            Line += Text;
          }
          Lines.push_back(Line);
          break;
        }
        default: break;
      }
    }
    return Lines;
  }

  // Compares the launch just made with Want, then checks it left nothing
  // behind. The Shell's current volume never receives a state file.
  void Expect(EFI_STATUS Status, const Outcome &Want) {
    EXPECT_EQ(Status, Want.Status);
    EXPECT_EQ(StateText(), Want.State);
    EXPECT_EQ(Console(), Want.Console);
    EXPECT_EQ(Board(), Want.Board);
    EXPECT_FALSE(Fw.OtherVolume().Exists("State.dat")) << "state file on the Shell's current volume";
    ExpectNothingLeft();
  }

  // Everything a launch took was given back.
  void ExpectNothingLeft() const {
    EXPECT_EQ(Fw.LivePoolBlocks(), 0u) << "pool blocks left allocated";
    EXPECT_EQ(Fw.OpenFileHandles(), 0u) << "file handles left open";
    EXPECT_EQ(Fw.BadFrees(), 0u) << "pool frees of foreign pointers";
    EXPECT_EQ(Fw.StdErrText(), "") << "assertion reports";
    for (const std::string &Misuse : Fw.Misuses()) {
      ADD_FAILURE() << "firmware misuse: " << Misuse;
    }
    for (const sim::ProtocolOpen &Open : Fw.ForeignAgentOpens()) {
      ADD_FAILURE() << "protocol left open under a foreign agent: " << Open.Text;
    }
  }

  // From now on every file opened on the boot volume takes no byte a Write
  // hands it and reports success with a size of 0, as a full or failing
  // driver may.
  void WritesComeBackShort() {
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem = nullptr;
    ASSERT_EQ(Fw.SystemTable()->BootServices->HandleProtocol(Fw.BootVolumeHandle(), &kSimpleFileSystemGuid,
                                                             reinterpret_cast<VOID **>(&FileSystem)),
              EFI_SUCCESS);
    RealOpenVolume = FileSystem->OpenVolume;
    FileSystem->OpenVolume = &ShortOpenVolume;
  }

 private:
  static Machine *&Active() {
    static Machine *Current = nullptr;
    return Current;
  }
  inline static EFI_ALLOCATE_POOL RealAllocatePool = nullptr;
  inline static EFI_OPEN_PROTOCOL RealOpenProtocol = nullptr;
  inline static EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_OPEN_VOLUME RealOpenVolume = nullptr;
  inline static EFI_FILE_OPEN RealFileOpen = nullptr;

  static EFI_STATUS EFIAPI WatchAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
    Machine &M = *Active();
    M.PoolRequests.push_back(Size);
    if (M.RefusedPoolSizes.count(Size) != 0) {
      *Buffer = nullptr;
      return EFI_OUT_OF_RESOURCES;
    }
    return RealAllocatePool(Type, Size, Buffer);
  }
  static EFI_STATUS EFIAPI WatchOpenProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface,
                                             EFI_HANDLE Agent, EFI_HANDLE Controller, UINT32 Attributes) {
    Active()->ProtocolOpens.emplace_back(Handle, *Protocol);
    return RealOpenProtocol(Handle, Protocol, Interface, Agent, Controller, Attributes);
  }
  static EFI_STATUS EFIAPI ShortWrite(EFI_FILE_PROTOCOL *, UINTN *Size, VOID *) {
    *Size = 0;
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI ShortOpen(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **New, CHAR16 *Name, UINT64 Mode,
                                     UINT64 Attributes) {
    EFI_STATUS Status = RealFileOpen(This, New, Name, Mode, Attributes);
    if (!EFI_ERROR(Status) && *New != nullptr) {
      (*New)->Open = &ShortOpen;
      (*New)->Write = &ShortWrite;
    }
    return Status;
  }
  static EFI_STATUS EFIAPI ShortOpenVolume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root) {
    EFI_STATUS Status = RealOpenVolume(This, Root);
    if (!EFI_ERROR(Status) && *Root != nullptr) {
      RealFileOpen = (*Root)->Open;
      (*Root)->Open = &ShortOpen;
    }
    return Status;
  }
};

}  // namespace tamsork_test
