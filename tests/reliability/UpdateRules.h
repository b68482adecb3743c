// What every launch of an update must respect, whatever the firmware does:
// the rules the fault sweep, the power-cut sweep and the fuzz targets check
// after each launch. No test framework here, so the fuzz targets share it;
// a broken rule comes back as a Violation to report.
//
// The rules:
// - the exit status is EFI_SUCCESS or an error, or what the Shell handed
//   back for a flash tool that ran; never EFI_SUCCESS after a reset the
//   launch announced and that did not come (a reset request that returned);
// - nothing is left behind: no pool block, no open file handle, no free of a
//   foreign pointer, no call the firmware had to refuse as a misuse, no
//   protocol opened under an agent other than the application's image
//   (firmware releases only the image's own opens when it exits);
// - State.dat ends up holding one of the contents the launch may leave: its
//   first byte, then the bytes it held or a well-formed record of this
//   machine and this image;
// - the board is signalled and reset, the memory-overwrite request cleared,
//   the flash tool started and the vendor reset requested only once the
//   state byte that records the step is on the medium and its file closed:
//   otherwise a cut or a failed write would make the next launch repeat the
//   step or skip the next one;
// - the flash tool is handed the image file name as one word that the Shell
//   resolves to the file the version check read, and '2' or 'B' is written
//   only where the Shell finds the tool;
// - nothing at all is done on a machine other than the one State.dat's
//   record names, and the tool is never started on an image other than the
//   recorded one;
// - a line beginning "BIOS Update done!" is printed only where the running
//   BIOS version equals the image's, or the line says the version was not
//   checked, which it says only where the first start did not check it, and
//   one beginning "BIOS Update failed" only where both were read and differ.
// - Tamsork.log only grows, by one record line at most (two where the
//   launch started the tool or asked for the board's reset and got control
//   back: the second says how that ended), begun on a line of
//   its own and naming the state the launch found; the line reaches the
//   medium after the state byte it names and before the step: no board
//   signal, reset, flash tool or vendor request comes before it, nor the
//   removal of State.dat where that is its step, and State.dat changes
//   after it only by the removal it announces.
#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
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
inline const std::string kUncheckedText = "The version was not checked";
inline const std::string kFailedText = "BIOS Update failed";

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

// ---------------------------------------------------------------- the record after the state byte

// State.dat from offset 1, as the first start of an update writes it, laid
// out here from its description (not from the application's code): "TSKR",
// format 1, which fields are set, the serial number's length, the UUID at 8,
// the serial number at 24 (up to 64 bytes), the image's size at 88 and
// CRC-32 at 96, and at 100 a CRC-32 of the bytes before it; little-endian.
// A flag says whether that start compared the versions.
constexpr size_t kRecordSize = 104;
constexpr size_t kRecordCrcOffset = 100;
constexpr size_t kSerialMax = 64;
constexpr uint8_t kHasUuid = 0x01, kHasSerial = 0x02, kHasImage = 0x04, kChecked = 0x08;

using Uuid = std::array<uint8_t, 16>;
struct ImageId {
  uint64_t Size = 0;
  uint32_t Crc = 0;
  bool operator==(const ImageId &) const = default;
};
struct MachineId {
  std::optional<Uuid> Id;  // nullopt: none recorded, or the board leaves it unset
  std::string Serial;      // empty: none
  bool operator==(const MachineId &) const = default;
};
struct Record {
  MachineId Machine;
  std::optional<ImageId> Image;
  bool Checked = false;
  bool operator==(const Record &) const = default;
};

// CRC-32 of IEEE 802.3 (reflected 0xEDB88320, all ones in and out), bit by
// bit: no table shared with the firmware.
inline uint32_t Crc32(const uint8_t *Data, size_t Size) {
  uint32_t C = 0xFFFFFFFFU;
  for (size_t I = 0; I < Size; I++) {
    C ^= Data[I];
    for (int Bit = 0; Bit < 8; Bit++) {
      C = (C >> 1) ^ (0xEDB88320U & (0U - (C & 1U)));
    }
  }
  return ~C;
}

inline ImageId IdOf(const Bytes &Image) { return {Image.size(), Crc32(Image.data(), Image.size())}; }

inline uint64_t LittleEndian(const uint8_t *P, size_t Size) {
  uint64_t V = 0;
  for (size_t I = 0; I < Size; I++) {
    V |= static_cast<uint64_t>(P[I]) << (8 * I);
  }
  return V;
}

inline Bytes EncodeRecord(const Record &R) {
  Bytes B(kRecordSize, 0);
  auto Put = [&](size_t At, uint64_t V, size_t Size) {
    for (size_t I = 0; I < Size; I++) {
      B[At + I] = static_cast<uint8_t>(V >> (8 * I));
    }
  };
  std::copy_n("TSKR", 4, B.begin());
  B[4] = 1;
  if (R.Machine.Id) {
    B[5] |= kHasUuid;
    std::copy(R.Machine.Id->begin(), R.Machine.Id->end(), B.begin() + 8);
  }
  if (!R.Machine.Serial.empty()) {
    B[5] |= kHasSerial;
    B[6] = static_cast<uint8_t>(R.Machine.Serial.size());
    std::copy(R.Machine.Serial.begin(), R.Machine.Serial.end(), B.begin() + 24);
  }
  if (R.Image) {
    B[5] |= kHasImage;
    Put(88, R.Image->Size, 8);
    Put(96, R.Image->Crc, 4);
  }
  B[5] |= R.Checked ? kChecked : 0;
  Put(kRecordCrcOffset, Crc32(B.data(), kRecordCrcOffset), 4);
  return B;
}

// State.dat holding byte B and then R.
inline Bytes WithRecord(uint8_t B, const Record &R) {
  Bytes S = EncodeRecord(R);
  S.insert(S.begin(), B);
  return S;
}

// The record after State's first byte; none when the file is too short,
// the magic, format or CRC do not match (a torn write), or flags or the
// serial length are not ones a record can carry.
inline std::optional<Record> DecodeRecord(const FileContent &State) {
  if (!State || State->size() < 1 + kRecordSize) {
    return std::nullopt;
  }
  const uint8_t *P = State->data() + 1;
  const uint8_t Flags = P[5], Length = P[6];
  if (!std::equal(P, P + 4, "TSKR") || P[4] != 1 || (Flags & ~(kHasUuid | kHasSerial | kHasImage | kChecked)) != 0 ||
      Length > kSerialMax || ((Flags & kHasSerial) != 0) != (Length != 0) ||
      LittleEndian(P + kRecordCrcOffset, 4) != Crc32(P, kRecordCrcOffset)) {
    return std::nullopt;
  }
  Record R;
  if ((Flags & kHasUuid) != 0) {
    R.Machine.Id.emplace();
    std::copy_n(P + 8, 16, R.Machine.Id->begin());
  }
  R.Machine.Serial.assign(P + 24, P + 24 + Length);
  if ((Flags & kHasImage) != 0) {
    R.Image = ImageId{LittleEndian(P + 88, 8), static_cast<uint32_t>(LittleEndian(P + 96, 4))};
  }
  R.Checked = (Flags & kChecked) != 0;
  return R;
}

