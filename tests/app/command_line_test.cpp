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

// The words are the application's own: the Shell's instance comes first
// and carries the Shell's command line. Without the application's instance
// the launch ends at once, silently.
TEST_F(CommandLine, ShellParametersComeFromTheSecondInstance) {
  struct Case {
    const char *Name;
    std::function<void()> Setup;
  };
  const std::vector<Case> Cases = {
      {"no instance", [&] { Fw.SetShellParameterInstances(0); }},
      {"only the Shell's", [&] { Fw.SetShellParameterInstances(1); }},
      {"search fails", [&] { Fw.FailNth(Service::LocateHandleBuffer, 1, EFI_OUT_OF_RESOURCES); }},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    C.Setup();
    Expect(Run(), {EFI_NOT_FOUND, kNoFile, "", {}});
    EXPECT_TRUE(ProtocolOpens.empty());
    Fw.SetShellParameterInstances(2);
    Fw.ClearFaults();
  }

  // With both, the second handle's words are used (the Shell's alone would
  // give the usage text).
  Expect(Run(), {EFI_SUCCESS, "1", "", kNormalEntry});
  ASSERT_FALSE(ProtocolOpens.empty());
  EXPECT_EQ(ProtocolOpens[0].first, Fw.ImageHandle());
}

}  // namespace
}  // namespace tamsork_test
