#include "app/state/UpdateLog.h"

#include "kit/Scoped.h"

namespace {

// Counts what it is given and, where there is room, keeps it.
struct LINE_WRITER {
  CHAR8 *Out;
  UINTN Size;
  UINTN Length;

  VOID Put(CHAR8 C) {
    if (Out != NULL && Length < Size) {
      Out[Length] = C;
    }
    Length++;
  }
  VOID Put(const CHAR8 *Text) {
    while (*Text != 0) {
      Put(*Text++);
    }
  }
  VOID Hex(UINT32 Value, UINTN Digits) {
    static constexpr CHAR8 DIGITS[] = "0123456789abcdef";
    for (UINTN I = Digits; I > 0; I--) {
      Put(DIGITS[(Value >> (4 * (I - 1))) & 0xF]);
    }
  }
  VOID Decimal(UINTN Value, UINTN MinDigits) {
    CHAR8 Digits[24];
    UINTN Count = 0;
    do {
      Digits[Count++] = (CHAR8)('0' + Value % 10);
      Value /= 10;
    } while (Value != 0);
    while (Count < MinDigits) {
      Digits[Count++] = '0';
    }
    while (Count > 0) {
      Put(Digits[--Count]);
    }
  }
};

bool Plain(UINT32 C) { return C > 0x20 && C < 0x7F && C != '"' && C != '\\'; }

// A value: as it stands when it is plain, otherwise quoted with escapes.
// Characters are taken from Text8 (Length of them) or from Text16.
VOID PutValue(LINE_WRITER &W, const CHAR8 *Text8, const CHAR16 *Text16, UINTN Length) {
  bool Quoted = Length == 0;
  for (UINTN I = 0; I < Length && !Quoted; I++) {
    Quoted = !Plain(Text8 != NULL ? (UINT8)Text8[I] : Text16[I]);
  }
  if (Quoted) {
    W.Put('"');
  }
  for (UINTN I = 0; I < Length; I++) {
    const UINT32 C = Text8 != NULL ? (UINT8)Text8[I] : Text16[I];
    if (Plain(C) || C == ' ') {
      W.Put((CHAR8)C);
    } else if (C <= 0xFF) {
      W.Put("\\x");
      W.Hex(C, 2);
    } else {
      W.Put("\\u");
      W.Hex(C, 4);
    }
  }
  if (Quoted) {
    W.Put('"');
  }
}

VOID PutKey(LINE_WRITER &W, const CHAR8 *Key) {
  if (W.Length != 0) {
    W.Put(' ');
  }
  W.Put(Key);
  W.Put('=');
}

VOID PutText(LINE_WRITER &W, const CHAR8 *Key, const CHAR8 *Text, UINTN Length) {
  PutKey(W, Key);
  PutValue(W, Text, NULL, Length);
}

VOID PutState(LINE_WRITER &W, const CHAR8 *Key, STATE_SEEN State) {
  PutKey(W, Key);
  if (State.Found == STATE_FILE_MISSING) {
    W.Put("none");
  } else if (State.Found == STATE_FILE_EMPTY) {
    W.Put("empty");
  } else {
    BOOLEAN Known = FALSE;
    IsBackupByte(State.Byte, &Known);
    if (Known) {
      W.Put((CHAR8)State.Byte);
    } else {
      W.Put("0x");
      W.Hex(State.Byte, 2);
    }
  }
}

// The exit status in the words %r gives it.
VOID PutOutcome(LINE_WRITER &W, EFI_STATUS Status) {
  CHAR16 Text[40];
  UnicodeSPrintAsciiFormat(Text, sizeof(Text), "%r", Status);
  PutKey(W, "outcome");
  PutValue(W, NULL, Text, StrLen(Text));
}

}  // namespace

