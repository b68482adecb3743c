#include "tools/tamsork-sim/Simulation.h"

#include <algorithm>

#include "app/Tamsork.h"
#include "app/actions/ShellWord.h"
#include "app/checks/VersionGate.h"
#include "app/checks/VersionMarker.h"
#include "app/platform/Guids.h"
#include "app/state/UpdateState.h"
#include "kit/Library.h"
#include "simfw/Firmware.h"
#include "simfw/Within.h"

namespace tamsork_sim {

namespace {

constexpr uint32_t kMorAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr const char *kAppName = "Tamsork.efi";

// What the application prints at the points the run's outcome turns on.
constexpr const char *kRefusedText = "Its not allowed to update from version";
constexpr const char *kNoFileVersionText = "Check File Version";
constexpr const char *kNoDeviceVersionText = "Check Device Version";
constexpr const char *kDoneText = "BIOS Update done!";
constexpr const char *kUsageText = "Help!";
constexpr const char *kStateFileFailedText = "State.dat could not be";
constexpr const char *kWrongDirectoryText = "Please start it from";

std::string StateFileName() { return sim::ToUtf8(STATE_FILE_NAME); }

std::vector<sim::SmbiosRecord> Platform(const std::string &BiosVersion, const MachineSpec &Spec,
                                        const std::string &Serial) {
  return {sim::BiosInformation(BiosVersion), sim::SystemInformation(Spec.Product, Serial),
          sim::ProcessorInformation(Spec.CpuSignature)};
}

FileBytes MorData(const sim::Firmware &Fw) {
  const auto V = Fw.GetVariableValue(sim::kMemoryOverwriteRequestControlName, sim::kMemoryOverwriteRequestControlGuid);
  return V ? FileBytes(V->Data) : std::nullopt;
}

// What a launch may change that outlives it: the state file, the log and
// the memory-overwrite variable. The application writes nothing else.
struct Persistent {
  FileBytes State;
  std::optional<sim::Variable> Mor;
  FileBytes Log;
};

Persistent Capture(const sim::Firmware &Fw) {
  return {Fw.BootVolume().MediumFile(StateFileName()),
          Fw.GetVariableValue(sim::kMemoryOverwriteRequestControlName, sim::kMemoryOverwriteRequestControlGuid),
          Fw.BootVolume().MediumFile(kLogFileName)};
}

void Restore(sim::Firmware &Fw, const Persistent &P, bool ReadOnlyState) {
  if (P.State) {
    Fw.BootVolume().PutFile(StateFileName(), *P.State, ReadOnlyState);
  } else {
    Fw.BootVolume().RemoveFile(StateFileName());
  }
  if (P.Log) {
    Fw.BootVolume().PutFile(kLogFileName, *P.Log);
  } else {
    Fw.BootVolume().RemoveFile(kLogFileName);
  }
  if (P.Mor) {
    Fw.PutVariable(sim::kMemoryOverwriteRequestControlName, sim::kMemoryOverwriteRequestControlGuid, P.Mor->Attributes,
                   P.Mor->Data);
  } else {
    Fw.RemoveVariable(sim::kMemoryOverwriteRequestControlName, sim::kMemoryOverwriteRequestControlGuid);
  }
}

std::vector<sim::Key> ToSimKeys(const std::vector<KeyPress> &Keys) {
  std::vector<sim::Key> Out;
  for (const KeyPress &K : Keys) {
    Out.push_back({K.ScanCode, K.Char});
  }
  return Out;
}

// The firmware call at which the launch started waiting for a key that
// never came: the key wait before the first ReadKeyStroke that found the
// queue empty. KeysQueued keys were there at the start.
std::optional<uint64_t> FirstUnansweredWait(const sim::Firmware &Fw, size_t KeysQueued) {
  uint64_t Reads = 0;
  uint64_t LastWait = 0;
  for (uint64_t N = 1; N <= Fw.CallCount(); N++) {
    const sim::Service S = Fw.CallService(N);
    if (S == sim::Service::WaitForEvent) {
      LastWait = N;
    } else if (S == sim::Service::ReadKeyStroke && LastWait != 0) {
      // A read without a wait before it drops a key typed ahead: no answer.
      if (++Reads > KeysQueued) {
        return LastWait != 0 ? LastWait : N;
      }
      LastWait = 0;
    }
  }
  return std::nullopt;
}

// The call at which the launch restarts the machine: a reset, the flash tool
// (which flashes and restarts it), the board's reset request.
std::optional<uint64_t> FirstRestartCall(const sim::Firmware &Fw) {
  for (uint64_t N = 1; N <= Fw.CallCount(); N++) {
    const sim::Service S = Fw.CallService(N);
    if (S == sim::Service::ResetSystem || S == sim::Service::ShellExecute || S == sim::Service::VendorRequest) {
      return N;
    }
  }
  return std::nullopt;
}

const char *ResetName(uint8_t Type) {
  switch (Type) {
    case EfiResetCold:
      return "cold";
    case EfiResetWarm:
      return "warm";
    case EfiResetShutdown:
      return "shutdown";
    case EfiResetPlatformSpecific:
      return "platform-specific";
    default:
      return "unknown";
  }
}

bool IsOutsideEffect(sim::Event::Kind K) {
  using Kind = sim::Event::Kind;
  return K == Kind::PortWrite || K == Kind::Reset || K == Kind::Execute || K == Kind::VendorRequest ||
         K == Kind::FileCreate || K == Kind::FileCommit || K == Kind::FileDelete || K == Kind::SetVariable;
}

// The lines added to the log since it held Before. A log that no longer
// begins with what it held is shown whole.
std::vector<std::string> NewLogLines(const FileBytes &Before, const FileBytes &After, std::vector<std::string> &Notes) {
  if (!After) {
    if (Before) {
      Notes.push_back(std::string(kLogFileName) + " was removed");
    }
    return {};
  }
  size_t From = Before ? Before->size() : 0;
  if (From > After->size() || !std::equal(After->begin(), After->begin() + static_cast<std::ptrdiff_t>(From),
                                          Before->begin())) {
    Notes.push_back(std::string(kLogFileName) + " was rewritten, not appended to: all of it is shown");
    From = 0;
  }
  std::vector<std::string> Lines;
  const std::string Text(After->begin() + static_cast<std::ptrdiff_t>(From), After->end());
  for (size_t Start = 0; Start < Text.size();) {
    const size_t End = Text.find("\r\n", Start);
    Lines.push_back(Text.substr(Start, End == std::string::npos ? std::string::npos : End - Start));
    Start = End == std::string::npos ? Text.size() : End + 2;
  }
  return Lines;
}

// The launch's records from the firmware, after it returned (or stopped
// at a prompt when Waiting).
void Collect(const sim::Firmware &Fw, bool Waiting, const FileBytes &LogBefore, LaunchRecord &R) {
  R.Console = Fw.ConsoleText();
  R.LogLines = NewLogLines(LogBefore, Fw.BootVolume().MediumFile(kLogFileName), R.Notes);
  R.StateAfter = Fw.BootVolume().MediumFile(StateFileName());
  R.MorAfter = MorData(Fw);

  const sim::Event *FirstRestart = nullptr;
  std::vector<std::string> AfterRestart;
  for (const sim::Event &E : Fw.Events()) {
    using Kind = sim::Event::Kind;
    if (FirstRestart != nullptr && IsOutsideEffect(E.What)) {
      AfterRestart.push_back(sim::EventKindName(E.What));
    }
    switch (E.What) {
      case Kind::PortRead:
      case Kind::PortWrite:
        R.Ports.push_back({E.What == Kind::PortWrite, E.Port, E.Value});
        break;
      case Kind::Reset:
        if (!R.Reset) {
          R.Reset = ResetName(E.Value);
        }
        break;
      case Kind::Execute:
        R.ShellCommands.push_back(E.Text);
        break;
      default:
        break;
    }
    if (FirstRestart == nullptr &&
        (E.What == Kind::Reset || E.What == Kind::Execute || E.What == Kind::VendorRequest)) {
      FirstRestart = &E;
    }
  }
  for (const sim::VendorRequestCall &C : Fw.VendorRequests()) {
    R.VendorRequests.push_back({C.Arg2, C.Arg3, C.Arg4, C.Arg5, C.BufferSize});
  }

  if (FirstRestart != nullptr) {
    switch (FirstRestart->What) {
      case sim::Event::Kind::Reset:
        R.Restart = FirstRestart->Value == EfiResetShutdown
                        ? "the machine shuts down and is powered on again"
                        : std::string("the machine resets (") + ResetName(FirstRestart->Value) + " reset)";
        break;
      case sim::Event::Kind::Execute:
        R.Restart = "the flash tool flashes the BIOS and restarts the machine";
        break;
      default:
        R.Restart = "the board firmware resets the machine (vendor request)";
        break;
    }
  }

  for (const std::string &M : Fw.Misuses()) {
    R.Notes.push_back("firmware misuse: " + M);
  }
  if (!Fw.StdErrText().empty()) {
    R.Notes.push_back("StdErr: " + Fw.StdErrText());
  }
  if (!AfterRestart.empty()) {
    std::string Kinds;
    for (const std::string &K : AfterRestart) {
      Kinds += (Kinds.empty() ? "" : ", ") + K;
    }
    R.Notes.push_back("after the first restart request the launch went on to: " + Kinds +
                      " (a machine never gets there)");
  }
  if (Fw.BootVolume().CurrentFile(StateFileName()) != R.StateAfter) {
    R.Notes.push_back(StateFileName() + " has changes that are not on the medium; a reset loses them");
  }
  if (!Waiting) {
    if (Fw.LivePoolBlocks() != 0) {
      R.Notes.push_back(std::to_string(Fw.LivePoolBlocks()) + " pool block(s) left allocated at exit");
    }
    if (Fw.OpenFileHandles() != 0) {
      R.Notes.push_back(std::to_string(Fw.OpenFileHandles()) + " file handle(s) left open at exit");
    }
    if (Fw.BadFrees() != 0) {
      R.Notes.push_back(std::to_string(Fw.BadFrees()) + " FreePool call(s) on memory the pool never gave out");
    }
  }
}

// What the simulated flash tool did: it read the image its first argument
// names, where the Shell resolves it, and from the next boot SMBIOS reports
// the image's version. Returns that BIOS Version string, or nullopt with a
// note when nothing was flashed.
std::optional<std::string> FlashOutcome(const sim::ExecuteCall &Run, std::vector<std::string> &Notes) {
  switch (Run.FlashTool) {
    case sim::ExecuteCall::Tool::Flashed:
      return Run.FlashedVersion;
    case sim::ExecuteCall::Tool::NoImage:
      Notes.push_back("the flash tool finds no image \"" + (Run.Argv.size() >= 2 ? sim::ToUtf8(Run.Argv[1]) : "") +
                      "\": nothing flashed");
      break;
    case sim::ExecuteCall::Tool::NoMarker:
      Notes.push_back("the flashed image has no version marker: the running BIOS Version is left as it was");
      break;
    default:
      break;
  }
  return std::nullopt;
}

bool Contains(const std::string &Text, const char *Part) { return Text.find(Part) != std::string::npos; }

std::string LastLine(const std::string &Text) {
  std::string Line;
  size_t End = Text.size();
  while (End > 0) {
    const size_t Start = Text.find_last_of('\n', End - 1);
    const size_t From = Start == std::string::npos ? 0 : Start + 1;
    Line = Text.substr(From, End - From);
    while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' ')) {
      Line.pop_back();
    }
    if (!Line.empty() || Start == std::string::npos) {
      break;
    }
    End = Start;
  }
  return Line;
}

