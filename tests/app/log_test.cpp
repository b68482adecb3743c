// Tamsork.log and the "Tamsork: " line: what a whole update and each
// refusal leave on the stick, odd strings escaped, the size limit, a torn
// last line, and a log that cannot be written changing nothing else.
#include "Machine.h"
#include "app/state/UpdateLog.h"

namespace tamsork_test {
namespace {

// The fields of a line from "time" to "version", for the default machine.
std::string Head(const std::string &Time, const std::string &Bios, const std::string &Version,
                 const std::string &Switches = "\"\"") {
  return "time=" + Time + " serial=SN000001 product=KVX4720 uuid=13121110-1514-1716-1819-1a1b1c1d1e1f bios=" + Bios +
         " file=bios.bin switches=" + Switches + " version=" + Version;
}

class Log : public Machine {
 protected:
  Log() {
    Fw.BootVolume().PutFile("bios.bin", ImageWithField("$.a1.06"));
    Fw.ClockStep = 60;
  }
};

// A line for each step, and one for what came back of the tool and of the
// board's reset request. With the stick left in, the next start asks before
// the same image is flashed again: any other key leaves the machine as it
// is, with -d as without, until Y.
TEST_F(Log, WholeUpdateWritesALineForEachStepAndWhatCameBack) {
  for (int I = 0; I < 4; I++) {
    Run();
    ExpectNothingLeft();
    Fw.Reboot();
  }
  const std::string Done = Head("2026-12-08T09:18:02", "V1.06", "1.06") + " before=3 after=none step=done outcome=Success";
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            Head("2026-12-08T09:15:02", "V1.05", "1.06") + " before=none after=1 step=begin outcome=Success",
                            Head("2026-12-08T09:16:02", "V1.05", "\"\"") + " before=1 after=2 step=flash outcome=Started",
                            Head("2026-12-08T09:16:02", "V1.05", "\"\"") + " before=1 after=2 step=flash-ended outcome=Success",
                            Head("2026-12-08T09:17:02", "V1.06", "\"\"") + " before=2 after=3 step=finish outcome=Success",
                            Head("2026-12-08T09:17:02", "V1.06", "\"\"") + " before=2 after=3 step=reset-asked outcome=\"Not Ready\"",
                            Done,
                        }));
  EXPECT_EQ(Steps(), std::vector<std::string>{"step 4 of 4, the BIOS runs the version of bios.bin; the update is done"});

  auto Asked = [](const std::string &Time) {
    return "Tamsork.log says this machine finished an update with bios.bin at " + Time +
           "\nPress Y to flash it again, or any other key to leave the machine as it is\n";
  };
  const char *Times[] = {"2026-12-08T09:18:02", "2026-12-08T09:19:02"};
  for (const auto &Words : {std::vector<std::u16string>{u"bios.bin"}, std::vector<std::u16string>{u"bios.bin", u"-d"}}) {
    Fw.TypeAhead(sim::CharKey(u'y'));  // pressed while the machine booted: not an answer
    Fw.QueueKey(sim::CharKey(u'n'));
    Expect(Run(Words), {EFI_ABORTED, kNoFile, Asked(Times[Words.size() - 1]), {}});
    EXPECT_EQ(Steps(), std::vector<std::string>{"this machine has been updated with bios.bin; nothing changed"});
    EXPECT_NE(LogLines().back().find(" after=none step=refused-done outcome=Aborted"), std::string::npos);
    Fw.Reboot();
  }
  // A log-full line after it is no start's line.
  Fw.BootVolume().PutFile("Tamsork.log", Done + "\r\n" + Head("t", "V1.06", "\"\"") + " step=log-full outcome=Success\r\n");
  Fw.QueueKey(sim::CharKey(u'Y'));
  Expect(Run(), {EFI_SUCCESS, "1", Asked(Times[0]), kNormalEntry});
  Fw.Reboot();
  // Another image, another machine, or another version running now:
  // nothing is asked.
  Fw.BootVolume().PutFile("other.bin", ImageWithField("$.a1.07"));
  Fw.BootVolume().PutFile("bios.bin", ImageWithField("$.a1.07"));
  for (const auto &[Name, Serial, Bios] : {std::tuple{u"other.bin", "SN000001", "V1.06"},
                                           {u"bios.bin", "SN000002", "V1.06"}, {u"bios.bin", "SN000001", "V1.07"}}) {
    Fw.BootVolume().PutFile("Tamsork.log", Done + "\r\n");
    PlaceState(std::nullopt);
    Fw.SetSmbiosRecords({sim::BiosInformation(Bios), sim::SystemInformation("KVX4720", Serial),
                         sim::ProcessorInformation(0x000806E9)});
    Expect(Run({Name}), {EFI_SUCCESS, "1", "", kNormalEntry});
    Fw.Reboot();
  }
}