// Whether Now is the machine Recorded was taken on: each field recorded is
// there and the same; a record of neither fits any machine.
inline bool SameMachine(const MachineId &Recorded, const MachineId &Now) {
  return (!Recorded.Id || Recorded.Id == Now.Id) && (Recorded.Serial.empty() || Recorded.Serial == Now.Serial);
}

// ---------------------------------------------------------------- the machine

// The image whose version marker reads 1.05, the version the platform runs,
// and one a version newer.
inline Bytes ImageOf(const std::string &Version) {
  const std::string S =
      std::string(64, '\x5A') + "$BVDT" + std::string(16, '\0') + "$.a" + Version + std::string(64, '\xA5');
  return Bytes(S.begin(), S.end());
}
inline Bytes CurrentImage() { return ImageOf("1.05"); }
inline Bytes NewerImage() { return ImageOf("1.06"); }

// A supported platform (product, processor) running Bios, with serial
// number SN000001 and the simulator's UUID.
inline std::vector<sim::SmbiosRecord> SupportedPlatform(const std::string &Bios = "V1.05") {
  return {sim::BiosInformation(Bios), sim::SystemInformation("KVX4720"), sim::ProcessorInformation(0x000806E9)};
}
inline const MachineId kThisMachine{sim::kSimulatedSystemUuid, "SN000001"};
inline const MachineId kOtherMachine{Uuid{0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C,
                                          0x2D, 0x2E, 0x2F},
                                     "SN000002"};

// One launch of the update as an operator makes it: the mode, the state
// file it finds, the keys typed at its prompt (none: the keyboard read
// fails), the BIOS the machine runs, and whether the flash tool is gone.
struct Launch {
  std::string Name;
  bool Backup = false;
  FileContent State;
  std::vector<sim::Key> Keys;
  std::string Bios = "V1.05";
  bool ToolRemoved = false;

  std::vector<std::u16string> Argv() const {
    std::vector<std::u16string> Words = {u"Tamsork.efi", u"bios.bin"};
    if (Backup) {
      Words.push_back(u"-b");
    }
    return Words;
  }
};

// Every state a launch can find, in both modes, with the keys of each
// prompt: one byte (an earlier Tamsork's file, or 'A' from the board's
// tools), and the byte with this machine's record. The machine runs 1.05
// and the image holds 1.06; past the flash ('2', '3', 'B') the machine runs
// 1.06. Then the launches that must do nothing: another machine's record,
// another image's, the tool gone; and '3' on a machine the flash missed.
inline std::vector<Launch> AllLaunches() {
  const Record Own{kThisMachine, IdOf(NewerImage())};
  std::vector<std::pair<std::string, FileContent>> States = {{"none", std::nullopt}, {"empty", Bytes{}}};
  for (uint8_t B : {'1', '2', '3', '@', 'A', 'B', 'G'}) {
    States.push_back({"'" + std::string(1, static_cast<char>(B)) + "'", Bytes{B}});
    States.push_back({"'" + std::string(1, static_cast<char>(B)) + "' with its record", WithRecord(B, Own)});
  }
  std::vector<Launch> Out;
  for (bool Backup : {false, true}) {
    for (const auto &[StateName, State] : States) {
      const std::string Name = std::string(Backup ? "backup " : "normal ") + StateName;
      const uint8_t B = State && !State->empty() ? (*State)[0] : 0;
      const std::string Bios = B == '2' || B == '3' || B == 'B' ? "V1.06" : "V1.05";
      if (!Backup || (B != kBackupRequested && B != kBackupResetPending)) {
        Out.push_back({Name, Backup, State, {}, Bios});
        continue;
      }
      if (B == kBackupResetPending) {
        Out.push_back({Name + ", key 'y'", Backup, State, {sim::CharKey(u'y')}, Bios});
      }
      Out.push_back({Name + ", key 'n'", Backup, State, {sim::CharKey(u'n')}, Bios});
      Out.push_back({Name + ", failed key read", Backup, State, {}, Bios});
    }
  }
  Record Other = Own, OtherUuid = Own, OtherImage = Own;
  Other.Machine = kOtherMachine;
  OtherUuid.Machine.Id = kOtherMachine.Id;
  OtherImage.Image = IdOf(CurrentImage());
  const std::vector<Launch> Refused = {
      {"normal '1', another machine", false, WithRecord('1', Other), {}},
      {"normal '1', another machine's UUID", false, WithRecord('1', OtherUuid), {}},
      {"normal '2', another machine", false, WithRecord('2', Other), {}, "V1.06"},
      {"normal '3', another machine", false, WithRecord('3', Other), {}, "V1.06"},
      {"backup '@', another machine", true, WithRecord('@', Other), {sim::EnterKey()}},
      {"backup 'G', another machine, key 'y'", true, WithRecord('G', Other), {sim::CharKey(u'y')}},
      {"backup 'G', another machine, key 'n'", true, WithRecord('G', Other), {sim::CharKey(u'n')}},
      {"normal '1', another image", false, WithRecord('1', OtherImage), {}},
      {"backup 'A', another image", true, WithRecord('A', OtherImage), {}},
      {"normal '1', no flash tool", false, WithRecord('1', Own), {}, "V1.05", true},
      {"backup 'A', no flash tool", true, WithRecord('A', Own), {}, "V1.05", true},
      {"normal '3', the flash missed", false, WithRecord('3', Own), {}, "V1.05"},
  };
  Out.insert(Out.end(), Refused.begin(), Refused.end());
  return Out;
}

// ---------------------------------------------------------------- Tamsork.log

inline const std::string kLogFile = "Tamsork.log";
inline const std::string kLogFailureText = "Tamsork.log could not be written: ";

// The keys of a record line, in the order it holds them, laid out here from
// the README's table; and the steps a line may name, with those whose act
// is the removal of State.dat.
inline constexpr std::array<const char *, 12> kLogKeys = {"time", "serial",  "product", "uuid",   "bios",
                                                          "file", "switches", "version", "before", "after",
                                                          "step", "outcome"};
constexpr size_t kLogBefore = 8, kLogAfter = 9, kLogStep = 10;
inline const std::vector<std::string> kLogSteps = {
    "begin",          "flash",          "finish",          "done",            "done-unchecked", "failed",
    "flash-ended",    "reset-asked",    "unchecked",       "refused-done",    "refused-checksum",
    "manual-reset",   "start-over",     "give-up",         "no-key",          "wait-board",     "other-mode",
    "unknown-state",  "refused-folder", "refused-name",    "refused-version", "refused-machine",
    "refused-image",  "no-tool",        "state-unwritable", "log-full"};
inline const std::vector<std::string> kRemovingSteps = {"done", "done-unchecked", "give-up"};

