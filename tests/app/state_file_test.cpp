// The state file: what each byte makes a launch do in each mode, what
// happens when the file cannot be read or written, and opening files by
// device path.
#include "Machine.h"
#include "app/state/UpdateLog.h"
#include "app/state/UpdateState.h"

namespace tamsork_test {
namespace {

using sim::Service;

const std::vector<std::u16string> kNormal = {u"bios.bin"};
const std::vector<std::u16string> kBackup = {u"bios.bin", u"-b"};

// What a launch says of a byte it does not act on.
std::string OtherMode(char Byte, bool Backup) {
  return std::string("State.dat holds ") + Byte +
         (Backup ? ", a step of a backup update: start it with -b to go on, or delete State.dat to begin again\n"
                 : ", a step of a normal update: start it without -b to go on, or delete State.dat to begin again\n");
}
std::string NoMode(const std::string &Hex) {
  return "State.dat holds " + Hex + ", which no update writes: delete State.dat to begin a new update\n";
}

struct StateCase {
  const char *Name;
  std::optional<std::string> Initial;  // State.dat before the launch; none when unset
  std::vector<sim::Key> Keys;
  Outcome Want;
  std::string Image = "$.a1.05";
  size_t KeysUnread = 0;
  size_t SpuriousWakes = 0;  // waits at the prompt that end with no key yet
};

class StateFile : public Machine {
 protected:
  void RunCases(const std::vector<StateCase> &Cases, const std::vector<std::u16string> &Words) {
    for (const StateCase &C : Cases) {
      SCOPED_TRACE(C.Name);
      Fw.Reboot();
      Fw.BootVolume().PutFile("bios.bin", ImageWithField(C.Image));
      PlaceState(C.Initial);
      Fw.QueueKeys(C.Keys);
      Fw.SpuriousWakes(C.SpuriousWakes);
      Expect(Run(Words), C.Want);
      EXPECT_EQ(Fw.KeysLeft(), C.KeysUnread);
      DrainKeys();
    }
  }
};

TEST_F(StateFile, NormalModeBytes) {
  RunCases(
      {
          {"missing: created, then update mode", std::nullopt, {}, {EFI_SUCCESS, "1", "", kNormalEntry}},
          {"empty: update mode", "", {}, {EFI_SUCCESS, "1", "", kNormalEntry}},
          {"1: flash tool", "1", {}, {EFI_SUCCESS, "2", kToolEnded, {kFlashTool}}},
          {"1 with more bytes: only the first changes", "1xyz", {}, {EFI_SUCCESS, "2xyz", kToolEnded, {kFlashTool}}},
          {"2: board reset", "2", {}, {EFI_NOT_READY, "3", kAskedReset, {kBoardReset}}},
          {"2 with more bytes", "2\n", {}, {EFI_NOT_READY, "3\n", kAskedReset, {kBoardReset}}},
          {"3: done", "3", {}, {EFI_SUCCESS, kNoFile, kDone, {}}},
          {"3 with more bytes", "3abc", {}, {EFI_SUCCESS, kNoFile, kDone, {}}},
          {"@: a backup step", "@", {}, {EFI_INVALID_PARAMETER, "@", OtherMode('@', true), {}}},
          {"A: a backup step", "A", {}, {EFI_INVALID_PARAMETER, "A", OtherMode('A', true), {}}},
          {"B: a backup step", "B", {}, {EFI_INVALID_PARAMETER, "B", OtherMode('B', true), {}}},
          {"G: no prompt, no key read", "G", {sim::CharKey(u'y')},
           {EFI_INVALID_PARAMETER, "G", OtherMode('G', true), {}}, "$.a1.05", 1},
          {"x: no update's", "x", {}, {EFI_INVALID_PARAMETER, "x", NoMode("0x78"), {}}},
          {"NUL", std::string(1, '\0'), {}, {EFI_INVALID_PARAMETER, std::string(1, '\0'), NoMode("0x00"), {}}},
          {"0", "0", {}, {EFI_INVALID_PARAMETER, "0", NoMode("0x30"), {}}},
          {"4", "4", {}, {EFI_INVALID_PARAMETER, "4", NoMode("0x34"), {}}},
      },
      kNormal);
}

TEST_F(StateFile, BackupModeBytes) {
  const std::string ManualReset = kEnablePrompt + kResetPrompt;
  RunCases(
      {
          {"missing: created, then update mode", std::nullopt, {}, {EFI_SUCCESS, "@", "", BackupEntry(0x02)}},
          {"empty: update mode", "", {}, {EFI_SUCCESS, "@", "", BackupEntry(0x02)}},
          {"@: manual reset", "@", {sim::CharKey(u'q')}, {EFI_NOT_READY, "G", ManualReset + kAskedReset, {kBoardReset}}},
          {"@: any key, even one without a character", "@", {sim::ScanKey(SCAN_ESC)},
           {EFI_NOT_READY, "G", ManualReset + kAskedReset, {kBoardReset}}},
          {"@: a failed key read", "@", {}, {EFI_NOT_READY, "G", ManualReset + kAskedReset, {kBoardReset}}},
          {"@ with more bytes", "@@@", {sim::CharKey(u'q')}, {EFI_NOT_READY, "G@@", ManualReset + kAskedReset, {kBoardReset}}},
          {"A: flash tool", "A", {}, {EFI_SUCCESS, "B", kBackupToolEnded, {kFlashTool}}},
          {"G, y: start over", "G", {sim::CharKey(u'y')}, {EFI_SUCCESS, "@", kFoundPrompt, BackupEntry(0x02)}},
          {"G, y, older image: the gate still applies", "G", {sim::CharKey(u'y'), sim::CharKey(u'x')},
           {EFI_NOT_FOUND, kNoFile, kFoundPrompt + Refused("1.05", "1.04"), {}}, "$.a1.04"},
          {"G, a wake with no key yet, then y: the prompt waits on", "G", {sim::CharKey(u'y')},
           {EFI_SUCCESS, "@", kFoundPrompt, BackupEntry(0x02)}, "$.a1.05", 0, 3},
          {"G, Y: start over too", "G", {sim::CharKey(u'Y')}, {EFI_SUCCESS, "@", kFoundPrompt, BackupEntry(0x02)}},
          {"G, n", "G", {sim::CharKey(u'n')}, {EFI_SUCCESS, kNoFile, kFoundPrompt, {}}},
          {"G, Enter", "G", {sim::EnterKey()}, {EFI_SUCCESS, kNoFile, kFoundPrompt, {}}},
          {"G, scan key", "G", {sim::ScanKey(SCAN_F1)}, {EFI_SUCCESS, kNoFile, kFoundPrompt, {}}},
          {"G, failed key read: the update stays", "G", {},
           {EFI_DEVICE_ERROR, "G", kFoundPrompt + "No key could be read: Device Error\n", {}}},
          {"B", "B", {}, {EFI_SUCCESS, "B", "", {}}},
          {"1: a normal step", "1", {}, {EFI_INVALID_PARAMETER, "1", OtherMode('1', false), {}}},
          {"2: a normal step", "2", {}, {EFI_INVALID_PARAMETER, "2", OtherMode('2', false), {}}},
          {"3: a normal step", "3", {}, {EFI_INVALID_PARAMETER, "3", OtherMode('3', false), {}}},
          {"x", "x", {}, {EFI_INVALID_PARAMETER, "x", NoMode("0x78"), {}}},
          {"? (one below @)", "?", {}, {EFI_INVALID_PARAMETER, "?", NoMode("0x3F"), {}}},
      },
      kBackup);
}

// A state file that cannot be opened or read leaves the machine alone and
// says so: taking it for a fresh start would repeat steps already done.
TEST_F(StateFile, UnreadableStateFileStopsTheLaunchVisibly) {
  const std::string NotRead = "State.dat could not be read: Device Error\n";
  const std::string NotWritten = "State.dat could not be written: Device Error\n";
  struct Case {
    const char *Name;
    std::optional<std::string> Initial;
    std::vector<std::pair<Service, uint64_t>> Faults;
    Outcome Want;
  };
  const std::vector<Case> Cases = {
      {"SetPosition fails", "1", {{Service::FileSetPosition, 1}}, {EFI_DEVICE_ERROR, "1", NotRead, {}}},
      {"Read fails", "1", {{Service::FileRead, 1}}, {EFI_DEVICE_ERROR, "1", NotRead, {}}},
      {"Read fails on an empty file", "", {{Service::FileRead, 1}}, {EFI_DEVICE_ERROR, "", NotRead, {}}},
      {"open and create fail", "1", {{Service::FileOpen, 1}, {Service::FileOpen, 2}},
       {EFI_DEVICE_ERROR, "1", NotWritten, {}}},
      {"create fails", std::nullopt, {{Service::FileOpen, 2}}, {EFI_DEVICE_ERROR, kNoFile, NotWritten, {}}},
      {"volume cannot be opened", "1", {{Service::OpenVolume, 1}, {Service::OpenVolume, 2}},
       {EFI_UNSUPPORTED, "1", "State.dat could not be written: Unsupported\n", {}}},
      {"no loaded image", "1", {{Service::OpenProtocol, 2}}, {EFI_DEVICE_ERROR, "1", NotRead, {}}},
      // A read-only open that fails for another reason: the second open
      // finds the file and its byte counts.
      {"first open fails", "1", {{Service::FileOpen, 1}}, {EFI_SUCCESS, "2", kToolEnded, {kFlashTool}}},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    Fw.ClearFaults();
    PlaceState(C.Initial);
    for (const auto &[S, N] : C.Faults) {
      Fw.FailNth(S, N, EFI_DEVICE_ERROR);
    }
    Expect(Run(), C.Want);
  }
}

// Each step that writes the state file, and what it does when the byte
// does not reach the medium: nothing but the message, and the failure as
// the exit status.
struct WriteStep {
  const char *Name;
  std::string Initial;
  std::vector<std::u16string> Words;
  std::vector<sim::Key> Keys;
  std::string Written;  // State.dat after a launch without faults
  std::string Console;  // what the launch prints before the state write
  uint64_t LogLines = 2;  // lines logged after the state write: the step's, and what came back of it
};

const std::vector<WriteStep> &WriteSteps() {
  static const std::vector<WriteStep> Steps = {
      {"flash tool, normal", "1", kNormal, {}, "2", ""},
      {"flash tool, backup", "A", kBackup, {}, "B", ""},
      {"board reset", "2", kNormal, {}, "3", ""},
      {"update mode, normal", "", kNormal, {}, "1", "", 1},
      {"update mode, backup", "", kBackup, {}, "@", "", 1},
      {"manual reset", "@", kBackup, {sim::CharKey(u'k')}, "G", kEnablePrompt},
  };
  return Steps;
}

// A state byte that does not reach the medium: a failing open, seek, write
// or flush, a read-only file, a medium that refuses the write-back, or a
// write that takes no byte.
TEST_F(StateFile, FailedStateWriteStopsEveryStep) {
  auto Failed = [](const WriteStep &Step, EFI_STATUS Status, const std::string &Text) {
    return Outcome{Status, Step.Initial, Step.Console + "State.dat could not be written: " + Text + "\n", {}};
  };
  // The state write is the last call of each of these services in every
  // step but for the log's appends after it, which a launch of its own
  // counts, so a clean launch counts the call to fail.
  auto LogCalls = [&](Service S, uint64_t Lines) {
    Fw.ClearFaults();
    Fw.BootVolume().RemoveFile("Tamsork.log");
    MACHINE_FACTS Machine{};
    LOG_LINE Line{};
    Line.Machine = &Machine;
    Line.File = u"bios.bin";
    Line.Step = "flash";
    Within([&] {
      for (uint64_t I = 1; I < Lines; I++) {
        AppendLogLine(gImageHandle, gST, &Line);
      }
      return AppendLogLine(gImageHandle, gST, &Line);
    });
    Fw.BootVolume().RemoveFile("Tamsork.log");
    return Fw.CallCount(S);
  };
  for (Service S : {Service::FileOpen, Service::FileSetPosition, Service::FileWrite, Service::FileFlush}) {
    for (const WriteStep &Step : WriteSteps()) {
      const uint64_t ByLog = LogCalls(S, Step.LogLines);
      SCOPED_TRACE(std::string(Step.Name) + ", failing " + sim::ServiceName(S));
      Fw.ClearFaults();
      PutState(Step.Initial);
      Fw.BootVolume().RemoveFile("Tamsork.log");
      Fw.QueueKeys(Step.Keys);
      Run(Step.Words);
      ASSERT_EQ(StateText(), Step.Written);
      const uint64_t Last = Fw.CallCount(S) - ByLog;
      Fw.BootVolume().RemoveFile("Tamsork.log");

      Fw.Reboot();
      PutState(Step.Initial);
      Fw.FailNth(S, Last, EFI_DEVICE_ERROR);
      Expect(Run(Step.Words), Failed(Step, EFI_DEVICE_ERROR, "Device Error"));
    }
  }
  Fw.ClearFaults();
  const struct {
    const char *Name;
    EFI_STATUS Status;
    const char *Text;
    bool ReadOnlyFile;
    std::function<void()> Setup;  // the medium, once before its steps
  } Media[] = {
      {"read-only file", EFI_ACCESS_DENIED, "Access Denied", true, [] {}},
      {"write-back refused", EFI_VOLUME_FULL, "Volume Full", false,
       [&] { Fw.BootVolume().RefuseWriteBack(EFI_VOLUME_FULL); }},
      // Last: it stays for the rest of the test.
      {"short write", EFI_DEVICE_ERROR, "Device Error", false,
       [&] {
         Fw.BootVolume().RefuseWriteBack(EFI_SUCCESS);
         WritesComeBackShort();
       }},
  };
  for (const auto &Medium : Media) {
    Medium.Setup();
    for (const WriteStep &Step : WriteSteps()) {
      SCOPED_TRACE(std::string(Step.Name) + ", " + Medium.Name);
      PutState(Step.Initial, Medium.ReadOnlyFile);
      Expect(Run(Step.Words), Failed(Step, Medium.Status, Medium.Text));
    }
  }
}

// A write-protected stick: whatever the state, the launch says so and
// stops, where before it created nothing and ended with success.
TEST_F(StateFile, WriteProtectedStickStopsWithItsStatus) {
  const std::string Protected = "State.dat could not be written: Write Protected\n";
  const struct {
    const char *Name;
    std::optional<std::string> Initial;
    std::vector<std::u16string> Words;
    Outcome Want;
  } Cases[] = {
      {"no state file", std::nullopt, kNormal, {EFI_WRITE_PROTECTED, kNoFile, Protected, {}}},
      {"empty state file", "", kNormal, {EFI_WRITE_PROTECTED, "", Protected, {}}},
      {"1", "1", kNormal, {EFI_WRITE_PROTECTED, "1", Protected, {}}},
      {"@", "@", kBackup, {EFI_WRITE_PROTECTED, "@", kEnablePrompt + Protected, {}}},
      {"B: nothing to write", "B", kBackup, {EFI_SUCCESS, "B", "", {}}},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Fw.BootVolume().SetWriteProtected(false);
    PlaceState(C.Initial);
    Fw.BootVolume().SetWriteProtected(true);
    Expect(Run(C.Words), C.Want);
  }
}

// ---------------------------------------------------------------- OpenFileByPath

std::vector<uint8_t> PathNode(uint8_t Type, uint8_t SubType, const std::vector<uint8_t> &Data) {
  const size_t Length = 4 + Data.size();
  std::vector<uint8_t> Node = {Type, SubType, static_cast<uint8_t>(Length), static_cast<uint8_t>(Length >> 8)};
  Node.insert(Node.end(), Data.begin(), Data.end());
  return Node;
}
std::vector<uint8_t> FileNode(const std::u16string &Name, bool Terminated = true) {
  std::vector<uint8_t> Data;
  for (char16_t C : Terminated ? Name + u'\0' : Name) {
    Data.push_back(static_cast<uint8_t>(C));
    Data.push_back(static_cast<uint8_t>(C >> 8));
  }
  return PathNode(MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, Data);
}
std::vector<uint8_t> operator+(std::vector<uint8_t> A, const std::vector<uint8_t> &B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

TEST_F(StateFile, OpenFileByPathOpensTheNodesAfterTheDevicePart) {
  Fw.BootVolume().PutFile("fw/inner.bin", "inner");
  const std::vector<uint8_t> VendorNode = PathNode(HARDWARE_DEVICE_PATH, HW_VENDOR_DP, std::vector<uint8_t>(16, 0x77));
  const std::vector<uint8_t> DiskNode = PathNode(MEDIA_DEVICE_PATH, 0x01, std::vector<uint8_t>(38, 0));
  struct Case {
    const char *Name;
    std::vector<uint8_t> Tail;  // after the boot volume's own path
    EFI_STATUS Status;
    std::string Opened;  // the name of what was opened; "\\" for the root
    size_t Misalign = 0;  // the path starts this many bytes past an aligned address
    bool OnBootVolume = true;
  };
  const std::vector<Case> Cases = {
      {"device part only", {}, EFI_SUCCESS, "\\"},
      {"one file", FileNode(u"bios.bin"), EFI_SUCCESS, "bios.bin"},
      {"one file, name at an odd address", FileNode(u"bios.bin"), EFI_SUCCESS, "bios.bin", 1},
      {"directory then file", FileNode(u"fw") + FileNode(u"inner.bin"), EFI_SUCCESS, "inner.bin"},
      {"directory then file, odd address", FileNode(u"fw") + FileNode(u"inner.bin"), EFI_SUCCESS, "inner.bin", 3},
      {"sub-path in one node", FileNode(u"fw\\inner.bin"), EFI_SUCCESS, "inner.bin"},
      {"hardware node before the file", VendorNode + FileNode(u"bios.bin"), EFI_UNSUPPORTED, ""},
      {"media node after a directory", FileNode(u"fw") + DiskNode, EFI_UNSUPPORTED, ""},
      {"media node after the file", FileNode(u"bios.bin") + DiskNode, EFI_UNSUPPORTED, ""},
      {"name without its terminator", FileNode(u"bios.bin", false), EFI_UNSUPPORTED, ""},
      {"node without a name", PathNode(MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, {}), EFI_UNSUPPORTED, ""},
      {"no such file", FileNode(u"missing.bin"), EFI_NOT_FOUND, ""},
      {"no such directory", FileNode(u"nodir") + FileNode(u"inner.bin"), EFI_NOT_FOUND, ""},
      {"device without a file system", FileNode(u"bios.bin"), EFI_UNSUPPORTED, "", 0, false},
  };

  EFI_DEVICE_PATH_PROTOCOL *Own = nullptr;
  ASSERT_EQ(Fw.SystemTable()->BootServices->HandleProtocol(Fw.BootVolumeHandle(), &kDevicePathGuid,
                                                           reinterpret_cast<VOID **>(&Own)),
            EFI_SUCCESS);
  const size_t DeviceSize = GetDevicePathSize(Own) - END_DEVICE_PATH_LENGTH;
  const std::vector<uint8_t> BootPart(reinterpret_cast<uint8_t *>(Own), reinterpret_cast<uint8_t *>(Own) + DeviceSize);
  const std::vector<uint8_t> End = PathNode(END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {});

  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    const std::vector<uint8_t> Path = (C.OnBootVolume ? BootPart : VendorNode) + C.Tail + End;
    alignas(16) uint8_t Buffer[512] = {};
    ASSERT_LE(Path.size() + C.Misalign, sizeof Buffer);
    std::copy(Path.begin(), Path.end(), Buffer + C.Misalign);
    auto *Start = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Buffer + C.Misalign);

    std::string Opened;
    EFI_DEVICE_PATH_PROTOCOL *Remaining = Start;
    EFI_HANDLE Device = nullptr;
    EFI_FILE_PROTOCOL Sentinel{};
    EFI_FILE_PROTOCOL *File = &Sentinel;
    const EFI_STATUS Status = Within([&] {
      const EFI_STATUS S = OpenFileByPath(gST, &Remaining, &Device, &File, EFI_FILE_MODE_READ);
      if (S != EFI_SUCCESS || File == nullptr) {
        return S;
      }
      alignas(8) uint8_t Data[1024];
      UINTN Size = sizeof Data;
      EFI_GUID InfoGuid = {0x09576E92, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
      EXPECT_EQ(File->GetInfo(File, &InfoGuid, &Size, Data), EFI_SUCCESS);
      const auto *Info = reinterpret_cast<const EFI_FILE_INFO *>(Data);
      Opened = Info->FileName[0] != 0 ? sim::ToUtf8(Info->FileName) : "\\";
      File->Close(File);
      return S;
    });
    EXPECT_EQ(Status, C.Status);
    EXPECT_EQ(Opened, C.Opened);
    if (C.Status == EFI_SUCCESS) {
      EXPECT_EQ(Device, Fw.BootVolumeHandle());
      EXPECT_EQ(reinterpret_cast<uint8_t *>(Remaining), reinterpret_cast<uint8_t *>(Start) + DeviceSize);
    } else {
      EXPECT_EQ(File, nullptr);
    }
    ExpectNothingLeft();
  }
}

// A record is read only when every field agrees with the others: one byte
// changed in a well-formed record makes it no record, whatever its CRC.
TEST(UpdateRecord, DecodesOnlyAConsistentLayout) {
  UPDATE_RECORD Record = {};
  Record.Machine.HasUuid = TRUE;
  Record.Machine.Uuid[0] = 0x42;
  Record.Machine.SerialLength = 8;
  CopyMem(Record.Machine.Serial, "SN000001", 8);
  Record.Image = {TRUE, 0x123456789, 0xCAFEF00D};
  UINT8 Good[UPDATE_RECORD_SIZE];
  EncodeUpdateRecord(&Record, Good);
  const struct {
    const char *Name;
    UINTN Offset;
    UINT8 Value;
    bool Decoded;
  } Cases[] = {
      {"as written", 0, 'T', true},
      {"first byte of the magic", UPDATE_RECORD_MAGIC_OFFSET, 't', false},
      {"last byte of the magic", UPDATE_RECORD_MAGIC_OFFSET + 3, 'r', false},
      {"another format", UPDATE_RECORD_FORMAT_OFFSET, UPDATE_RECORD_FORMAT + 1, false},
      {"an unknown flag", UPDATE_RECORD_FLAGS_OFFSET, 0x17, false},
      {"the flag of a checked version", UPDATE_RECORD_FLAGS_OFFSET, 0x0F, true},
      {"serial longer than a record holds", UPDATE_RECORD_SERIAL_LENGTH_OFFSET, MACHINE_SERIAL_MAX + 1, false},
      {"serial without its flag", UPDATE_RECORD_FLAGS_OFFSET, UPDATE_RECORD_HAS_UUID | UPDATE_RECORD_HAS_IMAGE, false},
      {"serial flag without a serial", UPDATE_RECORD_SERIAL_LENGTH_OFFSET, 0, false},
      {"no UUID, no image", UPDATE_RECORD_FLAGS_OFFSET, UPDATE_RECORD_HAS_SERIAL, true},
  };
  for (const auto &C : Cases) {
    UINT8 Bytes[UPDATE_RECORD_SIZE];
    CopyMem(Bytes, Good, sizeof(Bytes));
    Bytes[C.Offset] = C.Value;
    UPDATE_RECORD Read;
    UINT32 Crc = 0;
    EXPECT_EQ(DecodeUpdateRecord(Bytes, sizeof(Bytes), &Read, &Crc) != FALSE, C.Decoded) << C.Name;
    if (C.Decoded) {
      const bool Full = C.Value == 'T' || C.Value == 0x0F;
      EXPECT_EQ(Read.Machine.HasUuid != FALSE, Full) << C.Name;
      EXPECT_EQ(Read.Machine.Uuid[0], Full ? 0x42 : 0) << C.Name;
      EXPECT_STREQ(Read.Machine.Serial, "SN000001") << C.Name;
      EXPECT_EQ(Read.Image.Present != FALSE, Full) << C.Name;
      EXPECT_EQ(Read.Image.Size, Full ? 0x123456789u : 0u) << C.Name;
      EXPECT_EQ(Read.Image.Crc32, Full ? 0xCAFEF00Du : 0u) << C.Name;
      EXPECT_EQ(Read.VersionChecked != FALSE, C.Value == 0x0F) << C.Name;
    }
  }
  UPDATE_RECORD Read;
  UINT32 Crc = 0;
  EXPECT_FALSE(DecodeUpdateRecord(Good, UPDATE_RECORD_SIZE - 1, &Read, &Crc));
  // A serial longer than the record's field is written cut to the field.
  Record.Machine.SerialLength = MACHINE_SERIAL_MAX + 1;
  EncodeUpdateRecord(&Record, Good);
  EXPECT_EQ(Good[UPDATE_RECORD_SERIAL_LENGTH_OFFSET], MACHINE_SERIAL_MAX);
}

}  // namespace
}  // namespace tamsork_test
