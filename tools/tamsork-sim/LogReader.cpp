#include "tools/tamsork-sim/LogReader.h"

#include "simfw/Firmware.h"

namespace tamsork_sim {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// A character that stands for itself in a bare value.
bool Bare(unsigned C) { return C > 0x20 && C < 0x7F && C != '"' && C != '\\'; }

std::string ByteText(unsigned char B) {
  if (B >= 0x20 && B < 0x7F) {
    return std::string("'") + static_cast<char>(B) + "'";
  }
  return std::string("0x") + kHex[B >> 4] + kHex[B & 0xF];
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') {
    return C - '0';
  }
  if (C >= 'a' && C <= 'f') {
    return C - 'a' + 10;
  }
  if (C >= 'A' && C <= 'F') {
    return C - 'A' + 10;
  }
  return -1;
}

// Count hex digits at Line[At], or -1 when they are not all there.
long HexValue(std::string_view Line, size_t At, size_t Count) {
  if (At + Count > Line.size()) {
    return -1;
  }
  long Value = 0;
  for (size_t I = 0; I < Count; I++) {
    const int D = HexDigit(Line[At + I]);
    if (D < 0) {
      return -1;
    }
    Value = Value * 16 + D;
  }
  return Value;
}

// A key as the error names it: printable, and not too long for one line.
std::string Shown(std::string_view Text) {
  std::string Out;
  for (char C : Text.substr(0, 40)) {
    const auto B = static_cast<unsigned char>(C);
    Out += B >= 0x20 && B < 0x7F ? std::string(1, C) : "\\x" + std::string{kHex[B >> 4], kHex[B & 0xF]};
  }
  return Text.size() > 40 ? Out + "..." : Out;
}

std::optional<size_t> KeyIndex(std::string_view Key) {
  for (size_t I = 0; I < kLogKeyCount; I++) {
    if (Key == kLogKeys[I]) {
      return I;
    }
  }
  return std::nullopt;
}

// Reads the value at Line[At] into Value; At ends after it. An error text
// when the value is not well formed.
std::string ReadValue(std::string_view Line, size_t &At, const char *Key, std::u16string &Value) {
  const char *const Name = Key;
  if (At < Line.size() && Line[At] == '"') {
    for (At++;; At++) {
      if (At == Line.size()) {
        return std::string("the quotes of ") + Name + " are not closed";
      }
      const auto C = static_cast<unsigned char>(Line[At]);
      if (C == '"') {
        At++;
        break;
      }
      if (C == '\\') {
        const char Kind = At + 1 < Line.size() ? Line[At + 1] : '\0';
        const size_t Digits = Kind == 'x' ? 2 : Kind == 'u' ? 4 : 0;
        const long Code = Digits == 0 ? -1 : HexValue(Line, At + 2, Digits);
        if (Code < 0) {
          return std::string("bad escape in ") + Name + " (" + Shown(Line.substr(At, 2 + Digits)) +
                 "): only \\xNN and \\uNNNN are escapes";
        }
        Value += static_cast<char16_t>(Code);
        At += 1 + Digits;
      } else if (C == ' ' || Bare(C)) {
        Value += static_cast<char16_t>(C);
      } else {
        return "byte " + ByteText(C) + " inside the quotes of " + Name + " (it is written as an escape)";
      }
    }
    if (At < Line.size() && Line[At] != ' ') {
      return std::string("text right after the closing quote of ") + Name;
    }
    return "";
  }
  const size_t Start = At;
  while (At < Line.size() && Line[At] != ' ') {
    const auto C = static_cast<unsigned char>(Line[At]);
    if (!Bare(C)) {
      return "byte " + ByteText(C) + " in the bare value of " + Name + " (such a value is quoted)";
    }
    Value += static_cast<char16_t>(C);
    At++;
  }
  if (At == Start) {
    return std::string(Name) + " has no value (an empty value is written \"\")";
  }
  return "";
}

}  // namespace

