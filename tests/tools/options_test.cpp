// The option values of tamsork: what each accepts, what it refuses, and
// that what the tool prints reads back as the same value.
#include "tools/tamsork-sim/Options.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace tamsork_sim;

TEST(Keys, ListsReadAsTheKeysTheyName) {
  struct Case {
    std::string List;
    std::vector<KeyPress> Keys;
  } Cases[] = {
      {"", {}},
      {"y,Y", {{0, u'y'}, {0, u'Y'}}},
      {"enter,ENTER,Esc", {{0, u'\r'}, {0, u'\r'}, {0x17, 0}}},
      {"f1,f10,f12,up,down", {{0x0B, 0}, {0x14, 0}, {0x16, 0}, {0x01, 0}, {0x02, 0}}},
      {"comma,space,1", {{0, u','}, {0, u' '}, {0, u'1'}}},
      {"\xC3\xA9", {{0, u'\u00E9'}}},
      // "F" alone is the character, not the start of a scan key name.
      {"F,f", {{0, u'F'}, {0, u'f'}}},
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(ParseKeys(C.List), C.Keys) << C.List;
  }
}

TEST(Keys, UnknownOrEmptyNamesAreRefusedByName) {
  for (const std::string List : {"y,foo", "f13", "f0", "y,,n", "y,", ",", "\xC3", "\x01", "ab"}) {
    try {
      ParseKeys(List);
      ADD_FAILURE() << List << " was accepted";
    } catch (const UsageError &E) {
      EXPECT_EQ(std::string(E.what()).rfind("--keys: ", 0), 0u) << E.what();
    }
  }
}

TEST(Keys, EveryPrintedNameReadsBackAsTheSameKey) {
  const std::vector<KeyPress> Keys = ParseKeys(
      "enter,space,tab,backspace,comma,esc,up,down,left,right,home,end,insert,delete,pageup,pagedown,"
      "f1,f2,f3,f4,f5,f6,f7,f8,f9,f10,f11,f12,y,Y,\xC3\xA9");
  for (const KeyPress &K : Keys) {
    EXPECT_EQ(ParseKeys(KeyName(K)), std::vector<KeyPress>{K}) << KeyName(K);
  }
  // The scan key and the control character are different keys.
  EXPECT_NE(ParseKeys("delete"), ParseKeys("backspace"));
}

TEST(State, ValuesAndTheirTextReadBackAlike) {
  struct Case {
    std::string Text;
    FileBytes Bytes;
  } Cases[] = {
      {"none", std::nullopt},           {"empty", std::vector<uint8_t>{}}, {"1", std::vector<uint8_t>{'1'}},
      {"@", std::vector<uint8_t>{'@'}}, {"G", std::vector<uint8_t>{'G'}},  {"0x05", std::vector<uint8_t>{5}},
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(ParseState(C.Text), C.Bytes) << C.Text;
    EXPECT_EQ(StateText(C.Bytes), C.Text);
  }
  // A byte that is a state code prints as the code.
  EXPECT_EQ(StateText(ParseState("0x42")), "B");
  for (const std::string Bad : {"", "Z", "a", "4", "0x", "0x100", "12", "None"}) {
    EXPECT_THROW(ParseState(Bad), UsageError) << Bad;
  }
  // --state also takes a read-only file; a missing one cannot be.
  EXPECT_TRUE(ParseStateOption("1:ro").ReadOnly);
  EXPECT_EQ(ParseStateOption("empty:ro").State, std::vector<uint8_t>{});
  EXPECT_FALSE(ParseStateOption("1").ReadOnly);
  for (const std::string Bad : {"none:ro", ":ro", "1:rw", "1:RO"}) {
    EXPECT_THROW(ParseStateOption(Bad), UsageError) << Bad;
  }
}

TEST(Numbers, DecimalAndHexUpToTheLimit) {
  struct Case {
    std::string Text;
    uint64_t Max;
    std::optional<uint64_t> Value;
  } Cases[] = {
      {"0", 255, 0},
      {"255", 255, 255},
      {"256", 255, std::nullopt},
      {"0xFF", 255, 255},
      {"0x0ff", 255, 255},
      {"0X1f", 255, 31},
      {"0x100", 255, std::nullopt},
      {"0xFFFFFFFF", 0xFFFFFFFF, 0xFFFFFFFF},
      {"0x100000000", 0xFFFFFFFF, std::nullopt},
      {"18446744073709551615", UINT64_MAX, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, std::nullopt},
      {"", 255, std::nullopt},
      {"0x", 255, std::nullopt},
      {"-1", 255, std::nullopt},
      {" 1", 255, std::nullopt},
      {"1a", 255, std::nullopt},
      {"0xG", 255, std::nullopt},
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(ParseNumber(C.Text, C.Max), C.Value) << C.Text;
  }
}

TEST(Options, MachineValuesAreCheckedWithTheOptionNamed) {
  EXPECT_EQ(ParseMorOption("none"), std::nullopt);
  EXPECT_EQ(ParseMorOption("0xFF"), 0xFF);
  EXPECT_EQ(ParseSignatureOption("--cpu", "0x000806E9"), 0x000806E9u);
  EXPECT_EQ(ParseLaunchesOption("16"), 16);
  const std::pair<std::string, std::function<void()>> Bad[] = {
      {"--mor", [] { ParseMorOption("0x1FF"); }},
      {"--control-port", [] { ParseByteOption("--control-port", "300"); }},
      {"--cpu", [] { ParseSignatureOption("--cpu", "0x1000806E9"); }},
      {"--launches", [] { ParseLaunchesOption("0"); }},
      {"--launches", [] { ParseLaunchesOption("1001"); }},
      {"--product", [] { ParseSmbiosStringOption("--product", ""); }},
      {"--product", [] { ParseSmbiosStringOption("--product", std::string(65, 'K')); }},
      {"--bios-version", [] { ParseSmbiosStringOption("--bios-version", "V1.05\n"); }},
  };
  for (const auto &[Option, Call] : Bad) {
    try {
      Call();
      ADD_FAILURE() << Option << " accepted a bad value";
    } catch (const UsageError &E) {
      EXPECT_EQ(std::string(E.what()).rfind(Option + ": ", 0), 0u) << E.what();
    }
  }
}

}  // namespace