namespace detail {

// Whether Text has the shape of Pattern: 'd' a decimal digit, 'h' a hex
// digit, any other character itself.
inline bool Shaped(const std::string &Text, const std::string &Pattern) {
  return Text.size() == Pattern.size() && std::equal(Text.begin(), Text.end(), Pattern.begin(), [](char C, char P) {
           const auto U = static_cast<unsigned char>(C);
           return P == 'd' ? std::isdigit(U) != 0 : P == 'h' ? std::isxdigit(U) != 0 : C == P;
         });
}

// A character a value may hold as it is: printable ASCII but the blank, '"'
// and '\'; inside quotes the blank too.
inline bool Bare(uint32_t C) { return C > 0x20 && C < 0x7F && C != '"' && C != '\\'; }

inline bool Contains(const std::vector<std::string> &Words, const std::string &W) {
  return std::find(Words.begin(), Words.end(), W) != Words.end();
}

}  // namespace detail

// How a line names State.dat's content: none, empty, the byte of a step, or
// 0xNN (lower-case here; a line's own is read in either case).
inline std::string StateWord(const FileContent &C) {
  if (!C || C->empty()) {
    return C ? "empty" : "none";
  }
  if (std::string("123@ABG").find(static_cast<char>((*C)[0])) != std::string::npos) {
    return std::string(1, static_cast<char>((*C)[0]));
  }
  char Hex[8];
  std::snprintf(Hex, sizeof Hex, "0x%02x", (*C)[0]);
  return Hex;
}

// The values of a record line of Tamsork.log (its CR LF taken off), escapes
// undone (as UTF-8); nullopt when Line is not one. The README's form: every
// key in order, one blank between fields; a value bare when it can be (not
// empty, only bare characters), quoted otherwise, with \xNN for '"', '\' and
// characters outside printable ASCII up to 0xFF and \uNNNN above; the time,
// the switches, the states and the step as its tables give them.
inline std::optional<std::vector<std::string>> ParseLogLine(const std::string &Line) {
  std::vector<std::string> Values;
  size_t At = 0;
  for (size_t K = 0; K < kLogKeys.size(); K++) {
    const std::string Key = std::string(K == 0 ? "" : " ") + kLogKeys[K] + "=";
    if (Line.compare(At, Key.size(), Key) != 0) {
      return std::nullopt;
    }
    At += Key.size();
    std::string Value;
    if (At < Line.size() && Line[At] == '"') {
      bool NeedsQuotes = false;
      for (At++; At < Line.size() && Line[At] != '"';) {
        uint32_t C = static_cast<unsigned char>(Line[At]);
        if (C == '\\') {
          const size_t Digits = Line.compare(At, 2, "\\x") == 0 ? 2 : Line.compare(At, 2, "\\u") == 0 ? 4 : 0;
          const std::string Hex = Line.substr(At + 2, Digits);
          if (Digits == 0 || Hex.size() != Digits || !std::all_of(Hex.begin(), Hex.end(), [](char H) {
                return std::isxdigit(static_cast<unsigned char>(H)) != 0;
              })) {
            return std::nullopt;
          }
          C = static_cast<uint32_t>(std::strtoul(Hex.c_str(), nullptr, 16));
          // An escape only for what cannot stand as it is, \u only above 0xFF.
          if ((detail::Bare(C) || C == ' ') || (Digits == 4) != (C > 0xFF)) {
            return std::nullopt;
          }
          At += 2 + Digits;
        } else if (C < 0x20 || C > 0x7E) {
          return std::nullopt;
        } else {
          At++;
        }
        NeedsQuotes = NeedsQuotes || !detail::Bare(C);
        sim::AppendUtf8(Value, C);
      }
      if (At == Line.size() || (!Value.empty() && !NeedsQuotes)) {
        return std::nullopt;
      }
      At++;
    } else {
      for (; At < Line.size() && detail::Bare(static_cast<unsigned char>(Line[At])); At++) {
        Value += Line[At];
      }
      if (Value.empty()) {
        return std::nullopt;
      }
    }
    Values.push_back(Value);
  }
  const auto IsState = [](std::string &V) {
    if (detail::Shaped(V, "0xhh")) {
      std::transform(V.begin(), V.end(), V.begin(), [](unsigned char C) { return std::tolower(C); });
      return true;
    }
    return V == "none" || V == "empty" || (V.size() == 1 && std::string("123@ABG").find(V[0]) != std::string::npos);
  };
  const std::string &Time = Values[0], &Uuid = Values[3], &Version = Values[7];
  const bool Fields =
      (Time == "unknown" || detail::Shaped(Time, "dddd-dd-ddTdd:dd:dd") ||
       detail::Shaped(Time, "dddd-dd-ddTdd:dd:ddZ")) &&
      (Uuid.empty() || detail::Shaped(Uuid, "hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh")) &&
      detail::Contains({"", "-b", "-d", "-b -d"}, Values[6]) && (Version.empty() || detail::Shaped(Version, "d.dd")) &&
      IsState(Values[kLogBefore]) && IsState(Values[kLogAfter]) && detail::Contains(kLogSteps, Values[kLogStep]) &&
      !Values[11].empty();
  if (At != Line.size() || !Fields) {
    return std::nullopt;
  }
  return Values;
}

inline std::string TextOf(const FileContent &C) { return C ? std::string(C->begin(), C->end()) : ""; }

// The log's lines, split at each CR LF; the last one is what follows the
// last CR LF (empty when the log ends with one).
inline std::vector<std::string> LogLines(const std::string &Text) {
  std::vector<std::string> Lines;
  size_t From = 0;
  for (size_t End; (End = Text.find("\r\n", From)) != std::string::npos; From = End + 2) {
    Lines.push_back(Text.substr(From, End - From));
  }
  Lines.push_back(Text.substr(From));
  return Lines;
}

// Where a log holds more than one line that is not a record line (the
// torn line a power cut leaves), a description of those lines.
inline std::optional<std::string> TornLines(const FileContent &Log) {
  std::vector<std::string> Lines = LogLines(TextOf(Log));
  if (Lines.back().empty()) {
    Lines.pop_back();
  }
  std::string Torn;
  size_t Count = 0;
  for (size_t I = 0; I < Lines.size(); I++) {
    if (!ParseLogLine(Lines[I])) {
      Count++;
      Torn += (Torn.empty() ? "" : ", ") + std::string("line ") + std::to_string(I + 1) + " \"" + Lines[I] + "\"";
    }
  }
  return Count > 1 ? std::optional(Torn) : std::nullopt;
}

// A log an earlier update left: the line of its first start, and, with
// Torn, after it the first 40 characters of a line, as a power cut in the
// middle of an append on a real stick can leave it.
inline Bytes EarlierLog(bool Torn) {
  const std::string Line =
      "time=2026-12-08T09:14:02 serial=SN000001 product=KVX4720 uuid=13121110-1514-1716-1819-1a1b1c1d1e1f "
      "bios=V1.05 file=bios.bin switches=\"\" version=1.06 before=none after=1 step=begin outcome=Success\r\n";
  const std::string Text = Line + (Torn ? Line.substr(0, 40) : "");
  return Bytes(Text.begin(), Text.end());
}

