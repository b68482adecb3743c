// Option values of tamsork: the keys typed at the prompts, the state
// file at the start, byte and signature numbers, SMBIOS strings and the
// image file. Each parser throws UsageError, whose message is one line
// naming the option, when a value is not acceptable.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tamsork_sim {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A key as the firmware hands it to ReadKeyStroke: a scan code for the keys
// without a character, otherwise the character.
struct KeyPress {
  uint16_t ScanCode = 0;
  char16_t Char = 0;
  bool operator==(const KeyPress &) const = default;
};

// "y,Y,enter,f1": single characters (case kept), or names without regard
// to case: enter, space, tab, backspace, comma, esc, up, down, left, right,
// home, end, insert, delete, pageup, pagedown, f1 to f12. An empty list
// gives no keys; an empty item or an unknown name is an error.
std::vector<KeyPress> ParseKeys(const std::string &List);
// The name ParseKeys reads back as the same key.
std::string KeyName(const KeyPress &Key);

// A file's bytes, or nullopt for no file.
using FileBytes = std::optional<std::vector<uint8_t>>;

// The state file at the start: "none" (no file), "empty", one of the codes
// 1 2 3 @ A B G, or any byte as 0xNN.
FileBytes ParseState(const std::string &Text);
// --state: a state as ParseState reads it, with ":ro" after it for a state
// file marked read-only ("1:ro").
struct StateOption {
  FileBytes State;
  bool ReadOnly = false;
};
StateOption ParseStateOption(const std::string &Text);
// The bytes of the record an update's first launch writes after the byte.
constexpr size_t kUpdateRecordSize = 104;
// The state file as ParseState reads it: "none", "empty", the code, or 0xNN
// for a byte that is not a state code (also when the update's record follows
// it); any other longer file adds its size.
std::string StateText(const FileBytes &State);

// A number 0..Max written in decimal or as 0x followed by hex digits.
std::optional<uint64_t> ParseNumber(const std::string &Text, uint64_t Max);
uint8_t ParseByteOption(const std::string &Option, const std::string &Text);
uint32_t ParseSignatureOption(const std::string &Option, const std::string &Text);
// "none" or a byte.
std::optional<uint8_t> ParseMorOption(const std::string &Text);
// An SMBIOS string: 1 to 64 printable ASCII characters.
std::string ParseSmbiosStringOption(const std::string &Option, const std::string &Text);
// 1 to kMaxLaunches.
int ParseLaunchesOption(const std::string &Text);
constexpr int kMaxLaunches = 1000;

// Upper bound on a file read from the host, well above any BIOS image or log.
constexpr uint64_t kMaxImageSize = 256ull << 20;
// UsageError, its message beginning with Label, when Path is missing or
// not a regular file.
void CheckRegularFile(const std::string &Label, const std::string &Path);
// The whole file; UsageError, its message beginning with Label and the
// path, when it is missing, not a regular file, too large or unreadable.
std::vector<uint8_t> ReadHostFile(const std::string &Label, const std::string &Path);
// ReadHostFile for the IMAGE argument.
std::vector<uint8_t> ReadImageFile(const std::string &Path);

// "0x1F" style, Digits hex digits.
std::string Hex(uint64_t Value, int Digits);

}  // namespace tamsork_sim