// Each launch that read the state file leaves one line, with its step and
// outcome, refusals included; one that could not read it leaves none.
TEST_F(Log, EachLaunchLeavesOneLine) {
  const struct {
    const char *Name;
    std::optional<std::string> State;
    std::vector<std::u16string> Words;
    std::function<void()> Setup;
    std::string Tail;  // from "before=" on
    std::string Step;  // the screen line
  } Cases[] = {
      {"other mode", "@", {u"bios.bin"}, [] {}, "before=@ after=@ step=other-mode outcome=\"Invalid Parameter\"",
       "State.dat holds @, a step of a backup update; nothing to do"},
      {"no tool", "1", {u"bios.bin"}, [&] { Fw.BootVolume().RemoveFile("H2OFFT-Sx64.efi"); },
       "before=1 after=1 step=no-tool outcome=\"Not Found\"",
       "the flash tool is not where the Shell looks; nothing changed"},
      {"folder", std::nullopt, {u"bios.bin"}, [&] { Fw.SetCurrentDirectory(u"FS0:\\sub"); },
       "before=none after=none step=refused-folder outcome=\"Not Found\"",
       "started away from the root of its volume, or with no name; nothing changed"},
      {"board's tools", "B", {u"bios.bin", u"-b"}, [] {}, "before=B after=B step=wait-board outcome=Success",
       "the board's tools take over (State.dat holds B); nothing to do"},
      {"version refused", std::nullopt, {u"bios.bin"},
       [&] {
         Fw.SetSmbiosRecords(SupportedPlatform("R01.07"));
         Fw.QueueKey(sim::CharKey(u'q'));
       },
       "before=none after=none step=refused-version outcome=\"Not Found\"",
       "the version check refused bios.bin; the update does not begin"},
      {"empty name", std::nullopt, {u""}, [] {}, "before=none after=none step=refused-name outcome=\"Not Found\"",
       "started away from the root of its volume, or with no name; nothing changed"},
      {"empty name at 1", "1", {u""}, [] {}, "before=1 after=1 step=refused-name outcome=\"Not Found\"",
       "started away from the root of its volume, or with no name; nothing changed"},
  };
  Fw.BootVolume().MakeDirectory("sub");
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Fw.BootVolume().RemoveFile("Tamsork.log");
    Fw.BootVolume().PutFile("H2OFFT-Sx64.efi", "tool");
    Fw.SetCurrentDirectory(u"FS0:");
    PlaceState(C.State);
    C.Setup();
    Run(C.Words);
    ExpectNothingLeft();
    ASSERT_EQ(LogLines().size(), 1u);
    const std::string Line = LogLines()[0];
    EXPECT_EQ(Line.substr(Line.find(" before=") + 1), C.Tail);
    EXPECT_EQ(Steps(), std::vector<std::string>{C.Step});
  }
  // A write-protected stick stops at the State.dat line and no more.
  Fw.BootVolume().RemoveFile("Tamsork.log");
  PlaceState(std::nullopt);
  Fw.BootVolume().SetWriteProtected(true);
  Run();
  EXPECT_EQ(AllConsole(), "State.dat could not be written: Write Protected\n");
  EXPECT_FALSE(Fw.BootVolume().Exists("Tamsork.log"));
}

// Strings from the board and the command line are escaped, never raw.
TEST_F(Log, OddStringsAreQuotedAndEscaped) {
  Fw.SetSmbiosRecords({sim::BiosInformation("V1.05 \"beta\""), sim::SystemInformation("KVX4720 rev\tB", "S\\N\x01"),
                       sim::ProcessorInformation(0x000806E9)});
  Fw.BootVolume().PutFile(sim::ToUtf8(u"b\u00e9 \u4e2d.bin"), ImageWithField("$.a1.06"));
  Fw.ClockStep = 0;
  Run({u"b\u00e9 \u4e2d.bin", u"-d"});
  ASSERT_EQ(LogLines().size(), 1u);
  EXPECT_EQ(LogLines()[0],
            "time=2026-12-08T09:14:02 serial=\"S\\x5cN\\x01\" product=\"KVX4720 rev\\x09B\" "
            "uuid=13121110-1514-1716-1819-1a1b1c1d1e1f bios=\"V1.05 \\x22beta\\x22\" file=\"b\\xe9 \\u4e2d.bin\" "
            "switches=-d version=\"\" before=none after=1 step=begin outcome=Success");
}

// The log never changes a step: a read-only one, a clock that cannot be
// read, a torn last line, a full log.
TEST_F(Log, NeverStandsInTheWay) {
  Fw.BootVolume().PutFile("Tamsork.log", "old line\r\n", /*ReadOnly=*/true);
  Expect(Run(), {EFI_SUCCESS, "1", "Tamsork.log could not be written: Access Denied\n", kNormalEntry});
  EXPECT_EQ(LogLines(), std::vector<std::string>{"old line"});

  Fw.Reboot();
  Fw.BootVolume().PutFile("Tamsork.log", "torn li");
  Fw.FailNth(sim::Service::GetTime, 1, EFI_DEVICE_ERROR);
  Expect(Run(), {EFI_SUCCESS, "2", kToolEnded, {kFlashTool}});
  Fw.ClearFaults();
  ASSERT_EQ(LogLines().size(), 3u);
  EXPECT_EQ(LogLines()[0], "torn li");
  EXPECT_EQ(LogLines()[1].substr(0, 13), "time=unknown ");

  // Near the limit the last line says the log is full, after a torn last
  // line ended first; after it, nothing.
  for (const std::string End : {"\r\n", ""}) {
    Fw.Reboot();
    PutState("2");
    Fw.BootVolume().PutFile("Tamsork.log", std::string(LOG_SIZE_LIMIT - LOG_FULL_LINE_ROOM - 100, 'x') + End);
    for (int I = 0; I < 2; I++) {
      Run();
      Fw.Reboot();
    }
    const std::vector<std::string> Lines = LogLines();
    ASSERT_EQ(Lines.size(), 2u);
    EXPECT_NE(Lines[1].find(" step=log-full "), std::string::npos) << Lines[1];
    EXPECT_LE(Fw.BootVolume().MediumFile("Tamsork.log")->size(), LOG_SIZE_LIMIT);
    EXPECT_EQ(StateText(), kNoFile);  // the update went on: 3, then done
  }
}

}  // namespace
}  // namespace tamsork_test
