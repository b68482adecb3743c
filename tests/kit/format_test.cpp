// The formatter's conversions, cutting and termination.
#include <gtest/gtest.h>

#include <string>

#include "kit/Library.h"

namespace {

std::u16string Format(UINTN Bytes, const char *Fmt, auto... Args) {
  std::u16string Buffer(Bytes / 2 + 4, u'#');
  UINTN Count = UnicodeSPrintAsciiFormat(Buffer.data(), Bytes, Fmt, Args...);
  std::u16string Out(Buffer.data());
  EXPECT_EQ(Count, Out.size());
  return Out;
}

TEST(Format, Conversions) {
  EXPECT_EQ(Format(200, "%u.%02u", (UINTN)1, (UINTN)5), u"1.05");
  EXPECT_EQ(Format(200, "%u.%02u", (UINTN)12, (UINTN)123), u"12.123");
  EXPECT_EQ(Format(200, "%d|%d", -42, 7), u"-42|7");
  EXPECT_EQ(Format(200, "%x %X %08x", 0xBEEFu, 0xBEEFu, 0x1Fu), u"beef BEEF 0000001f");
  EXPECT_EQ(Format(200, "[%5u][%-5u]", 42u, 42u), u"[   42][42   ]");
  EXPECT_EQ(Format(200, "%s and %a", u"wide", "narrow"), u"wide and narrow");
  EXPECT_EQ(Format(200, "100%%"), u"100%");
  EXPECT_EQ(Format(200, "%lu", (UINT64)18446744073709551615ULL), u"18446744073709551615");
  EXPECT_EQ(Format(200, "%r|%r|%r|%r|%r|%r", EFI_SUCCESS, EFI_WRITE_PROTECTED, EFI_ACCESS_DENIED, EFI_ABORTED,
                   EFI_INCOMPATIBLE_VERSION, ENCODE_ERROR(40)),
            u"Success|Write Protected|Access Denied|Aborted|Incompatible Version|0x8000000000000028");
}

TEST(Format, MissingOrMismatchedArgumentsAreMarkedNotRead) {
  EXPECT_EQ(Format(200, "%u %u", 1u), u"1 (?)");
  EXPECT_EQ(Format(200, "%s", 5u), u"(?)");
  EXPECT_EQ(Format(200, "%u", u"text"), u"(?)");
  EXPECT_EQ(Format(200, "%s", (const CHAR16 *)nullptr), u"<null string>");
}

TEST(Format, OutputIsCutToTheBufferAndAlwaysTerminated) {
  // 200 bytes hold 99 characters and the NUL.
  std::u16string Long(150, u'x');
  EXPECT_EQ(Format(200, "%s", Long.c_str()).size(), 99u);
  EXPECT_EQ(Format(8, "abcdef"), u"abc");
  EXPECT_EQ(Format(2, "abcdef"), u"");
  CHAR16 Untouched = u'#';
  EXPECT_EQ(UnicodeSPrintAsciiFormat(&Untouched, 1, "abc"), 0u);
  EXPECT_EQ(Untouched, u'#');
}

}  // namespace