// Why the run stops after a launch that left the machine running.
StopReason Classify(const LaunchRecord &R, const MachineSpec &Spec) {
  const std::string Waiting =
      R.WaitingForKey ? "waiting for a key at \"" + LastLine(R.Console) + "\" (--keys has no more)" : "";
  const auto With = [&](const std::string &Code, const std::string &Text) {
    return StopReason{Code, Waiting.empty() ? Text : Text + "; " + Waiting};
  };
  if (Contains(R.Console, kRefusedText)) {
    return With("refused", "refused by the version gate");
  }
  if (Contains(R.Console, kNoFileVersionText)) {
    return With("no-image-version",
                "the version gate could not read the image's version (no marker, or the file did not open)");
  }
  if (Contains(R.Console, kNoDeviceVersionText)) {
    return With("no-bios-version", "the version gate could not read the running BIOS Version");
  }
  if (Contains(R.Console, kStateFileFailedText)) {
    return With("state-file", "the state file could not be read or written: \"" + LastLine(R.Console) + "\"");
  }
  if (Contains(R.Console, kWrongDirectoryText)) {
    return With("wrong-directory", "started away from the root of its volume: \"" + LastLine(R.Console) + "\"");
  }
  if (Contains(R.Console, "BIOS Update failed")) {
    return With("failed", "the update failed: \"" + LastLine(R.Console) + "\"");
  }
  if (Contains(R.Console, "begun on another machine")) {
    return With("other-machine", "refused on another machine: \"" + LastLine(R.Console) + "\"");
  }
  if (Contains(R.Console, "an update of another image")) {
    return With("other-image", "refused with another image: \"" + LastLine(R.Console) + "\"");
  }
  if (Contains(R.Console, "The flash tool H2OFFT-Sx64.efi was not found")) {
    return With("no-tool", "the flash tool is missing: \"" + LastLine(R.Console) + "\"");
  }
  if (Contains(R.Console, "a step of a") || Contains(R.Console, "which no update writes")) {
    return With("other-mode", "a state this mode does not act on: \"" + LastLine(R.Console) + "\"");
  }
  if (Contains(R.Console, kUsageText)) {
    return With("usage", "the application refused its command line (usage text)");
  }
  if (!Waiting.empty()) {
    return {"waiting-for-key", Waiting};
  }
  if (Contains(R.Console, kDoneText)) {
    return {"finished", "update finished"};
  }
  const std::string Before = StateText(R.StateBefore);
  const std::string Mode = Spec.Backup ? "backup mode" : "normal mode";
  if (Spec.Backup && Before == "G" && !R.StateAfter) {
    return {"abandoned", "update abandoned at the prompt: the state file was removed"};
  }
  if (Spec.Backup && Before == "B" && R.StateAfter == R.StateBefore) {
    return {"waiting-for-board", "waiting: state B is left to the board's own tools"};
  }
  if (R.StateAfter == R.StateBefore && R.Ports.empty() && R.VendorRequests.empty()) {
    return {"nothing-to-do", "nothing to do: state " + Before + " means nothing in " + Mode};
  }
  return {"ended", "the launch ended without restarting the machine"};
}

}  // namespace

