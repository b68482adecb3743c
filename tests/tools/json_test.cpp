// The JSON writer: its strings and documents read back, through a strict
// reader, as exactly what was written.
#include "tools/tamsork-sim/Json.h"

#include <gtest/gtest.h>

#include "tests/tools/JsonValue.h"

namespace {

using namespace tamsork_sim;
using namespace std::string_literals;

const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD

std::string RoundTrip(const std::string &S) { return json_test::Parse(JsonQuote(S)).Text; }

TEST(JsonQuote, EveryStringReadsBackAsItself) {
  const std::string Cases[] = {
      "",
      "plain",
      "quote \" and backslash \\ and slash /",
      "line\nfeed\r\ttab\b\f",
      "nul\0and\x01\x1F\x7F"s,
      "BIOS Update done!\n",
      "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",  // two-, three- and four-byte sequences
  };
  for (const std::string &S : Cases) {
    EXPECT_EQ(RoundTrip(S), S) << JsonQuote(S);
  }
}

TEST(JsonQuote, IllFormedUtf8BecomesReplacementCharacters) {
  struct Case {
    std::string In;
    std::string Out;
  } Cases[] = {
      {"a\xFFz", "a" + kReplacement + "z"},                                             // never a UTF-8 byte
      {"\xC3", kReplacement},                                                           // cut short at the end
      {"\xC3(", kReplacement + "("},                                                    // continuation missing
      {"\xC0\xAF", kReplacement + kReplacement},                                        // overlong '/'
      {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement},                     // a surrogate
      {"\xF4\x90\x80\x80", kReplacement + kReplacement + kReplacement + kReplacement},  // above U+10FFFF
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(RoundTrip(C.In), C.Out) << JsonQuote(C.In);
  }
}

TEST(JsonWriter, NestedDocumentReadsBack) {
  JsonWriter J;
  J.BeginObject();
  J.Key("empty_array").BeginArray().EndArray();
  J.Key("empty_object").BeginObject().EndObject();
  J.Key("numbers").BeginArray().Number(0).Number(UINT32_MAX).EndArray();
  J.Key("nested")
      .BeginArray()
      .BeginObject()
      .Key("k\"ey")
      .String("v")
      .Key("n")
      .Null()
      .EndObject()
      .Bool(false)
      .EndArray();
  J.EndObject();

  const json_test::Value V = json_test::Parse(J.Text());
  EXPECT_TRUE(V["empty_array"].Items.empty());
  EXPECT_TRUE(V["empty_object"].Members.empty());
  EXPECT_EQ(V["numbers"][1].Number, 4294967295.0);
  EXPECT_EQ(V["nested"][0]["k\"ey"].Text, "v");
  EXPECT_TRUE(V["nested"][0]["n"].IsNull());
  EXPECT_FALSE(V["nested"][1].Boolean);
  EXPECT_EQ(J.Text().back(), '\n');
}

}  // namespace
