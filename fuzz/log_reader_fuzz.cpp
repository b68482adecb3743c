// The Tamsork.log reader on any bytes, read as a whole file. Every line is
// either a record or listed as unreadable, with a one-line printable
// reason; every record, written back by the writer below (made apart from
// the reader, from the format alone: bare values where they may be, quotes
// with upper-case \xNN and \uNNNN escapes elsewhere), reads back as the
// same fields, and writing those again gives the same line.
//
// Read in pieces of every size from 1 to 64 bytes, as the report reads a
// file, the same bytes give the same lines.
//
// Input: the file's bytes.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "tools/tamsork-sim/LogReader.h"

namespace {

using namespace tamsork_sim;

std::string WriteValue(const std::u16string &Value) {
  const auto Bare = [](char16_t C) { return C >= 0x21 && C <= 0x7E && C != u'"' && C != u'\\'; };
  bool Quote = Value.empty();
  for (char16_t C : Value) {
    Quote = Quote || !Bare(C);
  }
  if (!Quote) {
    return std::string(Value.begin(), Value.end());
  }
  std::string Out = "\"";
  for (char16_t C : Value) {
    char Escape[8];
    if (Bare(C) || C == u' ') {
      Out += static_cast<char>(C);
      continue;
    }
    std::snprintf(Escape, sizeof Escape, C > 0xFF ? "\\u%04X" : "\\x%02X", static_cast<unsigned>(C));
    Out += Escape;
  }
  return Out + "\"";
}

std::string WriteLine(const LogFields &Fields) {
  std::string Out;
  for (size_t K = 0; K < kLogKeyCount; K++) {
    Out += (K ? " " : "") + std::string(kLogKeys[K]) + "=" + WriteValue(Fields[K]);
  }
  return Out;
}

bool OneLineOfPrintableAscii(const std::string &Text) {
  for (char C : Text) {
    if (C < 0x20 || C > 0x7E) {
      return false;
    }
  }
  return !Text.empty();
}

// Each line as a scanner hands it on: its number and its fields or error.
struct Lines final : LogSink {
  std::vector<std::string> Seen;
  void Record(size_t Line, std::string_view Text, LogFields &&) override {
    Seen.push_back(std::to_string(Line) + " " + std::string(Text));
  }
  void Problem(size_t Line, std::string &&Error) override { Seen.push_back(std::to_string(Line) + " ! " + Error); }
};

std::vector<std::string> Scan(std::string_view Bytes, size_t Piece) {
  Lines Into;
  LogScanner Scanner(Into);
  for (size_t At = 0; At < Bytes.size(); At += Piece) {
    Scanner.Feed(Bytes.substr(At, Piece));
  }
  Scanner.End();
  return Into.Seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::string Bytes(reinterpret_cast<const char *>(Data), Size);
  const LogFile File = ReadLog(Bytes);

  FUZZ_REQUIRE(File.Records.size() + File.Unreadable.size() == File.Lines,
               "lines: " + std::to_string(File.Lines) + ", records and unreadable lines: " +
                   std::to_string(File.Records.size() + File.Unreadable.size()));
  for (const LogProblem &P : File.Unreadable) {
    FUZZ_REQUIRE(P.Line >= 1 && P.Line <= File.Lines, "unreadable line number " + std::to_string(P.Line));
    FUZZ_REQUIRE(OneLineOfPrintableAscii(P.Error), "line " + std::to_string(P.Line) + ": reason \"" + P.Error + "\"");
  }
  for (const LogRecord &R : File.Records) {
    const std::string Line = WriteLine(R.Fields);
    const LogLineResult Again = ParseLogLine(Line);
    FUZZ_REQUIRE(Again.Fields.has_value(), "record of line " + std::to_string(R.Line) + " written back as \"" + Line +
                                               "\" does not read: " + Again.Error);
    FUZZ_REQUIRE(*Again.Fields == R.Fields,
                 "record of line " + std::to_string(R.Line) + " written back as \"" + Line + "\" reads otherwise");
    FUZZ_REQUIRE(WriteLine(*Again.Fields) == Line, "\"" + Line + "\" written again differs");
  }
  FUZZ_REQUIRE(!File.FullAt || (*File.FullAt == File.Lines && !File.Records.empty() &&
                                File.Records.back().Fields[kLogStep] == u"log-full"),
               "log-full reported at line " + std::to_string(*File.FullAt));
  const std::vector<std::string> Whole = Scan(Bytes, Bytes.size() + 1);
  FUZZ_REQUIRE(Whole.size() == File.Lines, "the scanner saw " + std::to_string(Whole.size()) + " lines");
  const size_t Piece = Size == 0 ? 1 : 1 + Data[0] % 64;
  FUZZ_REQUIRE(Scan(Bytes, Piece) == Whole, "read in pieces of " + std::to_string(Piece) + " bytes, the lines differ");
  return 0;
}