// The log a stick brings to L: none beside a one-byte state file (an
// earlier Tamsork's) or none; beside a record an earlier log, torn in
// backup mode.
inline FileContent LogFound(const Launch &L) {
  return DecodeRecord(L.State) ? FileContent(EarlierLog(L.Backup)) : std::nullopt;
}

inline FileContent LogOnMedium(const sim::Firmware &Fw) { return Fw.BootVolume().MediumFile(kLogFile); }

// A fresh machine for L: the image, a supported platform, a memory-overwrite
// request to clear, the flash tool in the root, the state file and the log
// beside it.
inline void PrepareMachine(sim::Firmware &Fw, const Launch &L) {
  // Firmware as unkind as the specification allows: poisoned outputs after
  // failures, short reads, large reads refused, Execute through a nested
  // Shell, opens only by image handles.
  Fw.Unkind = sim::UnkindBehaviour::All();
  Fw.SetCommandLine(L.Argv());
  Fw.BootVolume().PutFile(kImageFile, NewerImage());
  Fw.SetSmbiosRecords(SupportedPlatform(L.Bios));
  Fw.PutVariable(sim::kMemoryOverwriteRequestControlName, sim::kMemoryOverwriteRequestControlGuid,
                 EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS, {0xFF});
  if (L.State) {
    Fw.BootVolume().PutFile(kStateFile, *L.State);
  }
  if (const FileContent Log = LogFound(L)) {
    Fw.BootVolume().PutFile(kLogFile, *Log);
  }
  if (L.ToolRemoved) {
    Fw.BootVolume().RemoveFile(sim::kFlashToolName);
  }
  Fw.QueueKeys(L.Keys);
}

inline FileContent StateOnMedium(const sim::Firmware &Fw) { return Fw.BootVolume().MediumFile(kStateFile); }

namespace detail {

// The parts of Text between separators.
inline std::vector<std::string> Split(const std::string &Text, char Separator) {
  std::vector<std::string> Parts;
  for (size_t From = 0; From <= Text.size();) {
    const size_t End = std::min(Text.find(Separator, From), Text.size());
    Parts.push_back(Text.substr(From, End - From));
    From = End + 1;
  }
  return Parts;
}

// A path from the root with "." and ".." taken out and empty parts
// dropped, in lower case: "\\dir\\file".
inline std::string NormalPath(const std::string &Path) {
  std::vector<std::string> Parts;
  for (std::string Part : Split(Path, '\\')) {
    std::transform(Part.begin(), Part.end(), Part.begin(), [](unsigned char C) { return std::tolower(C); });
    if (Part == ".." && !Parts.empty()) {
      Parts.pop_back();
    } else if (!Part.empty() && Part != "." && Part != "..") {
      Parts.push_back(Part);
    }
  }
  std::string Out;
  for (const std::string &P : Parts) {
    Out += "\\" + P;
  }
  return Out.empty() ? "\\" : Out;
}

// The string whose number is at structure offset Offset of R; "" when
// there is none.
inline std::string SmbiosString(const sim::SmbiosRecord &R, size_t Offset) {
  const size_t N = Offset - 4 < R.Formatted.size() ? R.Formatted[Offset - 4] : 0;
  return N != 0 && N <= R.Strings.size() ? R.Strings[N - 1] : "";
}

}  // namespace detail

// ---------------------------------------------------------------- what the launch finds

using Version = std::pair<unsigned, unsigned>;

// What the launch finds on the machine. Read from the firmware, which
// changes SMBIOS only at a reboot, so it reads the same before the launch
// and after it.
struct MachineFacts {
  MachineId Machine;                   // the first type 1 record's UUID and serial number
  std::optional<ImageId> Image;        // the image file's, when there is one
  std::optional<Version> Running;      // type 0's BIOS Version, read from "<c><d>.<dd>" not followed by a digit
  std::optional<Version> ImageVersion; // the image's marker, "$.<letter><major>.<minor minor>" after "$BVDT"
  bool ToolFound = false;              // the Shell finds the flash tool
  bool DoneLogged = false;             // the log's last record line: done with this image
  EFI_STATUS KeyFailure = EFI_DEVICE_ERROR;  // what a key read that finds no key fails with
};

inline std::optional<Version> BiosVersionOf(const std::string &S) {
  const auto Digit = [&](size_t At) { return At < S.size() && std::isdigit(static_cast<unsigned char>(S[At])) != 0; };
  if (S.size() < 5 || S[0] == '\0' || !Digit(1) || S[2] != '.' || !Digit(3) || !Digit(4) || Digit(5)) {
    return std::nullopt;
  }
  return Version{S[1] - '0', static_cast<unsigned>((S[3] - '0') * 10 + (S[4] - '0'))};
}

inline std::optional<Version> MarkerOf(const Bytes &Image) {
  const std::string S(Image.begin(), Image.end());
  const size_t Anchor = S.find("$BVDT");
  auto Digit = [&](size_t I) { return std::isdigit(static_cast<unsigned char>(S[I])) != 0; };
  for (size_t At = Anchor == std::string::npos ? Anchor : S.find("$.", Anchor + 5); At != std::string::npos && At + 7 <= S.size();
       At = S.find("$.", At + 1)) {
    if (std::isalpha(static_cast<unsigned char>(S[At + 2])) && Digit(At + 3) && S[At + 4] == '.' && Digit(At + 5) &&
        Digit(At + 6)) {
      return Version{S[At + 3] - '0', static_cast<unsigned>((S[At + 5] - '0') * 10 + S[At + 6] - '0')};
    }
  }
  return std::nullopt;
}

// Whether the Shell finds the flash tool, by its name or with one of the
// endings it adds: in its current directory, then in each entry of its path
// variable ("FS0:\\efi\\tools", "\\tools" from the current volume's root,
// "tools" from the current directory).
inline bool ShellFindsTool(const sim::Firmware &Fw) {
  const std::string Cwd = sim::ToUtf8(Fw.CurrentDirectory());
  std::string Path = ".";
  if (const auto It = Fw.ShellVariables.find(u"path"); It != Fw.ShellVariables.end()) {
    Path += ";" + sim::ToUtf8(It->second);
  }
  for (const std::string &Entry : detail::Split(Path, ';')) {
    if (Entry.empty() || (Cwd.empty() && Entry.find(':') == std::string::npos)) {
      continue;
    }
    const std::string Where = Entry.find(':') != std::string::npos ? Entry
                              : Entry[0] == '\\'                  ? Cwd.substr(0, Cwd.find(':') + 1) + Entry
                                                                  : Cwd + "\\" + Entry;
    std::string Mapping = Where.substr(0, Where.find(':'));
    std::transform(Mapping.begin(), Mapping.end(), Mapping.begin(), [](unsigned char C) { return std::toupper(C); });
    const sim::Volume *V = Mapping == "FS0" ? &Fw.BootVolume() : Mapping == "FS1" ? &Fw.OtherVolume() : nullptr;
    for (size_t Ending = 0; V != nullptr && Ending <= Fw.ProgramExtensions.size(); Ending++) {
      const std::string Name = std::string(sim::kFlashToolName) +
                               (Ending == 0 ? "" : sim::ToUtf8(Fw.ProgramExtensions[Ending - 1]));
      if (V->MediumFile(detail::NormalPath(Where.substr(Where.find(':') + 1) + "\\" + Name))) {
        return true;
      }
    }
  }
  return false;
}