UINTN FormatLogLine(const LOG_LINE *Line, CHAR8 *Out, UINTN OutSize) {
  LINE_WRITER W = {Out, OutSize, 0};
  PutKey(W, "time");
  if (Line->TimeKnown) {
    const EFI_TIME &T = Line->Time;
    W.Decimal(T.Year, 4);
    W.Put('-');
    W.Decimal(T.Month, 2);
    W.Put('-');
    W.Decimal(T.Day, 2);
    W.Put('T');
    W.Decimal(T.Hour, 2);
    W.Put(':');
    W.Decimal(T.Minute, 2);
    W.Put(':');
    W.Decimal(T.Second, 2);
    if (T.TimeZone == 0) {
      W.Put('Z');
    }
  } else {
    W.Put("unknown");
  }
  const MACHINE_FACTS *M = Line->Machine;
  PutText(W, "serial", M->Identity.Serial, M->Identity.SerialLength);
  PutText(W, "product", M->Product.Text, M->Product.Length);
  PutKey(W, "uuid");
  if (M->Identity.HasUuid) {
    CHAR16 Uuid[37];
    FormatMachineUuid(M->Identity.Uuid, Uuid);
    PutValue(W, NULL, Uuid, StrLen(Uuid));
  } else {
    W.Put("\"\"");
  }
  PutText(W, "bios", M->Bios.Text, M->Bios.Length);
  PutKey(W, "file");
  PutValue(W, NULL, Line->File, StrLen(Line->File));
  const CHAR8 *Switches = Line->BackupMode ? (Line->SkipVersionCheck ? "-b -d" : "-b")
                                           : (Line->SkipVersionCheck ? "-d" : "");
  PutText(W, "switches", Switches, AsciiStrLen(Switches));
  PutKey(W, "version");
  if (Line->HasVersion) {
    W.Decimal(Line->Major, 1);
    W.Put('.');
    W.Decimal(Line->Minor, 2);
  } else {
    W.Put("\"\"");
  }
  PutState(W, "before", Line->Before);
  PutState(W, "after", Line->After);
  PutText(W, "step", Line->Step, AsciiStrLen(Line->Step));
  if (Line->OutcomeText != NULL) {
    PutText(W, "outcome", Line->OutcomeText, AsciiStrLen(Line->OutcomeText));
  } else {
    PutOutcome(W, Line->Outcome);
  }
  W.Put('\r');
  W.Put('\n');
  return W.Length;
}

EFI_STATUS AppendLogLine(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const LOG_LINE *Line,
                         BOOLEAN Quiet) {
  FileHandle File;
  EFI_STATUS Status = OpenFileOnVolume(ImageHandle, SystemTable, LOG_FILE_NAME,
                                       EFI_FILE_MODE_CREATE | EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, File);
  // Its size: the position at its end.
  UINT64 Size = 0;
  if (!EFI_ERROR(Status)) {
    Status = File->SetPosition(File.Get(), MAX_UINT64);
  }
  if (!EFI_ERROR(Status)) {
    Status = File->GetPosition(File.Get(), &Size);
  }
  // A torn last line (a power cut in the middle of an append) is ended
  // first, so that this line starts on a line of its own.
  bool EndTorn = false;
  if (!EFI_ERROR(Status) && Size != 0 && Size < LOG_SIZE_LIMIT) {
    Status = File->SetPosition(File.Get(), Size - 1);
    UINT8 Last = 0;
    UINTN One = 1;
    if (!EFI_ERROR(Status)) {
      Status = File->Read(File.Get(), &One, &Last);
    }
    EndTorn = !EFI_ERROR(Status) && (One != 1 || Last != '\n');
  }
  if (!EFI_ERROR(Status) && Size < LOG_SIZE_LIMIT) {
    LOG_LINE Full = *Line;
    const LOG_LINE *Written = Line;
    UINTN Length = FormatLogLine(Line, NULL, 0) + (EndTorn ? 2 : 0);
    if (Size > LOG_SIZE_LIMIT - LOG_FULL_LINE_ROOM) {
      // Only the last line goes beyond the room for the others: the log
      // has said it is full.
      return EFI_SUCCESS;
    }
    if (Size + Length > LOG_SIZE_LIMIT - LOG_FULL_LINE_ROOM) {
      Full.Step = "log-full";
      Written = &Full;
      Length = FormatLogLine(Written, NULL, 0) + (EndTorn ? 2 : 0);
    }
    PoolPtr<CHAR8> Text((CHAR8 *)AllocatePool(Length));
    if (!Text) {
      Status = EFI_OUT_OF_RESOURCES;
    } else {
      UINTN At = 0;
      if (EndTorn) {
        Text[0] = '\r';
        Text[1] = '\n';
        At = 2;
      }
      FormatLogLine(Written, Text.Get() + At, Length - At);
      Status = File->SetPosition(File.Get(), Size);
      UINTN Put = Length;
      if (!EFI_ERROR(Status)) {
        Status = File->Write(File.Get(), &Put, Text.Get());
      }
      if (!EFI_ERROR(Status) && Put != Length) {
        Status = EFI_VOLUME_FULL;
      }
      if (!EFI_ERROR(Status)) {
        Status = File->Flush(File.Get());
      }
    }
  }
  File.Close();
  if (EFI_ERROR(Status) && Status != EFI_WRITE_PROTECTED && !Quiet) {
    Print(u"Tamsork.log could not be written: %r\n", Status);
  }
  return Status;
}

