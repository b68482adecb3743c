// The built tamsork program: its output, its JSON and its exit status,
// run as a user runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/Tamsork.h"
#include "tests/tools/ToolTestSupport.h"

namespace {

using tool_test::ImageWithField;

struct Result {
  int Status = -1;
  std::string Out, Err;
};

std::string Quoted(const std::string &Word) {
  std::string Out = "'";
  for (char C : Word) {
    Out += C == '\'' ? std::string("'\\''") : std::string(1, C);
  }
  return Out + "'";
}

class Program : public ::testing::Test {
 protected:
  tool_test::TempDir Dir;

  Result Run(const std::vector<std::string> &Args) {
    std::string Command = Quoted(TAMSORK_SIM_PROGRAM);
    for (const std::string &A : Args) {
      Command += " " + Quoted(A);
    }
    const std::string ErrFile = Dir.Path() + "/stderr";
    Command += " 2>" + Quoted(ErrFile);
    Result R;
    FILE *Pipe = popen(Command.c_str(), "r");
    if (Pipe == nullptr) {
      ADD_FAILURE() << "popen failed";
      return R;
    }
    char Buffer[4096];
    for (size_t N; (N = fread(Buffer, 1, sizeof Buffer, Pipe)) > 0;) {
      R.Out.append(Buffer, N);
    }
    const int Raw = pclose(Pipe);
    R.Status = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1;
    std::stringstream Err;
    Err << std::ifstream(ErrFile).rdbuf();
    R.Err = Err.str();
    return R;
  }
};

size_t Count(const std::string &Text, const std::string &Part) {
  size_t N = 0;
  for (size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1)) {
    N++;
  }
  return N;
}