inline MachineFacts FactsOf(const sim::Firmware &Fw, const std::u16string &ImageName = u"bios.bin") {
  MachineFacts F;
  bool BiosSeen = false, SystemSeen = false;
  for (const sim::SmbiosRecord &R : Fw.SmbiosRecords()) {
    if (R.Type == 0 && !BiosSeen) {
      BiosSeen = true;
      F.Running = BiosVersionOf(detail::SmbiosString(R, 5));
    } else if (R.Type == 1 && !SystemSeen) {
      SystemSeen = true;
      if (R.Formatted.size() >= 20) {
        Uuid U;
        std::copy_n(R.Formatted.begin() + 4, 16, U.begin());
        if (std::any_of(U.begin(), U.end(), [](uint8_t B) { return B != 0x00; }) &&
            std::any_of(U.begin(), U.end(), [](uint8_t B) { return B != 0xFF; })) {
          F.Machine.Id = U;
        }
      }
      F.Machine.Serial = detail::SmbiosString(R, 7).substr(0, kSerialMax);
    }
  }
  const std::string Name = sim::ToUtf8(ImageName);
  if (const auto Image = Name.find(':') == std::string::npos ? Fw.BootVolume().MediumFile(detail::NormalPath(Name))
                                                             : std::nullopt) {
    F.Image = IdOf(*Image);
    F.ImageVersion = MarkerOf(*Image);
  }
  F.ToolFound = ShellFindsTool(Fw);
  F.KeyFailure = Fw.NoKeyStatus;
  // The last record line, a log-full one passed over.
  std::vector<std::string> Lines = LogLines(TextOf(LogOnMedium(Fw)));
  std::optional<std::vector<std::string>> Last;
  while (!Lines.empty() && !Last) {
    Last = ParseLogLine(Lines.back());
    Lines.pop_back();
    if (Last && (*Last)[kLogStep] == "log-full") {
      Last.reset();
    }
  }
  // The sweeps' launches run on one machine with one image.
  F.DoneLogged = Last && detail::Contains({"done", "refused-done"}, (*Last)[kLogStep]) && (*Last)[5] == Name;
  return F;
}

// ---------------------------------------------------------------- what a launch should do

// A content State.dat may be left with: Bytes exactly; or, with Fresh, the
// first byte of Bytes, then a well-formed record of Fresh, then the rest of
// Bytes (what the file held past the record: a write at offset 0 leaves it).
struct StateAfter {
  FileContent Bytes;
  std::optional<Record> Fresh;

  StateAfter() = default;
  template <class T>
    requires std::is_constructible_v<FileContent, T>
  StateAfter(T &&Content) : Bytes(std::forward<T>(Content)) {}
};

inline bool Fits(const FileContent &Got, const StateAfter &Want) {
  if (!Want.Fresh) {
    return Got == Want.Bytes;
  }
  const Bytes &W = *Want.Bytes;
  return Got && Got->size() == W.size() + kRecordSize && (*Got)[0] == W[0] && DecodeRecord(Got) == Want.Fresh &&
         std::equal(W.begin() + 1, W.end(), Got->begin() + 1 + kRecordSize);
}

inline std::string Describe(const StateAfter &S) {
  if (!S.Fresh) {
    return Describe(S.Bytes);
  }
  const Record &R = *S.Fresh;
  return Describe(FileContent(Bytes{(*S.Bytes)[0]})) + " and a record of " + (R.Machine.Id ? "the UUID" : "no UUID") + ", serial \"" +
         R.Machine.Serial + "\", " + (R.Image ? std::to_string(R.Image->Size) + " image bytes" : "no image") + (R.Checked ? ", checked" : "") +
         (S.Bytes->size() > 1 ? ", then " + std::to_string(S.Bytes->size() - 1) + " old bytes" : "");
}

// The update's steps, from the state found and the key typed (none: the
// read failed), on the machine F (the README's tables). Written once here
// so the sweeps can confirm each clean launch and the fuzz targets can
// judge any state file.
struct Step {
  StateAfter After;          // State.dat on the medium afterwards
  bool Signals = false;      // board signalled and machine reset
  bool Flashes = false;      // flash tool started
  bool ResetsBoard = false;  // vendor reset requested
  bool Done = false;         // "BIOS Update done!"
  bool Failed = false;       // "BIOS Update failed"
  EFI_STATUS Status = EFI_SUCCESS;
};

