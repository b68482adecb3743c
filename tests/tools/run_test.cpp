// Runs and inspections on the simulated machine, in process: what each
// launch records, where a run stops, and what the flash does to the
// running BIOS.
#include <gtest/gtest.h>

#include "simfw/Firmware.h"
#include "tests/tools/ToolTestSupport.h"
#include "tools/tamsork-sim/Simulation.h"

namespace {

using namespace tamsork_sim;
using tool_test::ImageWithField;

MachineSpec Spec(const std::string &Field = "$.a1.06") {
  MachineSpec S;
  S.ImagePath = "/images/bios.bin";
  S.ImageName = "bios.bin";
  S.Image = ImageWithField(Field);
  return S;
}

// "none>1 1>2": the state file before and after each launch.
std::string StateTrail(const RunReport &R) {
  std::string Out;
  for (const LaunchRecord &L : R.Launches) {
    Out += (Out.empty() ? "" : " ") + StateText(L.StateBefore) + ">" + StateText(L.StateAfter);
  }
  return Out;
}

TEST(Run, NormalUpdateTakesFourLaunchesAndFlashesTheImage) {
  MachineSpec S = Spec();
  S.Mor = 0xFF;
  const RunReport R = RunUpdate(S);

  ASSERT_EQ(R.Launches.size(), 4u);
  EXPECT_EQ(StateTrail(R), "none>1 1>2 2>3 3>none");
  const LaunchRecord &Enter = R.Launches[0], &Flash = R.Launches[1], &Finish = R.Launches[2], &Done = R.Launches[3];

  ASSERT_EQ(Enter.Ports.size(), 2u);
  EXPECT_TRUE(Enter.Ports[0].Write && Enter.Ports[0].Port == 0x41C0 && Enter.Ports[0].Value == 0xAA);
  EXPECT_TRUE(Enter.Ports[1].Write && Enter.Ports[1].Port == 0x41C0 && Enter.Ports[1].Value == 0x66);
  EXPECT_EQ(Enter.Reset, "cold");
  EXPECT_EQ(Enter.MorBefore, std::vector<uint8_t>{0xFF});
  EXPECT_EQ(Enter.MorAfter, std::vector<uint8_t>{0x00});

  EXPECT_EQ(Flash.ShellCommands, std::vector<std::string>{"H2OFFT-Sx64.efi bios.bin"});
  EXPECT_EQ(Flash.BiosVersion, "V1.05");
  EXPECT_EQ(Flash.FlashedTo, "V1.06");
  EXPECT_FALSE(Flash.Reset);

  EXPECT_EQ(Finish.BiosVersion, "V1.06");
  ASSERT_EQ(Finish.VendorRequests.size(), 1u);
  const VendorRequest &V = Finish.VendorRequests[0];
  EXPECT_EQ(std::vector<uint64_t>({V.Command, V.SubCommand, V.Function, V.Argument, V.BufferSize}),
            std::vector<uint64_t>({0x50, 0, 3, 1, 4}));

  EXPECT_EQ(Done.Console,
            "Tamsork: step 4 of 4, the BIOS runs the version of bios.bin; the update is done\r\nBIOS Update done!\r\n");
  EXPECT_TRUE(Done.Restart.empty());
  for (const LaunchRecord &L : R.Launches) {
    // The tool and the board's reset request restart the machine.
    EXPECT_EQ(L.ExitStatus, L.Number == 2 || L.Number == 3 ? std::nullopt : std::optional<uint64_t>(0))
        << "launch " << L.Number;
    EXPECT_TRUE(L.Notes.empty()) << "launch " << L.Number << ": " << L.Notes.front();
    EXPECT_EQ(L.Restart.empty(), &L == &Done) << "launch " << L.Number;
  }
  EXPECT_EQ(R.Stop.Code, "finished");
  EXPECT_EQ(R.FinalBiosVersion, "V1.06");
  EXPECT_EQ(R.FinalState, std::nullopt);
}

struct Outcome {
  const char *Name;
  std::string Field;
  bool Backup, Skip;
  std::string State, Keys;
  int Launches;
  std::string Trail, Stop, FinalVersion;
  bool WriteProtected = false;
  std::string Directory = "FS0:\\";
};

void PrintTo(const Outcome &O, std::ostream *Out) { *Out << O.Name; }

class Runs : public ::testing::TestWithParam<Outcome> {};

TEST_P(Runs, StopWhereTheMachineWouldStop) {
  const Outcome &O = GetParam();
  MachineSpec S = Spec(O.Field);
  S.Backup = O.Backup;
  S.SkipVersionCheck = O.Skip;
  const StateOption State = ParseStateOption(O.State);
  S.State = State.State;
  S.ReadOnlyState = State.ReadOnly;
  S.ReadOnlyStick = O.WriteProtected;
  S.CurrentDirectory = O.Directory;
  S.Keys = ParseKeys(O.Keys);
  S.Launches = O.Launches;
  const RunReport R = RunUpdate(S);
  EXPECT_EQ(StateTrail(R), O.Trail);
  EXPECT_EQ(R.Stop.Code, O.Stop) << R.Stop.Text;
  EXPECT_EQ(R.FinalBiosVersion, O.FinalVersion);
}

INSTANTIATE_TEST_SUITE_P(
    Tool, Runs,
    ::testing::Values(
        Outcome{"RefusedImage", "$.a1.04", false, false, "none", "enter", 0, "none>none", "refused", "V1.05"},
        Outcome{"OlderImageWithoutTheCheck", "$.a1.04", false, true, "none", "", 0, "none>1 1>2 2>3 3>none", "finished",
                "V1.04"},
        Outcome{"ImageWithoutMarker", "$.x1.06", false, false, "none", "enter", 0, "none>none", "no-image-version",
                "V1.05"},
        Outcome{"BackupCodeInNormalMode", "$.a1.06", false, false, "@", "", 0, "@>@", "other-mode", "V1.05"},
        Outcome{"BackupFlashFromStateA", "$.a1.06", true, false, "A", "", 0, "A>B B>B", "waiting-for-board", "V1.06"},
        Outcome{"BackupUppercaseYStartsOver", "$.a1.06", true, false, "G", "Y", 0, "G>@ @>G", "waiting-for-key",
                "V1.05"},
        Outcome{"BackupOtherKeyAborts", "$.a1.06", true, false, "G", "n", 0, "G>none", "abandoned", "V1.05"},
        Outcome{"BackupAskedForUpdateModeAgain", "$.a1.06", true, false, "none", "enter,y,enter", 0,
                "none>@ @>G G>@ @>G G>G", "waiting-for-key", "V1.05"},
        Outcome{"WriteProtectedStick", "$.a1.06", false, false, "none", "", 0, "none>none", "state-file", "V1.05",
                true},
        Outcome{"ReadOnlyStateFile", "$.a1.06", false, false, "empty:ro", "", 0, "empty>empty", "state-file",
                "V1.05"},
        Outcome{"ReadOnlyStateFileInBackupMode", "$.a1.06", true, false, "@:ro", "", 0, "@>@", "state-file",
                "V1.05"},
        Outcome{"StartedFromAFolder", "$.a1.06", false, false, "1", "", 0, "1>1", "wrong-directory", "V1.05", false,
                "FS0:\\sub"},
        Outcome{"NeverFlashedFailsFromAFolder", "$.a1.06", false, false, "2", "", 0, "2>3 3>3", "failed", "V1.05",
                false, "FS0:\\sub"},
        Outcome{"LaunchesGiven", "$.a1.06", false, false, "none", "", 2, "none>1 1>2", "launch-limit", "V1.06"},
        Outcome{"BackupCirclesUntilTheDefaultLimit", "$.a1.06", true, false, "@",
                "enter,y,enter,y,enter,y,enter,y,enter,y,enter,y,enter,y,enter,y,enter,y", 0,
                "@>G G>@ @>G G>@ @>G G>@ @>G G>@ @>G G>@ @>G G>@ @>G G>@ @>G G>@", "launch-limit", "V1.05"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(Run, APromptWithoutAKeyLeavesTheLaunchWaitingThere) {
  MachineSpec S = Spec("$.a1.04");
  const RunReport R = RunUpdate(S);
  ASSERT_EQ(R.Launches.size(), 1u);
  const LaunchRecord &L = R.Launches[0];
  EXPECT_TRUE(L.WaitingForKey);
  EXPECT_FALSE(L.ExitStatus);
  // A refused first launch creates no state file, key or no key.
  EXPECT_EQ(StateText(L.StateAfter), "none");
  EXPECT_EQ(L.Console, "Its not allowed to update from version 1.05 to 1.04!\r\nPress ANY key to abort!\r\n");
  EXPECT_EQ(R.Stop.Code, "refused");
  EXPECT_NE(R.Stop.Text.find("\"Press ANY key to abort!\""), std::string::npos) << R.Stop.Text;
}

TEST(Run, MemoryOverwriteRequestIsClearedOnlyOnTheSupportedPlatform) {
  struct Case {
    std::string Product;
    uint32_t Cpu;
    std::optional<uint8_t> Mor;
    FileBytes After;
  } Cases[] = {
      {"KVX4720", 0x000806E9, 0xFF, std::vector<uint8_t>{0x00}},
      {"ZRN6940-B", 0x000806E9, 0xFF, std::vector<uint8_t>{0x00}},
      {"KVX472", 0x000806E9, 0xFF, std::vector<uint8_t>{0xFF}},
      {"KVX4720", 0x000906EA, 0xFF, std::vector<uint8_t>{0xFF}},
      {"KVX4720", 0x000806E9, 0x01, std::vector<uint8_t>{0x01}},
      {"KVX4720", 0x000806E9, std::nullopt, std::nullopt},
  };
  for (const Case &C : Cases) {
    MachineSpec S = Spec();
    S.Product = C.Product;
    S.CpuSignature = C.Cpu;
    S.Mor = C.Mor;
    S.Launches = 1;
    const RunReport R = RunUpdate(S);
    EXPECT_EQ(R.Launches.at(0).MorAfter, C.After) << C.Product << " " << C.Cpu;
    EXPECT_EQ(R.Launches.at(0).Reset, "cold") << "an unrecognised platform is updated all the same";
  }
}

TEST(Run, BackupModeSetsItsBitOnWhatTheControlPortReads) {
  MachineSpec S = Spec();
  S.Backup = true;
  S.ControlPort = 0x41;
  S.Launches = 1;
  const RunReport R = RunUpdate(S);
  const auto &Ports = R.Launches.at(0).Ports;
  ASSERT_EQ(Ports.size(), 4u);
  EXPECT_TRUE(!Ports[2].Write && Ports[2].Port == 0x419F && Ports[2].Value == 0x41);
  EXPECT_TRUE(Ports[3].Write && Ports[3].Port == 0x419F && Ports[3].Value == 0x43);
}

TEST(Run, FlashingAnImageWithoutMarkerKeepsTheRunningVersion) {
  MachineSpec S = Spec("$.x1.06");
  S.SkipVersionCheck = true;
  const RunReport R = RunUpdate(S);
  EXPECT_EQ(R.Stop.Code, "finished");
  EXPECT_FALSE(R.Launches.at(1).FlashedTo);
  ASSERT_EQ(R.Launches.at(1).Notes.size(), 1u);
  EXPECT_NE(R.Launches[1].Notes[0].find("no version marker"), std::string::npos);
  EXPECT_EQ(R.FinalBiosVersion, "V1.05");
}

TEST(Run, TheFlashToolGetsTheImageNameAsTheShellSplitsIt) {
  struct Case {
    std::string Name;
    std::string Word;  // the name on the tool's command line
    std::optional<std::string> FlashedTo;
  } Cases[] = {{"bios-\xC3\xA9.bin", "bios-\xC3\xA9.bin", "V1.06"},
               {"new bios.bin", "\"new bios.bin\"", "V1.06"},
               {"b%path%.bin", "\"b^^%path^^%.bin\"", "V1.06"}};
  for (const Case &C : Cases) {
    MachineSpec S = Spec();
    S.ImageName = C.Name;
    S.State = ParseState("1");
    S.Launches = 1;
    const LaunchRecord L = RunUpdate(S).Launches.at(0);
    EXPECT_EQ(L.ShellCommands, std::vector<std::string>{"H2OFFT-Sx64.efi " + C.Word});
    EXPECT_EQ(L.FlashedTo, C.FlashedTo) << C.Name;
    EXPECT_EQ(L.Notes.size(), C.FlashedTo ? 0u : 1u) << C.Name;
  }
}

TEST(Run, LaunchWordsAreShownAsTheyAreTypedAtTheShell) {
  struct Case {
    std::string Word, Typed;
  } Cases[] = {
      {"bios.bin", "bios.bin"},
      {"-b", "-b"},
      {"bios-\xC3\xA9.bin", "bios-\xC3\xA9.bin"},
      {"a<b>.bin", "a<b>.bin"},
      {"my bios.bin", "\"my bios.bin\""},
      {"tab\t.bin", "\"tab\t.bin\""},
      {"say \"hi\".bin", "\"say ^\"hi^\".bin\""},
      {"b%path%.bin", "\"b^%path^%.bin\""},
      {"a^b.bin", "\"a^^b.bin\""},
      {"a#b.bin", "\"a^#b.bin\""},
      {"a|b.bin", "\"a^|b.bin\""},
      {"<in.bin", "\"<in.bin\""},
      {">out.bin", "\">out.bin\""},
  };
  // Typed at the prompt, the line is read once, with a path variable to expand.
  const std::map<std::u16string, std::u16string> Shell = {{u"nonesting", u"True"}, {u"path", u"FS0:\\"}};
  for (const Case &C : Cases) {
    EXPECT_EQ(ShellTyped(C.Word), C.Typed);
    EXPECT_EQ(sim::ReadShellCommandLine(u"Tamsork.efi " + sim::FromUtf8(ShellTyped(C.Word)), Shell),
              (std::vector<std::u16string>{u"Tamsork.efi", sim::FromUtf8(C.Word)}))
        << C.Typed;
  }
}

TEST(Run, TheStateFileNameCannotBeTheImage) {
  MachineSpec S = Spec();
  S.ImageName = "STATE.DAT";
  EXPECT_THROW(RunUpdate(S), UsageError);
}

TEST(Inspect, MarkerAndGateAsTheApplicationSeesThem) {
  struct Case {
    std::string Image, BiosVersion;
    bool Found;
    uint64_t Anchor, Field;
    std::string Version, ReadAs;
    bool Allowed;
    std::string Message;
  } Cases[] = {
      {"$BVDT$.a1.05", "V1.05", true, 0, 5, "1.05", "1.05", true, ""},
      {"$BVDT$.a1.05", "V1.06", true, 0, 5, "1.05", "1.06", false,
       "Its not allowed to update from version 1.06 to 1.05!"},
      {"$BVD$BVDT..$.a$$.i2.10", "V1.99", true, 4, 15, "2.10", "1.99", true, ""},
      // The running version has one form: "V1.5" and "R01.07" cannot be read.
      {"$BVDT$.a1.04", "V1.5", true, 0, 5, "1.04", "", false,
       "The running BIOS version \"V1.5\" cannot be read: start with -d to update without the version check"},
      {"$BVDT$.a1.06", "R01.07", true, 0, 5, "1.06", "", false,
       "The running BIOS version \"R01.07\" cannot be read: start with -d to update without the version check"},
      {"$.a1.05$BVDT", "V1.05", false, 0, 0, "", "1.05", false, "Check File Version"},
      {"$BVDT$.z1.05", "V1.05", false, 0, 0, "", "1.05", false, "Check File Version"},
  };
  for (const Case &C : Cases) {
    const InspectReport R = Inspect("/images/x.bin", {C.Image.begin(), C.Image.end()}, C.BiosVersion);
    ASSERT_EQ(R.Marker.has_value(), C.Found) << C.Image;
    if (C.Found) {
      EXPECT_EQ(R.Marker->AnchorOffset, C.Anchor) << C.Image;
      EXPECT_EQ(R.Marker->FieldOffset, C.Field) << C.Image;
      EXPECT_EQ(VersionText(R.Marker->Major, R.Marker->Minor), C.Version) << C.Image;
    }
    ASSERT_TRUE(R.Gate);
    EXPECT_EQ(R.Gate->Readable ? VersionText(R.Gate->RunningMajor, R.Gate->RunningMinor) : "", C.ReadAs)
        << C.BiosVersion;
    EXPECT_EQ(R.Gate->Allowed, C.Allowed) << C.Image << " on " << C.BiosVersion;
    EXPECT_EQ(R.Gate->Message, C.Message) << C.Image << " on " << C.BiosVersion;
  }
}

}  // namespace
