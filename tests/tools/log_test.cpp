// The Tamsork.log reader and the report per machine: which lines read as
// records and with what values, which do not and why, and how a machine's
// last line is put in words.
#include <gtest/gtest.h>

#include <map>

#include "tools/tamsork-sim/LogReader.h"
#include "tools/tamsork-sim/LogReport.h"

namespace {

using namespace tamsork_sim;

// A line as the application writes it, with some values replaced by the
// text given for them (written as it stands, quotes and escapes included).
std::string Line(const std::map<LogKey, std::string> &Values = {}) {
  static const std::array<std::string, kLogKeyCount> kDefaults = {
      "2026-12-08T09:14:02", "SN000001", "KVX4720", "13121110-1514-1716-1819-1a1b1c1d1e1f", "V1.05", "bios.bin",
      "\"\"", "1.06", "none", "1", "begin", "Success"};
  std::string Out;
  for (size_t K = 0; K < kLogKeyCount; K++) {
    const auto It = Values.find(static_cast<LogKey>(K));
    Out += (K ? " " : "") + std::string(kLogKeys[K]) + "=" + (It != Values.end() ? It->second : kDefaults[K]);
  }
  return Out;
}

struct LineCase {
  const char *Name;
  std::string Text;
  LogKey Key;
  std::u16string Value;  // of Key, when the line reads
  std::string Error;     // the start of the error, when it does not
};

void PrintTo(const LineCase &C, std::ostream *Out) { *Out << C.Name; }

class Lines : public ::testing::TestWithParam<LineCase> {};

TEST_P(Lines, ReadAsTheirValuesOrAreRefusedWithTheReason) {
  const LineCase &C = GetParam();
  const LogLineResult R = ParseLogLine(C.Text);
  if (C.Error.empty()) {
    ASSERT_TRUE(R.Fields) << R.Error;
    EXPECT_EQ(LogUtf8((*R.Fields)[C.Key]), LogUtf8(C.Value));
    // What the report shows of it reads back as the same value.
    EXPECT_EQ((*ParseLogLine(Line({{C.Key, LogQuote(C.Value)}})).Fields)[C.Key], C.Value);
  } else {
    EXPECT_FALSE(R.Fields);
    EXPECT_EQ(R.Error.substr(0, C.Error.size()), C.Error) << R.Error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Log, Lines,
    ::testing::Values(
        LineCase{"BareValues", Line(), kLogStep, u"begin", ""},
        LineCase{"EmptyQuotedValue", Line(), kLogSwitches, u"", ""},
        LineCase{"EqualsSignInABareValue", Line({{kLogSerial, "A=B"}}), kLogSerial, u"A=B", ""},
        LineCase{"BlanksInQuotes", Line({{kLogFile, "\"my new bios.bin\""}}), kLogFile, u"my new bios.bin", ""},
        LineCase{"QuotesAndBackslashes", Line({{kLogFile, "\"a\\x22b\\x5cc\\x5C\""}}), kLogFile, u"a\"b\\c\\", ""},
        LineCase{"ControlBytes", Line({{kLogSerial, "\"\\x00\\x0d\\x0a\\x1b\\x7f\""}}), kLogSerial,
                 std::u16string(u"\0\r\n\x1b\x7f", 5), ""},
        LineCase{"LatinAndUnicodeEscapes", Line({{kLogProduct, "\"\\xe9 \\u20ac\\uFFFF\""}}), kLogProduct,
                 u"\u00e9 \u20ac\uffff", ""},
        LineCase{"OutcomeWithBlank", Line({{kLogOutcome, "\"Not Found\""}}), kLogOutcome, u"Not Found", ""},
        LineCase{"EmptyLine", "", kLogTime, u"", "an empty line"},
        LineCase{"MissingField", Line().substr(0, Line().find(" product=")) + Line().substr(Line().find(" uuid=")),
                 kLogTime, u"", "missing field product (uuid follows serial)"},
        LineCase{"EndsEarly", Line().substr(0, Line().find(" outcome=")), kLogTime, u"",
                 "missing field outcome: the line ends after step"},
        LineCase{"ExtraField", Line() + " note=x", kLogTime, u"", "extra field \"note\" after outcome"},
        LineCase{"TrailingBlank", Line() + " ", kLogTime, u"", "extra field \"\" after outcome"},
        LineCase{"FieldsSwapped", "serial=SN1 time=x" + Line().substr(Line().find(" product=")), kLogTime, u"",
                 "missing field time (serial begins the line)"},
        LineCase{"FieldRepeated", Line({{kLogProduct, "x serial=y"}}), kLogTime, u"",
                 "field serial again where uuid belongs"},
        LineCase{"UnknownKey", "tiem=x" + Line().substr(Line().find(" serial=")), kLogTime, u"",
                 "unknown field \"tiem\" where time belongs"},
        LineCase{"NotKeyValue", Line({{kLogBios, "V1.05 junk"}}), kLogTime, u"", "\"junk\" where file=... belongs"},
        LineCase{"BadEscape", Line({{kLogFile, "\"a\\qb\""}}), kLogTime, u"", "bad escape in file (\\q)"},
        LineCase{"ShortEscape", Line({{kLogFile, "\"a\\x4\""}}), kLogTime, u"", "bad escape in file"},
        LineCase{"EscapeOutsideQuotes", Line({{kLogFile, "a\\x41"}}), kLogTime, u"",
                 "byte '\\' in the bare value of file"},
        LineCase{"UnclosedQuote", Line({{kLogOutcome, "\"Not Found"}}), kLogTime, u"",
                 "the quotes of outcome are not closed"},
        LineCase{"RawTabInQuotes", Line({{kLogFile, "\"a\tb\""}}), kLogTime, u"",
                 "byte 0x09 inside the quotes of file"},
        LineCase{"RawByteInBareValue", Line({{kLogProduct, "KVX\xC3\xA9"}}), kLogTime, u"",
                 "byte 0xc3 in the bare value of product"},
        LineCase{"EmptyBareValue", Line({{kLogVersion, ""}}), kLogTime, u"", "version has no value"},
        LineCase{"TextAfterClosingQuote", Line({{kLogFile, "\"a\"b"}}), kLogTime, u"",
                 "text right after the closing quote of file"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// Four lines of a whole normal update on Serial.
std::string Update(const std::string &Serial) {
  const char *Steps[][4] = {{"none", "1", "begin", "V1.05"},
                            {"1", "2", "flash", "V1.05"},
                            {"2", "3", "finish", "V1.06"},
                            {"3", "none", "done", "V1.06"}};
  std::string Out;
  for (const auto &S : Steps) {
    Out += Line({{kLogSerial, Serial}, {kLogBefore, S[0]}, {kLogAfter, S[1]}, {kLogStep, S[2]}, {kLogBios, S[3]}}) +
           "\r\n";
  }
  return Out;
}

std::string Crlf(const std::map<LogKey, std::string> &Values) { return Line(Values) + "\r\n"; }

struct FileCase {
  const char *Name;
  std::string Bytes;
  size_t Lines;
  std::string Unreadable;  // "3: torn" for each line that does not read, by the start of its error
  // "serial[/uuid] launches outcome-code bios-before>bios-after [round codes]" for each machine; the
  // uuid when it is not the usual one, a round begun again marked *.
  std::string Machines;
  std::optional<size_t> FullAt = std::nullopt;
};

void PrintTo(const FileCase &C, std::ostream *Out) { *Out << C.Name; }

class Files : public ::testing::TestWithParam<FileCase> {};

TEST_P(Files, ReportEachMachineAndEachLineThatCannotBeRead) {
  const FileCase &C = GetParam();
  const LogFile File = ReadLog(C.Bytes);
  EXPECT_EQ(File.Lines, C.Lines);
  std::string Unreadable;
  for (const LogProblem &P : File.Unreadable) {
    Unreadable += (Unreadable.empty() ? "" : "; ") + std::to_string(P.Line) + ": " + P.Error;
  }
  EXPECT_EQ(Unreadable.substr(0, C.Unreadable.size()), C.Unreadable) << Unreadable;
  EXPECT_EQ(File.Unreadable.empty(), C.Unreadable.empty()) << Unreadable;
  EXPECT_EQ(File.FullAt, C.FullAt);
  // The report reads the same bytes in pieces, keeping only the first few
  // unreadable lines.
  LogSummary Summary;
  Summary.ReadBytes("Tamsork.log", C.Bytes);
  Summary.Close();
  EXPECT_EQ(Summary.Sources[0].Lines, C.Lines);
  EXPECT_EQ(Summary.Unreadable, File.Unreadable.size());
  EXPECT_EQ(Summary.Shown.size(), std::min(File.Unreadable.size(), kShownUnreadable));
  std::string Machines;
  for (const MachineLog &M : Summary.Machines) {
    const LogFields Last = M.Last();
    std::string Rounds;
    for (const LogRound &R : M.Rounds) {
      Rounds += (Rounds.empty() ? "" : ", ") + R.Outcome.Code + (R.Renewed ? "*" : "");
    }
    Machines += (Machines.empty() ? "" : ", ") + LogQuote(Last[kLogSerial]) +
                (Last[kLogUuid] == u"13121110-1514-1716-1819-1a1b1c1d1e1f" ? "" : "/" + LogQuote(Last[kLogUuid])) +
                " " + std::to_string(M.Launches) + " " + OutcomeOf(Last).Code + " " + LogUtf8(M.BiosBefore) + ">" +
                LogUtf8(Last[kLogBios]) + " [" + Rounds + "]";
  }
  EXPECT_EQ(Machines, C.Machines);
}

std::string LineFeedsOnly(std::string Text) {
  for (size_t At; (At = Text.find("\r\n")) != std::string::npos;) {
    Text.erase(At, 1);
  }
  return Text;
}

INSTANTIATE_TEST_SUITE_P(
    Log, Files,
    ::testing::Values(
        FileCase{"WholeUpdate", Update("SN000001"), 4, "", "SN000001 4 done V1.05>V1.06 [done]"},
        // What came back of the tool is its start's line, not a start.
        FileCase{"ToolThatReturned", Crlf({{kLogStep, "flash"}}) + Crlf({{kLogStep, "flash-ended"}, {kLogOutcome, "0x7"}}),
                 2, "", "SN000001 1 under-way V1.05>V1.05 []"},
        FileCase{"TornLastLine", Update("SN1").substr(0, Update("SN1").size() - 40), 4,
                 "4: torn: the last line has no CR LF", "SN1 3 under-way V1.05>V1.06 [under-way]"},
        FileCase{"TornLineEndedByTheNextStart",
                 Crlf({}).substr(0, 60) + "\r\n" + Crlf({{kLogBefore, "1"}, {kLogAfter, "2"}, {kLogStep, "flash"}}),
                 2, "1: \"uui\" where uuid=... belongs", "SN000001 1 under-way V1.05>V1.05 []"},
        FileCase{"BadLineAmongGood", Crlf({}) + "garbage\r\n" + Crlf({{kLogStep, "flash"}}), 3, "2: \"garbage\"",
                 "SN000001 2 under-way V1.05>V1.05 [under-way]"},
        FileCase{"LineEndsConvertedToLineFeeds", LineFeedsOnly(Update("SN1")), 4, "",
                 "SN1 4 done V1.05>V1.06 [done]"},
        FileCase{"LineLongerThanAnyTheApplicationWrites", std::string(kLogLineLimit + 1, 'x') + "\r\n" + Crlf({}) +
                                                               std::string(kLogLineLimit + 1, 'y'),
                 3, "1: longer than 65536 bytes: not a Tamsork.log line; 3: torn", "SN000001 1 under-way V1.05>V1.05 [under-way]"},
        FileCase{"ManyUnreadableLinesAmongRecords", [] {
                   std::string Text = Crlf({});
                   for (int I = 0; I < 25; I++) {
                     Text += "\r\n";
                   }
                   return Text + Crlf({{kLogStep, "flash"}});
                 }(),
                 27, "2: an empty line", "SN000001 2 under-way V1.05>V1.05 [under-way]"},
        FileCase{"LogFull", Update("SN1") + Crlf({{kLogSerial, "SN2"}, {kLogStep, "log-full"}}), 5, "",
                 "SN1 4 done V1.05>V1.06 [done], SN2 1 log-full V1.05>V1.05 []", 5},
        FileCase{"TwoMachinesInterleavedAndOneWithoutASerial",
                 Crlf({{kLogSerial, "SN1"}}) + Crlf({{kLogSerial, "SN2"}, {kLogBios, "V2.00"}}) +
                     Crlf({{kLogSerial, "\"\""}}) + Crlf({{kLogSerial, "SN1"}, {kLogStep, "failed"}}),
                 4, "",
                 "SN1 2 failed V1.05>V1.05 [failed], SN2 1 under-way V2.00>V2.00 [under-way], "
                 "\"\" 1 under-way V1.05>V1.05 [under-way]"},
        // Boards that share a placeholder serial are told apart by UUID:
        // the first one's failure stays beside the second one's success.
        FileCase{"OneSerialTwoUuids",
                 Crlf({{kLogSerial, "\"Default string\""}, {kLogUuid, "u-1"}}) +
                     Crlf({{kLogSerial, "\"Default string\""}, {kLogUuid, "u-1"}, {kLogStep, "failed"}}) +
                     Crlf({{kLogSerial, "\"Default string\""}, {kLogUuid, "u-2"}}) +
                     Crlf({{kLogSerial, "\"Default string\""}, {kLogUuid, "u-2"}, {kLogStep, "done"}}),
                 4, "",
                 "\"Default string\"/u-1 2 failed V1.05>V1.05 [failed], "
                 "\"Default string\"/u-2 2 done V1.05>V1.05 [done]"},
        // The stick left in after a finished update: the later refusal is
        // where the machine was left, the update still shows as done.
        FileCase{"DoneThenRefusedOnTheNextStart",
                 Update("SN1") + Crlf({{kLogSerial, "SN1"}, {kLogBios, "V1.06"}, {kLogStep, "refused-checksum"}}), 5,
                 "", "SN1 5 refused V1.05>V1.06 [done]"},
        FileCase{"BegunAgainBeforeItEnded",
                 Crlf({}) + Crlf({{kLogBefore, "1"}, {kLogAfter, "2"}, {kLogStep, "flash"}}) + Update("SN000001"), 6,
                 "", "SN000001 6 done V1.05>V1.06 [under-way*, done]"},
        FileCase{"NoRecordLine", std::string("\x7f" "ELF\x02\x01\x01\0\r\n\xff\n", 12), 2,
                 "1: \"\\x7fELF\\x02\\x01\\x01\\x00\" where time=... belongs; 2: \"\\xff\" where time", ""}),
    [](const auto &Info) { return std::string(Info.param.Name); });

struct StepCase {
  const char *Step;
  std::string Version;
  std::string Code, Text;
};

TEST(Log, EachStepIsPutInWords) {
  const StepCase Cases[] = {
      {"begin", "1.06", "under-way", "still under way at 1: update mode requested"},
      {"flash", "", "under-way", "still under way at 1: the flash tool started"},
      {"finish", "", "under-way", "still under way at 1: flashing finished"},
      {"manual-reset", "", "under-way", "still under way at 1: backup mode, waiting for update mode"},
      {"start-over", "", "under-way", "still under way at 1: backup mode started over"},
      {"no-key", "", "under-way", "still under way at 1: backup mode, the key at the prompt could not be read"},
      {"wait-board", "", "under-way", "still under way at 1: backup mode, the board's own tools carry on"},
      {"done", "1.06", "done", "done: the BIOS runs V1.05, the image's version"},
      {"done-unchecked", "", "done-unchecked", "done without a version check"},
      {"failed", "1.06", "failed", "failed: the BIOS ran V1.05, the image held 1.06"},
      {"failed", "\"\"", "failed", "failed: the BIOS ran V1.05"},
      {"give-up", "", "given-up", "given up at the prompt"},
      {"refused-folder", "", "refused", "refused (refused-folder): started away from the root of the stick"},
      {"refused-name", "", "refused", "refused (refused-name): the image name was empty"},
      {"refused-version", "1.04", "refused", "refused (refused-version): the version check refused the image"},
      {"refused-machine", "", "refused", "refused (refused-machine): State.dat holds an update begun on another"},
      {"refused-image", "", "refused", "refused (refused-image): State.dat holds an update of another image"},
      {"no-tool", "", "refused", "refused (no-tool): the flash tool is not where the Shell looks"},
      {"other-mode", "", "refused", "refused (other-mode): State.dat holds a step of the other mode (none)"},
      {"unknown-state", "", "refused", "refused (unknown-state): State.dat holds a byte no update writes (none)"},
      {"state-unwritable", "", "refused", "refused (state-unwritable): State.dat could not be written: Success"},
      {"log-full", "", "log-full", "the log is full: the step of this start is not recorded (State.dat then held 1)"},
      {"\"odd step\"", "", "unknown-step", "an unknown step \"odd step\""},
  };
  for (const StepCase &C : Cases) {
    std::map<LogKey, std::string> Values = {{kLogStep, C.Step}};
    if (!C.Version.empty()) {
      Values[kLogVersion] = C.Version;
    }
    const LogOutcome O = OutcomeOf(*ParseLogLine(Line(Values)).Fields);
    EXPECT_EQ(O.Code, C.Code) << C.Step;
    EXPECT_EQ(O.Text.substr(0, C.Text.size()), C.Text) << C.Step << ": " << O.Text;
  }
}

}  // namespace