// Checked: the start that begins an update compares the versions (no -d).
inline Step ExpectedStep(const MachineFacts &F, bool Backup, const FileContent &Before, std::optional<char16_t> Key,
                         bool Checked = true) {
  auto Nothing = [&](EFI_STATUS Status) { return Step{.After = Before, .Status = Status}; };
  auto Kept = [&](uint8_t B) {
    Bytes After = *Before;
    After[0] = B;
    return StateAfter(After);
  };
  // The first start: the byte and the record of this machine and image.
  auto Begin = [&](uint8_t B) {
    StateAfter After(Bytes{B});
    if (Before && Before->size() > 1 + kRecordSize) {
      After.Bytes->insert(After.Bytes->end(), Before->begin() + 1 + kRecordSize, Before->end());
    }
    After.Fresh = Record{F.Machine, F.Image, Checked};
    return Step{.After = After, .Signals = true};
  };
  if (!Before || Before->empty()) {
    // A machine the log says is done with this image asks first.
    if (F.DoneLogged && !(Key && (*Key == u'y' || *Key == u'Y'))) {
      return {.After = std::nullopt, .Status = EFI_ABORTED};
    }
    return Begin(Backup ? kBackupRequested : kModeEntered);
  }
  const uint8_t B = (*Before)[0];
  const bool OfBackup = B == kBackupRequested || B == kBackupReady || B == kBackupFlashStarted || B == kBackupResetPending;
  const bool OfNormal = B == kModeEntered || B == kFlashStarted || B == kFlashFinished;
  if (!(Backup ? OfBackup : OfNormal)) {
    return Nothing(EFI_INVALID_PARAMETER);
  }
  if (B == kBackupFlashStarted) {
    return Nothing(EFI_SUCCESS);
  }
  const auto R = DecodeRecord(Before);
  if (R && !SameMachine(R->Machine, F.Machine)) {
    return Nothing(EFI_ABORTED);
  }
  switch (B) {
    case kModeEntered:
    case kBackupReady:
      if (R && R->Image && R->Image != F.Image) {
        return Nothing(EFI_ABORTED);
      }
      if (!F.ToolFound) {
        return Nothing(EFI_NOT_FOUND);
      }
      return {.After = Kept(Backup ? kBackupFlashStarted : kFlashStarted), .Flashes = true};
    // A reset request that returns leaves the restart to come.
    case kFlashStarted: return {.After = Kept(kFlashFinished), .ResetsBoard = true, .Status = EFI_NOT_READY};
    case kFlashFinished:
      if (F.Running && F.ImageVersion && F.Running != F.ImageVersion) {
        return {.After = Before, .Failed = true, .Status = EFI_INCOMPATIBLE_VERSION};
      }
      // An update whose first start checked the versions ends only on the
      // same check.
      if ((!F.Running || !F.ImageVersion) && R && R->Checked) {
        return Nothing(EFI_NOT_FOUND);
      }
      return {.After = std::nullopt, .Done = true};
    case kBackupRequested:
      return {.After = Kept(kBackupResetPending), .ResetsBoard = true, .Status = EFI_NOT_READY};
    default:  // 'G'
      if (!Key) {
        return Nothing(F.KeyFailure);
      }
      return *Key == u'y' || *Key == u'Y' ? Begin(kBackupRequested) : Step{.After = std::nullopt};
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
  std::vector<StateAfter> After;   // contents State.dat may be left with
  FileContent LogBefore = {};      // Tamsork.log on the medium when the launch began
  size_t LeakedBlocks = 0;         // pool blocks a refused FreePool leaves behind
  bool AssertionReports = false;   // the kit reports a refused FreePool on StdErr
  // The image file name the flash tool must be given; nullopt when the
  // command line is not judged.
  std::optional<std::u16string> ImageArgument = u"bios.bin";
};

namespace detail {

// Whether E is an event on the file Name in the root of the boot volume.
inline bool IsFile(const sim::Event &E, const std::string &Name) {
  return E.VolumeLabel == "boot" && NormalPath(E.Path) == NormalPath(Name);
}
inline bool IsStateFile(const sim::Event &E) { return IsFile(E, kStateFile); }

// A file as the launch's events on it leave it: what the medium holds, and
// the writes the driver holds in its cache on top.
struct FileReplay {
  FileContent Medium;
  std::optional<Bytes> Cache;

  void Apply(const sim::Event &E) {
    switch (E.What) {
      case sim::Event::Kind::FileCreate:
        Medium = Bytes{};
        Cache.reset();
        break;
      case sim::Event::Kind::FileWrite:
        if (!Cache) {
          Cache = Medium.value_or(Bytes{});
        }
        if (Cache->size() < E.Offset + E.Bytes.size()) {
          Cache->resize(E.Offset + E.Bytes.size(), 0);
        }
        std::copy(E.Bytes.begin(), E.Bytes.end(), Cache->begin() + static_cast<std::ptrdiff_t>(E.Offset));
        break;
      case sim::Event::Kind::FileCommit:
        Medium = Cache.value_or(Medium.value_or(Bytes{}));
        Cache.reset();
        break;
      // A close that commits shows a FileCommit first; what is still
      // cached now never reaches the medium.
      case sim::Event::Kind::FileClose: Cache.reset(); break;
      case sim::Event::Kind::FileDelete:
        Medium.reset();
        Cache.reset();
        break;
      default: break;
    }
  }
};

// The state byte an action needs on the medium first (the only variable
// the application sets is the memory-overwrite request). A reset from '2'
// or '@' is the board's reset, made without the board's service.
inline std::optional<uint8_t> Announcing(const sim::Event &E, bool Backup, const FileContent &Before) {
  const uint8_t Found = Before && !Before->empty() ? (*Before)[0] : 0;
  switch (E.What) {
    case sim::Event::Kind::Reset:
      if (Found == (Backup ? kBackupRequested : kFlashStarted)) {
        return Backup ? kBackupResetPending : kFlashFinished;
      }
      return Backup ? kBackupRequested : kModeEntered;
    case sim::Event::Kind::PortWrite:
    case sim::Event::Kind::SetVariable: return Backup ? kBackupRequested : kModeEntered;
    case sim::Event::Kind::Execute: return Backup ? kBackupFlashStarted : kFlashStarted;
    case sim::Event::Kind::VendorRequest: return Backup ? kBackupResetPending : kFlashFinished;
    default: return std::nullopt;
  }
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
    case sim::Event::Kind::SetVariable: return "variable set";
    default: return sim::EventKindName(E.What) + std::string(IsStateFile(E) ? " of State.dat" : "");
  }
}

// Where the log line just committed stands against State.dat and the
// actions: after the byte it names is on the medium, its file closed;
// before every action, and, where its step is the removal, before that.
inline void CheckLogged(const std::vector<std::string> &Line, const FileReplay &State, bool Settled,
                        const std::optional<std::string> &Acted, std::vector<Violation> &Out) {
  const std::string &After = Line[kLogAfter], &Step = Line[kLogStep];
  if (Acted) {
    Out.push_back({"logged before the step", "the line of step " + Step + " reached the medium after the " + *Acted});
  }
  const bool Named = After != "none" && After != "empty";
  if (Named && (StateWord(State.Medium) != After || !Settled)) {
    Out.push_back({"logged after the state", "the line of step " + Step + " saying State.dat holds " + After +
                                                 " reached the medium with State.dat holding " +
                                                 Describe(State.Medium) +
                                                 (Settled ? "" : ", not yet written and closed")});
  }
  if (Contains(kRemovingSteps, Step) && !State.Medium) {
    Out.push_back({"logged before the step",
                   "the line of step " + Step + " reached the medium after State.dat's removal"});
  }
}

}  // namespace detail

