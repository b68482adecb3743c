// Whole launches with any command line: any number of words of any UCS-2
// characters, with zero, one or two Shell Parameters instances, from any of
// the states an update passes through, on a fresh machine each time.
//
// A command line outside the documented ones must end with the usage text
// and EFI_NOT_FOUND and touch nothing; a documented one must take the step
// the state calls for, keep every launch rule, and give the flash tool the
// image name as typed, as one word the Shell resolves to the image the
// version check reads.
//
// Input: an instance selector, a state selector, a key (two bytes), a word
// count, then per word a length and its characters (two bytes each).
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "app/actions/FlashTool.h"
#include "app/checks/VersionGate.h"

namespace {

using tamsork_fuzz::Input;
using namespace tamsork_reliability;

constexpr size_t kMaxWords = 6;
constexpr size_t kMaxWordLength = 127;

const FileContent kStates[] = {std::nullopt,          Bytes{},
                               Bytes{kModeEntered},   Bytes{kFlashStarted},
                               Bytes{kFlashFinished}, Bytes{kBackupRequested},
                               Bytes{kBackupReady},   Bytes{kBackupResetPending}};

// A word as the application reads it: up to its first NUL.
std::u16string AsRead(const std::u16string &Word) { return Word.substr(0, Word.find(u'\0')); }

struct Parsed {
  bool Accepted = false;
  bool Backup = false;
  bool Skip = false;  // -d
};

// The documented command lines: the image, then nothing, -b, -d, or both
// switches in either order.
Parsed Parse(const std::vector<std::u16string> &Argv) {
  std::vector<std::u16string> Words;
  for (const std::u16string &W : Argv) {
    Words.push_back(AsRead(W));
  }
  switch (Words.size()) {
    case 2: return {true, false};
    case 3:
      if (Words[2] == u"-b" || Words[2] == u"-d") {
        return {true, Words[2] == u"-b", Words[2] == u"-d"};
      }
      return {};
    case 4:
      if ((Words[2] == u"-b" && Words[3] == u"-d") || (Words[2] == u"-d" && Words[3] == u"-b")) {
        return {true, true, true};
      }
      return {};
    default: return {};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Input In(Data, Size);
  const uint8_t InstanceSelector = In.Byte();
  const int Instances = InstanceSelector % 8 == 0 ? 0 : InstanceSelector % 8 == 1 ? 1 : 2;
  const int NestedShells = InstanceSelector % 8 == 2 ? 1 : 0;
  const FileContent Before = kStates[In.Byte() % (sizeof kStates / sizeof kStates[0])];
  const char16_t Key = static_cast<char16_t>(In.Word());
  std::vector<std::u16string> Argv(In.Byte() % (kMaxWords + 1));
  for (std::u16string &Word : Argv) {
    Word = In.Chars(In.Byte() % (kMaxWordLength + 1));
  }

  sim::Firmware Fw;
  Fw.BootVolume().PutFile(kImageFile, CurrentImage());
  Fw.SetSmbiosRecords(SupportedPlatform());
  Fw.SetCommandLine(Argv);
  Fw.SetShellParameterInstances(Instances);
  Fw.SetNestedShells(NestedShells);
  if (Before) {
    Fw.BootVolume().PutFile(kStateFile, *Before);
  }
  Fw.QueueKey(sim::CharKey(Key));
  const EFI_STATUS Status = Fw.Launch();
  tamsork_fuzz::RequireNothingLeft(Fw);

  const Parsed P = Parse(Argv);
  if (Instances < 2 || !P.Accepted) {
    FUZZ_REQUIRE(Status == EFI_NOT_FOUND, "a command line outside the documented ones did not end with 0xE");
    FUZZ_REQUIRE(Fw.Events().empty(), std::string("a command line outside the documented ones reached ") +
                                          sim::EventKindName(Fw.Events().front().What));
    FUZZ_REQUIRE(StateOnMedium(Fw) == Before, "a command line outside the documented ones changed State.dat");
    const bool Usage = Fw.ConsoleText().rfind("Kestrune Version", 0) == 0;
    FUZZ_REQUIRE(Usage == (Instances == 2), Instances == 2 ? "no usage text" : "usage text without a command line");
    return 0;
  }

  // The step the state calls for; a launch that begins an update may
  // instead refuse it, for an image name that names no readable image, and
  // remove the state file; one that would start the tool with a name the
  // Shell cannot hand over leaves the state as it found it (or created it).
  const std::u16string Image = AsRead(Argv[1]);
  const Step Want = ExpectedStep(FactsOf(Fw, Image), P.Backup, Before, Key, !P.Skip);
  Allowed A{P.Backup, Before, PossibleStates(Before, Want)};
  // The tool gets the name whole, as one word.
  A.ImageArgument = Image;
  tamsork_fuzz::RequireRules(Fw, Status, A);
  return 0;
}