std::vector<std::string> CommandLineOf(const MachineSpec &Spec) {
  std::vector<std::string> Argv = {kAppName, Spec.ImageName};
  if (Spec.Backup) {
    Argv.push_back("-b");
  }
  if (Spec.SkipVersionCheck) {
    Argv.push_back("-d");
  }
  return Argv;
}

std::string ShellTyped(const std::string &Word) {
  const std::u16string Word16 = sim::FromUtf8(Word);
  std::u16string Out(ShellWordLength(Word16.c_str(), SHELL_READ_ONCE) + 1, u'\0');
  WriteShellWord(Word16.c_str(), SHELL_READ_ONCE, Out.data());
  Out.pop_back();
  return sim::ToUtf8(Out);
}

std::optional<MarkerInfo> LocateMarker(const std::vector<uint8_t> &Image) {
  VERSION_MARKER Marker{};
  if (!FindVersionMarker(Image.data(), Image.size(), &Marker)) {
    return std::nullopt;
  }
  MarkerInfo Info;
  Info.AnchorOffset = Marker.AnchorOffset;
  Info.FieldOffset = Marker.FieldOffset;
  Info.Field.assign(Image.begin() + static_cast<std::ptrdiff_t>(Marker.FieldOffset),
                    Image.begin() + static_cast<std::ptrdiff_t>(Marker.FieldOffset + VERSION_FIELD_SIZE));
  Info.Major = Marker.Major;
  Info.Minor = Marker.Minor;
  return Info;
}

