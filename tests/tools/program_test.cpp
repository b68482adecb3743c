// The built tamsork-sim program: its output, its JSON and its exit status,
// run as a user runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/tools/JsonValue.h"
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
  const Result R = Run({"run", Image, "--mor", "0xFF"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Err, "");
  for (const char *Line :
       {"launch 1: Tamsork.efi bios.bin\n", "launch 4: Tamsork.efi bios.bin\n", "  state           none -> 1\n",
        "  state           3 -> none\n",
        "  port transfers  write 0x41C0 <- 0xAA\n                  write 0x41C0 <- 0x66\n",
        "  MOR variable    0xFF -> 0x00\n", "  reset           cold\n",
        "  flash tool      H2OFFT-Sx64.efi bios.bin   (flashed: BIOS V1.05 -> V1.06)\n",
        "  vendor request  command 0x50, subcommand 0x0, function 0x3, argument 0x1, buffer size 4\n",
        "  console         | BIOS Update done!\n", "stop:    after 4 launches: update finished\n"}) {
    EXPECT_NE(R.Out.find(Line), std::string::npos) << "missing: " << Line << "\nin:\n" << R.Out;
  }
  EXPECT_EQ(Count(R.Out, "\nlaunch "), 4u);
  EXPECT_EQ(Count(R.Out, "exit status     EFI_SUCCESS"), 4u);
}

TEST_F(Program, RefusedUpdateTranscript) {
  const std::string Image = Dir.Write("old.bin", ImageWithField("$.a1.04"));
  const Result R = Run({"run", Image, "--keys", "enter"});
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
  const Result R = Run({"run", Image, "--json", "--keys", "comma"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  const json_test::Value V = json_test::Parse(R.Out);
  EXPECT_EQ(V["image"]["name"].Text, Name);
  EXPECT_EQ(V["command_line"][1].Text, Name);
  ASSERT_EQ(V["launches"].Items.size(), 4u);
  EXPECT_EQ(V["launches"][0]["ports"][1]["value"].Number, 0x66);
  EXPECT_EQ(V["launches"][0]["reset"].Text, "cold");
  EXPECT_EQ(V["launches"][1]["flashed_to"].Text, "V1.06");
  EXPECT_EQ(V["launches"][2]["vendor_requests"][0]["command"].Number, 0x50);
  EXPECT_EQ(V["launches"][3]["console"].Text, "BIOS Update done!\r\n");
  EXPECT_EQ(V["launches"][3]["exit_status"].Text, "EFI_SUCCESS");
  EXPECT_TRUE(V["launches"][3]["restart"].IsNull());
  EXPECT_EQ(V["stop"]["code"].Text, "finished");
  EXPECT_EQ(V["final"]["keys_left"][0].Text, "comma");
}

TEST_F(Program, JsonOfAWaitingLaunchHasNoExitStatus) {
  const std::string Image = Dir.Write("old.bin", ImageWithField("$.a1.04"));
  const Result R = Run({"run", Image, "--json"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  const json_test::Value V = json_test::Parse(R.Out);
  EXPECT_TRUE(V["launches"][0]["waiting_for_key"].Boolean);
  EXPECT_TRUE(V["launches"][0]["exit_status"].IsNull());
  EXPECT_EQ(V["stop"]["code"].Text, "refused");
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
  const json_test::Value V = json_test::Parse(R.Out);
  EXPECT_EQ(V["marker"]["field_offset"].Number, 85);
  EXPECT_EQ(V["marker"]["version"].Text, "1.05");
  EXPECT_TRUE(V["gate"]["allowed"].Boolean);

  const std::string None = Dir.Write("none.bin", {'$', '.', 'a', '1', '.', '0', '5', '$', 'B', 'V', 'D', 'T'});
  R = Run({"inspect", None, "--json"});
  EXPECT_EQ(R.Status, 1);
  EXPECT_FALSE(json_test::Parse(R.Out)["marker"]["found"].Boolean);
}

TEST_F(Program, BadArgumentsGiveOneLineAndStatusTwo) {
  const std::string Image = Dir.Write("bios.bin", ImageWithField("$.a1.06"));
  const std::string Dark = Dir.Write("dark.bin", ImageWithField("$.a1.06"));
  std::filesystem::permissions(Dark, std::filesystem::perms::none);
  const std::vector<std::vector<std::string>> Cases = {
      {},
      {"frob"},
      {"run"},
      {"run", Dir.Path() + "/missing.bin"},
      {"run", Dir.Path()},
      {"inspect", Dir.Path() + "/missing.bin"},
      {"run", Image, "--keys", "y,foo"},
      {"run", Image, "--keys", "y,,n"},
      {"run", Image, "--mor", "0x100"},
      {"run", Image, "--state", "Z"},
      {"run", Image, "--launches", "0"},
      {"run", Image, "--cpu", "banana"},
      {"run", Image, "--control-port"},
      {"run", Image, "--bogus"},
      {"run", Image, "extra"},
      {"inspect", Image, "--bios-version", ""},
  };
  for (const auto &Args : Cases) {
    std::string Shown;
    for (const std::string &A : Args) {
      Shown += " " + A;
    }
    const Result R = Run(Args);
    EXPECT_EQ(R.Status, 2) << Shown;
    EXPECT_EQ(R.Out, "") << Shown;
    EXPECT_EQ(Count(R.Err, "\n"), 1u) << Shown << ": " << R.Err;
    EXPECT_EQ(R.Err.rfind("tamsork-sim: ", 0), 0u) << Shown << ": " << R.Err;
  }
  // Unreadable for the user only; root reads it anyway.
  if (getuid() != 0) {
    const Result R = Run({"run", Dark});
    EXPECT_EQ(R.Status, 2);
    EXPECT_EQ(Count(R.Err, "\n"), 1u) << R.Err;
  }
}

TEST_F(Program, HelpNamesBothCommands) {
  const Result R = Run({"--help"});
  EXPECT_EQ(R.Status, 0);
  EXPECT_NE(R.Out.find("run"), std::string::npos);
  EXPECT_NE(R.Out.find("inspect"), std::string::npos);
  EXPECT_EQ(Run({"run", "--help"}).Status, 0);
}

}  // namespace
