#include "tools/tamsork-sim/LogReport.h"

#include <cerrno>
#include <cstring>

namespace tamsork_sim {

namespace {

constexpr int kLabelWidth = 16;

void AddOnce(std::vector<std::u16string> &List, const std::u16string &Value) {
  for (const std::u16string &V : List) {
    if (V == Value) {
      return;
    }
  }
  List.push_back(Value);
}

// What a start that refused says about why, by its step word.
struct Refusal {
  const char16_t *Step;
  const char *Why;
};
constexpr Refusal kRefusals[] = {
    {u"refused-folder", "started away from the root of the stick"},
    {u"refused-name", "the image name was empty"},
    {u"refused-version", "the version check refused the image or could not read a version"},
    {u"refused-checksum", "the image does not match its .sha256 file (a damaged copy)"},
    {u"refused-machine", "State.dat holds an update begun on another machine"},
    {u"refused-image", "State.dat holds an update of another image"},
    {u"no-tool", "the flash tool is not where the Shell looks for it"},
    {u"other-mode", "State.dat holds a step of the other mode"},
    {u"unknown-state", "State.dat holds a byte no update writes"},
    {u"state-unwritable", "State.dat could not be written"},
};

// The steps after which the update goes on at a later start.
struct Ongoing {
  const char16_t *Step;
  const char *What;
};
constexpr Ongoing kOngoing[] = {
    {u"begin", "update mode requested, the machine restarts"},
    {u"flash", "the flash tool started"},
    {u"flash-ended", "the flash tool returned; the machine must be restarted"},
    {u"reset-asked", "the board was asked to restart the machine"},
    {u"finish", "flashing finished, the board restarts the machine"},
    {u"manual-reset", "backup mode, waiting for update mode and a key"},
    {u"start-over", "backup mode started over, the machine restarts"},
    {u"no-key", "backup mode, the key at the prompt could not be read"},
    {u"wait-board", "backup mode, the board's own tools carry on"},
};

constexpr char kHexDigits[] = "0123456789abcdef";

// One character of a JSON string, escaped or as UTF-8. The encoding is
// written out here, not taken from the simulated firmware's, so that it is
// compiled into the report's own optimised loop: the JSON of a fleet's
// logs is millions of characters.
void AppendEscaped(std::string &Out, uint32_t C) {
  if (C == '"' || C == '\\') {
    Out += '\\';
    Out += static_cast<char>(C);
  } else if (C < 0x20 || C == 0x7F) {
    Out += "\\u00";
    Out += kHexDigits[C >> 4];
    Out += kHexDigits[C & 0xF];
  } else if (C < 0x80) {
    Out += static_cast<char>(C);
  } else if (C < 0x800) {
    Out += static_cast<char>(0xC0 | C >> 6);
    Out += static_cast<char>(0x80 | (C & 0x3F));
  } else {
    // Log values are UTF-16 code units, so three bytes at most.
    Out += static_cast<char>(0xE0 | C >> 12);
    Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  }
}

// A text as a JSON string: UTF-8 kept, a byte that is not UTF-8 becomes
// U+FFFD, and what JSON escapes is escaped.
void AppendJson(std::string &Out, std::string_view Text) {
  Out += '"';
  for (size_t I = 0; I < Text.size();) {
    const auto B = static_cast<unsigned char>(Text[I]);
    if (B < 0x80) {
      AppendEscaped(Out, B);
      I++;
      continue;
    }
    // A whole, shortest-form UTF-8 sequence of a character that is not a
    // surrogate is kept; anything else is one U+FFFD a byte.
    const size_t Length = B >= 0xF0 ? 4 : B >= 0xE0 ? 3 : B >= 0xC0 ? 2 : 0;
    uint32_t Code = Length == 4 ? B & 0x07 : Length == 3 ? B & 0x0F : B & 0x1F;
    bool Whole = Length != 0 && B < 0xF5 && I + Length <= Text.size();
    for (size_t K = 1; Whole && K < Length; K++) {
      const auto C = static_cast<unsigned char>(Text[I + K]);
      Whole = (C & 0xC0) == 0x80;
      Code = Code << 6 | (C & 0x3F);
    }
    const uint32_t Least = Length == 4 ? 0x10000 : Length == 3 ? 0x800 : 0x80;
    if (Whole && Code >= Least && Code <= 0x10FFFF && (Code < 0xD800 || Code > 0xDFFF)) {
      Out.append(Text.substr(I, Length));
      I += Length;
    } else {
      Out += "\xEF\xBF\xBD";
      I++;
    }
  }
  Out += '"';
}

// A log value as a JSON string.
void AppendJson(std::string &Out, std::u16string_view Value) {
  Out += '"';
  for (char16_t C : Value) {
    // A lone surrogate half names no character.
    AppendEscaped(Out, C >= 0xD800 && C <= 0xDFFF ? 0xFFFD : C);
  }
  Out += '"';
}

std::string Json(std::string_view Text) {
  std::string Out;
  AppendJson(Out, Text);
  return Out;
}

std::string Json(std::u16string_view Value) {
  std::string Out;
  AppendJson(Out, Value);
  return Out;
}

std::string Field(const LogFields &F, LogKey Key) { return LogQuote(F[Key]); }

std::string MachineName(const LogFields &F) {
  return (F[kLogSerial].empty() ? std::string("with no serial") : LogQuote(F[kLogSerial])) + ", " +
         (F[kLogUuid].empty() ? std::string("no uuid") : "uuid " + LogQuote(F[kLogUuid]));
}

// The steps that end an update: nothing of it is left on the stick.
bool EndsRound(const std::u16string &Step) {
  return Step == u"done" || Step == u"done-unchecked" || Step == u"failed" || Step == u"give-up";
}

// The start's own second line: what came back of the tool or of the
// board's reset request.
bool SecondLine(const std::u16string &Step) { return Step == u"flash-ended" || Step == u"reset-asked"; }

std::string Join(const std::vector<std::u16string> &Items, bool Switches) {
  std::string Out;
  for (const std::u16string &S : Items) {
    Out += (Out.empty() ? "" : ", ") + (Switches && S.empty() ? std::string("none") : LogQuote(S));
  }
  return Out;
}

std::string JsonStrings(const std::vector<std::u16string> &Items) {
  std::string Out = "[";
  for (const std::u16string &S : Items) {
    Out += (Out.size() > 1 ? ", " : "") + Json(S);
  }
  return Out + "]";
}

std::string JsonPlace(const LogSummary &S, const LogPlace &P) {
  return "{\"log\": " + Json(S.Sources[P.Log].Path) + ", \"line\": " + std::to_string(P.Line) + "}";
}

std::string JsonOutcome(const LogOutcome &O) {
  return "\"code\": " + Json(O.Code) + ", \"text\": " + Json(O.Text);
}

std::string Where(const LogSummary &S, const LogPlace &P) {
  return S.Sources[P.Log].Path + ":" + std::to_string(P.Line);
}

// Writes what Out holds to Stream once it holds 64 KiB, or at the End.
void Write(std::string &Out, std::FILE *Stream, bool End) {
  if (End || Out.size() >= (1 << 16)) {
    std::fwrite(Out.data(), 1, Out.size(), Stream);
    Out.clear();
  }
}

// "1 line", "2 lines".
std::string Count(size_t N, const std::string &Word) { return std::to_string(N) + " " + Word + (N == 1 ? "" : "s"); }

}  // namespace

LogOutcome OutcomeOf(const LogFields &Last) {
  const std::u16string &Step = Last[kLogStep];
  const std::string After = Field(Last, kLogAfter);
  if (Step == u"done") {
    return {"done", "done: the BIOS runs " + Field(Last, kLogBios) + ", the image's version"};
  }
  if (Step == u"done-unchecked") {
    return {"done-unchecked", "done without a version check"};
  }
  if (Step == u"refused-done") {
    return {"done", "done earlier; a later start with the stick left in was answered not to flash again"};
  }
  if (Step == u"unchecked") {
    return {"not-finished", "not finished: the last start could not check the version (State.dat kept)"};
  }
  if (Step == u"failed") {
    return {"failed", "failed: the BIOS ran " + Field(Last, kLogBios) +
                          (Last[kLogVersion].empty() ? "" : ", the image held " + Field(Last, kLogVersion))};
  }
  if (Step == u"give-up") {
    return {"given-up", "given up at the prompt: State.dat removed"};
  }
  if (Step == u"log-full") {
    return {"log-full", "the log is full: the step of this start is not recorded (State.dat then held " + After + ")"};
  }
  for (const Refusal &R : kRefusals) {
    if (Step == R.Step) {
      std::string Why = R.Why;
      if (Step == u"other-mode" || Step == u"unknown-state") {
        Why += " (" + Field(Last, kLogBefore) + ")";
      } else if (Step == u"state-unwritable") {
        Why += ": " + LogUtf8(Last[kLogOutcome]);
      }
      return {"refused", "refused (" + LogQuote(Step) + "): " + Why};
    }
  }
  for (const Ongoing &O : kOngoing) {
    if (Step == O.Step) {
      const std::string Outcome = LogUtf8(Last[kLogOutcome]);
      return {"under-way", "still under way at " + After + ": " + O.What +
                               (Step == u"flash-ended" && Outcome != "Success" ? " (status " + Outcome + ")" : "")};
    }
  }
  return {"unknown-step", "an unknown step " + LogQuote(Step) + " (State.dat then held " + After + ")"};
}

LogScanner LogSummary::Begin(const std::string &Path) {
  Sources.push_back(LogSource{Path, 0, 0, 0, 0, std::nullopt});
  return LogScanner(*this);
}

void LogSummary::End(LogScanner &Scanner) {
  Scanner.End();
  LogSource &Source = Sources.back();
  Source.Lines = Scanner.Lines();
  Source.LfOnly = Scanner.LfOnly();
  Source.FullAt = Scanner.FullAt();
}

bool LogSummary::ReadFile(const std::string &Path, std::FILE *Stream) {
  LogScanner Scanner = Begin(Path);
  std::vector<char> Piece(1 << 20);
  size_t Got;
  while ((Got = std::fread(Piece.data(), 1, Piece.size(), Stream)) > 0) {
    Scanner.Feed(std::string_view(Piece.data(), Got));
  }
  if (std::ferror(Stream)) {
    return false;
  }
  End(Scanner);
  return true;
}

void LogSummary::ReadBytes(const std::string &Path, std::string_view Bytes) {
  LogScanner Scanner = Begin(Path);
  Scanner.Feed(Bytes);
  End(Scanner);
}

void LogSummary::Problem(size_t Line, std::string &&Error) {
  Sources.back().Unreadable++;
  if (Unreadable++ < kShownUnreadable) {
    Shown.push_back({{Sources.size() - 1, Line}, std::move(Error)});
  }
}

void LogSummary::Record(size_t Line, std::string_view Text, LogFields &&F) {
  const LogPlace At{Sources.size() - 1, Line};
  Sources.back().Records++;
  Records++;
  if (OnRecord != nullptr) {
    OnRecord(Context, *this, At, F);
  }
  std::u16string Key(1, static_cast<char16_t>(F[kLogSerial].size()));
  Key += F[kLogSerial];
  Key += F[kLogUuid];
  auto [It, New] = Index.try_emplace(std::move(Key), Machines.size());
  if (New) {
    MachineLog M;
    M.FirstTime = F[kLogTime];
    M.BiosBefore = F[kLogBios];
    Machines.push_back(std::move(M));
  }
  MachineLog &M = Machines[It->second];
  AddOnce(M.Files, F[kLogFile]);
  AddOnce(M.Switches, F[kLogSwitches]);
  const std::u16string &Step = F[kLogStep];
  M.Launches += SecondLine(Step) ? 0 : 1;
  LogRound *Open = M.Rounds.empty() || M.Rounds.back().Ended ? nullptr : &M.Rounds.back();
  if (Step == u"begin") {
    if (Open != nullptr) {
      Open->Outcome = OutcomeOf(M.Last());
      Open->Renewed = true;
      Open->Ended = true;
    }
    M.Rounds.push_back(LogRound{At, At, {}, false, false});
  } else if (Open != nullptr) {
    Open->To = At;
    if (EndsRound(Step)) {
      Open->Outcome = OutcomeOf(F);
      Open->Ended = true;
    }
  }
  M.LastText.assign(Text);
  M.LastAt = At;
}

void LogSummary::Close() {
  for (MachineLog &M : Machines) {
    if (!M.Rounds.empty() && !M.Rounds.back().Ended) {
      M.Rounds.back().Outcome = OutcomeOf(M.Last());
    }
  }
}

void LogText(const LogSummary &S, std::FILE *Stream) {
  std::string Out;
  for (const LogSource &Source : S.Sources) {
    Out += Source.Path + ": " + Count(Source.Lines, "line") + ", " + Count(Source.Records, "record");
    if (Source.Unreadable != 0) {
      Out += "; " + Count(Source.Unreadable, "line") + " cannot be read";
    }
    if (Source.LfOnly != 0 && Source.LfOnly == Source.Lines) {
      Out += "; its lines end in LF alone (converted on the way), read as they are";
    }
    Out += "\n";
  }
  Out += Count(S.Machines.size(), "machine") + "\n";
  for (const auto &[At, Error] : S.Shown) {
    Out += "  " + Where(S, At) + ": " + Error + "\n";
  }
  if (S.Unreadable > S.Shown.size()) {
    Out += "  ... and " + Count(S.Unreadable - S.Shown.size(), "more line") + " that cannot be read\n";
  }
  for (size_t I = 0; I < S.Sources.size(); I++) {
    if (S.Sources[I].FullAt) {
      Out += "  " + Where(S, {I, *S.Sources[I].FullAt}) +
             ": step=log-full: the log is full, the starts after it were not recorded\n";
    }
  }
  const auto Line = [&](const std::string &Label, const std::string &Value) {
    std::string Head = "  " + Label;
    Head.resize(2 + kLabelWidth, ' ');
    Out += Head + Value + "\n";
  };
  for (const MachineLog &M : S.Machines) {
    const LogFields Last = M.Last();
    Out += "\nmachine " + MachineName(Last) + "\n";
    Line("product", LogQuote(Last[kLogProduct]));
    Line("time", LogQuote(M.FirstTime) + (M.Launches > 1 ? " to " + LogQuote(Last[kLogTime]) : ""));
    Line("BIOS", LogQuote(M.BiosBefore) + " -> " + LogQuote(Last[kLogBios]));
    Line("image", Join(M.Files, false));
    Line("switches", Join(M.Switches, true));
    Line("launches", std::to_string(M.Launches));
    for (size_t R = 0; R < M.Rounds.size(); R++) {
      const LogRound &Round = M.Rounds[R];
      Line("update " + std::to_string(R + 1),
           Round.Outcome.Text + (Round.Renewed ? "; then begun again" : "") + " (" + Where(S, Round.From) + " to " +
               (Round.To.Log == Round.From.Log ? std::to_string(Round.To.Line) : Where(S, Round.To)) + ")");
    }
    Line("outcome", OutcomeOf(Last).Text + " (" + Where(S, M.LastAt) + ")");
    Write(Out, Stream, false);
  }
  Write(Out, Stream, true);
}

void LogJsonWriter::OnRecord(void *Self, const LogSummary &S, const LogPlace &At, const LogFields &F) {
  auto &W = *static_cast<LogJsonWriter *>(Self);
  std::string &Out = W.Buffer;
  Out += W.Started ? ",\n    {" : "{\n  \"command\": \"log\",\n  \"records\": [\n    {";
  W.Started = true;
  Out += "\"log\": ";
  AppendJson(Out, S.Sources[At.Log].Path);
  Out += ", \"line\": ";
  Out += std::to_string(At.Line);
  for (size_t K = 0; K < kLogKeyCount; K++) {
    Out += ", \"";
    Out += kLogKeys[K];
    Out += "\": ";
    AppendJson(Out, F[K]);
  }
  Out += "}";
  Write(Out, W.Out, false);
}

void LogJsonWriter::Finish(const LogSummary &S) {
  std::string &Out = Buffer;
  Out += Started ? "\n  ],\n  \"files\": [" : "{\n  \"command\": \"log\",\n  \"records\": [],\n  \"files\": [";
  size_t Lines = 0;
  for (size_t I = 0; I < S.Sources.size(); I++) {
    const LogSource &F = S.Sources[I];
    Lines += F.Lines;
    Out += std::string(I ? "," : "") + "\n    {\"log\": " + Json(F.Path) + ", \"lines\": " +
           std::to_string(F.Lines) + ", \"records\": " + std::to_string(F.Records) +
           ", \"unreadable\": " + std::to_string(F.Unreadable) + ", \"lf_only\": " + std::to_string(F.LfOnly) +
           ", \"log_full\": " + (F.FullAt ? JsonPlace(S, {I, *F.FullAt}) : "null") + "}";
  }
  Out += "\n  ],\n  \"lines\": " + std::to_string(Lines) + ",\n  \"unreadable\": [";
  for (size_t I = 0; I < S.Shown.size(); I++) {
    const auto &[At, Error] = S.Shown[I];
    Out += std::string(I ? "," : "") + "\n    {\"log\": " + Json(S.Sources[At.Log].Path) +
           ", \"line\": " + std::to_string(At.Line) + ", \"error\": " + Json(Error) + "}";
  }
  Out += std::string(S.Shown.empty() ? "" : "\n  ") + "],\n  \"unreadable_count\": " + std::to_string(S.Unreadable) +
         ",\n  \"machines\": [";
  for (size_t I = 0; I < S.Machines.size(); I++) {
    const MachineLog &M = S.Machines[I];
    const LogFields Last = M.Last();
    Out += std::string(I ? "," : "") + "\n    {\"serial\": " + Json(Last[kLogSerial]) +
           ", \"uuid\": " + Json(Last[kLogUuid]) +
           ", \"product\": " + Json(Last[kLogProduct]) +
           ", \"first_time\": " + Json(M.FirstTime) +
           ", \"last_time\": " + Json(Last[kLogTime]) +
           ", \"bios_before\": " + Json(M.BiosBefore) +
           ", \"bios_after\": " + Json(Last[kLogBios]) + ", \"files\": " + JsonStrings(M.Files) +
           ", \"switches\": " + JsonStrings(M.Switches) + ", \"launches\": " + std::to_string(M.Launches) +
           ", \"rounds\": [";
    for (size_t R = 0; R < M.Rounds.size(); R++) {
      const LogRound &Round = M.Rounds[R];
      Out += std::string(R ? ", " : "") + "{\"from\": " + JsonPlace(S, Round.From) + ", \"to\": " +
             JsonPlace(S, Round.To) + ", " + JsonOutcome(Round.Outcome) +
             ", \"begun_again\": " + (Round.Renewed ? "true" : "false") + "}";
    }
    Out += "], \"outcome\": {" + JsonOutcome(OutcomeOf(Last)) + ", \"step\": " + Json(Last[kLogStep]) +
           ", \"state\": " + Json(Last[kLogAfter]) +
           ", \"log\": " + Json(S.Sources[M.LastAt.Log].Path) + ", \"line\": " + std::to_string(M.LastAt.Line) +
           "}}";
    Write(Out, this->Out, false);
  }
  Out += std::string(S.Machines.empty() ? "" : "\n  ") + "]\n}\n";
  Write(Out, this->Out, true);
}

}  // namespace tamsork_sim
