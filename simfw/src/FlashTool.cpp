// The flash tool the Shell starts (kFlashToolName): it reads the image its
// first argument names and writes it to the BIOS, so that the next boot
// reports the image's version in SMBIOS type 0.
//
// The version marker is read here independently of the application's own
// reader, so that a slip on either side shows up as a version that does not
// change as expected.
#include <algorithm>
#include <cstdio>

#include "Internal.h"

namespace sim {

namespace {

constexpr char kAnchor[] = "$BVDT";
constexpr size_t kAnchorSize = sizeof kAnchor - 1;
constexpr size_t kFieldSize = 7;  // "$.a1.06"

bool IsDigit(uint8_t C) { return C >= '0' && C <= '9'; }

// After the first "$BVDT", the first whole field "$.X?.??" with X one of
// a c e g i: the major is byte 3 when it is a digit (else 0), the minor the
// digits of bytes 5 and 6 after any blanks or tabs (none: 0). The BIOS
// Version string it gives, "V1.06"; nullopt without a marker.
std::optional<std::string> MarkedVersion(const std::vector<uint8_t> &Image) {
  const auto Found = std::search(Image.begin(), Image.end(), kAnchor, kAnchor + kAnchorSize);
  if (Found == Image.end()) {
    return std::nullopt;
  }
  for (size_t At = static_cast<size_t>(Found - Image.begin()) + kAnchorSize; At + kFieldSize <= Image.size(); At++) {
    const uint8_t *F = Image.data() + At;
    const bool Letter = F[2] == 'a' || F[2] == 'c' || F[2] == 'e' || F[2] == 'g' || F[2] == 'i';
    if (F[0] != '$' || F[1] != '.' || !Letter || F[4] != '.') {
      continue;
    }
    const unsigned Major = IsDigit(F[3]) ? F[3] - '0' : 0;
    size_t I = 5;
    while (I < kFieldSize && (F[I] == ' ' || F[I] == '\t')) {
      I++;
    }
    unsigned Minor = 0;
    for (; I < kFieldSize && IsDigit(F[I]); I++) {
      Minor = Minor * 10 + (F[I] - '0');
    }
    char Text[16];
    std::snprintf(Text, sizeof Text, "V%u.%02u", Major, Minor);
    return Text;
  }
  return std::nullopt;
}

}  // namespace

void RunFlashTool(Firmware::Impl &M, ExecuteCall &Call) {
  if (M.Owner.FlashTool == FlashToolBehaviour::DoesNothing) {
    Call.FlashTool = ExecuteCall::Tool::DidNothing;
    return;
  }
  const auto Where = Call.Argv.size() >= 2 ? ResolveShellName(M, Call.Argv[1]) : std::nullopt;
  const Volume::Node *Image = Where ? Where->Find() : nullptr;
  if (Image == nullptr || Image->Directory) {
    Call.FlashTool = ExecuteCall::Tool::NoImage;
    return;
  }
  // The tool reads the file through the volume's driver: what it holds now.
  const auto Version = MarkedVersion(Image->Current());
  if (!Version) {
    Call.FlashTool = ExecuteCall::Tool::NoMarker;
    return;
  }
  Call.FlashTool = ExecuteCall::Tool::Flashed;
  Call.FlashedVersion = *Version;
  M.PendingBiosVersion = *Version;
}

}  // namespace sim
