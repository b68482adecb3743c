// tamsork: runs Tamsork on a simulated machine launch after launch and
// prints what each launch did, inspects a BIOS image's version marker,
// sums up a Tamsork.log per machine, or makes a USB stick for an update.
//
// Exit status: 0 when the run, inspection, report or stick was carried out
// (whatever the update's outcome), 1 when inspect finds no version marker,
// 2 for a bad command line, an image that cannot be read, a log with no
// record in it, or a stick refused.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <iostream>
#include <optional>
#include <string>

#include "tools/tamsork-sim/LogReader.h"
#include "tools/tamsork-sim/LogReport.h"
#include "tools/tamsork-sim/Options.h"
#include "tools/tamsork-sim/Report.h"
#include "tools/tamsork-sim/Simulation.h"
#include "tools/tamsork-sim/Stick.h"

namespace {

using namespace tamsork_sim;

constexpr int kUsageStatus = 2;

// One line, whatever the message holds.
std::string OneLine(std::string Text) {
  for (char &C : Text) {
    if (C == '\n' || C == '\r') {
      C = ' ';
    }
  }
  while (!Text.empty() && Text.back() == ' ') {
    Text.pop_back();
  }
  return Text;
}

int Fail(const std::string &Message) {
  std::cerr << "tamsork: " << OneLine(Message) << "\n";
  return kUsageStatus;
}

void Print(const std::string &Text) {
  std::fwrite(Text.data(), 1, Text.size(), stdout);
  std::fflush(stdout);
}

struct RunOptions {
  std::string Image;
  bool Backup = false;
  bool SkipVersionCheck = false;
  std::string BiosVersion = "V1.05";
  std::string Product = "KVX4720";
  std::string Cpu = "0x000806E9";
  std::string Mor = "none";
  std::string ControlPort = "0x00";
  std::string Keys;
  std::string State = "none";
  bool ReadOnlyStick = false;
  std::string CurrentDirectory = "FS0:\\";
  std::string Tool = "flashes";
  std::string Machine = "SN000001";
  std::vector<std::string> Moves;
  std::string Launches;
  bool Json = false;
};

struct InspectOptions {
  std::string Image;
  std::optional<std::string> BiosVersion;
  bool Json = false;
};

struct LogOptions {
  std::vector<std::string> Files;
  bool Json = false;
};

// Letters that differ between A and B (insertions, deletions and changes).
size_t Distance(const std::string &A, const std::string &B) {
  std::vector<size_t> Row(B.size() + 1);
  for (size_t J = 0; J <= B.size(); J++) {
    Row[J] = J;
  }
  for (size_t I = 1; I <= A.size(); I++) {
    size_t Diagonal = Row[0];
    Row[0] = I;
    for (size_t J = 1; J <= B.size(); J++) {
      const size_t Above = Row[J];
      Row[J] = std::min({Row[J] + 1, Row[J - 1] + 1, Diagonal + (A[I - 1] == B[J - 1] ? 0 : 1)});
      Diagonal = Above;
    }
  }
  return Row[B.size()];
}

std::string Lower(std::string S) {
  std::transform(S.begin(), S.end(), S.begin(),
                 [](unsigned char C) { return static_cast<char>(C >= 'A' && C <= 'Z' ? C - 'A' + 'a' : C); });
  return S;
}

std::string WithoutDashes(const std::string &Option) {
  const size_t Start = Option.find_first_not_of('-');
  return Start == std::string::npos ? "" : Lower(Option.substr(Start));
}

struct KnownOption {
  std::string Name;  // "--json", "-b"
  bool TakesValue = false;
};

std::vector<KnownOption> KnownOptions(const CLI::App &Command) {
  std::vector<KnownOption> Known;
  for (const CLI::Option *O : Command.get_options()) {
    const bool Value = O->get_expected_max() > 0;
    for (const std::string &Name : O->get_snames()) {
      Known.push_back({"-" + Name, Value});
    }
    for (const std::string &Name : O->get_lnames()) {
      Known.push_back({"--" + Name, Value});
    }
  }
  return Known;
}

size_t CommonPrefix(const std::string &A, const std::string &B) {
  size_t N = 0;
  while (N < A.size() && N < B.size() && A[N] == B[N]) {
    N++;
  }
  return N;
}

// The known option nearest to Typed, among the long ones when it was typed
// with two dashes: one whose name begins the typed one or is begun by it
// ("-backup" is -b, "--bios" is --bios-version), the longest such match
// first; otherwise the one with the fewest letters changed.
std::string Nearest(const std::string &Typed, const std::vector<KnownOption> &Known) {
  const std::string Word = WithoutDashes(Typed);
  const bool Long = Typed.rfind("--", 0) == 0;
  std::string Best;
  size_t BestPrefix = 0;
  size_t BestDistance = SIZE_MAX;
  for (const KnownOption &K : Known) {
    if (Long && K.Name.rfind("--", 0) != 0) {
      continue;
    }
    const std::string Name = WithoutDashes(K.Name);
    const bool Begins = Word.rfind(Name, 0) == 0 || Name.rfind(Word, 0) == 0;
    const size_t Prefix = Begins ? CommonPrefix(Word, Name) : 0;
    const size_t Changed = Distance(Word, Name);
    if (Prefix > BestPrefix || (Prefix == BestPrefix && Changed < BestDistance)) {
      Best = K.Name;
      BestPrefix = Prefix;
      BestDistance = Changed;
    }
  }
  return Best;
}

// The first word of Args (after the command's name) that looks like an
// option Command does not know, as typed. Words after "--" and the value
// after an option that takes one are not options; a word of single-letter
// flags ("-bd") is known when each of its letters is.
std::optional<std::string> UnknownOption(const CLI::App &Command, const std::vector<std::string> &Args) {
  const std::vector<KnownOption> Known = KnownOptions(Command);
  const auto Find = [&](const std::string &Name) -> const KnownOption * {
    for (const KnownOption &K : Known) {
      if (K.Name == Name) {
        return &K;
      }
    }
    return nullptr;
  };
  for (size_t I = 0; I < Args.size(); I++) {
    const std::string &A = Args[I];
    if (A == "--") {
      break;
    }
    if (A.size() < 2 || A[0] != '-') {
      continue;
    }
    const std::string Name = A.substr(0, A.find('='));
    if (const KnownOption *K = Find(Name)) {
      const bool NextIsValue = K->TakesValue && Name == A && I + 1 < Args.size() && Args[I + 1].rfind("-", 0) != 0;
      I += NextIsValue ? 1 : 0;
      continue;
    }
    bool Flags = A[1] != '-';
    for (size_t C = 1; C < A.size() && Flags; C++) {
      const KnownOption *K = Find(std::string("-") + A[C]);
      Flags = K != nullptr && !K->TakesValue;
    }
    if (!Flags) {
      return Name;
    }
  }
  return std::nullopt;
}

MachineSpec SpecOf(const RunOptions &O) {
  MachineSpec Spec;
  Spec.ImagePath = O.Image;
  Spec.Backup = O.Backup;
  Spec.SkipVersionCheck = O.SkipVersionCheck;
  Spec.BiosVersion = ParseSmbiosStringOption("--bios-version", O.BiosVersion);
  Spec.Product = ParseSmbiosStringOption("--product", O.Product);
  Spec.CpuSignature = ParseSignatureOption("--cpu", O.Cpu);
  Spec.Mor = ParseMorOption(O.Mor);
  Spec.ControlPort = ParseByteOption("--control-port", O.ControlPort);
  Spec.Keys = ParseKeys(O.Keys);
  const StateOption State = ParseStateOption(O.State);
  Spec.State = State.State;
  Spec.ReadOnlyState = State.ReadOnly;
  Spec.ReadOnlyStick = O.ReadOnlyStick;
  Spec.CurrentDirectory = O.CurrentDirectory;
  if (O.Tool != "flashes" && O.Tool != "does-nothing" && O.Tool != "missing" && O.Tool != "path") {
    throw UsageError("--tool: " + O.Tool + " is not one of flashes, does-nothing, missing, path");
  }
  Spec.Tool = O.Tool;
  Spec.Serial = ParseSmbiosStringOption("--machine", O.Machine);
  for (const std::string &Move : O.Moves) {
    const size_t Colon = Move.find(':');
    const auto Launch = Colon == std::string::npos ? std::nullopt : ParseNumber(Move.substr(0, Colon), kMaxLaunches);
    if (!Launch || *Launch == 0) {
      throw UsageError("--move-at: " + Move + " is not N:SERIAL (the launch number, then the machine's serial)");
    }
    Spec.Moves.push_back({static_cast<int>(*Launch), ParseSmbiosStringOption("--move-at", Move.substr(Colon + 1))});
  }
  Spec.Launches = O.Launches.empty() ? 0 : ParseLaunchesOption(O.Launches);
  Spec.ImageName = std::filesystem::path(O.Image).filename().string();
  Spec.Image = ReadImageFile(O.Image);
  return Spec;
}

int Run(const RunOptions &O) {
  const MachineSpec Spec = SpecOf(O);
  const RunReport Report = RunUpdate(Spec);
  Print(O.Json ? RunJson(Spec, Report) : RunText(Spec, Report));
  return 0;
}

int InspectImage(const InspectOptions &O) {
  std::optional<std::string> BiosVersion;
  if (O.BiosVersion) {
    BiosVersion = ParseSmbiosStringOption("--bios-version", *O.BiosVersion);
  }
  const std::vector<uint8_t> Image = ReadImageFile(O.Image);
  const InspectReport Report = Inspect(O.Image, Image, BiosVersion);
  Print(O.Json ? InspectJson(Report) : InspectText(Report));
  return Report.Marker ? 0 : 1;
}

int MakeStick(const StickOptions &O) {
  const StickPlan Plan = PlanStick(O);
  Print(WriteStick(O, Plan));
  return 0;
}

// A log file, opened; UsageError naming it when it cannot be.
struct OpenLog {
  std::string Path;
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> Stream{nullptr, std::fclose};
};

int ReadLogFiles(const LogOptions &O) {
  // Every file is opened before anything is printed, so that a wrong name
  // is told alone.
  std::vector<OpenLog> Logs;
  for (const std::string &Path : O.Files) {
    CheckRegularFile(Path, Path);
    OpenLog Log{Path};
    Log.Stream.reset(std::fopen(Path.c_str(), "rb"));
    if (!Log.Stream) {
      throw UsageError(Path + ": " + std::strerror(errno));
    }
    Logs.push_back(std::move(Log));
  }
  LogJsonWriter Json(stdout);
  LogSummary Summary(O.Json ? &LogJsonWriter::OnRecord : nullptr, &Json);
  for (OpenLog &Log : Logs) {
    if (!Summary.ReadFile(Log.Path, Log.Stream.get())) {
      throw UsageError(Log.Path + ": could not be read whole");
    }
  }
  if (Summary.Records == 0) {
    const LogSource &First = Summary.Sources[0];
    if (Logs.size() > 1) {
      throw UsageError("no line of the " + std::to_string(Logs.size()) + " files is a Tamsork.log record");
    }
    throw UsageError(First.Path + ": " +
                     (First.Lines == 0 ? std::string("empty, no Tamsork.log record in it")
                                       : "no line of its " + std::to_string(First.Lines) +
                                             " is a Tamsork.log record (line 1: " + Summary.Shown[0].second + ")"));
  }
  Summary.Close();
  if (O.Json) {
    Json.Finish(Summary);
  } else {
    LogText(Summary, stdout);
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App App{
      "Makes USB sticks for a Tamsork BIOS update, sums up the Tamsork.log files they bring back per machine, "
      "inspects the version marker of BIOS images, and tries an update on a simulated machine, launch after launch, "
      "as the Shell would after each reset.",
      "tamsork"};
  App.require_subcommand(1);
  App.set_version_flag("--version", "tamsork " + std::to_string(TAMSORK_PROJECT_VERSION_MAJOR) + "." +
                                        std::to_string(TAMSORK_PROJECT_VERSION_MINOR));
  App.footer(
      "Exit status: 0 when the run, inspection, report or stick was carried out, whatever the update's outcome; 1 "
      "when inspect finds no version marker; 2 for a bad command line, an image that cannot be read, a log with no "
      "record in it, or a stick refused.");

  StickOptions S;
  std::string StickDir, StickDisk, StickEfi, StickShell;
  CLI::App *StickApp = App.add_subcommand(
      "stick", "Make a USB stick (a folder or mounted stick, or a FAT disk image) that runs the update at every boot");
  StickApp->add_option("DIR", StickDir, "the mounted stick, or any folder; it must be there (nothing is made)")
      ->type_name("");
  StickApp
      ->add_option("--disk-image", StickDisk,
                   "write a FAT disk image instead, to copy to a stick byte for byte (no DIR then)")
      ->type_name("FILE");
  StickApp->add_option("--image", S.Image, "the BIOS image; on the stick under its base name")
      ->type_name("FILE")
      ->required();
  StickApp->add_option("--tool", S.Tool, "the board maker's flash tool; on the stick as H2OFFT-Sx64.efi")
      ->type_name("FILE")
      ->required();
  StickApp
      ->add_option("--efi", StickEfi,
                   std::string("Tamsork.efi to put on the stick (default: ") +
                       (DefaultEfiPath().empty() ? "none known" : DefaultEfiPath()) + ")")
      ->type_name("FILE");
  StickApp->add_option("--shell", StickShell, "an x64 UEFI Shell; on the stick as EFI\\BOOT\\BOOTX64.EFI")
      ->type_name("FILE");
  StickApp->add_flag("-b", S.Backup, "the stick runs the update with -b (backup-and-recovery mode)");
  StickApp->add_flag("-d", S.SkipVersionCheck, "the stick runs the update with -d (no version check)");
  StickApp->add_flag("--force", S.Force, "make the stick even where it holds State.dat, and remove that");

  LogOptions L;
  CLI::App *LogCommand =
      App.add_subcommand("log", "Sum up Tamsork.log files per machine: its BIOS before and after, each update and how it ended");
  LogCommand->add_option("FILE", L.Files, "Tamsork.log, as copied from the stick; several files make one report")
      ->type_name("")
      ->required();
  LogCommand->add_flag("--json", L.Json, "print the report as JSON");

  RunOptions R;
  CLI::App *RunCommand = App.add_subcommand(
      "simulate", "Carry out an update on a simulated machine and print each launch; nothing real is updated");
  RunCommand->add_option("IMAGE", R.Image, "BIOS image on the host; copied to the boot volume under its base name")
      ->type_name("")
      ->required();
  RunCommand->add_flag("-b", R.Backup, "pass -b (backup-and-recovery mode) to the application");
  RunCommand->add_flag("-d", R.SkipVersionCheck, "pass -d (no version check) to the application");
  RunCommand->add_option("--bios-version", R.BiosVersion, "SMBIOS type 0 BIOS Version string of the running BIOS")
      ->type_name("VERSION")
      ->capture_default_str();
  RunCommand->add_option("--product", R.Product, "SMBIOS type 1 Product Name")
      ->type_name("NAME")
      ->capture_default_str();
  RunCommand->add_option("--cpu", R.Cpu, "SMBIOS type 4 processor signature")
      ->type_name("SIGNATURE")
      ->capture_default_str();
  RunCommand->add_option("--mor", R.Mor, "one-byte MemoryOverwriteRequestControl variable: a byte, or none")
      ->type_name("BYTE|none")
      ->capture_default_str();
  RunCommand->add_option("--control-port", R.ControlPort, "what the board's control port 0x419F reads")
      ->type_name("BYTE")
      ->capture_default_str();
  RunCommand
      ->add_option("--keys", R.Keys,
                   "keys typed at the prompts, in order, comma-separated: single characters, enter, esc, "
                   "space, tab, backspace, comma, up, down, left, right, home, end, insert, delete, pageup, "
                   "pagedown, f1..f12")
      ->type_name("KEY,...");
  RunCommand
      ->add_option("--state", R.State,
                   "State.dat at the start: 1, 2, 3, @, A, B, G, 0xNN, empty or none; :ro after it marks the file "
                   "read-only (1:ro)")
      ->type_name("STATE")
      ->capture_default_str();
  RunCommand->add_flag("--read-only-stick", R.ReadOnlyStick,
                       "the stick is write-protected: nothing can be written to it");
  RunCommand
      ->add_option("--cwd", R.CurrentDirectory,
                   "the Shell's current directory when the application starts (FS0:\\ is the root of its stick; "
                   "empty for none)")
      ->type_name("DIR")
      ->capture_default_str();
  RunCommand
      ->add_option("--tool", R.Tool,
                   "the flash tool: flashes (the next boot runs the image's version), does-nothing, missing, or "
                   "path (in \\EFI\\Tools\\, found through the Shell's path)")
      ->type_name("TOOL")
      ->capture_default_str();
  RunCommand->add_option("--machine", R.Machine, "the machine's SMBIOS serial number")
      ->type_name("SERIAL")
      ->capture_default_str();
  RunCommand
      ->add_option("--move-at", R.Moves,
                   "carry the stick to the machine with this serial number before launch N (repeatable)")
      ->type_name("N:SERIAL");
  RunCommand
      ->add_option(
          "--launches", R.Launches,
          "launches to run at most (default: until the run stops, at most " + std::to_string(kDefaultLaunchLimit) + ")")
      ->type_name("N");
  RunCommand->add_flag("--json", R.Json, "print the transcript as JSON");

  InspectOptions I;
  CLI::App *InspectCommand =
      App.add_subcommand("inspect", "Show where an image's version marker is, and what the version gate makes of it");
  InspectCommand->add_option("IMAGE", I.Image, "BIOS image on the host")->type_name("")->required();
  InspectCommand
      ->add_option("--bios-version", I.BiosVersion,
                   "running BIOS Version string: run the application's version gate against it")
      ->type_name("VERSION");
  InspectCommand->add_flag("--json", I.Json, "print the inspection as JSON");

  if (argc < 2) {
    return Fail("a command is required: stick, log, simulate or inspect (--help shows more)");
  }
  const std::string First = argv[1];
  if (First[0] != '-' && First != "simulate" && First != "inspect" && First != "log" && First != "stick") {
    return Fail("unknown command \"" + First + "\": stick, log, simulate or inspect (--help shows more)");
  }
  const CLI::App *Command = First[0] == '-' ? &App : App.get_subcommand(First);
  const std::vector<std::string> Args(argv + (First[0] == '-' ? 1 : 2), argv + argc);
  if (const auto Unknown = UnknownOption(*Command, Args)) {
    return Fail("unknown option " + *Unknown + " (did you mean " + Nearest(*Unknown, KnownOptions(*Command)) + "?)");
  }
  try {
    App.parse(argc, argv);
    if (RunCommand->parsed()) {
      return Run(R);
    }
    if (LogCommand->parsed()) {
      return ReadLogFiles(L);
    }
    if (StickApp->parsed()) {
      const auto Given = [StickApp](const char *Name, const std::string &Value) {
        return StickApp->count(Name) > 0 ? std::optional<std::string>(Value) : std::nullopt;
      };
      S.Dir = Given("DIR", StickDir);
      S.DiskImage = Given("--disk-image", StickDisk);
      S.Efi = Given("--efi", StickEfi);
      S.Shell = Given("--shell", StickShell);
      return MakeStick(S);
    }
    return InspectImage(I);
  } catch (const CLI::Success &E) {
    return App.exit(E);
  } catch (const CLI::ExtrasError &E) {
    // CLI11 lists them last first; they are named here as typed.
    std::string Words;
    for (const std::string &W : App.remaining(true)) {
      Words += (Words.empty() ? "\"" : " \"") + W + "\"";
    }
    return Fail(First + ": unexpected " + (App.remaining(true).size() == 1 ? "word " : "words ") + Words +
                " (it takes one " + (First == "log" ? "FILE" : First == "stick" ? "DIR" : "IMAGE") + ")");
  } catch (const CLI::ParseError &E) {
    return Fail(E.what());
  } catch (const UsageError &E) {
    return Fail(E.what());
  } catch (const std::exception &E) {
    std::cerr << "tamsork: internal error: " << OneLine(E.what()) << "\n";
    return 1;
  }
}
