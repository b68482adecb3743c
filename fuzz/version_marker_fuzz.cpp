// The version-marker search on any bytes, in an exact-size heap copy so a
// read past the end lands in the address sanitizer's red zone. Its answer
// is compared with a plain byte-by-byte search, and FindByte's word-at-a-time
// scan with a plain loop over a range taken from the input.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "app/checks/VersionMarker.h"

namespace {

bool IsFieldLetter(uint8_t B) { return B == 'a' || B == 'c' || B == 'e' || B == 'g' || B == 'i'; }

// The decimal reading the marker's numbers get: blanks, then digits, at
// most Count characters.
size_t Decimal(const uint8_t *From, size_t Count) {
  size_t I = 0;
  while (I < Count && (From[I] == ' ' || From[I] == '\t')) {
    I++;
  }
  size_t Value = 0;
  for (; I < Count && From[I] >= '0' && From[I] <= '9'; I++) {
    Value = Value * 10 + (From[I] - '0');
  }
  return Value;
}

struct Plain {
  bool Found = false;
  size_t Anchor = 0, Field = 0, Major = 0, Minor = 0;
};

Plain PlainSearch(const uint8_t *Data, size_t Size) {
  Plain P;
  if (Size < VERSION_ANCHOR_SIZE + VERSION_FIELD_SIZE) {
    return P;
  }
  size_t Anchor = 0;
  while (Anchor + VERSION_ANCHOR_SIZE <= Size && std::memcmp(Data + Anchor, "$BVDT", VERSION_ANCHOR_SIZE) != 0) {
    Anchor++;
  }
  if (Anchor + VERSION_ANCHOR_SIZE > Size) {
    return P;
  }
  for (size_t Field = Anchor + VERSION_ANCHOR_SIZE; Field + VERSION_FIELD_SIZE <= Size; Field++) {
    if (Data[Field] == '$' && Data[Field + 1] == '.' && IsFieldLetter(Data[Field + 2]) && Data[Field + 4] == '.') {
      return {true, Anchor, Field, Decimal(Data + Field + 3, 1), Decimal(Data + Field + 5, 2)};
    }
  }
  return P;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  std::unique_ptr<uint8_t[]> Copy(new uint8_t[Size]);
  if (Size != 0) {
    std::memcpy(Copy.get(), Data, Size);
  }

  VERSION_MARKER Marker{};
  const bool Found = FindVersionMarker(Copy.get(), Size, &Marker);
  const Plain Want = PlainSearch(Copy.get(), Size);
  FUZZ_REQUIRE(Found == Want.Found, std::string("marker found: ") + (Found ? "yes" : "no") +
                                        ", plain search: " + (Want.Found ? "yes" : "no"));
  if (Found) {
    FUZZ_REQUIRE(Marker.AnchorOffset == Want.Anchor && Marker.FieldOffset == Want.Field,
                 "marker at " + std::to_string(Marker.AnchorOffset) + "/" + std::to_string(Marker.FieldOffset) +
                     ", plain search at " + std::to_string(Want.Anchor) + "/" + std::to_string(Want.Field));
    FUZZ_REQUIRE(Marker.Major == Want.Major && Marker.Minor == Want.Minor,
                 "version " + std::to_string(Marker.Major) + "." + std::to_string(Marker.Minor) + ", plain reading " +
                     std::to_string(Want.Major) + "." + std::to_string(Want.Minor));
  }

  // FindByte over a range and for a byte the input chooses.
  if (Size >= 3) {
    const size_t From = Copy[0] % (Size + 1);
    const size_t Limit = From + Copy[1] % (Size - From + 1);
    const uint8_t Byte = Copy[2];
    size_t Scan = From;
    while (Scan < Limit && Copy[Scan] != Byte) {
      Scan++;
    }
    const size_t Fast = FindByte(Copy.get(), From, Limit, Byte);
    FUZZ_REQUIRE(Fast == Scan, "FindByte(" + std::to_string(From) + ", " + std::to_string(Limit) + ") gave " +
                                   std::to_string(Fast) + ", a plain scan " + std::to_string(Scan));
  }
  return 0;
}
