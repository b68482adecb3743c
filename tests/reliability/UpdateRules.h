// What every launch of an update must respect, whatever the firmware does:
// the rules the fault sweep, the power-cut sweep and the fuzz targets check
// after each launch. No test framework here, so the fuzz targets share it;
// a broken rule comes back as a Violation to report.
//
// The rules:
// - the exit status is EFI_SUCCESS or an error: EFI_NOT_FOUND, or the failure
//   of a state file that could not be read or written;
// - nothing is left behind: no pool block, no open file handle, no free of a
//   foreign pointer, no call the firmware had to refuse as a misuse;
// - State.dat ends up holding one of the contents the launch may leave;
// - the board is signalled and reset, the flash tool started and the vendor
//   reset requested only once the state byte that records the step is on
//   the medium and its file closed: otherwise a cut or a failed write would
//   make the next launch repeat the step or skip the next one;
// - the flash tool is handed the image file name as one word that the Shell
//   resolves to the file the version check read.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "simfw/Firmware.h"

namespace tamsork_reliability {

using Bytes = std::vector<uint8_t>;
// What a volume holds at a path: nullopt when there is no file.
using FileContent = std::optional<Bytes>;

// The state bytes.
constexpr uint8_t kModeEntered = '1';
constexpr uint8_t kFlashStarted = '2';
constexpr uint8_t kFlashFinished = '3';
constexpr uint8_t kBackupRequested = '@';
constexpr uint8_t kBackupReady = 'A';
constexpr uint8_t kBackupFlashStarted = 'B';
constexpr uint8_t kBackupResetPending = 'G';

constexpr uint16_t kBoardUpdatePort = 0x41C0;
constexpr uint8_t kBoardUpdateFirst = 0xAA;
constexpr uint8_t kBoardUpdateSecond = 0x66;
constexpr uint16_t kBoardControlPort = 0x419F;
constexpr uint8_t kBackupRequestBit = 0x02;
inline const std::string kStateFile = "State.dat";
inline const std::string kImageFile = "bios.bin";
inline const std::string kFlashCommandPrefix = "H2OFFT-Sx64.efi ";
inline const std::string kDoneText = "BIOS Update done!";

inline std::string Describe(const FileContent &C) {
  if (!C) {
    return "no file";
  }
  if (C->empty()) {
    return "empty file";
  }
  std::string Text = "\"";
  for (uint8_t B : *C) {
    if (B >= 0x20 && B < 0x7F) {
      Text += static_cast<char>(B);
    } else {
      char Hex[8];
      std::snprintf(Hex, sizeof Hex, "\\x%02X", B);
      Text += Hex;
    }
  }
  return Text + "\"";
}

// An image whose version marker reads 1.05, the version the platform runs.
inline std::string CurrentImage() {
  return std::string(64, '\x5A') + "$BVDT" + std::string(16, '\0') + "$.a1.05" + std::string(64, '\xA5');
}

// A supported platform (product, processor) running V1.05.
inline std::vector<sim::SmbiosRecord> SupportedPlatform() {
  return {sim::BiosInformation("V1.05"), sim::SystemInformation("KVX4720"), sim::ProcessorInformation(0x000806E9)};
}

// One launch of the update as an operator makes it: the mode, the state
// file it finds, and the keys typed at its prompt. No key stands for a
// keyboard read that fails.
struct Launch {
  std::string Name;
  bool Backup = false;
  FileContent State;
  std::vector<sim::Key> Keys;