VOID ReportStep(LAUNCH_RECORD *Launch, const STEP_OUTCOME *Outcome) {
  if (Outcome->Text != NULL) {
    // Room for an image name of 255 characters with the rest of the line.
    CHAR16 Text[400];
    UnicodeSPrintAsciiFormat(Text, sizeof(Text), Outcome->Text, Outcome->Argument);
    Print(u"Tamsork: %s\n", Text);
  }
  if (Outcome->Step == NULL) {
    return;
  }
  LOG_LINE &Line = Launch->Line;
  Line.Step = Outcome->Step;
  Line.After = Outcome->After;
  Line.Outcome = Outcome->Status;
  Line.OutcomeText = Outcome->Outcome;
  EFI_TIME Time;
  Line.TimeKnown = !EFI_ERROR(Launch->SystemTable->RuntimeServices->GetTime(&Time, NULL));
  if (Line.TimeKnown) {
    Line.Time = Time;
  }
  // The log's failure is told once a launch.
  if (EFI_ERROR(AppendLogLine(Launch->ImageHandle, Launch->SystemTable, &Line, Launch->StickFailed))) {
    Launch->StickFailed = TRUE;
  }
}

EFI_STATUS ReadLastLogLine(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, CHAR8 *Tail, const CHAR8 **Line,
                           UINTN *Length) {
  FileHandle File;
  EFI_STATUS Status = OpenFileOnVolume(ImageHandle, SystemTable, LOG_FILE_NAME, EFI_FILE_MODE_READ, File);
  UINT64 Size = 0;
  if (!EFI_ERROR(Status)) {
    Status = File->SetPosition(File.Get(), MAX_UINT64);
  }
  if (!EFI_ERROR(Status)) {
    Status = File->GetPosition(File.Get(), &Size);
  }
  const UINT64 From = Size > LOG_TAIL_SIZE ? Size - LOG_TAIL_SIZE : 0;
  if (!EFI_ERROR(Status)) {
    Status = File->SetPosition(File.Get(), From);
  }
  UINTN Read = 0;
  if (!EFI_ERROR(Status)) {
    Status = ReadFileBytes(File.Get(), Tail, (UINTN)(Size - From), &Read);
  }
  if (EFI_ERROR(Status)) {
    return EFI_NOT_FOUND;
  }
  // Whole lines only: the last one ends with LF (a torn one does not), and
  // the one before it starts after an LF of the tail, or at the log's start.
  UINTN End = Read;
  for (;;) {
    if (End == 0 || Tail[End - 1] != '\n') {
      return EFI_NOT_FOUND;
    }
    UINTN Start = End - 1;
    while (Start > 0 && Tail[Start - 1] != '\n') {
      Start--;
    }
    if (Start == 0 && From != 0) {
      return EFI_NOT_FOUND;
    }
    *Line = Tail + Start;
    *Length = End - Start - 1 - (End - Start >= 2 && Tail[End - 2] == '\r' ? 1 : 0);
    const CHAR8 *Step = NULL;
    UINTN StepLength = 0;
    if (!LogLineField(*Line, *Length, "step", &Step, &StepLength) || StepLength != 8 ||
        CompareMem(Step, "log-full", 8) != 0) {
      return EFI_SUCCESS;
    }
    End = Start;
  }
}

BOOLEAN LogLineField(const CHAR8 *Line, UINTN Length, const CHAR8 *Key, const CHAR8 **Value, UINTN *ValueLength) {
  const UINTN KeyLength = AsciiStrLen(Key);
  UINTN At = 0;
  while (At < Length) {
    // One field: key=value, a quoted value running to its closing quote
    // (quotes inside are escaped), then a blank.
    const UINTN Start = At;
    while (At < Length && Line[At] != '=' && Line[At] != ' ') {
      At++;
    }
    const bool Match = At < Length && Line[At] == '=' && At - Start == KeyLength &&
                       CompareMem(Line + Start, Key, KeyLength) == 0;
    const UINTN ValueStart = At < Length && Line[At] == '=' ? At + 1 : At;
    At = ValueStart;
    const bool Quoted = At < Length && Line[At] == '"';
    if (Quoted) {
      At++;
      while (At < Length && Line[At] != '"') {
        At++;
      }
      At = At < Length ? At + 1 : At;
    }
    while (At < Length && Line[At] != ' ') {
      At++;
    }
    if (Match) {
      *Value = Line + ValueStart;
      *ValueLength = At - ValueStart;
      return TRUE;
    }
    At++;
  }
  return FALSE;
}
