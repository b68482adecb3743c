// The kit's string functions, with the decimal readings the version checks
// depend on.
#include <gtest/gtest.h>

#include <string>

#include "kit/Library.h"

namespace {

struct DecimalCase {
  const char *Text;
  UINTN Value;
  RETURN_STATUS Status;
  size_t Read;  // characters before the end pointer
};

TEST(Strings, DecimalReading) {
  const DecimalCase Cases[] = {
      {"05", 5, RETURN_SUCCESS, 2},          {"12", 12, RETURN_SUCCESS, 2},
      {"7.", 7, RETURN_SUCCESS, 1},          {" 7", 7, RETURN_SUCCESS, 2},
      {"\t 0009x", 9, RETURN_SUCCESS, 6},    {"x7", 0, RETURN_SUCCESS, 0},
      {"", 0, RETURN_SUCCESS, 0},            {".05", 0, RETURN_SUCCESS, 0},
      {"000", 0, RETURN_SUCCESS, 3},         {"18446744073709551615", MAX_UINTN, RETURN_SUCCESS, 20},
      {"18446744073709551616", MAX_UINTN, RETURN_UNSUPPORTED, 19},
      {"99999999999999999999999", MAX_UINTN, RETURN_UNSUPPORTED, 19},
  };
  for (const DecimalCase &Case : Cases) {
    UINTN Ascii = 12345;
    CHAR8 *AsciiEnd = nullptr;
    EXPECT_EQ(AsciiStrDecimalToUintnS(Case.Text, &AsciiEnd, &Ascii), Case.Status) << Case.Text;
    EXPECT_EQ(Ascii, Case.Value) << Case.Text;
    EXPECT_EQ(AsciiEnd, Case.Text + Case.Read) << Case.Text;
    Ascii = 12345;
    EXPECT_EQ(AsciiStrDecimalToUintnS(Case.Text, nullptr, &Ascii), Case.Status) << Case.Text;
    EXPECT_EQ(Ascii, Case.Value) << Case.Text;

    std::u16string Wide(Case.Text, Case.Text + std::char_traits<char>::length(Case.Text));
    UINTN Unicode = 12345;
    CHAR16 *UnicodeEnd = nullptr;
    EXPECT_EQ(StrDecimalToUintnS(Wide.c_str(), &UnicodeEnd, &Unicode), Case.Status) << Case.Text;
    EXPECT_EQ(Unicode, Case.Value) << Case.Text;
    EXPECT_EQ(UnicodeEnd, Wide.c_str() + Case.Read) << Case.Text;
  }
}

TEST(Strings, DecimalEndPointerStopsAtFirstNonDigit) {
  const CHAR16 *Text = u"  012.5";
  CHAR16 *End = nullptr;
  UINTN Value = 0;
  StrDecimalToUintnS(Text, &End, &Value);
  EXPECT_EQ(Value, 12u);
  EXPECT_EQ(End, Text + 5);
}

TEST(Strings, OverlongStringIsRefusedAndDataLeftAlone) {
  std::string Long(KIT_MAX_STRING_LENGTH + 1, '1');
  UINTN Value = 77;
  EXPECT_EQ(AsciiStrDecimalToUintnS(Long.c_str(), nullptr, &Value), RETURN_INVALID_PARAMETER);
  EXPECT_EQ(Value, 77u);
  std::u16string WideLong(KIT_MAX_STRING_LENGTH + 1, u'1');
  CHAR16 *End = nullptr;
  EXPECT_EQ(StrDecimalToUintnS(WideLong.c_str(), &End, &Value), RETURN_INVALID_PARAMETER);
  EXPECT_EQ(Value, 77u);
  EXPECT_EQ(End, WideLong.c_str());
}

// A null argument trips an assertion (reported on the standard error
// console, where there is one) and is then refused without being read.
TEST(Strings, NullArgumentsAreRefusedNotRead) {
  UINTN Value = 77;
  CHAR16 Buffer[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_EQ(StrLen(nullptr), 0u);
  EXPECT_EQ(AsciiStrLen(nullptr), 0u);
  EXPECT_EQ(StrCmp(nullptr, nullptr), 0);
  EXPECT_LT(StrCmp(nullptr, u"a"), 0);
  EXPECT_GT(StrCmp(u"a", nullptr), 0);
  EXPECT_EQ(StrnCmp(nullptr, nullptr, 3), 0);
  EXPECT_LT(StrnCmp(nullptr, u"a", 3), 0);
  EXPECT_GT(StrnCmp(u"a", nullptr, 3), 0);
  EXPECT_EQ(StrDecimalToUintnS(nullptr, nullptr, &Value), RETURN_INVALID_PARAMETER);
  EXPECT_EQ(AsciiStrDecimalToUintnS("5", nullptr, nullptr), RETURN_INVALID_PARAMETER);
  EXPECT_EQ(Value, 77u);
  EXPECT_EQ(AsciiStrToUnicodeStrS(nullptr, Buffer, 4), RETURN_INVALID_PARAMETER);
  EXPECT_EQ(AsciiStrToUnicodeStrS("A", nullptr, 4), RETURN_INVALID_PARAMETER);
  EXPECT_EQ(Buffer[0], u'#');
}

TEST(Strings, Comparisons) {
  EXPECT_EQ(StrCmp(u"-b", u"-b"), 0);
  EXPECT_NE(StrCmp(u"-b", u"-B"), 0);
  EXPECT_NE(StrCmp(u"-b", u"-bb"), 0);
  EXPECT_NE(StrCmp(u"", u"-b"), 0);
  EXPECT_EQ(StrnCmp(u"LQT5830-X", u"LQT5830", 7), 0);
  EXPECT_NE(StrnCmp(u"LQT583", u"LQT5830", 7), 0);
  EXPECT_NE(StrnCmp(u"lqt5830", u"LQT5830", 7), 0);
  EXPECT_EQ(StrnCmp(u"abc", u"xyz", 0), 0);
  EXPECT_EQ(AsciiStrLen("ABC"), 3u);
  EXPECT_EQ(StrLen(u""), 0u);
}

TEST(Strings, WideningFitsOrFailsWithoutOverrun) {
  CHAR16 Buffer[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_EQ(AsciiStrToUnicodeStrS("ABC", Buffer, 4), RETURN_SUCCESS);
  EXPECT_EQ(std::u16string(Buffer), u"ABC");
  CHAR16 Small[3] = {u'#', u'#', u'#'};
  EXPECT_EQ(AsciiStrToUnicodeStrS("ABC", Small, 3), RETURN_BUFFER_TOO_SMALL);
  EXPECT_EQ(Small[0], 0);
  EXPECT_EQ(Small[2], u'#');
  // A size of nothing, or beyond the longest string, is refused unwritten.
  EXPECT_EQ(AsciiStrToUnicodeStrS("", Small, 0), RETURN_INVALID_PARAMETER);
  EXPECT_EQ(AsciiStrToUnicodeStrS("", Small, KIT_MAX_STRING_LENGTH + 1), RETURN_INVALID_PARAMETER);
  EXPECT_EQ(Small[0], 0);
  EXPECT_EQ(Small[1], u'#');
  // Bytes above 0x7F widen to the same code unit, not a sign-extended one.
  CHAR16 High[2];
  EXPECT_EQ(AsciiStrToUnicodeStrS("\xE9", High, 2), RETURN_SUCCESS);
  EXPECT_EQ(High[0], 0x00E9);
}

}  // namespace
