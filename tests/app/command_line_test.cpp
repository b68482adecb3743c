// The command line: which words start an update in which mode, which get
// the usage text, and where the words come from.
#include "Machine.h"

namespace tamsork_test {
namespace {

using sim::Service;

class CommandLine : public Machine {};

// The image on the volume is older than the running BIOS, so a launch that
// checks versions stops at the gate and one given -d goes on: the outcome
// shows both the mode and whether the check was skipped.
TEST_F(CommandLine, AcceptedWordsChooseModeAndVersionCheck) {
  struct Case {
    std::vector<std::u16string> Words;
    Outcome Want;
  };
  const Outcome Gate{EFI_NOT_FOUND, kNoFile, Refused("1.05", "1.04"), {}};
  const std::vector<Case> Cases = {
      {{u"bios.bin"}, Gate},
      {{u"bios.bin", u"-b"}, Gate},
      {{u"bios.bin", u"-d"}, {EFI_SUCCESS, "1", "", kNormalEntry}},
      {{u"bios.bin", u"-b", u"-d"}, {EFI_SUCCESS, "@", "", BackupEntry(0x02)}},
      {{u"bios.bin", u"-d", u"-b"}, {EFI_SUCCESS, "@", "", BackupEntry(0x02)}},
      // A switch in the file name's place is a file name.
      {{u"-b"}, {EFI_SUCCESS, "1", "", kNormalEntry}},
      {{u"-b", u"-d"}, {EFI_SUCCESS, "1", "", kNormalEntry}},
  };
  Fw.BootVolume().PutFile("bios.bin", ImageWithField("$.a1.04"));
  Fw.BootVolume().PutFile("-b", ImageWithField("$.a1.05"));
  for (const Case &C : Cases) {
    SCOPED_TRACE(sim::ToUtf8(C.Words[0]) + (C.Words.size() > 1 ? " " + sim::ToUtf8(C.Words[1]) : "") +
                 (C.Words.size() > 2 ? " " + sim::ToUtf8(C.Words[2]) : ""));
    Fw.BootVolume().RemoveFile("State.dat");
    if (C.Want.Status != EFI_SUCCESS) {
      Fw.QueueKey(sim::CharKey(u'x'));  // for the abort prompt
    }
    Expect(Run(C.Words), C.Want);
    EXPECT_EQ(Fw.KeysLeft(), 0u);
    Fw.Reboot();
  }
}

TEST_F(CommandLine, OtherWordsGetTheUsageTextAndTouchNoFile) {
  const std::vector<std::vector<std::u16string>> Cases = {
      {},
      {u"bios.bin", u"-b", u"-b"},
      {u"bios.bin", u"-d", u"-d"},
      {u"bios.bin", u"-B"},
      {u"bios.bin", u"-D"},
      {u"bios.bin", u"-x"},
      {u"bios.bin", u"-b", u"-x"},
      {u"bios.bin", u"-x", u"-d"},
      {u"bios.bin", u"-b", u"-d", u"-x"},
      {u"bios.bin", u"-b", u"-d", u"-b", u"-d"},
      {u"bios.bin", u"-b", u"-d", u"-x", u"-y", u"-z"},
  };
  for (const auto &Words : Cases) {
    SCOPED_TRACE(Words.size());
    Expect(Run(Words), {EFI_NOT_FOUND, kNoFile, Usage("Tamsork.efi"), {}});
    EXPECT_EQ(Fw.CallCount(Service::OpenVolume), 0u);
    EXPECT_EQ(Fw.CallCount(Service::SmbiosGetNext), 0u);
  }
  // The name in the examples is the one the application was started by,
  // and an existing state file is left as it is.
  PutState("1");
  Fw.SetCommandLine({u"fs0:\\tools\\TAMSORK", u"bios.bin", u"-x"});
  Expect(Fw.Launch(), {EFI_NOT_FOUND, "1", Usage("fs0:\\tools\\TAMSORK"), {}});
  EXPECT_EQ(Fw.CallCount(Service::OpenVolume), 0u);
}

// The words are the application's own, from its image handle: Shells
// started one inside the other list instances of their own before it.
// Without the application's instance the launch ends at once, silently;
// words a careless Shell hands over give the usage text, never a crash.
TEST_F(CommandLine, ShellParametersComeFromTheApplicationsOwnHandle) {
  struct Case {
    const char *Name;
    std::function<void()> Setup;
    Outcome Want;
  };
  const Outcome Silent = {EFI_NOT_FOUND, kNoFile, "", {}};
  const Outcome Started = {EFI_SUCCESS, "1", "", kNormalEntry};
  const Outcome UsageOnly = {EFI_NOT_FOUND, kNoFile, Usage("Tamsork.efi"), {}};
  const std::vector<Case> Cases = {
      {"no instance", [&] { Fw.SetShellParameterInstances(0); }, Silent},
      {"only the Shell's", [&] { Fw.SetShellParameterInstances(1); }, Silent},
      {"open fails", [&] { Fw.FailNth(Service::OpenProtocol, 1, EFI_UNSUPPORTED); }, Silent},
      {"one nested Shell", [&] { Fw.SetNestedShells(1); }, Started},
      {"two nested Shells", [&] { Fw.SetNestedShells(2); }, Started},
      {"no Argv", [&] { Fw.SetOddShellParameters(true, 2, {}); },
       {EFI_NOT_FOUND, kNoFile, Usage("<null string>"), {}}},
      {"Argc 0", [&] { Fw.SetOddShellParameters(false, 0, {}); },
       {EFI_NOT_FOUND, kNoFile, Usage("<null string>"), {}}},
      {"the file name NULL", [&] { Fw.SetOddShellParameters(false, 2, {1}); }, UsageOnly},
      {"the program's name NULL", [&] { Fw.SetOddShellParameters(false, 2, {0}); },
       {EFI_NOT_FOUND, kNoFile, Usage("<null string>"), {}}},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    Fw.BootVolume().RemoveFile("State.dat");
    Fw.SetCommandLine({u"Tamsork.efi", u"bios.bin"});
    C.Setup();
    Expect(Fw.Launch(), C.Want);
    Fw.SetShellParameterInstances(2);
    Fw.SetNestedShells(0);
    Fw.ClearFaults();
  }
}

}  // namespace
}  // namespace tamsork_test