// Replays the launch's file events on State.dat and Tamsork.log from what
// the medium held at the start, and checks each outward action, and the
// log line, against what the medium held at that moment.
inline void CheckAnnounced(const sim::Firmware &Fw, const Allowed &A, std::vector<Violation> &Out) {
  detail::FileReplay State{A.Before, std::nullopt}, Log{A.LogBefore, std::nullopt};
  bool Committed = false;          // a byte reached the medium in this launch
  bool ClosedSinceCommit = false;  // and its handle was closed after that
  bool Settled = true;             // no State.dat write or commit since its last close
  std::optional<std::string> Acted;                 // the first outward action
  std::optional<std::vector<std::string>> Logged;   // the launch's log line, once on the medium
  for (const sim::Event &E : Fw.Events()) {
    using K = sim::Event::Kind;
    if (detail::IsFile(E, kLogFile)) {
      const bool Pending = Log.Cache.has_value();
      Log.Apply(E);
      if (E.What == K::FileCommit && Pending && !Logged) {
        const std::vector<std::string> Lines = LogLines(TextOf(Log.Medium));
        // The line of what came back of an action follows that action.
        if (Lines.size() >= 2 && (Logged = ParseLogLine(Lines[Lines.size() - 2])) &&
            detail::Contains({"flash-ended", "reset-asked"}, (*Logged)[kLogStep])) {
          Logged.reset();
        } else if (Logged) {
          detail::CheckLogged(*Logged, State, Settled, Acted, Out);
        }
      }
      continue;
    }
    if (detail::IsStateFile(E)) {
      // After the line, State.dat changes only by the removal it announces.
      if (Logged && E.What != K::FileClose && (E.What != K::FileDelete || (*Logged)[kLogAfter] != "none")) {
        Out.push_back({"logged after the state", detail::ActionName(E) + " after the log line saying it holds " +
                                                     (*Logged)[kLogAfter]});
      }
      State.Apply(E);
      switch (E.What) {
        case K::FileWrite:
          ClosedSinceCommit = Settled = false;
          break;
        case K::FileCommit:
          Committed = true;
          ClosedSinceCommit = Settled = false;
          break;
        case K::FileClose:
          ClosedSinceCommit = Committed;
          Settled = true;
          break;
        case K::FileDelete:
          Committed = false;
          Settled = true;
          break;
        default: break;
      }
      continue;
    }
    const auto Needed = detail::Announcing(E, A.Backup, A.Before);
    if (!Needed) {
      continue;
    }
    Acted = Acted.value_or(detail::ActionName(E));
    const FileContent &Medium = State.Medium;
    const bool OnMedium = Medium && !Medium->empty() && (*Medium)[0] == *Needed;
    if (!OnMedium || !Committed || !ClosedSinceCommit) {
      Out.push_back({"announced: " + detail::ActionName(E),
                     detail::ActionName(E) + " (event " + std::to_string(E.Seq) + ") with State.dat holding " +
                         Describe(Medium) + (State.Cache ? " and uncommitted writes" : "") +
                         (OnMedium && !ClosedSinceCommit ? ", file not closed" : "") + "; needs '" +
                         std::string(1, static_cast<char>(*Needed)) + "' written and closed first"});
    }
  }
  // The replay must agree with the medium, or the checks above mean nothing.
  if (State.Medium != StateOnMedium(Fw) || Log.Medium != LogOnMedium(Fw)) {
    Out.push_back({"replay", "file events replay to State.dat " + Describe(State.Medium) + ", Tamsork.log " +
                                 Describe(Log.Medium) + " but the medium holds " + Describe(StateOnMedium(Fw)) +
                                 ", " + Describe(LogOnMedium(Fw))});
  }
}

// Tamsork.log only grows, by one record line at most: what it held stays, a
// torn last line is ended with CR LF first, and the line names the state
// the launch found.
inline void CheckLog(const sim::Firmware &Fw, const Allowed &A, std::vector<Violation> &Out) {
  const FileContent After = LogOnMedium(Fw);
  const std::string Old = TextOf(A.LogBefore), New = TextOf(After);
  if (New.compare(0, Old.size(), Old) != 0) {
    Out.push_back({"log", "Tamsork.log held " + Describe(A.LogBefore) + " and now holds " + Describe(After)});
    return;
  }
  if (New.size() == Old.size()) {
    return;
  }
  const bool Torn = !Old.empty() && (Old.size() < 2 || Old.compare(Old.size() - 2, 2, "\r\n") != 0);
  const std::string Added = New.substr(Old.size()), Start = Torn ? "\r\n" : "";
  // A second line only for what came back of the tool or the reset request.
  std::vector<std::vector<std::string>> Parsed;
  if (Added.compare(0, Start.size(), Start) == 0) {
    std::vector<std::string> Lines = LogLines(Added.substr(Start.size()));
    const bool Ended = Lines.back().empty();
    Lines.pop_back();
    for (size_t I = 0; Ended && I < Lines.size() && I < 2; I++) {
      if (const auto Line = ParseLogLine(Lines[I])) {
        Parsed.push_back(*Line);
      }
    }
    if (Parsed.size() != Lines.size() ||
        (Parsed.size() == 2 && !detail::Contains({"flash-ended", "reset-asked"}, Parsed[1][kLogStep]))) {
      Parsed.clear();
    }
  }
  if (Parsed.empty()) {
    Out.push_back({"log", "the launch added " + Describe(FileContent(Bytes(Added.begin(), Added.end()))) +
                              " to Tamsork.log: not one record line and what came back" +
                              (Torn ? " after the torn one" : "")});
  }
  for (const auto &Line : Parsed) {
    if (Line[kLogBefore] != StateWord(A.Before)) {
      Out.push_back({"log", "the line says State.dat held " + Line[kLogBefore] + " where it held " +
                                Describe(A.Before)});
    }
  }
}

// What a launch that stops part-way (a failing call, a power cut) may leave
// in State.dat: what it found, what the whole launch leaves, and, for a
// launch that begins an update (whose version check removes the file when it
// cannot pass), ends it (a version it cannot read ends it as done) or
// removes the file anyway, no file; a state file it had to create may stay
// empty.
inline std::vector<StateAfter> PossibleStates(const FileContent &Before, const Step &Whole) {
  std::vector<StateAfter> States = {Before, Whole.After};
  if (Whole.Signals || Whole.Failed || !Whole.After.Bytes) {
    States.push_back(std::nullopt);
  }
  if (!Before || Before->empty()) {
    States.push_back(Bytes{});
  }
  return States;
}

// The first outward step of the launch just made: a port written, a reset,
// the flash tool, the vendor request, a variable set, State.dat created,
// written or deleted; nullopt when it took none.
inline std::optional<std::string> FirstStep(const sim::Firmware &Fw) {
  using K = sim::Event::Kind;
  for (const sim::Event &E : Fw.Events()) {
    const bool OnState = detail::IsStateFile(E) && (E.What == K::FileCreate || E.What == K::FileWrite ||
                                                    E.What == K::FileDelete);
    if (OnState || E.What == K::PortWrite || E.What == K::Reset || E.What == K::Execute ||
        E.What == K::VendorRequest || E.What == K::SetVariable) {
      return detail::ActionName(E);
    }
  }
  return std::nullopt;
}

inline std::string DescribeVersion(const std::optional<Version> &V) {
  return V ? std::to_string(V->first) + "." + (V->second < 10 ? "0" : "") + std::to_string(V->second) : "unread";
}