std::string VersionText(uint64_t Major, uint64_t Minor) {
  const std::string MinorText = std::to_string(Minor);
  return std::to_string(Major) + "." + (MinorText.size() < 2 ? "0" : "") + MinorText;
}

std::string BiosVersionString(uint64_t Major, uint64_t Minor) { return "V" + VersionText(Major, Minor); }

RunReport RunUpdate(const MachineSpec &Spec) {
  if (Spec.ImageName.empty() || Spec.ImageName.find('\\') != std::string::npos) {
    throw UsageError("IMAGE: the base name \"" + Spec.ImageName + "\" cannot be a file name on the boot volume");
  }
  std::string LowerName = Spec.ImageName;
  std::transform(LowerName.begin(), LowerName.end(), LowerName.begin(),
                 [](unsigned char C) { return static_cast<char>(C >= 'A' && C <= 'Z' ? C - 'A' + 'a' : C); });
  if (LowerName == "state.dat") {
    throw UsageError("IMAGE: " + Spec.ImageName + " is the name of the application's state file");
  }

  RunReport Report;
  Report.CommandLine = CommandLineOf(Spec);
  Report.Marker = LocateMarker(Spec.Image);

  sim::Firmware Fw;
  std::vector<std::u16string> Argv;
  for (const std::string &Word : Report.CommandLine) {
    Argv.push_back(sim::FromUtf8(Word));
  }
  Fw.SetCommandLine(Argv);
  Fw.BootVolume().PutFile(Spec.ImageName, Spec.Image);
  std::string Running = Spec.BiosVersion;
  std::string Serial = Spec.Serial;
  Fw.SetSmbiosRecords(Platform(Running, Spec, Serial));
  Fw.SetControlPort(Spec.ControlPort);
  std::optional<sim::Variable> Mor;
  if (Spec.Mor) {
    Mor = sim::Variable{kMorAttributes, {*Spec.Mor}};
  }
  Restore(Fw, {Spec.State, Mor, std::nullopt}, Spec.ReadOnlyState);
  Fw.BootVolume().SetWriteProtected(Spec.ReadOnlyStick);
  Fw.SetCurrentDirectory(sim::FromUtf8(Spec.CurrentDirectory));
  if (Spec.Tool == "does-nothing") {
    Fw.FlashTool = sim::FlashToolBehaviour::DoesNothing;
  } else if (Spec.Tool == "missing" || Spec.Tool == "path") {
    Fw.BootVolume().RemoveFile("H2OFFT-Sx64.efi");
    if (Spec.Tool == "path") {
      Fw.BootVolume().PutFile("EFI/Tools/H2OFFT-Sx64.efi", std::string("flash tool"));
      Fw.ShellVariables[u"path"] = u"FS0:\\efi\\tools\\;FS0:\\efi\\boot\\;FS0:\\";
    }
  }

  std::vector<KeyPress> Keys = Spec.Keys;  // not yet typed
  Fw.QueueKeys(ToSimKeys(Keys));
  const int Limit = Spec.Launches != 0 ? Spec.Launches : kDefaultLaunchLimit;

  for (int Number = 1;; Number++) {
    for (const MachineSpec::Move &M : Spec.Moves) {
      if (M.Launch == Number) {
        Serial = M.Serial;
        Fw.SetSmbiosRecords(Platform(Running, Spec, Serial));
      }
    }
    LaunchRecord R;
    R.Number = Number;
    R.Machine = Serial;
    R.BiosVersion = Running;
    const Persistent Before = Capture(Fw);
    R.StateBefore = Before.State;
    R.MorBefore = Before.Mor ? FileBytes(Before.Mor->Data) : std::nullopt;

    EFI_STATUS Status = Fw.Launch();
    const auto Wait = FirstUnansweredWait(Fw, Keys.size());
    if (Wait) {
      // On a machine the launch would still be sitting at the prompt. Run it
      // again from the same start with the power cut where it waits, so that
      // what it would have done with no key never reaches the record.
      // The run before the wait may have flashed: the reboot must not bring it.
      Fw.Reboot();
      Fw.SetSmbiosRecords(Platform(Running, Spec, Serial));
      Restore(Fw, Before, Spec.ReadOnlyState);
      Fw.QueueKeys(ToSimKeys(Keys));
      Fw.CutPowerAtCall(*Wait);
      Fw.Launch();
      R.WaitingForKey = true;
    } else if (const auto Restart = FirstRestartCall(Fw); Restart && *Restart < Fw.CallCount()) {
      // The machine restarts there: the same start again, the power gone
      // right after that call, so that nothing after it is recorded.
      Fw.Reboot();
      Fw.ClearKeys();
      Fw.SetSmbiosRecords(Platform(Running, Spec, Serial));
      Restore(Fw, Before, Spec.ReadOnlyState);
      Fw.QueueKeys(ToSimKeys(Keys));
      Fw.CutPowerAtCall(*Restart + 1);
      Fw.Launch();
    } else {
      R.ExitStatus = Status;
    }
    const size_t Read = Keys.size() - Fw.KeysLeft();
    R.KeysRead.assign(Keys.begin(), Keys.begin() + static_cast<std::ptrdiff_t>(Read));
    Keys.erase(Keys.begin(), Keys.begin() + static_cast<std::ptrdiff_t>(Read));
    Collect(Fw, R.WaitingForKey, Before.Log, R);

    if (!R.WaitingForKey && !R.ShellCommands.empty()) {
      // The firmware brings the flashed version at the next Reboot().
      if (auto Flashed = FlashOutcome(Fw.Executions().front(), R.Notes)) {
        R.FlashedTo = *Flashed;
        Running = *Flashed;
      }
    }
    Report.Launches.push_back(R);

    if (R.WaitingForKey || R.Restart.empty()) {
      Report.Stop = Classify(R, Spec);
      break;
    }
    // Nothing the next launch starts from has changed: it would do the same.
    if (R.StateAfter == R.StateBefore && R.MorAfter == R.MorBefore && R.KeysRead.empty() && Running == R.BiosVersion) {
      Report.Stop = {"repeating",
                     "the next launch would repeat this one (the state file and everything else it reads are "
                     "unchanged): the machine would restart for ever"};
      break;
    }
    if (Number >= Limit) {
      Report.Stop =
          Spec.Launches != 0
              ? StopReason{"launch-limit", "stopped after " + std::to_string(Number) + " launches (--launches)"}
              : StopReason{"launch-limit", "stopped after " + std::to_string(Number) +
                                               " launches without the update ending (raise --launches)"};
      break;
    }
    Fw.Reboot();
  }

  Report.FinalBiosVersion = Running;
  Report.FinalState = Fw.BootVolume().MediumFile(StateFileName());
  Report.FinalMor = MorData(Fw);
  Report.KeysLeft = Keys;
  return Report;
}

