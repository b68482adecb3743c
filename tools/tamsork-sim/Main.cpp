// tamsork-sim: runs Tamsork on a simulated machine launch after launch and
// prints what each launch did, or inspects a BIOS image's version marker.
//
// Exit status: 0 when the run or inspection was carried out (whatever the
// update's outcome), 1 when inspect finds no version marker, 2 for a bad
// command line or an image that cannot be read.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "tools/tamsork-sim/Options.h"
#include "tools/tamsork-sim/Report.h"
#include "tools/tamsork-sim/Simulation.h"

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
  std::cerr << "tamsork-sim: " << OneLine(Message) << "\n";
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

}  // namespace

int main(int argc, char **argv) {
  CLI::App App{
      "Runs Tamsork on a simulated machine, launch after launch, as the Shell would after each reset, "
      "and inspects the version marker of BIOS images.",
      "tamsork-sim"};
  App.require_subcommand(1);
  App.footer(
      "Exit status: 0 when the run or inspection was carried out, whatever the update's outcome; 1 when inspect "
      "finds no version marker; 2 for a bad command line or an image that cannot be read.");

  RunOptions R;
  CLI::App *RunCommand = App.add_subcommand("run", "Carry out an update on a simulated machine and print each launch");
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
    return Fail("a command is required: run or inspect (--help shows more)");
  }
  if (const std::string First = argv[1]; First[0] != '-' && First != "run" && First != "inspect") {
    return Fail("unknown command \"" + First + "\": run or inspect (--help shows more)");
  }
  try {
    App.parse(argc, argv);
    if (RunCommand->parsed()) {
      return Run(R);
    }
    return InspectImage(I);
  } catch (const CLI::Success &E) {
    return App.exit(E);
  } catch (const CLI::ParseError &E) {
    return Fail(E.what());
  } catch (const UsageError &E) {
    return Fail(E.what());
  } catch (const std::exception &E) {
    std::cerr << "tamsork-sim: internal error: " << OneLine(E.what()) << "\n";
    return 1;
  }
}