// The rules of the record and the version: no step on another machine, no
// tool on another image or where the Shell finds none, and done or failed
// only as the versions say.
inline void CheckRecordAndVersion(const sim::Firmware &Fw, const Allowed &A, std::vector<Violation> &Out) {
  const MachineFacts F = FactsOf(Fw, A.ImageArgument.value_or(u"bios.bin"));
  const auto R = DecodeRecord(A.Before);
  if (R && !SameMachine(R->Machine, F.Machine)) {
    if (const auto Taken = FirstStep(Fw)) {
      Out.push_back({"another machine", *Taken + " with State.dat recording serial \"" + R->Machine.Serial +
                                            "\" on the machine of serial \"" + F.Machine.Serial + "\""});
    }
  }
  if (R && R->Image && R->Image != F.Image && !Fw.Executions().empty()) {
    Out.push_back({"another image", "the flash tool ran on an image of " +
                                        (F.Image ? std::to_string(F.Image->Size) + " bytes" : std::string("no file")) +
                                        "; State.dat records " + std::to_string(R->Image->Size) + " bytes"});
  }
  for (const sim::Event &E : Fw.Events()) {
    if (!F.ToolFound && detail::IsStateFile(E) && E.What == sim::Event::Kind::FileWrite && E.Offset == 0 &&
        !E.Bytes.empty() && (E.Bytes[0] == kFlashStarted || E.Bytes[0] == kBackupFlashStarted)) {
      Out.push_back({"no flash tool", std::string("'") + static_cast<char>(E.Bytes[0]) +
                                          "' written where the Shell finds no " + sim::kFlashToolName});
    }
  }
  for (const sim::ExecuteCall &Run : Fw.Executions()) {
    if (Run.FlashTool == sim::ExecuteCall::Tool::NotFound) {
      Out.push_back({"no flash tool", "started \"" + sim::ToUtf8(Run.CommandLine) + "\" and the Shell found none"});
    }
  }
  // The verdict is a line that begins with its text; an update whose first
  // start checked the versions is never done unchecked.
  const bool Equal = F.Running && F.ImageVersion && F.Running == F.ImageVersion;
  for (const std::string &Line : detail::Split(Fw.ConsoleText(), '\n')) {
    const bool Unchecked = Line.find(kUncheckedText) != std::string::npos;
    if (Line.rfind(kDoneText, 0) == 0 && Unchecked && R && R->Checked) {
      Out.push_back({"done", "\"" + Line + "\" for an update whose first start checked the versions"});
    }
    const bool Done = Line.rfind(kDoneText, 0) == 0 && !Unchecked;
    const bool Failed = Line.rfind(kFailedText, 0) == 0;
    if ((Done && !Equal) || (Failed && (Equal || !F.Running || !F.ImageVersion))) {
      Out.push_back({Done ? "done" : "failed", "\"" + Line + "\" with the BIOS running " +
                                                   DescribeVersion(F.Running) + " and the image holding " +
                                                   DescribeVersion(F.ImageVersion)});
    }
  }
}

// Every rule for the launch just made.
inline std::vector<Violation> CheckLaunch(const sim::Firmware &Fw, EFI_STATUS Status, const Allowed &A) {
  std::vector<Violation> Out;
  if (Status != EFI_SUCCESS && !EFI_ERROR(Status) && Fw.Executions().empty()) {
    char Text[48];
    std::snprintf(Text, sizeof Text, "exit status 0x%llX", static_cast<unsigned long long>(Status));
    Out.push_back({"exit status", Text});
  }
  // A reset announced (the board asked for one) that did not come is no
  // success at the Shell.
  if (Status == EFI_SUCCESS && !Fw.VendorRequests().empty() && !Fw.ResetRequested()) {
    Out.push_back({"exit status", "success after a reset request that returned"});
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
  for (const sim::ProtocolOpen &O : Fw.ForeignAgentOpens()) {
    Out.push_back({"open by a foreign agent", O.Text + ", left open when the application exited"});
  }
  if (!A.AssertionReports && !Fw.StdErrText().empty()) {
    Out.push_back({"assertion", Fw.StdErrText()});
  }
  const FileContent After = StateOnMedium(Fw);
  if (std::none_of(A.After.begin(), A.After.end(), [&](const StateAfter &S) { return Fits(After, S); })) {
    std::string Choices;
    for (const StateAfter &C : A.After) {
      Choices += (Choices.empty() ? "" : "; ") + Describe(C);
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
  CheckLog(Fw, A, Out);
  CheckRecordAndVersion(Fw, A, Out);
  return Out;
}

// The outward effects of the launch just made, in the terms of Step.
inline Step ObservedStep(const sim::Firmware &Fw, EFI_STATUS Status) {
  Step S{.After = StateOnMedium(Fw), .Status = Status};
  for (const auto &[Port, Value] : Fw.PortWrites()) {
    S.Signals = S.Signals || (Port == kBoardUpdatePort && Value == kBoardUpdateFirst);
  }
  S.Signals = S.Signals && Fw.ResetRequested();
  S.Flashes = !Fw.Executions().empty();
  S.ResetsBoard = !Fw.VendorRequests().empty();
  for (const std::string &Line : detail::Split(Fw.ConsoleText(), '\n')) {
    S.Done = S.Done || Line.rfind(kDoneText, 0) == 0;
    S.Failed = S.Failed || Line.rfind(kFailedText, 0) == 0;
  }
  return S;
}

inline std::string DescribeStep(const Step &S) {
  std::string Text = "leaves " + Describe(S.After);
  if (S.Signals) Text += ", signals the board";
  if (S.Flashes) Text += ", runs the flash tool";
  if (S.ResetsBoard) Text += ", requests the vendor reset";
  if (S.Done) Text += ", prints done";
  if (S.Failed) Text += ", prints failed";
  char Code[40];
  std::snprintf(Code, sizeof Code, ", ends with 0x%llX", static_cast<unsigned long long>(S.Status));
  return Text + Code;
}

// Whether the observed step Got is the step Want.
inline bool SameStep(const Step &Got, const Step &Want) {
  return Fits(Got.After.Bytes, Want.After) && Got.Signals == Want.Signals && Got.Flashes == Want.Flashes &&
         Got.ResetsBoard == Want.ResetsBoard && Got.Done == Want.Done && Got.Failed == Want.Failed &&
         Got.Status == Want.Status;
}

// ---------------------------------------------------------------- the calls of the log

// The calls of the clean launch of L (Calls, their services) that write its
// (first) log line: from the clock read for the line's time to the close of
// Tamsork.log after it is written. Which call closes it comes from cuts: a launch cut at that
// call has not recorded the close yet, one cut at the next call has.
// nullopt when the launch closes no Tamsork.log. No other Firmware may
// exist meanwhile.
inline std::optional<std::pair<uint64_t, uint64_t>> LogCalls(const Launch &L, const std::vector<sim::Service> &Calls) {
  const auto Closed = [&](uint64_t CutAt) {
    sim::Firmware Fw;
    PrepareMachine(Fw, L);
    Fw.CutPowerAtCall(CutAt);
    Fw.Launch();
    // The close after the line's write: the log may be read before it.
    bool Written = false;
    return std::any_of(Fw.Events().begin(), Fw.Events().end(), [&](const sim::Event &E) {
      Written = Written || (E.What == sim::Event::Kind::FileWrite && detail::IsFile(E, kLogFile));
      return Written && E.What == sim::Event::Kind::FileClose && detail::IsFile(E, kLogFile);
    });
  };
  uint64_t Low = 1, High = Calls.size() + 1;
  if (!Closed(High)) {
    return std::nullopt;
  }
  while (Low < High) {
    const uint64_t Mid = Low + (High - Low) / 2;
    if (Closed(Mid)) {
      High = Mid;
    } else {
      Low = Mid + 1;
    }
  }
  for (uint64_t First = Low - 1; First >= 1; First--) {
    if (Calls[First - 1] == sim::Service::GetTime) {
      return std::pair(First, Low - 1);
    }
  }
  return std::nullopt;
}

}  // namespace tamsork_reliability
