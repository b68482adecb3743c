// What reaches the board: update-mode entry on the ports, the vendor's
// reset request, the flash tool through the Shell, the order of these
// against the state file, and whole updates over several launches.
#include "Machine.h"
#include "app/Tamsork.h"
#include "app/actions/FlashTool.h"

namespace tamsork_test {
namespace {

using sim::Event;
using sim::Service;

const std::vector<std::u16string> kNormal = {u"bios.bin"};
const std::vector<std::u16string> kBackup = {u"bios.bin", u"-b"};

class Actions : public Machine {
 protected:
  // Byte was written at offset 0 of the state file, reached the medium and
  // the file was closed, all before the first event of kind Before.
  void ExpectStateSettledBefore(Event::Kind Before, char Byte) {
    SCOPED_TRACE(sim::EventKindName(Before));
    const auto &Events = Fw.Events();
    size_t Limit = 0;
    while (Limit < Events.size() && Events[Limit].What != Before) {
      Limit++;
    }
    ASSERT_LT(Limit, Events.size()) << "no such event";
    enum { Writing, Committing, Closing, Settled } Stage = Writing;
    for (size_t I = 0; I < Limit; I++) {
      const Event &E = Events[I];
      if (E.VolumeLabel != "boot" || E.Path != "\\State.dat") {
        continue;
      }
      if (E.What == Event::Kind::FileWrite) {
        EXPECT_EQ(E.Offset, 0u);
        ASSERT_FALSE(E.Bytes.empty());
        EXPECT_EQ(E.Bytes[0], static_cast<uint8_t>(Byte));
        Stage = Committing;
      } else if (E.What == Event::Kind::FileCommit && Stage == Committing) {
        Stage = Closing;
      } else if (E.What == Event::Kind::FileClose && Stage == Closing) {
        Stage = Settled;
      }
    }
    EXPECT_EQ(Stage, Settled);
  }
};

TEST_F(Actions, BackupRequestSetsOneBitOfTheControlPort) {
  const std::pair<uint8_t, uint8_t> Cases[] = {{0x00, 0x02}, {0xFD, 0xFF}, {0x02, 0x02}, {0xFF, 0xFF}, {0x81, 0x83}};
  for (const auto &[Read, Written] : Cases) {
    SCOPED_TRACE(int(Read));
    Fw.SetControlPort(Read);
    Fw.BootVolume().RemoveFile("State.dat");
    Expect(Run(kBackup), {EFI_SUCCESS, "@", "", BackupEntry(Written)});
  }
  // Normal mode neither reads nor writes the control port.
  Fw.SetControlPort(0x00);
  Fw.BootVolume().RemoveFile("State.dat");
  Expect(Run(kNormal), {EFI_SUCCESS, "1", "", kNormalEntry});
  EXPECT_TRUE(Fw.PortReads().empty());
}

// The byte that records a step is on the volume before the step can reset
// the machine: otherwise the next launch would repeat or skip a step.
TEST_F(Actions, StateByteIsOnTheVolumeBeforeTheBoardHearsOfIt) {
  const struct {
    const char *Name;
    std::optional<std::string> Initial;
    std::vector<std::u16string> Words;
    std::vector<sim::Key> Keys;
    char Byte;
    std::vector<Event::Kind> Before;
    int Vendors = 1;  // instances of the board's reset service
  } Cases[] = {
      {"update mode, normal", std::nullopt, kNormal, {}, '1', {Event::Kind::PortWrite, Event::Kind::Reset}},
      {"update mode, backup", std::nullopt, kBackup, {}, '@',
       {Event::Kind::PortWrite, Event::Kind::PortRead, Event::Kind::Reset}},
      {"start over", "G", kBackup, {sim::CharKey(u'y')}, '@', {Event::Kind::PortWrite, Event::Kind::Reset}},
      {"flash tool, normal", "1", kNormal, {}, '2', {Event::Kind::Execute}},
      {"flash tool, backup", "A", kBackup, {}, 'B', {Event::Kind::Execute}},
      {"board reset", "2", kNormal, {}, '3', {Event::Kind::VendorRequest}},
      {"manual reset", "@", kBackup, {sim::CharKey(u'k')}, 'G', {Event::Kind::VendorRequest}},
      {"board reset, no service", "2", kNormal, {}, '3', {Event::Kind::Reset}, 0},
      {"manual reset, no service", "@", kBackup, {sim::CharKey(u'k')}, 'G', {Event::Kind::Reset}, 0},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    PlaceState(C.Initial);
    Fw.QueueKeys(C.Keys);
    Fw.SetVendorControlInstances(C.Vendors);
    // A request that returns leaves the restart to come: no success.
    const bool Asked = C.Before == std::vector<Event::Kind>{Event::Kind::VendorRequest};
    EXPECT_EQ(Run(C.Words), C.Vendors == 0 ? EFI_NOT_FOUND : Asked ? EFI_NOT_READY : EFI_SUCCESS);
    for (Event::Kind K : C.Before) {
      ExpectStateSettledBefore(K, C.Byte);
    }
    ExpectNothingLeft();
    Fw.Reboot();
  }

  // The manual reset records its byte before waiting for the key: the user
  // may as well switch the machine off at that prompt.
  Fw.SetVendorControlInstances(1);
  PutState("@");
  Fw.QueueKey(sim::CharKey(u'k'));
  Expect(Run(kBackup), {EFI_NOT_READY, "G", kEnablePrompt + kResetPrompt + kAskedReset, {kBoardReset}});
  EXPECT_LT(CallOf(sim::Service::FileFlush), CallOf(sim::Service::WaitForEvent));
}

TEST_F(Actions, VendorResetRequest) {
  Fw.SetVendorControlInstances(2);
  PutState("2");
  Expect(Run(), {EFI_NOT_READY, "3", kAskedReset, {kBoardReset}});
  ASSERT_EQ(Fw.VendorRequests().size(), 1u);
  const sim::VendorRequestCall &Call = Fw.VendorRequests()[0];
  EXPECT_EQ(Call.HandleIndex, 0u);
  EXPECT_EQ(Call.Arg2, 0x50u);
  EXPECT_EQ(Call.Arg3, 0u);
  EXPECT_EQ(Call.Arg4, 3u);
  EXPECT_EQ(Call.Arg5, 1u);
  EXPECT_NE(Call.Buffer, nullptr);
  EXPECT_EQ(Call.BufferSize, 4u);
  EXPECT_NE(Call.Result, nullptr);

  // A request that fails is told; the restart is still the board's.
  Fw.VendorRequestStatus = EFI_DEVICE_ERROR;
  PutState("2");
  Expect(Run(), {EFI_DEVICE_ERROR, "3", "The board's reset request failed: Device Error\n" + kAskedReset, {kBoardReset}});
  Fw.VendorRequestStatus = EFI_SUCCESS;

  // Without the protocol the machine is restarted all the same, told, with
  // its byte recorded.
  const std::string Missing = "The board's control service cannot be found: Not Found; the machine is restarted "
                              "without it\n";
  Fw.SetVendorControlInstances(0);
  PutState("2");
  Expect(Run(), {EFI_NOT_FOUND, "3", Missing, {"reset cold"}});
  EXPECT_EQ(Steps(), std::vector<std::string>{"step 3 of 4, flashing has finished; the machine restarts now"});
  PutState("@");
  Fw.QueueKey(sim::CharKey(u'k'));
  Expect(Run(kBackup), {EFI_NOT_FOUND, "G", kEnablePrompt + Missing + kResetPrompt, {"reset cold"}});
}

// The tool's command line is the tool's name, a blank and the image name
// as typed, of any length (250 characters pass as well as 8), quoted and
// escaped where the Shell would otherwise split or change it: the tool is
// handed the name whole, as one word the Shell reads back unchanged, and
// finds it where the version check read it.
TEST_F(Actions, FlashToolCommandLine) {
  auto Long = [](size_t Length) { return "fs0:\\" + std::string(Length - 5, 'f'); };
  const struct {
    const char *Name;
    std::u16string Word;
    std::string Passed;  // after "H2OFFT-Sx64.efi "
    std::string Volume = "boot";
    bool ReadOnce = false;  // the Shell runs Execute's line itself (nesting off)
  } Cases[] = {
      {"plain", u"bios.bin", "bios.bin"},
      {"83 characters", sim::FromUtf8(Long(83)), Long(83)},
      {"84 characters", sim::FromUtf8(Long(84)), Long(84)},
      {"90 characters", sim::FromUtf8(Long(90)), Long(90)},
      {"120 characters", sim::FromUtf8(Long(120)), Long(120)},
      {"250 characters", sim::FromUtf8(Long(250)), Long(250)},
      {"a blank", u"my bios.bin", "\"my bios.bin\""},
      {"a trailing blank", u"trail ", "\"trail \""},
      {"a tab inside", u"my\tbios.bin", "\"my\tbios.bin\""},
      {"a tab at the end", u"bios.bin\t", "\"^\"bios.bin\t^\"\""},
      {"percent signs", u"b%path%.bin", "\"b^^%path^^%.bin\""},
      {"an unknown variable", u"%nothing%", "\"^^%nothing^^%\""},
      {"a caret", u"a^b.bin", "\"a^^^^b.bin\""},
      {"a hash", u"v#2.bin", "\"v^^^^#2.bin\""},
      {"a double quote", u"a\"b", "\"a^^^\"b\""},
      {"a bar", u"a|b", "\"a^^|b\""},
      {"a leading >", u">x", "\"^\">x^\"\""},
      {"all at once", u"x \"%path%\" ^#y", "\"x ^^^\"^^%path^^%^^^\" ^^^^^^^^#y\""},
      {"read once: percent signs", u"b%path%.bin", "\"b^%path^%.bin\"", "boot", true},
      {"read once: caret and hash", u"a^#b", "\"a^^^#b\"", "boot", true},
      {"read once: a blank", u"my bios.bin", "\"my bios.bin\"", "boot", true},
      {"a directory", u"fw\\bios.bin", "fw\\bios.bin"},
      {"another volume", u"fs1:\\fw\\bios.bin", "fs1:\\fw\\bios.bin", "other"},
  };
  Fw.ShellVariables[u"path"] = u"FS0:\\efi\\tools\\;FS0:\\";
  for (const auto &C : Cases) {
    for (const bool Backup : {false, true}) {
      SCOPED_TRACE(std::string(C.Name) + (Backup ? ", backup" : ", normal"));
      PutState(Backup ? "A" : "1");
      Fw.ShellVariables[u"nonesting"] = C.ReadOnce ? u"True" : u"False";
      Expect(Run(Backup ? std::vector<std::u16string>{C.Word, u"-b"} : std::vector<std::u16string>{C.Word}),
             {EFI_SUCCESS, Backup ? "B" : "2", Backup ? kBackupToolEnded : kToolEnded, {"run H2OFFT-Sx64.efi " + C.Passed}});
      ASSERT_EQ(Fw.Executions().size(), 1u);
      const sim::ExecuteCall &Call = Fw.Executions()[0];
      EXPECT_EQ(Call.CommandLine, u"H2OFFT-Sx64.efi " + sim::FromUtf8(C.Passed));
      EXPECT_EQ(Call.Argv, (std::vector<std::u16string>{u"H2OFFT-Sx64.efi", C.Word}));
      EXPECT_EQ(Call.ArgumentVolume, C.Volume);
      EXPECT_NE(Call.ParentImageHandle, nullptr);
      EXPECT_EQ(Call.Parent, Fw.ImageHandle());
      EXPECT_FALSE(Call.EnvironmentGiven);
      EXPECT_TRUE(Call.StatusCodeGiven);
    }
  }
}

// The flash tool resolves the name against the Shell's current directory,
// the version check against the root of the application's volume: a launch
// that would begin an update or start the tool from anywhere else changes
// nothing. Launches that do not use the name go on as ever.
TEST_F(Actions, StartedAwayFromTheRootOfItsVolume) {
  const std::string Refused = "Please start it from FS0:\\, the root of its own volume\n";
  const struct {
    const char *Name;
    std::u16string Directory;
    std::optional<std::string> Initial;
    std::vector<std::u16string> Words;
    Outcome Want;
  } Cases[] = {
      {"root", u"FS0:\\", std::nullopt, kNormal, {EFI_SUCCESS, "1", "", kNormalEntry}},
      {"root, lower case, no backslash", u"fs0:", std::nullopt, kNormal, {EFI_SUCCESS, "1", "", kNormalEntry}},
      {"root, flash", u"FS0:\\", "1", kNormal, {EFI_SUCCESS, "2", kToolEnded, {kFlashTool}}},
      {"folder, fresh", u"FS0:\\sub", std::nullopt, kNormal, {EFI_NOT_FOUND, kNoFile, Refused, {}}},
      {"folder, fresh, backup", u"FS0:\\sub\\", std::nullopt, kBackup, {EFI_NOT_FOUND, kNoFile, Refused, {}}},
      {"folder, flash", u"fs0:\\sub", "1", kNormal, {EFI_NOT_FOUND, "1", Refused, {}}},
      {"folder, backup flash", u"FS0:\\sub", "A", kBackup, {EFI_NOT_FOUND, "A", Refused, {}}},
      {"another volume", u"FS1:\\", "1", kNormal, {EFI_NOT_FOUND, "1", Refused, {}}},
      {"no current directory", u"", "1", kNormal, {EFI_NOT_FOUND, "1", Refused, {}}},
      {"folder, finish", u"FS0:\\sub", "2", kNormal, {EFI_NOT_READY, "3", kAskedReset, {kBoardReset}}},
      {"folder, clean-up", u"FS0:\\sub", "3", kNormal, {EFI_SUCCESS, kNoFile, kDone, {}}},
      {"folder, B", u"FS0:\\sub", "B", kBackup, {EFI_SUCCESS, "B", "", {}}},
  };
  Fw.BootVolume().MakeDirectory("sub");
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    PlaceState(C.Initial);
    Fw.SetCurrentDirectory(C.Directory);
    Expect(Run(C.Words), C.Want);
  }
}

// The tool's start is made ready before its state byte: when it cannot be,
// the byte stays, the operator is told, and the launch fails.
TEST_F(Actions, FlashToolThatCannotBeStarted) {
  const struct {
    const char *Name;
    std::function<void()> Fault;
    EFI_STATUS Status;
    std::string Console;
    bool ByteWritten = false;
    bool ToolRan = false;
  } Cases[] = {
      {"no Shell protocol", [&] { Fw.FailNth(Service::LocateHandleBuffer, 1, EFI_NOT_FOUND); }, EFI_NOT_FOUND,
       "The flash tool cannot be started without the UEFI Shell: Not Found\n"},
      {"Shell protocol cannot be opened", [&] { Fw.FailNth(Service::OpenProtocol, 2, EFI_UNSUPPORTED); },
       EFI_UNSUPPORTED, "The flash tool cannot be started without the UEFI Shell: Unsupported\n"},
      {"no pool for the command line", [&] { RefusedPoolSizes = {sizeof(u"H2OFFT-Sx64.efi bios.bin")}; },
       EFI_OUT_OF_RESOURCES, "The flash tool cannot be started: Out of Resources\n"},
      // Once the byte says flashing has begun, the tool is never started
      // again, whatever the Shell made of it.
      {"the Shell fails to run it", [&] { Fw.FailNth(Service::ShellExecute, 1, EFI_OUT_OF_RESOURCES); },
       EFI_OUT_OF_RESOURCES, "The Shell could not run the flash tool: Out of Resources\n", true},
      // Under a nesting Shell the tool's fate comes only through StatusCode,
      // without its error bit: shown as it came, with both readings where
      // an error and a warning share the number.
      {"the Shell cannot load the tool", [&] { Fw.ExecuteStatus = EFI_ACCESS_DENIED; }, 0xF,
       "The flash tool ended with status 0xf (Access Denied)\n", true, true},
      {"the tool ends with an error", [&] { Fw.ExecuteCommandStatus = EFI_DEVICE_ERROR; }, 0x7,
       "The flash tool ended with status 0x7 (Device Error, or the warning Reset Required)\n", true, true},
      {"the tool ends with a warning", [&] { Fw.ExecuteCommandStatus = 1; }, 0x1,
       "The flash tool ended with status 0x1 (Load Error, or the warning Unknown Glyph)\n", true, true},
      {"the tool ends with an error of no warning's number", [&] { Fw.ExecuteCommandStatus = EFI_ABORTED; }, 0x15,
       "The flash tool ended with status 0x15 (Aborted)\n", true, true},
  };
  for (const auto &C : Cases) {
    for (const bool Backup : {false, true}) {
      SCOPED_TRACE(std::string(C.Name) + (Backup ? ", backup" : ", normal"));
      Fw.ClearFaults();
      Fw.ExecuteStatus = Fw.ExecuteCommandStatus = EFI_SUCCESS;
      RefusedPoolSizes.clear();
      PutState(Backup ? "A" : "1");
      Fw.SetCommandLine({u"Tamsork.efi", u"bios.bin"});
      const EFI_STATUS Status = Within([&] {
        BOOLEAN BackupMode = FALSE, Skip = FALSE;
        EXPECT_EQ(ParseCommandLine(&BackupMode, &Skip, gImageHandle), EFI_SUCCESS);
        C.Fault();
        EFI_SHELL_PROTOCOL *Shell = nullptr;
        PoolPtr<CHAR16> Line;
        BOOLEAN Missing = FALSE;
        CHAR8 Words[FLASH_WORDS_SIZE];
        const EFI_STATUS Prepared = PrepareFlash(gImageHandle, gST, Backup, &Shell, Line, &Missing);
        return EFI_ERROR(Prepared) ? Prepared : RunFlashTool(Shell, Line.Get(), Backup, {}, Words).Status;
      });
      EXPECT_EQ(Status, C.Status);
      EXPECT_EQ(StateText(), C.ByteWritten ? (Backup ? "B" : "2") : (Backup ? "A" : "1"));
      EXPECT_EQ(Console(), C.Console);
      EXPECT_EQ(Fw.Executions().size(), C.ToolRan ? 1u : 0u);
      ExpectNothingLeft();
    }
  }
}

// ---------------------------------------------------------------- whole updates

struct Step {
  const char *Name;
  std::vector<std::u16string> Words;
  std::vector<sim::Key> Keys;
  Outcome Want;
};

class WholeUpdate : public Machine {
 protected:
  // Launches one after another on the same machine, each followed by the
  // reset that ends it on real hardware.
  void RunSteps(const std::vector<Step> &Steps) {
    for (const Step &S : Steps) {
      SCOPED_TRACE(S.Name);
      Fw.QueueKeys(S.Keys);
      Expect(Run(S.Words), S.Want);
      EXPECT_EQ(Fw.KeysLeft(), 0u);
      Fw.Reboot();
    }
  }
};

TEST_F(WholeUpdate, NormalMode) {
  Fw.PutVariable(sim::kMemoryOverwriteRequestControlName, sim::kMemoryOverwriteRequestControlGuid,
                 EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS, {0xFF});
  RunSteps({
      {"update mode", kNormal, {}, {EFI_SUCCESS, "1", "", Then({kMorCleared}, kNormalEntry)}},
      {"flash tool", kNormal, {}, {EFI_SUCCESS, "2", kToolEnded, {kFlashTool}}},
      {"board reset", kNormal, {}, {EFI_NOT_READY, "3", kAskedReset, {kBoardReset}}},
      {"done", kNormal, {}, {EFI_SUCCESS, kNoFile, kDone, {}}},
  });
}

// The file the version check reads is the file the flash tool opens, for
// names the Shell would otherwise cut, split or expand.
TEST_F(WholeUpdate, OddNamesReachTheToolAsTheGateReadThem) {
  const struct {
    std::u16string Name;
    std::string Passed;  // after "H2OFFT-Sx64.efi "
  } Names[] = {
      {u"my bios.bin", "\"my bios.bin\""},
      {u"b%path%.bin", "\"b^^%path^^%.bin\""},
      {u"a^b.bin", "\"a^^^^b.bin\""},
      {u"v#2.bin", "\"v^^^^#2.bin\""},
      {sim::FromUtf8(std::string(86, 'b') + ".bin"), std::string(86, 'b') + ".bin"},
      {u"<b.bin", "\"^\"<b.bin^\"\""},
  };
  Fw.ShellVariables[u"path"] = u"FS0:\\efi\\tools\\";
  for (const auto &N : Names) {
    SCOPED_TRACE(sim::ToUtf8(N.Name));
    Fw.BootVolume().PutFile(sim::ToUtf8(N.Name), ImageWithField("$.a1.06"));
    RunSteps({
        {"update mode", {N.Name}, {}, {EFI_SUCCESS, "1", "", kNormalEntry}},
        {"flash tool", {N.Name}, {}, {EFI_SUCCESS, "2", kToolEnded, {"run H2OFFT-Sx64.efi " + N.Passed}}},
    });
    // RunSteps reboots after each launch; the record of the last one stays.
    ASSERT_EQ(Fw.Executions().size(), 1u);
    EXPECT_EQ(Fw.Executions()[0].Argv.at(1), N.Name);
    EXPECT_EQ(Fw.Executions()[0].ArgumentPath, "\\" + sim::ToUtf8(N.Name));
    PlaceState(std::nullopt);
  }
}

// "Done" is what the machine itself reports after the flash, and every
// step after the first is taken only on the machine and with the image the
// update began with. Each row begins an update of a 1.06 image on a 1.05
// machine, then changes something before the launches it lists.
TEST_F(WholeUpdate, DoneOnlyOnItsMachineWithItsImage) {
  const std::string Failed = "BIOS Update failed: the BIOS runs 1.05, bios.bin holds 1.06\n";
  const std::string Moved = "State.dat holds an update begun on another machine (serial SN000001): finish it there, "
                            "or delete State.dat to begin on this one\n";
  const std::string OtherImage = "State.dat holds an update of another image: bios.bin is not the image checked when "
                                 "the update began; put that image back, or delete State.dat to begin with this one\n";
  const std::string NoTool = "The flash tool H2OFFT-Sx64.efi was not found in FS0: nor on the path FS0:\\efi\\tools\\\n";
  // The machine with this serial number, running this BIOS.
  auto Machine = [&](const std::string &Serial, const std::string &Bios) {
    return [=, this] {
      Fw.SetSmbiosRecords({sim::BiosInformation(Bios), sim::SystemInformation("KVX4720", Serial),
                           sim::ProcessorInformation(0x000806E9)});
    };
  };
  auto Nothing = [] {};
  // This machine, its system record cut to Length bytes.
  auto SystemCut = [&](size_t Length) {
    return [=, this] {
      sim::SmbiosRecord System = sim::SystemInformation("KVX4720", "SN000001");
      System.Formatted.resize(Length - 4);
      Fw.SetSmbiosRecords({sim::BiosInformation("V1.05"), System, sim::ProcessorInformation(0x000806E9)});
    };
  };
  const std::string LongPath = "FS0:\\" + std::string(300, 'p') + "\\";
  const Outcome Flash = {EFI_SUCCESS, "2", kToolEnded, {kFlashTool}};
  const Outcome Reset = {EFI_NOT_READY, "3", kAskedReset, {kBoardReset}};
  const Outcome Done = {EFI_SUCCESS, kNoFile, kDone, {}};
  auto NotFinished = [](const std::string &Version) {
    return Outcome{EFI_NOT_FOUND, "3",
                   "BIOS Update not finished: the running BIOS version \"" + Version +
                       "\" cannot be read; check the version in the firmware's setup, then delete State.dat\n",
                   {}};
  };
  auto UncheckedVersion = [](const std::string &Version) {
    return "BIOS Update done! The version was not checked: the BIOS version \"" + Version + "\" cannot be read\n";
  };
  const std::vector<std::u16string> Unchecked = {u"bios.bin", u"-d"};
  const struct Row {
    const char *Name;
    std::vector<std::pair<std::function<void()>, Outcome>> Launches;  // a change, then the launch
    std::vector<std::u16string> Words = kNormal;                       // of every launch
  } Rows[] = {
      {"the tool flashes: done", {{Nothing, Flash}, {Nothing, Reset}, {Nothing, Done}}},
      {"the tool does nothing: failed, and again",
       {{[&] { Fw.FlashTool = sim::FlashToolBehaviour::DoesNothing; }, Flash},
        {Nothing, Reset},
        {Nothing, {EFI_INCOMPATIBLE_VERSION, "3", Failed, {}}},
        {Nothing, {EFI_INCOMPATIBLE_VERSION, "3", Failed, {}}}}},
      {"the tool missing: no 2, at every start",
       {{[&] { Fw.BootVolume().RemoveFile("H2OFFT-Sx64.efi"); }, {EFI_NOT_FOUND, "1", NoTool, {}}},
        {Nothing, {EFI_NOT_FOUND, "1", NoTool, {}}}}},
      {"the tool missing, told with a path longer than the print buffer",
       {{[&] {
          Fw.BootVolume().RemoveFile("H2OFFT-Sx64.efi");
          Fw.ShellVariables[u"path"] = sim::FromUtf8(LongPath);
        },
         {EFI_NOT_FOUND, "1", "The flash tool H2OFFT-Sx64.efi was not found in FS0: nor on the path " + LongPath + "\n",
          {}}}}},
      {"the tool on the path",
       {{[&] {
          Fw.BootVolume().RemoveFile("H2OFFT-Sx64.efi");
          Fw.BootVolume().PutFile("EFI/Tools/H2OFFT-Sx64.efi", "tool");
        },
         Flash},
        {Nothing, Reset},
        {Nothing, Done}}},
      {"an older image at 1",
       {{[&] { Fw.BootVolume().PutFile("bios.bin", ImageWithField("$.a1.04")); }, {EFI_ABORTED, "1", OtherImage, {}}}}},
      {"moved at 1, and back",
       {{Machine("SN000002", "V1.05"), {EFI_ABORTED, "1", Moved, {}}}, {Machine("SN000001", "V1.05"), Flash}}},
      {"moved at 2, and back",
       {{Nothing, Flash},
        {Machine("SN000002", "V1.06"), {EFI_ABORTED, "2", Moved, {}}},
        {Machine("SN000001", "V1.06"), Reset}}},
      {"moved at 3, and back",
       {{Nothing, Flash},
        {Nothing, Reset},
        {Machine("SN000002", "V1.06"), {EFI_ABORTED, "3", Moved, {}}},
        {Machine("SN000001", "V1.06"), Done}}},
      {"SMBIOS gone after the start: not the machine recorded",
       {{Nothing, Flash}, {Nothing, Reset}, {[&] { Fw.SetSmbiosInstances(0); }, {EFI_ABORTED, "3", Moved, {}}}}},
      // A checked update ends only on the same check.
      {"the image gone at the end: not finished, until it is back",
       {{Nothing, Flash},
        {Nothing, Reset},
        {[&] { Fw.BootVolume().RemoveFile("bios.bin"); },
         {EFI_NOT_FOUND, "3",
          "BIOS Update not finished: bios.bin cannot be read or holds no version; put the image back and start again\n",
          {}}},
        {[&] { Fw.BootVolume().PutFile("bios.bin", ImageWithField("$.a1.06")); }, Done}}},
      {"another major version at the end: failed",
       {{Nothing, Flash},
        {Nothing, Reset},
        {Machine("SN000001", "V2.06"),
         {EFI_INCOMPATIBLE_VERSION, "3", "BIOS Update failed: the BIOS runs 2.06, bios.bin holds 1.06\n", {}}}}},
      {"blanks before the digits: not finished",
       {{Nothing, Flash}, {Nothing, Reset}, {Machine("SN000001", "V 1\t06"), NotFinished("V 1?06")}}},
      {"a BIOS version that ends early: not finished",
       {{Nothing, Flash}, {Nothing, Reset}, {Machine("SN000001", "V1."), NotFinished("V1.")}}},
      {"a BIOS version with a sign for a digit: not finished",
       {{Nothing, Flash}, {Nothing, Reset}, {Machine("SN000001", "V1.-6"), NotFinished("V1.-6")}}},
      {"a version of another form at the end: not finished, until the record goes",
       {{Nothing, Flash},
        {Nothing, Reset},
        {Machine("SN000001", "R01.06"), NotFinished("R01.06")},
        {[&] { PlaceState("3"); }, {EFI_SUCCESS, kNoFile, UncheckedVersion("R01.06"), {}}}}},
      {"the tool under a path entry without its backslash, after empty ones",
       {{[&] {
          Fw.BootVolume().RemoveFile("H2OFFT-Sx64.efi");
          Fw.BootVolume().PutFile("EFI/Tools/H2OFFT-Sx64.efi", "tool");
          Fw.ShellVariables[u"path"] = u";;FS0:\\efi\\tools;";
        },
         Flash}}},
      {"the tool missing, a path of empty entries",
       {{[&] {
          Fw.BootVolume().RemoveFile("H2OFFT-Sx64.efi");
          Fw.ShellVariables[u"path"] = u";;";
        },
         {EFI_NOT_FOUND, "1", "The flash tool H2OFFT-Sx64.efi was not found in FS0: nor on the path ;;\n", {}}}}},
      {"the tool missing, an empty path",
       {{[&] {
          Fw.BootVolume().RemoveFile("H2OFFT-Sx64.efi");
          Fw.ShellVariables[u"path"] = u"";
        },
         {EFI_NOT_FOUND, "1", "The flash tool H2OFFT-Sx64.efi was not found in FS0: (no path is set)\n", {}}}}},
      // A board that now leaves its UUID unset is not the machine whose UUID
      // was recorded, whatever its serial number.
      {"UUID all 00 at 1",
       {{[&] {
          Fw.SetSmbiosRecords({sim::BiosInformation("V1.05"), sim::SystemInformation("KVX4720", "SN000001", {}),
                               sim::ProcessorInformation(0x000806E9)});
        },
         {EFI_ABORTED, "1", Moved, {}}}}},
      {"UUID all FF at 1",
       {{[&] {
          std::array<uint8_t, 16> Unset;
          Unset.fill(0xFF);
          Fw.SetSmbiosRecords({sim::BiosInformation("V1.05"), sim::SystemInformation("KVX4720", "SN000001", Unset),
                               sim::ProcessorInformation(0x000806E9)});
        },
         {EFI_ABORTED, "1", Moved, {}}}}},
      {"two system records at 1: the first counts",
       {{[&] {
          Fw.SetSmbiosRecords({sim::SystemInformation("KVX4720", "SN000001"),
                               sim::SystemInformation("KVX4720", "SN000002"), sim::BiosInformation("V1.05"),
                               sim::ProcessorInformation(0x000806E9)});
        },
         Flash}}},
      {"two system records at 1, another machine's first",
       {{[&] {
          Fw.SetSmbiosRecords({sim::SystemInformation("KVX4720", "SN000002"),
                               sim::SystemInformation("KVX4720", "SN000001"), sim::BiosInformation("V1.05"),
                               sim::ProcessorInformation(0x000806E9)});
        },
         {EFI_ABORTED, "1", Moved, {}}}}},
      // Begun with -d, the image is still recorded, and the update ends
      // unchecked only because it was never checked.
      {"begun with -d, another image at 1",
       {{[&] { Fw.BootVolume().PutFile("bios.bin", ImageWithField("$.a1.04")); }, {EFI_ABORTED, "1", OtherImage, {}}}},
       Unchecked},
      {"begun with -d, the image gone at the end: done, unchecked",
       {{Nothing, Flash},
        {Nothing, Reset},
        {[&] { Fw.BootVolume().RemoveFile("bios.bin"); },
         {EFI_SUCCESS, kNoFile, "BIOS Update done! The version was not checked: bios.bin cannot be read or holds no "
                                "version\n",
          {}}}},
       Unchecked},
      // A system record ends 24 bytes in with its UUID, or before it.
      {"a system record just long enough for its UUID at 1", {{SystemCut(24), Flash}}},
      {"a system record one byte short of its UUID at 1", {{SystemCut(23), {EFI_ABORTED, "1", Moved, {}}}}},
      // A system record of SMBIOS 2.0 ends before the UUID: no UUID to match.
      {"a system record without room for a UUID at 1",
       {{[&] {
          sim::SmbiosRecord System = sim::SystemInformation("KVX4720", "SN000001");
          System.Formatted.resize(8 - 4);
          Fw.SetSmbiosRecords({sim::BiosInformation("V1.05"), System, sim::ProcessorInformation(0x000806E9)});
        },
         {EFI_ABORTED, "1", Moved, {}}}}},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    Fw.ShellVariables[u"path"] = u"FS0:\\efi\\tools\\";
    Fw.FlashTool = sim::FlashToolBehaviour::Flashes;
    Fw.SetSmbiosInstances(1);
    Machine("SN000001", "V1.05")();
    Fw.BootVolume().PutFile("bios.bin", ImageWithField("$.a1.06"));
    Fw.BootVolume().PutFile("H2OFFT-Sx64.efi", "tool");
    PlaceState(std::nullopt);
    RunSteps({{"update mode", R.Words, {}, {EFI_SUCCESS, "1", "", kNormalEntry}}});
    for (const auto &[Change, Want] : R.Launches) {
      Change();
      RunSteps({{"next", R.Words, {}, Want}});
    }
  }
}

// A serial number is printed as it was recorded, but a control character
// in it cannot start a line of its own, such as a forged verdict.
// Serials of 1 and of 64 characters are told whole.
TEST_F(WholeUpdate, RecordedSerialCannotForgeALine) {
  const auto Board = [&](const std::string &Serial) {
    Fw.SetSmbiosRecords({sim::BiosInformation("V1.05"), sim::SystemInformation("KVX4720", Serial),
                         sim::ProcessorInformation(0x000806E9)});
  };
  const std::string Long(64, 'L');
  for (const auto &[Serial, Shown] : {std::pair<std::string, std::string>{"SN9\nBIOS Update done!", "SN9?BIOS Update done!"},
                                      {"S", "S"}, {Long, Long}, {Long + "XYZ", Long}}) {
    SCOPED_TRACE(Shown);
    PlaceState(std::nullopt);
    Board(Serial);
    RunSteps({{"update mode", kNormal, {}, {EFI_SUCCESS, "1", "", kNormalEntry}}});
    Board("SN000001");
    RunSteps({{"another machine", kNormal, {},
               {EFI_ABORTED, "1",
                "State.dat holds an update begun on another machine (serial " + Shown +
                    "): finish it there, or delete State.dat to begin on this one\n",
                {}}}});
  }
}

// A firmware without the SMBIOS protocol records no machine and reads no
// version: with -d the update runs through and says what it did not check.
TEST_F(WholeUpdate, WithoutSmbios) {
  Fw.SetSmbiosInstances(0);
  const std::vector<std::u16string> Words = {u"bios.bin", u"-d"};
  RunSteps({
      {"update mode", Words, {}, {EFI_SUCCESS, "1", "", kNormalEntry}},
      {"flash tool", Words, {}, {EFI_SUCCESS, "2", kToolEnded, {kFlashTool}}},
      {"board reset", Words, {}, {EFI_NOT_READY, "3", kAskedReset, {kBoardReset}}},
      {"done, unchecked", Words, {},
       {EFI_SUCCESS, kNoFile, "BIOS Update done! The version was not checked: the firmware reports no BIOS version\n",
        {}}},
  });
}

TEST_F(WholeUpdate, BackupMode) {
  const std::string ManualReset = kEnablePrompt + kResetPrompt;
  RunSteps({
      {"update mode", kBackup, {}, {EFI_SUCCESS, "@", "", BackupEntry(0x02)}},
      {"manual reset", kBackup, {sim::CharKey(u'r')}, {EFI_NOT_READY, "G", ManualReset + kAskedReset, {kBoardReset}}},
      {"y: start over", kBackup, {sim::CharKey(u'y')}, {EFI_SUCCESS, "@", kFoundPrompt, BackupEntry(0x02)}},
      {"manual reset again", kBackup, {sim::ScanKey(SCAN_UP)}, {EFI_NOT_READY, "G", ManualReset + kAskedReset, {kBoardReset}}},
      {"another key: given up", kBackup, {sim::CharKey(u'n')}, {EFI_SUCCESS, kNoFile, kFoundPrompt, {}}},
  });
  // The board's own firmware marks the backup as ready.
  PutState("A");
  RunSteps({
      {"flash tool", kBackup, {}, {EFI_SUCCESS, "B", kBackupToolEnded, {kFlashTool}}},
      {"after the tool", kBackup, {}, {EFI_SUCCESS, "B", "", {}}},
  });
}

}  // namespace
}  // namespace tamsork_test