namespace {

// The version gate alone, in a launch: the command line, then
// CheckVersions as HelperMain calls it.
EFI_STATUS GateInLaunch() {
  gShellParameters = NULL;
  EFI_STATUS Status = gBS->OpenProtocol(gImageHandle, &gEfiShellParametersProtocolGuid, (VOID **)&gShellParameters,
                                        gImageHandle, NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status) || gShellParameters == NULL) {
    return EFI_NOT_FOUND;
  }
  MACHINE_FACTS Machine;
  ReadMachineFacts(&Machine);
  IMAGE_FACTS Image;
  const BOOLEAN Read = ReadImage(gImageHandle, gST, gShellParameters->Argv[1], &Image) == EFI_SUCCESS;
  return CheckVersions(FALSE, &Machine, &Image, Read);
}

GateResult RunGate(const std::string &ImageName, const std::vector<uint8_t> &Image, const std::string &BiosVersion) {
  GateResult G;
  G.BiosVersion = BiosVersion;
  UINTN Major = 0;
  UINTN Minor = 0;
  G.Readable = ReadDeviceVersion(BiosVersion.c_str(), BiosVersion.size(), &Major, &Minor);
  G.RunningMajor = Major;
  G.RunningMinor = Minor;

  sim::Firmware Fw;
  Fw.SetCommandLine({sim::FromUtf8(kAppName), sim::FromUtf8(ImageName)});
  Fw.BootVolume().PutFile(ImageName, Image);
  MachineSpec Defaults;
  Fw.SetSmbiosRecords(Platform(BiosVersion, Defaults, Defaults.Serial));
  // A refusing gate waits for a key before it ends.
  Fw.QueueKey(sim::EnterKey());
  if (sim::LaunchWithin(Fw, &GateInLaunch) == EFI_SUCCESS) {
    G.Allowed = true;
  } else {
    const std::string Console = Fw.ConsoleText();
    G.Message = Console.substr(0, Console.find('\n'));
    while (!G.Message.empty() && G.Message.back() == '\r') {
      G.Message.pop_back();
    }
  }
  return G;
}

}  // namespace