  std::vector<std::u16string> Argv() const {
    std::vector<std::u16string> Words = {u"Tamsork.efi", u"bios.bin"};
    if (Backup) {
      Words.push_back(u"-b");
    }
    return Words;
  }
};

// Every state a launch can find, in both modes, with the keys of each prompt.
inline std::vector<Launch> AllLaunches() {
  struct StateCase {
    const char *Name;
    FileContent State;
  };
  const std::vector<StateCase> States = {
      {"none", std::nullopt}, {"empty", Bytes{}},  {"'1'", Bytes{'1'}}, {"'2'", Bytes{'2'}}, {"'3'", Bytes{'3'}},
      {"'@'", Bytes{'@'}},    {"'A'", Bytes{'A'}}, {"'B'", Bytes{'B'}}, {"'G'", Bytes{'G'}},
  };
  std::vector<Launch> Out;
  for (bool Backup : {false, true}) {
    for (const StateCase &S : States) {
      const std::string Name = std::string(Backup ? "backup " : "normal ") + S.Name;
      const bool Prompts = Backup && S.State && S.State->size() == 1 &&
                           ((*S.State)[0] == kBackupRequested || (*S.State)[0] == kBackupResetPending);
      if (!Prompts) {
        Out.push_back({Name, Backup, S.State, {}});
        continue;
      }
      if ((*S.State)[0] == kBackupResetPending) {
        Out.push_back({Name + ", key 'y'", Backup, S.State, {sim::CharKey(u'y')}});
      }
      Out.push_back({Name + ", key 'n'", Backup, S.State, {sim::CharKey(u'n')}});
      Out.push_back({Name + ", failed key read", Backup, S.State, {}});
    }
  }
  return Out;
}

// A fresh machine for L: the image and a supported platform running the
// same version, a memory-overwrite request to clear, and the state file.
inline void PrepareMachine(sim::Firmware &Fw, const Launch &L) {
  Fw.SetCommandLine(L.Argv());
  Fw.BootVolume().PutFile(kImageFile, CurrentImage());
  Fw.SetSmbiosRecords(SupportedPlatform());
  Fw.PutVariable(sim::kMemoryOverwriteRequestControlName, sim::kMemoryOverwriteRequestControlGuid,
                 EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS, {0xFF});
  if (L.State) {
    Fw.BootVolume().PutFile(kStateFile, *L.State);
  }
  Fw.QueueKeys(L.Keys);
}

inline FileContent StateOnMedium(const sim::Firmware &Fw) { return Fw.BootVolume().MediumFile(kStateFile); }

// ---------------------------------------------------------------- what a launch should do

// The update's steps, from the state found and the key typed (the README's
// table). Written once here so the sweeps can confirm each clean launch and
// the fuzz targets can judge any state file.
struct Step {
  FileContent After;         // State.dat on the medium afterwards
  bool Signals = false;      // board signalled and machine reset
  bool Flashes = false;      // flash tool started
  bool ResetsBoard = false;  // vendor reset requested
  bool Done = false;         // "BIOS Update done!"
};

inline Step ExpectedStep(bool Backup, const FileContent &Before, char16_t Key) {
  auto WithFirst = [&](uint8_t B) {
    Bytes After = Before && !Before->empty() ? *Before : Bytes{};
    if (After.empty()) {
      After.push_back(B);
    } else {
      After[0] = B;
    }
    return After;
  };
  if (!Before || Before->empty()) {
    return {WithFirst(Backup ? kBackupRequested : kModeEntered), true};
  }
  const uint8_t B = (*Before)[0];
  if (!Backup) {
    switch (B) {
      case kModeEntered: return {WithFirst(kFlashStarted), false, true};
      case kFlashStarted: return {WithFirst(kFlashFinished), false, false, true};
      case kFlashFinished: return {std::nullopt, false, false, false, true};
      default: return {Before};
    }
  }
  switch (B) {
    case kBackupRequested: return {WithFirst(kBackupResetPending), false, false, true};
    case kBackupReady: return {WithFirst(kBackupFlashStarted), false, true};
    case kBackupResetPending: return Key == u'y' ? Step{WithFirst(kBackupRequested), true} : Step{std::nullopt};
    default: return {Before};
  }
}

// ---------------------------------------------------------------- judging a launch

struct Violation {
  std::string Rule;
  std::string Detail;
};

// What a launch may leave and take.
struct Allowed {
  bool Backup = false;
  FileContent Before;              // State.dat on the medium when the launch began
  std::vector<FileContent> After;  // contents State.dat may be left with
  size_t LeakedBlocks = 0;         // pool blocks a refused FreePool leaves behind
  bool AssertionReports = false;   // the kit reports a refused FreePool on StdErr
  // The image file name the flash tool must be given; nullopt when the
  // command line is not judged.
  std::optional<std::u16string> ImageArgument = u"bios.bin";
};

namespace detail {

inline bool IsStateFile(const sim::Event &E) {
  if (E.VolumeLabel != "boot") {
    return false;
  }
  const std::string Want = "\\" + kStateFile;
  return E.Path.size() == Want.size() && std::equal(E.Path.begin(), E.Path.end(), Want.begin(), [](char A, char B) {
           return std::tolower(static_cast<unsigned char>(A)) == std::tolower(static_cast<unsigned char>(B));
         });
}

// The state byte an action needs on the medium first.
inline std::optional<uint8_t> Announcing(const sim::Event &E, bool Backup) {
  switch (E.What) {
    case sim::Event::Kind::PortWrite:
    case sim::Event::Kind::Reset: return Backup ? kBackupRequested : kModeEntered;
    case sim::Event::Kind::Execute: return Backup ? kBackupFlashStarted : kFlashStarted;
    case sim::Event::Kind::VendorRequest: return Backup ? kBackupResetPending : kFlashFinished;
    default: return std::nullopt;
  }
}

// A path from the root with "." and ".." taken out and empty parts
// dropped, in lower case: "\\dir\\file".
inline std::string NormalPath(const std::string &Path) {
  std::vector<std::string> Parts;
  std::string Part;
  for (size_t I = 0; I <= Path.size(); I++) {
    if (I == Path.size() || Path[I] == '\\') {
      if (Part == "..") {
        if (!Parts.empty()) {
          Parts.pop_back();
        }
      } else if (!Part.empty() && Part != ".") {
        Parts.push_back(Part);
      }
      Part.clear();
    } else {
      Part += static_cast<char>(std::tolower(static_cast<unsigned char>(Path[I])));
    }
  }
  std::string Out;
  for (const std::string &P : Parts) {
    Out += "\\" + P;
  }
  return Out.empty() ? "\\" : Out;
}

inline std::string ActionName(const sim::Event &E) {
  char Text[64];
  switch (E.What) {
    case sim::Event::Kind::PortWrite:
      std::snprintf(Text, sizeof Text, "port write %04X=%02X", E.Port, E.Value);
      return Text;
    case sim::Event::Kind::Reset: return "machine reset";
    case sim::Event::Kind::Execute: return "flash tool run";
    case sim::Event::Kind::VendorRequest: return "vendor reset request";
    default: return sim::EventKindName(E.What);
  }
}

}  // namespace detail

// Replays the launch's file events on State.dat from what the medium held
// at the start, and checks each outward action against what the medium
// held at that moment.
inline void CheckAnnounced(const sim::Firmware &Fw, const Allowed &A, std::vector<Violation> &Out) {
  FileContent Medium = A.Before;
  std::optional<Bytes> Cache;      // written, not yet committed
  bool Committed = false;          // a byte reached the medium in this launch
  bool ClosedSinceCommit = false;  // and its handle was closed after that
  for (const sim::Event &E : Fw.Events()) {
    if (detail::IsStateFile(E)) {
      switch (E.What) {
        case sim::Event::Kind::FileCreate:
          Medium = Bytes{};
          Cache.reset();
          break;
        case sim::Event::Kind::FileWrite: {
          if (!Cache) {
            Cache = Medium.value_or(Bytes{});
          }
          if (Cache->size() < E.Offset + E.Bytes.size()) {
            Cache->resize(E.Offset + E.Bytes.size(), 0);
          }
          std::copy(E.Bytes.begin(), E.Bytes.end(), Cache->begin() + static_cast<std::ptrdiff_t>(E.Offset));
          ClosedSinceCommit = false;
          break;
        }
        case sim::Event::Kind::FileCommit:
          Medium = Cache.value_or(Medium.value_or(Bytes{}));
          Cache.reset();
          Committed = true;
          ClosedSinceCommit = false;
          break;
        case sim::Event::Kind::FileClose:
          // A close that commits shows a FileCommit first; what is still
          // cached now never reaches the medium.
          Cache.reset();
          ClosedSinceCommit = Committed;
          break;
        case sim::Event::Kind::FileDelete:
          Medium.reset();
          Cache.reset();
          Committed = false;
          break;
        default: break;
      }
      continue;
    }
    const auto Needed = detail::Announcing(E, A.Backup);
    if (!Needed) {
      continue;
    }
    const bool OnMedium = Medium && !Medium->empty() && (*Medium)[0] == *Needed;
    if (!OnMedium || !Committed || !ClosedSinceCommit) {
      Out.push_back({"announced: " + detail::ActionName(E),
                     detail::ActionName(E) + " (event " + std::to_string(E.Seq) + ") with State.dat holding " +
                         Describe(Medium) + (Cache ? " and uncommitted writes" : "") +
                         (OnMedium && !ClosedSinceCommit ? ", file not closed" : "") + "; needs '" +
                         std::string(1, static_cast<char>(*Needed)) + "' written and closed first"});
    }
  }
  // The replay must agree with the medium, or the check above means nothing.
  if (Medium != StateOnMedium(Fw)) {
    Out.push_back({"replay", "file events replay to " + Describe(Medium) + " but the medium holds " +
                                 Describe(StateOnMedium(Fw))});
  }
}

// What a launch that stops part-way (a failing call, a power cut) may leave
// in State.dat: what it found, what the whole launch leaves, and, for a
// launch that begins an update (whose version check removes the file when it
// cannot pass) or removes the file anyway, no file; a state file it had to
// create may stay empty.
inline std::vector<FileContent> PossibleStates(const FileContent &Before, const Step &Whole) {
  std::vector<FileContent> States = {Before, Whole.After};
  if (Whole.Signals || !Whole.After) {
    States.push_back(std::nullopt);
  }
  if (!Before || Before->empty()) {
    States.push_back(Bytes{});
  }
  return States;
}

// Every rule for the launch just made.
inline std::vector<Violation> CheckLaunch(const sim::Firmware &Fw, EFI_STATUS Status, const Allowed &A) {
  std::vector<Violation> Out;
  if (Status != EFI_SUCCESS && !EFI_ERROR(Status)) {
    char Text[48];
    std::snprintf(Text, sizeof Text, "exit status 0x%llX", static_cast<unsigned long long>(Status));
    Out.push_back({"exit status", Text});
  }
  if (Fw.LivePoolBlocks() > A.LeakedBlocks) {
    Out.push_back({"pool", std::to_string(Fw.LivePoolBlocks()) + " pool block(s) left allocated"});
  }
  if (Fw.OpenFileHandles() != 0) {
    Out.push_back({"file handles", std::to_string(Fw.OpenFileHandles()) + " file handle(s) left open"});
  }
  if (Fw.BadFrees() != 0) {
    Out.push_back({"bad frees", std::to_string(Fw.BadFrees()) + " free(s) of foreign pointers"});
  }
  for (const std::string &M : Fw.Misuses()) {
    Out.push_back({"misuse", M});
  }
  if (!A.AssertionReports && !Fw.StdErrText().empty()) {
    Out.push_back({"assertion", Fw.StdErrText()});
  }
  const FileContent After = StateOnMedium(Fw);
  if (std::find(A.After.begin(), A.After.end(), After) == A.After.end()) {
    std::string Choices;
    for (const FileContent &C : A.After) {
      Choices += (Choices.empty() ? "" : ", ") + Describe(C);
    }
    Out.push_back({"state file", "State.dat holds " + Describe(After) + "; allowed: " + Choices});
  }
  if (Fw.OtherVolume().Exists(kStateFile)) {
    Out.push_back({"state file", "State.dat written to the Shell's current volume"});
  }
  for (const sim::ExecuteCall &Run : Fw.Executions()) {
    if (!A.ImageArgument) {
      continue;
    }
    // The tool's one argument is the name, and the Shell finds it where
    // the version check read it: the root of the application's volume.
    const std::vector<std::u16string> Want = {sim::FromUtf8(kFlashCommandPrefix.substr(0, kFlashCommandPrefix.size() - 1)),
                                              *A.ImageArgument};
    // (A name that names no file there never passes the version check, so
    // only a state placed from outside can bring it to the tool.)
    const std::string Image = detail::NormalPath(sim::ToUtf8(*A.ImageArgument));
    const bool Readable = Image.find(':') == std::string::npos && Fw.BootVolume().MediumFile(Image).has_value();
    const bool SameFile =
        !Readable || (Run.ArgumentVolume == "boot" && detail::NormalPath(Run.ArgumentPath) == Image);
    if (Run.Argv != Want || !SameFile) {
      Out.push_back({"flash command", "ran \"" + sim::ToUtf8(Run.CommandLine) + "\" (the tool opens " +
                                          Run.ArgumentVolume + ":" + Run.ArgumentPath + ") for the image \"" +
                                          sim::ToUtf8(*A.ImageArgument) + "\""});
    }
  }
  CheckAnnounced(Fw, A, Out);
  return Out;
}

// The outward effects of the launch just made, in the terms of Step.
inline Step ObservedStep(const sim::Firmware &Fw) {
  Step S;
  S.After = StateOnMedium(Fw);
  for (const auto &[Port, Value] : Fw.PortWrites()) {
    S.Signals = S.Signals || (Port == kBoardUpdatePort && Value == kBoardUpdateFirst);
  }
  S.Signals = S.Signals && Fw.ResetRequested();
  S.Flashes = !Fw.Executions().empty();
  S.ResetsBoard = !Fw.VendorRequests().empty();
  S.Done = Fw.ConsoleText().find(kDoneText) != std::string::npos;
  return S;
}

inline std::string DescribeStep(const Step &S) {
  std::string Text = "leaves " + Describe(S.After);
  if (S.Signals) Text += ", signals the board";
  if (S.Flashes) Text += ", runs the flash tool";
  if (S.ResetsBoard) Text += ", requests the vendor reset";
  if (S.Done) Text += ", prints done";
  return Text;
}

inline bool SameStep(const Step &A, const Step &B) {
  return A.After == B.After && A.Signals == B.Signals && A.Flashes == B.Flashes && A.ResetsBoard == B.ResetsBoard &&
         A.Done == B.Done;
}

}  // namespace tamsork_reliability
