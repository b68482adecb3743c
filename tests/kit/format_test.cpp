// The formatter's conversions, cutting and termination.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kit/Library.h"

namespace {

// What reached the console's OutputString, in order.
std::u16string &Screen() {
  static std::u16string Text;
  return Text;
}
EFI_STATUS EFIAPI CaptureOutput(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, CHAR16 *Text) {
  Screen() += Text;
  return EFI_SUCCESS;
}

// Formats Fmt into a buffer of Bytes bytes and returns the text. The same
// format in UCS-2 must give the same text, and printing it to a console must
// send the same text uncut, with a CR before each lone LF.
std::u16string Format(UINTN Bytes, const char *Fmt, auto... Args) {
  std::u16string Buffer(Bytes / 2 + 4, u'#');
  UINTN Count = UnicodeSPrintAsciiFormat(Buffer.data(), Bytes, Fmt, Args...);
  std::u16string Out(Buffer.data());
  EXPECT_EQ(Count, Out.size());

  const KIT_PRINT_ARG List[sizeof...(Args) + 1] = {KitPrintArg(Args)..., {KitArgKind::Unsigned, 0, nullptr}};
  const std::u16string WideFormat(Fmt, Fmt + std::strlen(Fmt));
  std::u16string Wide(Bytes / 2 + 4, u'#');
  EXPECT_EQ(KitFormatUnicode(Wide.data(), Bytes, WideFormat.c_str(), List, sizeof...(Args)), Count) << Fmt;
  EXPECT_EQ(std::u16string(Wide.data()), Out) << Fmt;

  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL Console = {};
  Console.OutputString = CaptureOutput;
  Screen().clear();
  EXPECT_EQ(KitPrint(&Console, WideFormat.c_str(), List, sizeof...(Args)), Screen().size()) << Fmt;
  if (Bytes >= sizeof(CHAR16) && Count < Bytes / sizeof(CHAR16) - 1) {
    std::u16string Lines;
    for (size_t I = 0; I < Out.size(); I++) {
      if (Out[I] == u'\n' && (I == 0 || Out[I - 1] != u'\r')) {
        Lines += u'\r';
      }
      Lines += Out[I];
    }
    EXPECT_EQ(Screen(), Lines) << Fmt;
  }
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
  EXPECT_EQ(Format(200, "%r", (EFI_STATUS)1), u"0x1");
  EXPECT_EQ(Format(200, "[%5a][%-5s][%2a]", "ab", u"cd", "long"), u"[   ab][cd   ][long]");
  EXPECT_EQ(Format(200, "[%5d][%05d][%-5d][%i]", -42, -42, -42, -7), u"[  -42][-0042][-42  ][-7]");
  EXPECT_EQ(Format(200, "%c%c%Lu%ld", (CHAR16)u'O', 'K', 3u, 4), u"OK34");
  EXPECT_EQ(Format(200, "%u", EfiBootServicesData), u"4");
  EXPECT_EQ(Format(200, "%q|%", 1u), u"%q|");
  EXPECT_EQ(Format(200, "ab%-05"), u"ab");
  EXPECT_EQ(Format(200, "a\nb\r\nc\n"), u"a\nb\r\nc\n");
  // A width stops growing past three digits instead of overflowing.
  EXPECT_EQ(Format(4000, "%12345u", 7u), std::u16string(1233, u' ') + u"7");
}

TEST(Format, MissingOrMismatchedArgumentsAreMarkedNotRead) {
  EXPECT_EQ(Format(200, "%u %u", 1u), u"1 (?)");
  EXPECT_EQ(Format(200, "%s", 5u), u"(?)");
  EXPECT_EQ(Format(200, "%u", u"text"), u"(?)");
  EXPECT_EQ(Format(200, "%s", (const CHAR16 *)nullptr), u"<null string>");
  EXPECT_EQ(Format(200, "%a|%a", nullptr, 5), u"<null string>|(?)");
  EXPECT_EQ(Format(200, "%c|%r|%x|%c", "a", u"b", "c"), u"(?)|(?)|(?)|(?)");
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
  EXPECT_EQ(KitFormatAscii(nullptr, 200, "abc", nullptr, 0), 0u);
  EXPECT_EQ(KitFormatAscii(&Untouched, 2, nullptr, nullptr, 0), 0u);
  EXPECT_EQ(KitFormatUnicode(&Untouched, 1, u"abc", nullptr, 0), 0u);
  EXPECT_EQ(Untouched, u'#');
}

// The console gets the text in chunks; none is lost at a chunk's edge, and
// a missing console or format sends nothing.
TEST(Format, ConsoleOutputIsNeverCut) {
  for (size_t Length : {126, 127, 128, 254, 255, 1000}) {
    const std::string Text(Length, 'x');
    EXPECT_EQ(Format(4000, "%a", Text.c_str()).size(), Length);
  }
  EXPECT_EQ(KitPrint(nullptr, u"abc", nullptr, 0), 3u);
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL Console = {};
  Console.OutputString = CaptureOutput;
  Screen().clear();
  EXPECT_EQ(KitPrint(&Console, nullptr, nullptr, 0), 0u);
  EXPECT_EQ(Screen(), u"");
}

}  // namespace
