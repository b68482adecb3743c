// Reads the built Tamsork.efi and checks what firmware needs to load it:
// a PE32+ image for x86-64, subsystem EFI application, nothing imported,
// and base relocations so it can run wherever firmware places it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<uint8_t> ReadImage() {
  std::ifstream In(TAMSORK_EFI_IMAGE, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

template <typename T> T At(const std::vector<uint8_t> &Image, size_t Offset) {
  T Value{};
  if (Offset + sizeof(T) <= Image.size()) {
    std::memcpy(&Value, Image.data() + Offset, sizeof(T));
  }
  return Value;
}

TEST(EfiImage, IsALoadableX64EfiApplication) {
  const std::vector<uint8_t> Image = ReadImage();
  ASSERT_GT(Image.size(), 1024u) << "build/efi/Tamsork.efi missing; run make efi";
  ASSERT_EQ(At<uint16_t>(Image, 0), 0x5A4D);  // "MZ"
  const uint32_t Pe = At<uint32_t>(Image, 0x3C);
  ASSERT_EQ(At<uint32_t>(Image, Pe), 0x00004550u);  // "PE\0\0"

  const size_t FileHeader = Pe + 4;
  EXPECT_EQ(At<uint16_t>(Image, FileHeader), 0x8664) << "machine x86-64";
  const uint16_t Characteristics = At<uint16_t>(Image, FileHeader + 18);
  EXPECT_EQ(Characteristics & 0x0001, 0) << "relocations must not be stripped";
  EXPECT_NE(Characteristics & 0x0002, 0) << "executable image";

  const size_t Optional = FileHeader + 20;
  EXPECT_EQ(At<uint16_t>(Image, Optional), 0x20B) << "PE32+";
  EXPECT_EQ(At<uint16_t>(Image, Optional + 68), 10) << "subsystem EFI application";
  EXPECT_NE(At<uint32_t>(Image, Optional + 16), 0u) << "entry point";

  const uint32_t DirectoryCount = At<uint32_t>(Image, Optional + 108);
  ASSERT_GE(DirectoryCount, 6u);
  const size_t Directories = Optional + 112;
  auto DirectorySize = [&](int Index) { return At<uint32_t>(Image, Directories + 8 * Index + 4); };
  EXPECT_EQ(DirectorySize(1), 0u) << "no import directory";
  EXPECT_EQ(DirectorySize(12), 0u) << "no import address table";
  EXPECT_GT(DirectorySize(5), 0u) << "base relocation directory present";
}

}  // namespace