LogLineResult ParseLogLine(std::string_view Line) {
  LogLineResult Result;
  LogFields Fields;
  size_t At = 0;
  if (Line.empty()) {
    Result.Error = "an empty line";
    return Result;
  }
  for (size_t K = 0; K < kLogKeyCount; K++) {
    const std::string_view Expected = kLogKeys[K];
    if (K > 0) {
      if (At == Line.size()) {
        Result.Error = "missing field " + std::string(Expected) + ": the line ends after " + kLogKeys[K - 1];
        return Result;
      }
      // The value before ended at a blank.
      At++;
    }
    const size_t KeyEnd = Line.find_first_of("= ", At);
    if (KeyEnd == std::string_view::npos || Line[KeyEnd] != '=') {
      Result.Error = "\"" + Shown(Line.substr(At, KeyEnd - At)) + "\" where " + std::string(Expected) + "=... belongs";
      return Result;
    }
    const std::string_view Key = Line.substr(At, KeyEnd - At);
    if (Key != Expected) {
      const auto Index = KeyIndex(Key);
      if (Index && *Index > K) {
        Result.Error = "missing field " + std::string(Expected) + " (" + std::string(Key) +
                       (K == 0 ? " begins the line)" : " follows " + std::string(kLogKeys[K - 1]) + ")");
      } else {
        Result.Error = (Index ? "field " + std::string(Key) + " again" : "unknown field \"" + Shown(Key) + "\"") +
                       " where " + std::string(Expected) + " belongs";
      }
      return Result;
    }
    At = KeyEnd + 1;
    if (std::string Error = ReadValue(Line, At, kLogKeys[K], Fields[K]); !Error.empty()) {
      Result.Error = Error;
      return Result;
    }
  }
  if (At != Line.size()) {
    const size_t From = At + 1;
    const size_t KeyEnd = Line.find_first_of("= ", From);
    Result.Error = "extra field \"" + Shown(Line.substr(From, KeyEnd - From)) + "\" after outcome";
    return Result;
  }
  Result.Fields = std::move(Fields);
  return Result;
}

void LogScanner::Feed(std::string_view Bytes) {
  while (!Bytes.empty()) {
    const size_t End = Bytes.find('\n');
    const std::string_view Piece = Bytes.substr(0, End);
    Bytes.remove_prefix(End == std::string_view::npos ? Bytes.size() : End + 1);
    if (!Overlong && Pending.size() + Piece.size() > kLogLineLimit) {
      Overlong = true;
      Pending.clear();
      Pending.shrink_to_fit();
    }
    if (End == std::string_view::npos) {
      if (!Overlong) {
        Pending.append(Piece);
      }
      return;
    }
    if (Overlong) {
      Count++;
      Full.reset();
      Sink.Problem(Count, "longer than " + std::to_string(kLogLineLimit) + " bytes: not a Tamsork.log line");
      Overlong = false;
    } else if (Pending.empty()) {
      Take(Piece);
    } else {
      Pending.append(Piece);
      Take(Pending);
      Pending.clear();
    }
  }
}

void LogScanner::Take(std::string_view Line) {
  const size_t Number = ++Count;
  if (!Line.empty() && Line.back() == '\r') {
    Line.remove_suffix(1);
  } else {
    Lf++;
  }
  LogLineResult Result = ParseLogLine(Line);
  if (!Result.Fields) {
    Full.reset();
    Sink.Problem(Number, std::move(Result.Error));
    return;
  }
  Full = (*Result.Fields)[kLogStep] == u"log-full" ? std::optional<size_t>(Number) : std::nullopt;
  Sink.Record(Number, Line, std::move(*Result.Fields));
}

void LogScanner::End() {
  if (Overlong || !Pending.empty()) {
    Count++;
    Full.reset();
    Sink.Problem(Count, "torn: the last line has no CR LF at its end (a start cut off while writing it)");
  }
  Overlong = false;
  Pending.clear();
}

LogFile ReadLog(std::string_view Bytes) {
  struct Collect final : LogSink {
    LogFile File;
    void Record(size_t Line, std::string_view, LogFields &&Fields) override { File.Records.push_back({Line, std::move(Fields)}); }
    void Problem(size_t Line, std::string &&Error) override { File.Unreadable.push_back({Line, std::move(Error)}); }
  } Into;
  LogScanner Scanner(Into);
  Scanner.Feed(Bytes);
  Scanner.End();
  Into.File.Lines = Scanner.Lines();
  Into.File.LfOnly = Scanner.LfOnly();
  Into.File.FullAt = Scanner.FullAt();
  return std::move(Into.File);
}

std::string LogUtf8(const std::u16string &Value) {
  std::string Out;
  for (char16_t C : Value) {
    // A lone surrogate half names no character.
    sim::AppendUtf8(Out, C >= 0xD800 && C <= 0xDFFF ? 0xFFFD : C);
  }
  return Out;
}

std::string LogQuote(const std::u16string &Value) {
  bool Plain = !Value.empty();
  for (char16_t C : Value) {
    Plain = Plain && Bare(C);
  }
  if (Plain) {
    return std::string(Value.begin(), Value.end());
  }
  std::string Out = "\"";
  for (char16_t C : Value) {
    if (Bare(C) || C == ' ') {
      Out += static_cast<char>(C);
    } else if (C <= 0xFF) {
      Out += std::string("\\x") + kHex[C >> 4] + kHex[C & 0xF];
    } else {
      Out += std::string("\\u") + kHex[C >> 12] + kHex[(C >> 8) & 0xF] + kHex[(C >> 4) & 0xF] + kHex[C & 0xF];
    }
  }
  return Out + "\"";
}

}  // namespace tamsork_sim
