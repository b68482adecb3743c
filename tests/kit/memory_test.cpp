// The EFI build's C runtime fills and copies (kit/src/efi/Crt.cpp), compiled
// here under other names so the host's own memset stays in use. They move
// eight bytes per step and the rest one at a time: every length around a
// word boundary, at every alignment, must touch exactly its bytes.
#include <gtest/gtest.h>

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

}  // namespace
