#include "tools/tamsork-sim/Options.h"

#include "simfw/Firmware.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tamsork_sim {

namespace {

// Scan codes of the UEFI Simple Text Input protocol, and the control
// characters that have names here rather than being typed as themselves.
struct NamedKey {
  const char *Name;
  KeyPress Key;
};
constexpr NamedKey kNamedKeys[] = {
    {"enter", {0, u'\r'}}, {"space", {0, u' '}},  {"tab", {0, u'\t'}},     {"backspace", {0, 0x08}},
    {"comma", {0, u','}},  {"up", {0x01, 0}},     {"down", {0x02, 0}},     {"right", {0x03, 0}},
    {"left", {0x04, 0}},   {"home", {0x05, 0}},   {"end", {0x06, 0}},      {"insert", {0x07, 0}},
    {"delete", {0x08, 0}}, {"pageup", {0x09, 0}}, {"pagedown", {0x0A, 0}}, {"f1", {0x0B, 0}},
    {"f2", {0x0C, 0}},     {"f3", {0x0D, 0}},     {"f4", {0x0E, 0}},       {"f5", {0x0F, 0}},
    {"f6", {0x10, 0}},     {"f7", {0x11, 0}},     {"f8", {0x12, 0}},       {"f9", {0x13, 0}},
    {"f10", {0x14, 0}},    {"f11", {0x15, 0}},    {"f12", {0x16, 0}},      {"esc", {0x17, 0}},
};

std::string Lower(std::string S) {
  for (char &C : S) {
    if (C >= 'A' && C <= 'Z') {
      C = static_cast<char>(C - 'A' + 'a');
    }
  }
  return S;
}

// The one code point S holds, when S is exactly one well-formed UTF-8
// sequence for a character of the Basic Multilingual Plane.
std::optional<char16_t> SingleCharacter(const std::string &S) {
  const auto *B = reinterpret_cast<const unsigned char *>(S.data());
  uint32_t C = 0;
  size_t Length = 0;
  uint32_t Min = 0;
  if (S.empty()) {
    return std::nullopt;
  }
  if (B[0] < 0x80) {
    C = B[0], Length = 1;
  } else if ((B[0] & 0xE0) == 0xC0) {
    C = B[0] & 0x1F, Length = 2, Min = 0x80;
  } else if ((B[0] & 0xF0) == 0xE0) {
    C = B[0] & 0x0F, Length = 3, Min = 0x800;
  } else {
    return std::nullopt;
  }
  if (S.size() != Length) {
    return std::nullopt;
  }
  for (size_t I = 1; I < Length; I++) {
    if ((B[I] & 0xC0) != 0x80) {
      return std::nullopt;
    }
    C = (C << 6) | (B[I] & 0x3F);
  }
  if (C < Min || (C >= 0xD800 && C <= 0xDFFF)) {
    return std::nullopt;
  }
  return static_cast<char16_t>(C);
}

std::string Utf8(char16_t C) {
  std::string Out;
  sim::AppendUtf8(Out, C);
  return Out;
}

bool Printable(char16_t C) { return C >= 0x20 && C != 0x7F && !(C >= 0x80 && C < 0xA0); }

// The state codes the application knows, as --state spells them.
constexpr char kStateCodes[] = {'1', '2', '3', '@', 'A', 'B', 'G'};

bool IsStateCode(uint8_t Byte) {
  for (char C : kStateCodes) {
    if (Byte == static_cast<uint8_t>(C)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<KeyPress> ParseKeys(const std::string &List) {
  std::vector<KeyPress> Keys;
  if (List.empty()) {
    return Keys;
  }
  size_t Start = 0;
  for (;;) {
    const size_t Comma = List.find(',', Start);
    const std::string Item = List.substr(Start, Comma == std::string::npos ? std::string::npos : Comma - Start);
    if (Item.empty()) {
      throw UsageError("--keys: empty key name in \"" + List + "\" (a comma key is written comma)");
    }
    bool Found = false;
    if (const auto C = SingleCharacter(Item); C && Printable(*C)) {
      Keys.push_back({0, *C});
      Found = true;
    } else {
      const std::string Name = Lower(Item);
      for (const NamedKey &K : kNamedKeys) {
        if (Name == K.Name) {
          Keys.push_back(K.Key);
          Found = true;
          break;
        }
      }
    }
    if (!Found) {
      throw UsageError("--keys: unknown key name \"" + Item +
                       "\" (a single character, enter, esc, space, tab, backspace, comma, up, down, left, right, "
                       "home, end, insert, delete, pageup, pagedown or f1..f12)");
    }
    if (Comma == std::string::npos) {
      break;
    }
    Start = Comma + 1;
  }
  return Keys;
}

std::string KeyName(const KeyPress &Key) {
  for (const NamedKey &K : kNamedKeys) {
    if (K.Key == Key) {
      return K.Name;
    }
  }
  if (Key.ScanCode == 0 && Printable(Key.Char)) {
    return Utf8(Key.Char);
  }
  return "scan " + Hex(Key.ScanCode, 4) + " char " + Hex(Key.Char, 4);
}

StateOption ParseStateOption(const std::string &Text) {
  constexpr const char *kReadOnly = ":ro";
  if (Text.size() > 3 && Text.compare(Text.size() - 3, 3, kReadOnly) == 0) {
    const FileBytes State = ParseState(Text.substr(0, Text.size() - 3));
    if (!State) {
      throw UsageError("--state: \"" + Text + "\": there is no state file to mark read-only");
    }
    return {State, true};
  }
  return {ParseState(Text), false};
}

FileBytes ParseState(const std::string &Text) {
  if (Text == "none") {
    return std::nullopt;
  }
  if (Text == "empty") {
    return std::vector<uint8_t>{};
  }
  if (Text.size() == 1 && IsStateCode(static_cast<uint8_t>(Text[0]))) {
    return std::vector<uint8_t>{static_cast<uint8_t>(Text[0])};
  }
  if (Text.size() > 2 && Text.compare(0, 2, "0x") == 0) {
    if (const auto Byte = ParseNumber(Text, 0xFF)) {
      return std::vector<uint8_t>{static_cast<uint8_t>(*Byte)};
    }
  }
  throw UsageError("--state: \"" + Text + "\" is not a state (1, 2, 3, @, A, B, G, empty, none, or a byte as 0xNN)");
}

std::string StateText(const FileBytes &State) {
  if (!State) {
    return "none";
  }
  if (State->empty()) {
    return "empty";
  }
  const uint8_t Byte = State->front();
  std::string Text = IsStateCode(Byte) ? std::string(1, static_cast<char>(Byte)) : Hex(Byte, 2);
  // The byte with the update's record (machine and image) after it, as the
  // first launch of an update writes them, shows as the byte; any other
  // longer file is shown with its size.
  static const std::string kRecordMagic = "TSKR";
  const bool WithRecord = State->size() == 1 + kUpdateRecordSize &&
                          std::equal(kRecordMagic.begin(), kRecordMagic.end(), State->begin() + 1);
  if (!WithRecord && State->size() > 1) {
    Text += " (" + std::to_string(State->size()) + " bytes)";
  }
  return Text;
}

std::optional<uint64_t> ParseNumber(const std::string &Text, uint64_t Max) {
  const bool HexDigits = Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X');
  const size_t First = HexDigits ? 2 : 0;
  const uint64_t Base = HexDigits ? 16 : 10;
  if (Text.size() == First) {
    return std::nullopt;
  }
  uint64_t Value = 0;
  for (size_t I = First; I < Text.size(); I++) {
    const char C = Text[I];
    uint64_t Digit = 0;
    if (C >= '0' && C <= '9') {
      Digit = static_cast<uint64_t>(C - '0');
    } else if (HexDigits && C >= 'a' && C <= 'f') {
      Digit = static_cast<uint64_t>(C - 'a' + 10);
    } else if (HexDigits && C >= 'A' && C <= 'F') {
      Digit = static_cast<uint64_t>(C - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (Digit > Max || Value > (Max - Digit) / Base) {
      return std::nullopt;
    }
    Value = Value * Base + Digit;
  }
  return Value;
}

uint8_t ParseByteOption(const std::string &Option, const std::string &Text) {
  const auto Value = ParseNumber(Text, 0xFF);
  if (!Value) {
    throw UsageError(Option + ": \"" + Text + "\" is not a byte (0 to 255, or 0x00 to 0xFF)");
  }
  return static_cast<uint8_t>(*Value);
}

uint32_t ParseSignatureOption(const std::string &Option, const std::string &Text) {
  const auto Value = ParseNumber(Text, 0xFFFFFFFFu);
  if (!Value) {
    throw UsageError(Option + ": \"" + Text + "\" is not a 32-bit number (for example 0x000806E9)");
  }
  return static_cast<uint32_t>(*Value);
}

std::optional<uint8_t> ParseMorOption(const std::string &Text) {
  if (Text == "none") {
    return std::nullopt;
  }
  const auto Value = ParseNumber(Text, 0xFF);
  if (!Value) {
    throw UsageError("--mor: \"" + Text + "\" is neither none nor a byte (for example 0xFF)");
  }
  return static_cast<uint8_t>(*Value);
}

std::string ParseSmbiosStringOption(const std::string &Option, const std::string &Text) {
  if (Text.empty() || Text.size() > 64) {
    throw UsageError(Option + ": an SMBIOS string holds 1 to 64 characters");
  }
  for (char C : Text) {
    if (C < 0x20 || C > 0x7E) {
      throw UsageError(Option + ": \"" + Text + "\" holds a character other than printable ASCII");
    }
  }
  return Text;
}

int ParseLaunchesOption(const std::string &Text) {
  const auto Value = ParseNumber(Text, kMaxLaunches);
  if (!Value || *Value == 0) {
    throw UsageError("--launches: \"" + Text + "\" is not a number of launches (1 to " + std::to_string(kMaxLaunches) +
                     ")");
  }
  return static_cast<int>(*Value);
}

std::vector<uint8_t> ReadImageFile(const std::string &Path) { return ReadHostFile("IMAGE " + Path, Path); }

void CheckRegularFile(const std::string &Label, const std::string &Path) {
  std::error_code Error;
  const std::filesystem::file_status Status = std::filesystem::status(Path, Error);
  if (Error) {
    throw UsageError(Label + ": " + Error.message());
  }
  if (!std::filesystem::is_regular_file(Status)) {
    throw UsageError(Label + ": not a regular file");
  }
}

std::vector<uint8_t> ReadHostFile(const std::string &Label, const std::string &Path) {
  namespace fs = std::filesystem;
  CheckRegularFile(Label, Path);
  std::error_code Error;
  const uintmax_t Size = fs::file_size(Path, Error);
  if (Error) {
    throw UsageError(Label + ": " + Error.message());
  }
  if (Size > kMaxImageSize) {
    throw UsageError(Label + ": larger than " + std::to_string(kMaxImageSize >> 20) + " MiB");
  }
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    throw UsageError(Label + ": " + std::strerror(errno));
  }
  std::vector<uint8_t> Bytes(static_cast<size_t>(Size));
  In.read(reinterpret_cast<char *>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
  if (In.gcount() != static_cast<std::streamsize>(Bytes.size()) || In.bad()) {
    throw UsageError(Label + ": could not be read whole");
  }
  return Bytes;
}

std::string Hex(uint64_t Value, int Digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string Out;
  do {
    Out.insert(Out.begin(), kDigits[Value & 0xF]);
    Value >>= 4;
  } while (Value != 0);
  while (static_cast<int>(Out.size()) < Digits) {
    Out.insert(Out.begin(), '0');
  }
  return "0x" + Out;
}

}  // namespace tamsork_sim
