// The EFI build's C runtime (kit/src/efi/Crt.cpp), compiled here under other
// names so the host's own memset stays in use. Fills and copies move eight
// bytes per step and the rest one at a time: every length around a word
// boundary, at every alignment, must touch exactly its bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "kit/src/efi/CrtRenamed.h"

namespace {

constexpr UINT8 kGuard = 0x5C;

TEST(CrtMemory, FillsAndCopiesTouchExactlyTheirBytes) {
  const size_t Lengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 4099};
  for (size_t Length : Lengths) {
    for (size_t Offset = 0; Offset < 8; Offset++) {
      SCOPED_TRACE(testing::Message() << "length " << Length << ", offset " << Offset);
      std::vector<UINT8> Source(Length + 16);
      for (size_t I = 0; I < Source.size(); I++) {
        Source[I] = (UINT8)(I * 7 + 1);
      }
      for (int Value : {0x00, 0xA5, 0x1FF}) {
        std::vector<UINT8> Buffer(Length + 16, kGuard);
        EXPECT_EQ(CrtMemset(Buffer.data() + Offset, Value, Length), Buffer.data() + Offset);
        for (size_t I = 0; I < Buffer.size(); I++) {
          const bool Inside = I >= Offset && I < Offset + Length;
          ASSERT_EQ(Buffer[I], Inside ? (UINT8)Value : kGuard) << "fill " << Value << ", byte " << I;
        }
      }
      std::vector<UINT8> Buffer(Length + 16, kGuard);
      EXPECT_EQ(CrtMemcpy(Buffer.data() + Offset, Source.data() + 3, Length), Buffer.data() + Offset);
      for (size_t I = 0; I < Buffer.size(); I++) {
        const bool Inside = I >= Offset && I < Offset + Length;
        ASSERT_EQ(Buffer[I], Inside ? Source[I - Offset + 3] : kGuard) << "copy, byte " << I;
      }
    }
  }
}

// memmove copies forwards unless the destination starts inside the source,
// then backwards: either way every byte lands as the source held it before.
TEST(CrtMemory, OverlappingMovesKeepTheSourceBytes) {
  struct Case {
    const char *Name;
    size_t From, To, Length;
  };
  const Case Cases[] = {
      {"down, overlapping", 5, 2, 20},     {"up, overlapping", 2, 5, 20},  {"up by one", 0, 1, 30},
      {"up, just past the end", 0, 20, 20}, {"onto itself", 4, 4, 10},     {"nothing", 3, 9, 0},
  };
  for (const Case &C : Cases) {
    std::vector<UINT8> Buffer(48);
    for (size_t I = 0; I < Buffer.size(); I++) {
      Buffer[I] = (UINT8)(I + 1);
    }
    std::vector<UINT8> Expected = Buffer;
    std::copy(Buffer.begin() + C.From, Buffer.begin() + C.From + C.Length, Expected.begin() + C.To);
    EXPECT_EQ(CrtMemmove(Buffer.data() + C.To, Buffer.data() + C.From, C.Length), Buffer.data() + C.To) << C.Name;
    EXPECT_EQ(Buffer, Expected) << C.Name;
  }
}

// memcmp's sign follows the first differing byte, read unsigned.
TEST(CrtMemory, ComparesAsUnsignedBytes) {
  struct Case {
    const char *Name, *A, *B;
    size_t Length;
    int Sign;
  };
  const Case Cases[] = {
      {"equal", "abcd", "abcd", 4, 0},          {"empty", "a", "b", 0, 0},
      {"first byte", "abcd", "bbcd", 4, -1},    {"last byte", "abcd", "abce", 4, -1},
      {"past the length", "abcx", "abcy", 3, 0}, {"high byte above low", "\xF0", "\x10", 1, 1},
  };
  for (const Case &C : Cases) {
    const int Result = CrtMemcmp(C.A, C.B, C.Length);
    EXPECT_EQ((Result > 0) - (Result < 0), C.Sign) << C.Name;
  }
}

}  // namespace
