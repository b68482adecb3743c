// The version-marker search over image bytes: what counts as a marker, and
// that no byte outside the data is ever read.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/checks/VersionMarker.h"

namespace {

struct MarkerCase {
  const char *Name;
  std::string Data;
  bool Found;
  UINTN Major, Minor;
};

// Searches a heap copy of exactly the data's size, so ASan sees any read
// past its end.
bool Search(const std::string &Data, VERSION_MARKER *Marker) {
  std::unique_ptr<UINT8[]> Copy(new UINT8[Data.size() + (Data.empty() ? 1 : 0)]);
  std::memcpy(Copy.get(), Data.data(), Data.size());
  return FindVersionMarker(Copy.get(), Data.size(), Marker);
}

TEST(VersionMarker, Table) {
  const std::string Pad(40, 'x');
  const MarkerCase Cases[] = {
      {"plain", Pad + "$BVDT" + Pad + "$.a1.05" + Pad, true, 1, 5},
      {"field right after anchor", "$BVDT$.a1.05", true, 1, 5},
      {"every letter c", "$BVDT$.c2.00", true, 2, 0},
      {"letter e", "$BVDT$.e3.10", true, 3, 10},
      {"letter g", "$BVDT$.g4.99", true, 4, 99},
      {"letter i", "$BVDT$.i0.01", true, 0, 1},
      {"letter b is no field", "$BVDT$.b1.05", false, 0, 0},
      {"capital A is no field", "$BVDT$.A1.05", false, 0, 0},
      {"field before anchor only", "$.a1.05$BVDT" + Pad, false, 0, 0},
      {"field before and after anchor", "$.a9.99$BVDT$.a1.05", true, 1, 5},
      {"minor with trailing letter", "$BVDT$.a1.5x", true, 1, 5},
      {"minor point", "$BVDT$.a1.7.", true, 1, 7},
      {"minor blank digit", "$BVDT$.a1. 7", true, 1, 7},
      {"minor letter first", "$BVDT$.a1.x7", true, 1, 0},
      {"major not a digit", "$BVDT$.ax.05", true, 0, 5},
      {"digits after field ignored", "$BVDT$.a1.0599", true, 1, 5},
      {"last byte of file is second minor digit", Pad + "$BVDT" + "$.a1.05", true, 1, 5},
      {"field cut by end of file", Pad + "$BVDT" + "$.a1.0", false, 0, 0},
      {"first field counts", "$BVDT$.a1.05$.a2.00", true, 1, 5},
      {"later anchor changes nothing", "$BVDT$.a1.05$BVDT$.a2.00", true, 1, 5},
      {"false start inside field", "$BVDT$$.a1.05", true, 1, 5},
      {"anchor overlaps field start", "$BVD$BVDT$.c1.23", true, 1, 23},
      {"empty", "", false, 0, 0},
      {"four bytes", "$BVD", false, 0, 0},
      {"anchor only", "$BVDT", false, 0, 0},
      {"anchor and short field", "$BVDT$.a1.", false, 0, 0},
      {"no dollar at all", std::string(1000, 'a'), false, 0, 0},
      {"anchor broken at its third byte", "$BxDT$BVDT$.a1.05", true, 1, 5},
      {"anchor broken at its fourth byte", "$BVxT$BVDT$.a1.05", true, 1, 5},
      {"broken anchors only", "$BxDT$BVxT$.a1.05", false, 0, 0},
  };
  for (const MarkerCase &Case : Cases) {
    VERSION_MARKER Marker{};
    EXPECT_EQ(Search(Case.Data, &Marker), Case.Found) << Case.Name;
    if (Case.Found) {
      EXPECT_EQ(Marker.Major, Case.Major) << Case.Name;
      EXPECT_EQ(Marker.Minor, Case.Minor) << Case.Name;
      EXPECT_EQ(Case.Data.compare(Marker.AnchorOffset, 5, "$BVDT"), 0) << Case.Name;
      EXPECT_GE(Marker.FieldOffset, Marker.AnchorOffset + 5) << Case.Name;
    }
  }
}

// The word-at-a-time scan against a byte-by-byte reference at every
// alignment and every position of the match, including none at all.
TEST(VersionMarker, FindByteAgreesWithBytewiseScan) {
  std::vector<UINT8> Data(200, 0x23);  // '#', one below '$'
  for (UINTN Where = 0; Where <= 100; Where++) {
    for (UINTN From = 0; From < 12; From++) {
      for (UINTN Limit : {(UINTN)0, (UINTN)7, (UINTN)64, (UINTN)101, (UINTN)200}) {
        std::vector<UINT8> Copy = Data;
        if (Where < 100) {
          Copy[Where] = '$';
          Copy[Where + 50] = '$';
        }
        UINTN Expected = Limit;
        for (UINTN I = From; I < Limit; I++) {
          if (Copy[I] == '$') {
            Expected = I;
            break;
          }
        }
        EXPECT_EQ(FindByte(Copy.data(), From, Limit, '$'), Expected) << Where << " " << From << " " << Limit;
      }
    }
  }
}

// Bytes that trip the word trick's carries (0x23 next to 0x24, 0xA4, 0x00)
// must not produce a match where there is none.
TEST(VersionMarker, FindByteHasNoFalseMatches) {
  const UINT8 Tricky[] = {0x23, 0xA4, 0x25, 0x00, 0x64, 0x14, 0x23, 0x23, 0xA5, 0xFF, 0x01, 0x24};
  std::vector<UINT8> Data;
  for (int I = 0; I < 10; I++) {
    Data.insert(Data.end(), Tricky, Tricky + sizeof(Tricky) - 1);
  }
  Data.push_back(0x24);
  EXPECT_EQ(FindByte(Data.data(), 0, Data.size(), 0x24), Data.size() - 1);
}

}  // namespace
