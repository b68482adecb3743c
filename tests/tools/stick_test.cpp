// tamsork stick, run as a technician runs it: the refusals, the files
// a folder or a disk image ends up holding, and startup.nsh's text; and the
// SHA-256 it prints, against the FIPS 180-2 vectors.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/tools/ToolTestSupport.h"
#include "tools/tamsork-sim/Stick.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using namespace tamsork_sim;
using tool_test::ImageWithField;

std::vector<uint8_t> ReadBytes(const fs::path &Path) {
  std::ifstream In(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

std::string Text(const std::vector<uint8_t> &Bytes) { return {Bytes.begin(), Bytes.end()}; }

struct Result {
  int Status = -1;
  std::string Out, Err;
};

// The program with these words, no shell between; its output through files.
Result RunSim(const tool_test::TempDir &Dir, std::vector<std::string> Args) {
  Args.insert(Args.begin(), TAMSORK_SIM_PROGRAM);
  std::vector<char *> Argv;
  for (std::string &A : Args) {
    Argv.push_back(A.data());
  }
  Argv.push_back(nullptr);
  const std::string Out = Dir.Path() + "/.out", Err = Dir.Path() + "/.err";
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 1, Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&Actions, 2, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t Pid = 0;
  Result R;
  if (posix_spawn(&Pid, Argv[0], &Actions, nullptr, Argv.data(), environ) == 0) {
    int Raw = 0;
    waitpid(Pid, &Raw, 0);
    R.Status = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1;
  }
  posix_spawn_file_actions_destroy(&Actions);
  R.Out = Text(ReadBytes(Out));
  R.Err = Text(ReadBytes(Err));
  fs::remove(Out);
  fs::remove(Err);
  return R;
}

std::string Shell(const std::string &Command) {
  std::string Out;
  FILE *Pipe = popen(Command.c_str(), "r");
  char Buffer[4096];
  for (size_t N; Pipe != nullptr && (N = fread(Buffer, 1, sizeof Buffer, Pipe)) > 0;) {
    Out.append(Buffer, N);
  }
  if (Pipe != nullptr) {
    pclose(Pipe);
  }
  return Out;
}

const std::string kEfi = TAMSORK_EFI_DIR "/Tamsork.efi";
const std::string kTool = TAMSORK_EFI_DIR "/virtual-board/H2OFFT-Sx64.efi";
const std::string kDriver = TAMSORK_EFI_DIR "/virtual-board/VendorControl.efi";

// A copy of Tamsork.efi with the 16-bit field at Offset past its "PE\0\0"
// set to Value.
std::vector<uint8_t> PatchedPe(size_t Offset, uint16_t Value) {
  std::vector<uint8_t> B = ReadBytes(kEfi);
  const size_t Pe = B[0x3C] | B[0x3D] << 8 | B[0x3E] << 16 | size_t(B[0x3F]) << 24;
  B[Pe + Offset] = uint8_t(Value);
  B[Pe + Offset + 1] = uint8_t(Value >> 8);
  return B;
}
constexpr size_t kMachine = 4, kSubsystem = 24 + 68;

class Stick : public ::testing::Test {
 protected:
  void SetUp() override {
    // make test builds them first; a host-only run has none to put on a stick.
    if (!fs::exists(kEfi) || !fs::exists(kTool)) {
      GTEST_SKIP() << "make efi builds " << kEfi << " and " << kTool;
    }
    Image = Dir.Write("bios.bin", ImageWithField("$.a1.06"));
  }
  tool_test::TempDir Dir;
  std::string Image;
  std::string StickDir() const { return Dir.Path() + "/stick"; }
};

TEST(Sha256, Fips180VectorsAndPaddingEdges) {
  const struct {
    const char *Name;
    std::string Message;
    const char *Digest;
  } kRows[] = {
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"448 bits: the length spills into a second block",
       "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"one million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Padding edges, digests from coreutils' sha256sum: 55 bytes still
      // fit the length into their block, 63 and 64 do not.
      {"55 a", std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {"63 a", std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {"64 a", std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto &Row : kRows) {
    EXPECT_EQ(Sha256Hex(Row.Message), Row.Digest) << Row.Name;
  }
}

TEST(StickName, RefusedNamesSayWhichCharacter) {
  const struct {
    std::string Name;
    const char *Says;  // "" for a name the stick takes
  } kRows[] = {
      {"bios.bin", ""},
      {"KVX-4720_v1.06+fix~(2).BIN", ""},
      {std::string(248, 'a'), ""},
      {"", "empty"},
      {std::string(249, 'a'), "249 characters, more than 248"},
      {"my bios.bin", "a blank"},
      {"bios\t.bin", "control character 0x09"},
      {"bios\x7F.bin", "control character 0x7F"},
      {"bi\xC3\xA9s.bin", "byte 0xC3, not ASCII"},
      {"bios\".bin", "\"\"\", which a FAT"},
      {"bios*.bin", "\"*\", which a FAT"},
      {"bios?.bin", "\"?\", which a FAT"},
      {"bios<.bin", "\"<\", which a FAT"},
      {"bios|.bin", "\"|\", which a FAT"},
      {"c:bios.bin", "\":\", which a FAT"},
      {"fw\\bios.bin", "\"\\\", which a FAT"},
      {"b%path%.bin", "\"%\", which the Shell"},
      {"b^.bin", "\"^\", which the Shell"},
      {"bios#2.bin", "\"#\", which the Shell"},
      {"bios[1].bin", "\"[\", which the Shell"},
      {"bios;1.bin", "\";\"; a stick's image name takes only"},
      {"-b", "begins with -"},
      {"bios.", "ends with a dot"},
      {"TAMSORK.EFI", "own Tamsork.efi"},
      {"h2offt-sx64.efi", "own H2OFFT-Sx64.efi"},
      {"Startup.nsh", "own startup.nsh"},
      {"state.dat", "own State.dat"},
      {"tamsork.LOG", "own Tamsork.log"},
      {"efi", "own EFI"},
  };
  for (const auto &Row : kRows) {
    const std::string Problem = StickNameProblem(Row.Name);
    if (*Row.Says == '\0') {
      EXPECT_EQ(Problem, "") << Row.Name;
    } else {
      EXPECT_NE(Problem.find(Row.Says), std::string::npos) << Row.Name << ": " << Problem;
    }
  }
}

TEST(StickPe, ProblemsOfHeaders) {
  if (!fs::exists(kEfi) || !fs::exists(kDriver)) {
    GTEST_SKIP() << "make efi builds " << kEfi << " and " << kDriver;
  }
  const std::vector<uint8_t> Tiny = {'M', 'Z'};
  std::vector<uint8_t> FarPe(64, 0);
  FarPe[0] = 'M', FarPe[1] = 'Z', FarPe[0x3C] = 0xF0, FarPe[0x3D] = 0xFF;
  const struct {
    const char *Name;
    std::vector<uint8_t> Bytes;
    const char *Says;
  } kRows[] = {
      {"Tamsork.efi", ReadBytes(kEfi), ""},
      {"two bytes", Tiny, "no MZ header"},
      {"PE offset past the end", FarPe, "outside the file"},
      {"no PE signature", PatchedPe(0, 0x4550 ^ 1), "no PE signature"},
      {"machine i386", PatchedPe(kMachine, 0x14C), "machine 0x014C, not x86-64"},
      {"PE32 magic", PatchedPe(24, 0x10B), "magic 0x10B, not PE32+"},
      {"console subsystem", PatchedPe(kSubsystem, 3), "subsystem 3 (a Windows console program)"},
      {"boot service driver", ReadBytes(kDriver), "subsystem 11 (an EFI boot service driver)"},
  };
  for (const auto &Row : kRows) {
    EXPECT_NE(EfiApplicationProblem(Row.Bytes).find(Row.Says), std::string::npos)
        << Row.Name << ": " << EfiApplicationProblem(Row.Bytes);
    if (*Row.Says == '\0') {
      EXPECT_EQ(EfiApplicationProblem(Row.Bytes), "") << Row.Name;
    }
  }
}

TEST_F(Stick, RefusalsAreOneLineNamingTheFileAndWriteNothing) {
  const std::string NoMarker = Dir.Write("plain.bin", std::vector<uint8_t>(300, 0x24));
  const std::string Blank = Dir.Write("my bios.bin", ImageWithField("$.a1.06"));
  const std::string I386 = Dir.Write("i386.efi", PatchedPe(kMachine, 0x14C));
  const std::string Console = Dir.Write("console.efi", PatchedPe(kSubsystem, 3));
  const std::string Disk = Dir.Path() + "/stick.img";
  const struct {
    const char *Name;
    std::vector<std::string> Args;
    std::string Names;  // the file the line names
    const char *Says;
    const char *State = nullptr;  // State.dat's name on the stick beforehand
  } kRows[] = {
      {"image without marker", {"--image", NoMarker, "--tool", kTool}, NoMarker, "no version marker"},
      {"image name with a blank", {"--image", Blank, "--tool", kTool}, Blank, "a blank"},
      {"tool for i386", {"--image", Image, "--tool", I386}, I386, "machine 0x014C"},
      {"tool a console program", {"--image", Image, "--tool", Console}, Console, "subsystem 3"},
      {"tool a driver", {"--image", Image, "--tool", kDriver}, kDriver, "subsystem 11"},
      {"tool the image", {"--image", Image, "--tool", Image}, Image, "no MZ header"},
      {"efi for i386", {"--image", Image, "--tool", kTool, "--efi", I386}, I386, "machine 0x014C"},
      {"shell a console program", {"--image", Image, "--tool", kTool, "--shell", Console}, Console, "subsystem 3"},
      {"tool missing", {"--image", Image, "--tool", Dir.Path() + "/none.efi"}, Dir.Path() + "/none.efi", "No such"},
      {"State.dat on the stick", {"--image", Image, "--tool", kTool}, "State.dat",
       "an update of a machine at step 1, update mode requested", "State.dat"},
      {"no such folder: nothing made", {"--image", Image, "--tool", kTool}, StickDir(), "mount the stick"},
      {"state.dat in lower case", {"--image", Image, "--tool", kTool}, "state.dat", "--force", "state.dat"},
  };
  for (const auto &Row : kRows) {
    fs::remove_all(StickDir());
    if (Row.State != nullptr) {
      fs::create_directories(StickDir());
      std::ofstream(StickDir() + "/" + Row.State) << "1";
    }
    std::vector<std::string> Args = {"stick", StickDir()};
    Args.insert(Args.end(), Row.Args.begin(), Row.Args.end());
    const Result R = RunSim(Dir, Args);
    EXPECT_EQ(R.Status, 2) << Row.Name;
    EXPECT_EQ(R.Out, "") << Row.Name;
    EXPECT_EQ(std::count(R.Err.begin(), R.Err.end(), '\n'), 1) << Row.Name << ": " << R.Err;
    EXPECT_NE(R.Err.find(Row.Names), std::string::npos) << Row.Name << ": " << R.Err;
    EXPECT_NE(R.Err.find(Row.Says), std::string::npos) << Row.Name << ": " << R.Err;
    const size_t Left = Row.State != nullptr ? 1 : 0;
    EXPECT_EQ(fs::exists(StickDir()) ? size_t(std::distance(fs::directory_iterator(StickDir()), {})) : 0, Left)
        << Row.Name;

    // The same as a disk image: no image file either.
    Args.erase(Args.begin() + 1);
    Args.insert(Args.begin() + 1, {"--disk-image", Disk});
    if (Row.State == nullptr && Row.Names != StickDir()) {
      EXPECT_EQ(RunSim(Dir, Args).Status, 2) << Row.Name;
      EXPECT_FALSE(fs::exists(Disk)) << Row.Name;
    }
  }
  // A disk image is never written over a file that is there, but with --force.
  std::ofstream(Disk) << "notes";
  const Result R = RunSim(Dir, {"stick", "--disk-image", Disk, "--image", Image, "--tool", kTool});
  EXPECT_EQ(R.Status, 2);
  EXPECT_NE(R.Err.find("--force"), std::string::npos) << R.Err;
  EXPECT_EQ(Text(ReadBytes(Disk)), "notes");
}

// The script the virtual board runs on OVMF: changes here go past it.
constexpr const char *kNormalScript =
    "@echo -off\r\n"
    "# Made by tamsork stick: finds the stick that holds TAMSORK-1.MRK, which no\r\n"
    "# other stick holds, changes to its root and runs the update's next step with\r\n"
    "# bios.bin. Runs at every boot.\r\n"
    "for %a run (0 9)\r\n"
    "  if exist fs%a:\\TAMSORK-1.MRK then\r\n"
    "    fs%a:\r\n"
    "    cd \\\r\n"
    "    goto tamsork\r\n"
    "  endif\r\n"
    "endfor\r\n"
    "echo \"No stick with TAMSORK-1.MRK was found on FS0: to FS9:\"\r\n"
    "goto end\r\n"
    ":tamsork\r\n"
    "Tamsork.efi bios.bin\r\n"
    ":end\r\n";

TEST_F(Stick, FolderHoldsTheCheckedBytesAndTheScriptRunsTheCommand) {
  const struct {
    const char *Name;
    std::vector<std::string> Flags;
    bool Backup, Skip;
    const char *Command;
  } kRows[] = {
      {"normal", {}, false, false, "Tamsork.efi bios.bin"},
      {"backup", {"-b"}, true, false, "Tamsork.efi bios.bin -b"},
      {"no version check", {"-d"}, false, true, "Tamsork.efi bios.bin -d"},
      {"both", {"-d", "-b"}, true, true, "Tamsork.efi bios.bin -b -d"},
  };
  std::set<std::string> Marks;
  for (const auto &Row : kRows) {
    fs::remove_all(StickDir());
    fs::create_directories(StickDir());
    std::vector<std::string> Args = {"stick", StickDir(), "--image", Image, "--tool", kTool, "--shell", kEfi};
    Args.insert(Args.end(), Row.Flags.begin(), Row.Flags.end());
    const Result R = RunSim(Dir, Args);
    ASSERT_EQ(R.Status, 0) << Row.Name << ": " << R.Err;
    // Each stick its own mark; the digest as sha256sum -c checks it.
    std::string Mark;
    for (const fs::directory_entry &E : fs::directory_iterator(StickDir())) {
      Mark = E.path().extension() == ".MRK" ? E.path().filename().string() : Mark;
    }
    EXPECT_TRUE(Marks.insert(Mark).second) << Row.Name << ": " << Mark;
    EXPECT_EQ(Shell("cd " + StickDir() + " && sha256sum -c bios.bin.sha256"), "bios.bin: OK\n") << Row.Name;
    const std::string Script = Text(ReadBytes(StickDir() + "/startup.nsh"));
    EXPECT_EQ(Script, StartupScript("bios.bin", Mark, Row.Backup, Row.Skip)) << Row.Name;
    EXPECT_NE(Script.find(std::string("\r\n:tamsork\r\n") + Row.Command + "\r\n:end\r\n"), std::string::npos)
        << Row.Name << ":\n" << Script;
    EXPECT_NE(R.Out.find(std::string("each boot runs: ") + Row.Command + "\n"), std::string::npos) << Row.Name;
    EXPECT_NE(R.Out.find("bios.bin: version 1.06\n"), std::string::npos) << Row.Name;
    for (const auto &[OnStick, Source] : std::vector<std::pair<std::string, std::string>>{
             {"Tamsork.efi", kEfi}, {"bios.bin", Image}, {"H2OFFT-Sx64.efi", kTool}, {"EFI/BOOT/BOOTX64.EFI", kEfi}}) {
      const std::vector<uint8_t> Bytes = ReadBytes(StickDir() + "/" + OnStick);
      EXPECT_EQ(Bytes, ReadBytes(Source)) << Row.Name << ": " << OnStick;
      EXPECT_NE(R.Out.find(Sha256Hex(Text(Bytes)) + "  " + std::to_string(Bytes.size()) + " bytes"), std::string::npos)
          << Row.Name << ": " << OnStick;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(StickDir()), {}), 7) << Row.Name;
  }
  EXPECT_EQ(StartupScript("bios.bin", "TAMSORK-1.MRK", false, false), kNormalScript);
}

TEST_F(Stick, ForceRemovesStateKeepsLogAndRewritesWhatIsThere) {
  fs::create_directories(StickDir() + "/efi/boot");
  std::ofstream(StickDir() + "/STATE.DAT") << "2";
  std::ofstream(StickDir() + "/Tamsork.log") << "time=x\r\n";
  std::ofstream(StickDir() + "/tamsork.efi") << "old";
  // A link at one of the stick's names is replaced; what it pointed to stays.
  std::ofstream(Dir.Path() + "/outside.txt") << "keep";
  fs::create_symlink(Dir.Path() + "/outside.txt", StickDir() + "/startup.nsh");
  const Result R = RunSim(Dir, {"stick", StickDir(), "--image", Image, "--tool", kTool, "--shell", kEfi, "--force"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Out.find("State.dat removed"), std::string::npos);
  EXPECT_NE(R.Out.find("Tamsork.log kept"), std::string::npos);
  EXPECT_FALSE(fs::exists(StickDir() + "/STATE.DAT"));
  EXPECT_EQ(Text(ReadBytes(StickDir() + "/Tamsork.log")), "time=x\r\n");
  // Spelled as the folder already spells them, as FAT would find them.
  EXPECT_EQ(ReadBytes(StickDir() + "/tamsork.efi"), ReadBytes(kEfi));
  EXPECT_EQ(ReadBytes(StickDir() + "/efi/boot/BOOTX64.EFI"), ReadBytes(kEfi));
  EXPECT_EQ(std::distance(fs::directory_iterator(StickDir()), {}), 8);
  EXPECT_EQ(Text(ReadBytes(Dir.Path() + "/outside.txt")), "keep");
  EXPECT_FALSE(fs::is_symlink(StickDir() + "/startup.nsh"));
  EXPECT_NE(R.Out.find("startup.nsh: was a link"), std::string::npos) << R.Out;
  EXPECT_NE(R.Out.find("is not the root of a FAT file system"), std::string::npos) << R.Out;
}

TEST_F(Stick, DiskImageReadsBackWithMtools) {
  const std::string Disk = Dir.Path() + "/stick.img";
  const Result R = RunSim(Dir, {"stick", "--disk-image", Disk, "--image", Image, "--tool", kTool, "--shell", kEfi, "-b"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  const std::vector<uint8_t> Bytes = ReadBytes(Disk);
  ASSERT_GE(Bytes.size(), 64u << 20);
  EXPECT_EQ(Bytes[510], 0x55);
  EXPECT_EQ(Bytes[511], 0xAA);
  EXPECT_EQ(Bytes[450], 0x0C);  // FAT32, LBA
  EXPECT_EQ(Bytes[454] | Bytes[455] << 8, 2048);  // from 1 MiB on
  const std::string Drive = Disk + "@@1M";
  EXPECT_NE(Shell("MTOOLS_SKIP_CHECK=1 mdir -i " + Drive + " -b ::/EFI/BOOT").find("BOOTX64.EFI"), std::string::npos);
  for (const auto &[OnStick, Expected] : std::vector<std::pair<std::string, std::string>>{
           {"Tamsork.efi", Text(ReadBytes(kEfi))},
           {"bios.bin", Text(ReadBytes(Image))},
           {"H2OFFT-Sx64.efi", Text(ReadBytes(kTool))},
           {"EFI/BOOT/BOOTX64.EFI", Text(ReadBytes(kEfi))},
           {"bios.bin.sha256", Sha256Hex(Text(ReadBytes(Image))) + "  bios.bin\n"}}) {
    EXPECT_EQ(Shell("MTOOLS_SKIP_CHECK=1 mcopy -n -i " + Drive + " ::/" + OnStick + " -"), Expected) << OnStick;
  }
  EXPECT_FALSE(fs::exists(Dir.Path() + "/.stick.img.partial"));
}

}  // namespace
