// Whole launches from any State.dat content, in either mode, with or
// without the version check, with any key typed at the prompt or none, with
// or without the flash tool, on a fresh machine each time. Each must take
// exactly the step the README's tables give for the first byte and the
// record after it (bytes after the record are kept), and keep every launch
// rule, Tamsork.log's among them.
//
// Input: a flags byte (bit 0 backup, bit 1 -d, bit 2 no key typed, bit 3 no
// state file, bit 4 the record's CRC set right, bit 5 no flash tool, bit 6 a
// Tamsork.log whose last line is torn, bit 7 one whole line), the
// key's scan code and character (two bytes each), then the state file's
// content. With bit 4, bytes 101 to 104 of the content are replaced by the
// CRC-32 of bytes 1 to 100, so that mutations of a record's fields reach
// the application's reading of them instead of its CRC check.
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
constexpr uint8_t kRecordCrcFlag = 0x10;
constexpr uint8_t kNoToolFlag = 0x20;
constexpr uint8_t kTornLogFlag = 0x40;
constexpr uint8_t kWholeLogFlag = 0x80;
constexpr size_t kMaxStateSize = 1 + kRecordSize + 32;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Input In(Data, Size);
  const uint8_t Flags = In.Byte();
  const bool Backup = (Flags & kBackupFlag) != 0;
  sim::Key Key;
  Key.ScanCode = In.Word();
  Key.UnicodeChar = static_cast<char16_t>(In.Word());
  const bool Typed = (Flags & kNoKeyFlag) == 0;
  std::vector<uint8_t> Content = In.Bytes(kMaxStateSize);
  if ((Flags & kRecordCrcFlag) != 0 && Content.size() >= 1 + kRecordSize) {
    const uint32_t Crc = Crc32(Content.data() + 1, kRecordCrcOffset);
    for (size_t I = 0; I < 4; I++) {
      Content[1 + kRecordCrcOffset + I] = static_cast<uint8_t>(Crc >> (8 * I));
    }
  }
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
  if ((Flags & kNoToolFlag) != 0) {
    Fw.BootVolume().RemoveFile(sim::kFlashToolName);
  }
  const FileContent Log = (Flags & (kTornLogFlag | kWholeLogFlag)) != 0
                              ? FileContent(EarlierLog((Flags & kTornLogFlag) != 0))
                              : std::nullopt;
  if (Log) {
    Fw.BootVolume().PutFile(kLogFile, *Log);
  }
  if (Typed) {
    Fw.QueueKey(Key);
  }
  const EFI_STATUS Status = Fw.Launch();
  tamsork_fuzz::RequireNothingLeft(Fw);

  const Step Want = ExpectedStep(FactsOf(Fw), Backup, Before, Typed ? std::optional(Key.UnicodeChar) : std::nullopt,
                                 (Flags & kSkipCheckFlag) == 0);
  const Step Got = ObservedStep(Fw, Status);
  FUZZ_REQUIRE(SameStep(Got, Want), "from " + Describe(Before) + (Backup ? " in backup mode" : "") + " the launch " +
                                        DescribeStep(Got) + "; the table says it " + DescribeStep(Want));
  tamsork_fuzz::RequireRules(Fw, Status, {Backup, Before, {Want.After}, Log});
  return 0;
}