TEST_F(Program, NormalUpdateTranscript) {
  const std::string Image = Dir.Write("bios.bin", ImageWithField("$.a1.06"));
  const Result R = Run({"simulate", Image, "--mor", "0xFF"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Err, "");
  for (const char *Line :
       {"launch 1: Tamsork.efi bios.bin\n", "launch 4: Tamsork.efi bios.bin\n", "  state           none -> 1\n",
        "  state           3 -> none\n",
        "  port transfers  write 0x41C0 <- 0xAA\n                  write 0x41C0 <- 0x66\n",
        "  MOR variable    0xFF -> 0x00\n", "  reset           cold\n",
        "  flash tool      H2OFFT-Sx64.efi bios.bin   (flashed: BIOS V1.05 -> V1.06)\n",
        "  vendor request  command 0x50, subcommand 0x0, function 0x3, argument 0x1, buffer size 4\n",
        "  console         | Tamsork: step 4 of 4, the BIOS runs the version of bios.bin; the update is done\n"
        "                  | BIOS Update done!\n",
        "  log             time=2026-12-08T09:14:02 serial=SN000001 product=KVX4720 "
        "uuid=13121110-1514-1716-1819-1a1b1c1d1e1f bios=V1.05 file=bios.bin switches=\"\" version=1.06 before=none "
        "after=1 step=begin outcome=Success\n",
        "bios=V1.06 file=bios.bin switches=\"\" version=1.06 before=3 after=none step=done outcome=Success\n",
        "stop:    after 4 launches: update finished\n"}) {
    EXPECT_NE(R.Out.find(Line), std::string::npos) << "missing: " << Line << "\nin:\n" << R.Out;
  }
  EXPECT_EQ(Count(R.Out, "\nlaunch "), 4u);
  // The flash tool and the board's reset request restart the machine.
  EXPECT_EQ(Count(R.Out, "exit status     EFI_SUCCESS"), 2u);
  EXPECT_EQ(Count(R.Out, "exit status     none: the machine restarted"), 2u);
  EXPECT_EQ(Count(R.Out, "\n  log             time="), 4u);
}

// The application's own lines, taken from a whole run and read back by
// log: every field is what the machine and the launch had.
TEST_F(Program, TheLogOfAWholeRunReadsBackAsTheMachineHadIt) {
  const std::string Name = "my \"new\" b%x%.bin";
  const std::string Serial = "SN \"7\" \\x";
  const Result Ran = Run({"simulate", Dir.Write(Name, ImageWithField("$.a1.06")), "--machine", Serial, "--json"});
  ASSERT_EQ(Ran.Status, 0) << Ran.Err;
  nlohmann::json Launches = nlohmann::json::parse(Ran.Out)["launches"];
  EXPECT_EQ(nlohmann::json::parse(Ran.Out)["command_line"][1], "\"my ^\"new^\" b^%x^%.bin\"");
  std::vector<uint8_t> Log;
  for (const auto &L : Launches) {
    ASSERT_EQ(L["log"].size(), 1u) << L.dump();
    const std::string Line = L["log"][0].get<std::string>() + "\r\n";
    Log.insert(Log.end(), Line.begin(), Line.end());
  }
  ASSERT_EQ(Launches.size(), 4u);
  const Result Read = Run({"log", Dir.Write("Tamsork.log", Log), "--json"});
  ASSERT_EQ(Read.Status, 0) << Read.Err;
  nlohmann::json V = nlohmann::json::parse(Read.Out);
  EXPECT_TRUE(V["unreadable"].empty());
  const char *Steps[] = {"begin", "flash", "finish", "done"};
  const char *Versions[] = {"1.06", "", "", "1.06"};
  const char *Outcomes[] = {"Success", "Started", "Success", "Success"};
  for (size_t I = 0; I < 4; I++) {
    nlohmann::json Record = V["records"][I], Launch = Launches[I];
    EXPECT_EQ(Record["line"], I + 1);
    EXPECT_EQ(Record["serial"], Serial);
    EXPECT_EQ(Record["product"], "KVX4720");
    EXPECT_EQ(Record["uuid"], "13121110-1514-1716-1819-1a1b1c1d1e1f");
    EXPECT_EQ(Record["bios"], Launch["bios_version"]);
    EXPECT_EQ(Record["file"], Name);
    EXPECT_EQ(Record["switches"], "");
    EXPECT_EQ(Record["version"], Versions[I]);
    EXPECT_EQ(Record["before"], Launch["state_before"]);
    EXPECT_EQ(Record["after"], Launch["state_after"]);
    EXPECT_EQ(Record["step"], Steps[I]);
    EXPECT_EQ(Record["outcome"], Outcomes[I]);
  }
  nlohmann::json Machine = V["machines"][0];
  EXPECT_EQ(V["machines"].size(), 1u);
  EXPECT_EQ(Machine["serial"], Serial);
  EXPECT_EQ(Machine["bios_before"], "V1.05");
  EXPECT_EQ(Machine["bios_after"], "V1.06");
  EXPECT_EQ(Machine["files"], nlohmann::json::array({Name}));
  EXPECT_EQ(Machine["launches"], 4);
  EXPECT_EQ(Machine["outcome"]["code"], "done");
}

TEST_F(Program, LogReportPerMachine) {
  const std::string Line = "time=2026-12-08T09:14:02 serial=SN1 product=KVX4720 uuid=\"\" bios=V1.05 file=bios.bin ";
  const std::string Text = Line + "switches=-b version=1.06 before=none after=@ step=begin outcome=Success\r\n" +
                           "garbage\r\n" +
                           "time=2026-12-08T10:00:00Z serial=SN2 product=\"KVX 4720\" uuid=\"\" bios=V1.06 "
                           "file=\"my bios.bin\" switches=\"\" version=1.06 before=3 after=3 step=failed "
                           "outcome=\"Incompatible Version\"\r\n" +
                           Line + "switches=\"-b -d\" version=\"\" before=G after=none step=give-up " +
                           "outcome=Success\r\n" +
                           Line.substr(0, 30);
  const std::string File = Dir.Write("Tamsork.log", {Text.begin(), Text.end()});
  // A second stick's log, with the first machine begun again.
  const std::string Again = Line + "switches=\"\" version=1.06 before=none after=1 step=begin outcome=Success\n";
  const std::string Other = Dir.Write("other.log", {Again.begin(), Again.end()});
  Result R = Run({"log", File, Other});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, File + ": 5 lines, 3 records; 2 lines cannot be read\n" + Other +
                       ": 1 line, 1 record; its lines end in LF alone (converted on the way), read as they are\n"
                       "2 machines\n  " +
                       File + ":2: \"garbage\" where time=... belongs\n  " + File +
                       ":5: torn: the last line has no CR LF at its end (a start cut off while writing it)\n"
                       "\n"
                       "machine SN1, no uuid\n"
                       "  product         KVX4720\n"
                       "  time            2026-12-08T09:14:02 to 2026-12-08T09:14:02\n"
                       "  BIOS            V1.05 -> V1.05\n"
                       "  image           bios.bin\n"
                       "  switches        -b, \"-b -d\", none\n"
                       "  launches        3\n"
                       "  update 1        given up at the prompt: State.dat removed (" +
                       File + ":1 to 4)\n  update 2        still under way at 1: update mode requested, the machine "
                       "restarts (" +
                       Other + ":1 to 1)\n  outcome         still under way at 1: update mode requested, the machine "
                       "restarts (" +
                       Other +
                       ":1)\n"
                       "\n"
                       "machine SN2, no uuid\n"
                       "  product         \"KVX 4720\"\n"
                       "  time            2026-12-08T10:00:00Z\n"
                       "  BIOS            V1.06 -> V1.06\n"
                       "  image           \"my bios.bin\"\n"
                       "  switches        none\n"
                       "  launches        1\n"
                       "  outcome         failed: the BIOS ran V1.06, the image held 1.06 (" +
                       File + ":3)\n");
  R = Run({"log", File, Other, "--json"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  nlohmann::json V = nlohmann::json::parse(R.Out);
  EXPECT_EQ(V["lines"], 6);
  EXPECT_EQ(V["unreadable"][1]["line"], 5);
  EXPECT_EQ(V["unreadable"][1]["log"], File);
  EXPECT_EQ(V["unreadable_count"], 2);
  EXPECT_TRUE(V["files"][0]["log_full"].is_null());
  EXPECT_EQ(V["files"][1]["lf_only"], 1);
  EXPECT_EQ(V["machines"][1]["product"], "KVX 4720");
  EXPECT_EQ(V["machines"][0]["switches"], nlohmann::json::array({"-b", "-b -d", ""}));
  EXPECT_EQ(V["machines"][0]["rounds"][0]["code"], "given-up");
  EXPECT_EQ(V["machines"][0]["rounds"][1]["from"], nlohmann::json({{"log", Other}, {"line", 1}}));
  EXPECT_EQ(V["machines"][0]["outcome"]["log"], Other);
  EXPECT_EQ(V["machines"][1]["outcome"]["code"], "failed");
  EXPECT_EQ(V["records"][1]["outcome"], "Incompatible Version");
  EXPECT_EQ(V["records"][3]["log"], Other);
}

TEST_F(Program, RefusedUpdateTranscript) {
  const std::string Image = Dir.Write("old.bin", ImageWithField("$.a1.04"));
  const Result R = Run({"simulate", Image, "--keys", "enter"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  for (const char *Line : {"  console         | Its not allowed to update from version 1.05 to 1.04!\n"
                           "                  | Press ANY key to abort!\n",
                           "  keys read       enter\n", "  exit status     EFI_NOT_FOUND\n",
                           "stop:    after 1 launch: refused by the version gate\n"}) {
    EXPECT_NE(R.Out.find(Line), std::string::npos) << "missing: " << Line << "\nin:\n" << R.Out;
  }
  EXPECT_EQ(Count(R.Out, "\nlaunch "), 1u);
}

TEST_F(Program, JsonTranscriptParsesAndCarriesTheRun) {
  // A name beyond ASCII, and a key with a name of its own.
  const std::string Name = "new-\xC3\xA9.bin";
  const std::string Image = Dir.Write(Name, ImageWithField("$.a1.06"));
  const Result R = Run({"simulate", Image, "--json", "--keys", "comma"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  nlohmann::json V = nlohmann::json::parse(R.Out);
  EXPECT_EQ(V["image"]["name"], Name);
  EXPECT_EQ(V["command_line"][1], Name);
  ASSERT_EQ(V["launches"].size(), 4u);
  EXPECT_EQ(V["launches"][0]["ports"][1]["value"], 0x66);
  EXPECT_EQ(V["launches"][0]["reset"], "cold");
  EXPECT_EQ(V["launches"][1]["flashed_to"], "V1.06");
  EXPECT_EQ(V["launches"][2]["vendor_requests"][0]["command"], 0x50);
  EXPECT_EQ(V["launches"][3]["console"],
            "Tamsork: step 4 of 4, the BIOS runs the version of new-\xC3\xA9.bin; the update is done\r\n"
            "BIOS Update done!\r\n");
  EXPECT_EQ(V["launches"][3]["exit_status"], "EFI_SUCCESS");
  EXPECT_TRUE(V["launches"][3]["restart"].is_null());
  EXPECT_EQ(V["stop"]["code"], "finished");
  EXPECT_EQ(V["final"]["keys_left"][0], "comma");
}

TEST_F(Program, JsonOfAWaitingLaunchHasNoExitStatus) {
  const std::string Image = Dir.Write("old.bin", ImageWithField("$.a1.04"));
  const Result R = Run({"simulate", Image, "--json"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  nlohmann::json V = nlohmann::json::parse(R.Out);
  EXPECT_EQ(V["launches"][0]["waiting_for_key"], true);
  EXPECT_TRUE(V["launches"][0]["exit_status"].is_null());
  EXPECT_EQ(V["stop"]["code"], "refused");
}

TEST_F(Program, InspectShowsOffsetsVersionAndGate) {
  const std::string Image = Dir.Write("min.bin", {'$', 'B', 'V', 'D', 'T', '$', '.', 'a', '1', '.', '0', '5'});
  Result R = Run({"inspect", Image});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "image " + Image +
                       ": 12 bytes\n"
                       "  anchor $BVDT    offset 0 (0x0)\n"
                       "  version field   offset 5 (0x5): $.a1.05\n"
                       "  version         1.05\n");

  const std::string Padded = Dir.Write("padded.bin", ImageWithField("$.a1.05"));
  R = Run({"inspect", Padded, "--bios-version", "V1.06"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Out.find("  anchor $BVDT    offset 64 (0x40)\n  version field   offset 85 (0x55): $.a1.05\n"),
            std::string::npos)
      << R.Out;
  EXPECT_NE(R.Out.find("  version gate    refused: Its not allowed to update from version 1.06 to 1.05!\n"),
            std::string::npos)
      << R.Out;

  R = Run({"inspect", Padded, "--bios-version", "V1.05", "--json"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  nlohmann::json V = nlohmann::json::parse(R.Out);
  EXPECT_EQ(V["marker"]["field_offset"], 85);
  EXPECT_EQ(V["marker"]["version"], "1.05");
  EXPECT_EQ(V["gate"]["allowed"], true);

  const std::string None = Dir.Write("none.bin", {'$', '.', 'a', '1', '.', '0', '5', '$', 'B', 'V', 'D', 'T'});
  R = Run({"inspect", None, "--json"});
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(nlohmann::json::parse(R.Out)["marker"]["found"], false);
}

TEST_F(Program, BadArgumentsGiveOneLineAndStatusTwo) {
  const std::string Image = Dir.Write("bios.bin", ImageWithField("$.a1.06"));
  const std::string Dark = Dir.Write("dark.bin", ImageWithField("$.a1.06"));
  std::filesystem::permissions(Dark, std::filesystem::perms::none);
  const std::string Torn = Dir.Write("torn.log", {'t', 'i', 'm', 'e', '=', 'x'});
  const std::string Binary = Dir.Write("binary.log", {0x7F, 'E', 'L', 'F', 0, '\r', '\n', 0xFF, '\n', 0});
  const std::string Log = Dir.Write("Tamsork.log", {});
  struct Case {
    std::vector<std::string> Args;
    std::string Message = "";  // the whole message after "tamsork: ", where it is given
  };
  const Case Cases[] = {
      {{}},
      {{"frob"}},
      {{"simulate"}},
      {{"simulate", Dir.Path() + "/missing.bin"}},
      {{"simulate", Dir.Path()}},
      {{"inspect", Dir.Path() + "/missing.bin"}},
      {{"simulate", Image, "--keys", "y,foo"}},
      {{"simulate", Image, "--keys", "y,,n"}},
      {{"simulate", Image, "--mor", "0x100"}},
      {{"simulate", Image, "--state", "Z"}},
      {{"simulate", Image, "--launches", "0"}},
      {{"simulate", Image, "--cpu", "banana"}},
      {{"simulate", Image, "--control-port"}},
      {{"simulate", Image, "--bogus"}},
      {{"simulate", Image, "extra"}, "simulate: unexpected word \"extra\" (it takes one IMAGE)"},
      {{"simulate", Image, "extra", "more"}, "simulate: unexpected words \"extra\" \"more\" (it takes one IMAGE)"},
      {{"inspect", Image, "--bios-version", ""}},
      {{"simulate", Image, "-backup"}, "unknown option -backup (did you mean -b?)"},
      {{"simulate", Image, "--bios", "V1.05"}, "unknown option --bios (did you mean --bios-version?)"},
      {{"simulate", "--Json", Image}, "unknown option --Json (did you mean --json?)"},
      {{"simulate", Image, "--mahcine=SN1"}, "unknown option --mahcine (did you mean --machine?)"},
      {{"simulate", Image, "-bx"}, "unknown option -bx (did you mean -b?)"},
      {{"simulate", Image, "---"}, "unknown option --- (did you mean "},
      {{"inspect", Image, "--bios-versoin", "V1.05"}, "unknown option --bios-versoin (did you mean --bios-version?)"},
      {{"log", Log, "--jsno"}, "unknown option --jsno (did you mean --json?)"},
      {{"--verbose"}, "unknown option --verbose (did you mean --version?)"},
      {{"log"}},
      {{"log", Dir.Path() + "/missing.log"}, Dir.Path() + "/missing.log: No such file or directory"},
      {{"log", Dir.Path()}, Dir.Path() + ": not a regular file"},
      {{"log", Log}, Log + ": empty, no Tamsork.log record in it"},
      {{"log", Torn, Dir.Path() + "/missing.log"}, Dir.Path() + "/missing.log: No such file or directory"},
      {{"log", Log, Torn}, "no line of the 2 files is a Tamsork.log record"},
      {{"log", Torn}, Torn + ": no line of its 1 is a Tamsork.log record (line 1: torn: the last line has no CR LF"},
      {{"log", Binary}, Binary + ": no line of its 3 is a Tamsork.log record (line 1: \"\\x7fELF\\x00\" where time"},
  };
  for (const Case &C : Cases) {
    std::string Shown;
    for (const std::string &A : C.Args) {
      Shown += " " + A;
    }
    const Result R = Run(C.Args);
    EXPECT_EQ(R.Status, 2) << Shown;
    EXPECT_EQ(R.Out, "") << Shown;
    EXPECT_EQ(Count(R.Err, "\n"), 1u) << Shown << ": " << R.Err;
    EXPECT_EQ(R.Err.rfind("tamsork: " + C.Message, 0), 0u) << Shown << ": " << R.Err;
  }
  // Single-letter flags may be run together.
  EXPECT_EQ(Run({"simulate", Image, "-bd", "--launches", "1"}).Status, 0);
  // Unreadable for the user only; root reads it anyway.
  if (getuid() != 0) {
    const Result R = Run({"simulate", Dark});
    EXPECT_EQ(R.Status, 2);
    EXPECT_EQ(Count(R.Err, "\n"), 1u) << R.Err;
  }
}

TEST_F(Program, HelpNamesEveryCommandAndEachHasItsOwn) {
  const Result R = Run({"--help"});
  EXPECT_EQ(R.Status, 0);
  for (const char *Command : {"stick", "log", "simulate", "inspect"}) {
    EXPECT_NE(R.Out.find(std::string("\n  ") + Command), std::string::npos) << Command;
    const Result Own = Run({Command, "--help"});
    EXPECT_EQ(Own.Status, 0) << Command;
    EXPECT_NE(Own.Out.find(std::string("tamsork ") + Command), std::string::npos) << Command << ": " << Own.Out;
  }
}

// The version the application's usage banner shows.
TEST_F(Program, VersionIsTheApplications) {
  const Result R = Run({"--version"});
  EXPECT_EQ(R.Status, 0);
  EXPECT_EQ(R.Out, "tamsork " + std::to_string(TAMSORK_VERSION_MAJOR) + "." + std::to_string(TAMSORK_VERSION_MINOR) + "\n");
}

}  // namespace
