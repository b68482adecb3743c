// Whole launches from any State.dat content, in either mode, with or
// without the version check, with any key typed at the prompt, on a fresh
// machine each time. Each must take exactly the step the README's table
// gives for the first byte (bytes after it are kept), and keep every launch
// rule.
//
// Input: a flags byte (bit 0 backup, bit 1 -d, bit 2 no key typed, bit 3 no
// state file), the key's scan code and character (two bytes each), then the
// state file's content.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"

namespace {

using tamsork_fuzz::Input;
using namespace tamsork_reliability;

constexpr uint8_t kBackupFlag = 0x01;
constexpr uint8_t kSkipCheckFlag = 0x02;
constexpr uint8_t kNoKeyFlag = 0x04;
constexpr uint8_t kNoFileFlag = 0x08;
constexpr size_t kMaxStateSize = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Input In(Data, Size);
  const uint8_t Flags = In.Byte();
  const bool Backup = (Flags & kBackupFlag) != 0;
  sim::Key Key;
  Key.ScanCode = In.Word();
  Key.UnicodeChar = static_cast<char16_t>(In.Word());
  const bool Typed = (Flags & kNoKeyFlag) == 0;
  const std::vector<uint8_t> Content = In.Bytes(kMaxStateSize);
  const FileContent Before = (Flags & kNoFileFlag) != 0 ? FileContent() : FileContent(Content);

  std::vector<std::u16string> Argv = {u"Tamsork.efi", u"bios.bin"};
  if (Backup) {
    Argv.push_back(u"-b");
  }
  if ((Flags & kSkipCheckFlag) != 0) {
    Argv.push_back(u"-d");
  }

  sim::Firmware Fw;
  Fw.BootVolume().PutFile(kImageFile, CurrentImage());
  Fw.SetSmbiosRecords(SupportedPlatform());
  Fw.SetCommandLine(Argv);
  if (Before) {
    Fw.BootVolume().PutFile(kStateFile, *Before);
  }
  if (Typed) {
    Fw.QueueKey(Key);
  }
  const EFI_STATUS Status = Fw.Launch();
  tamsork_fuzz::RequireNothingLeft(Fw);

  // A failed key read gives no character, as any key other than 'y' does.
  const Step Want = ExpectedStep(Backup, Before, Typed ? Key.UnicodeChar : 0);
  const Step Got = ObservedStep(Fw);
  FUZZ_REQUIRE(SameStep(Got, Want), "from " + Describe(Before) + (Backup ? " in backup mode" : "") + " the launch " +
                                        DescribeStep(Got) + "; the table says it " + DescribeStep(Want));
  FUZZ_REQUIRE(Status == EFI_SUCCESS, "exit status of a launch without faults");
  tamsork_fuzz::RequireRules(Fw, Status, {Backup, Before, {Want.After}});
  return 0;
}