InspectReport Inspect(const std::string &ImagePath, const std::vector<uint8_t> &Image,
                      const std::optional<std::string> &BiosVersion) {
  InspectReport Report;
  Report.ImagePath = ImagePath;
  Report.ImageSize = Image.size();
  Report.Marker = LocateMarker(Image);
  if (BiosVersion) {
    // The gate reads the image under a plain name: what it reads does not
    // depend on the host file's name.
    Report.Gate = RunGate("bios.bin", Image, *BiosVersion);
  }
  return Report;
}

std::string StatusName(uint64_t Status) {
  static const char *const kErrors[] = {
      nullptr,
      "LOAD_ERROR",
      "INVALID_PARAMETER",
      "UNSUPPORTED",
      "BAD_BUFFER_SIZE",
      "BUFFER_TOO_SMALL",
      "NOT_READY",
      "DEVICE_ERROR",
      "WRITE_PROTECTED",
      "OUT_OF_RESOURCES",
      "VOLUME_CORRUPTED",
      "VOLUME_FULL",
      "NO_MEDIA",
      "MEDIA_CHANGED",
      "NOT_FOUND",
      "ACCESS_DENIED",
      "NO_RESPONSE",
      "NO_MAPPING",
      "TIMEOUT",
      "NOT_STARTED",
      "ALREADY_STARTED",
      "ABORTED",
      "ICMP_ERROR",
      "TFTP_ERROR",
      "PROTOCOL_ERROR",
      "INCOMPATIBLE_VERSION",
      "SECURITY_VIOLATION",
      "CRC_ERROR",
      "END_OF_MEDIA",
      nullptr,
      nullptr,
      "END_OF_FILE",
      "INVALID_LANGUAGE",
      "COMPROMISED_DATA",
      "IP_ADDRESS_CONFLICT",
      "HTTP_ERROR",
  };
  static const char *const kWarnings[] = {
      nullptr,           "WARN_UNKNOWN_GLYPH", "WARN_DELETE_FAILURE", "WARN_WRITE_FAILURE", "WARN_BUFFER_TOO_SMALL",
      "WARN_STALE_DATA", "WARN_FILE_SYSTEM",   "WARN_RESET_REQUIRED",
  };
  constexpr uint64_t kErrorBit = 1ull << 63;
  if (Status == 0) {
    return "EFI_SUCCESS";
  }
  const uint64_t Code = Status & ~kErrorBit;
  const char *Name = nullptr;
  if ((Status & kErrorBit) != 0 && Code < std::size(kErrors)) {
    Name = kErrors[Code];
  } else if ((Status & kErrorBit) == 0 && Code < std::size(kWarnings)) {
    Name = kWarnings[Code];
  }
  return Name != nullptr ? std::string("EFI_") + Name : Hex(Status, 16);
}

}  // namespace tamsork_sim
