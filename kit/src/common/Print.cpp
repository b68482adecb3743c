// The formatter behind Print and UnicodeSPrintAsciiFormat.
//
// Output goes to a sink: a bounded buffer (cut to fit, always terminated)
// or the console, which is fed in small chunks from the stack so printing
// never allocates and never truncates, and gets CR LF line ends.
#include "kit/Library.h"

namespace {

// Sinks are plain classes with Put(); the formatter is a template over them,
// so no virtual calls (and no runtime support for them) are needed.
class BufferSink {
 public:
  BufferSink(CHAR16 *Buffer, UINTN Capacity) : Buffer_(Buffer), Capacity_(Capacity) {}
  void Put(CHAR16 Char) {
    if (Count < Capacity_) {
      Buffer_[Count++] = Char;
    }
  }
  UINTN Count = 0;

 private:
  CHAR16 *Buffer_;
  UINTN Capacity_;
};

class ConsoleSink {
 public:
  explicit ConsoleSink(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Console) : Console_(Console) {}
  // A line feed alone only moves a firmware text console down a row; the
  // carriage return that brings it back to the first column is added here,
  // so every line starts at the left edge whatever the console.
  void Put(CHAR16 Char) {
    if (Char == u'\n' && Previous_ != u'\r') {
      Store(u'\r');
    }
    Store(Char);
    Previous_ = Char;
  }
  void Flush() {
    if (Used_ == 0) {
      return;
    }
    Chunk_[Used_] = 0;
    Used_ = 0;
    if (Console_ != NULL) {
      Console_->OutputString(Console_, Chunk_);
    }
  }
  UINTN Count = 0;

 private:
  void Store(CHAR16 Char) {
    Chunk_[Used_++] = Char;
    Count++;
    if (Used_ == kChunk) {
      Flush();
    }
  }

  static constexpr UINTN kChunk = 127;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Console_;
  CHAR16 Previous_ = 0;
  CHAR16 Chunk_[kChunk + 1];
  UINTN Used_ = 0;
};

template <typename Sink> void PutPadding(Sink &Out, UINTN Count, CHAR16 Pad) {
  for (UINTN I = 0; I < Count; I++) {
    Out.Put(Pad);
  }
}

template <typename Sink, typename C> void PutString(Sink &Out, const C *Text, UINTN Width, bool LeftAlign) {
  UINTN Length = 0;
  while (Length < KIT_MAX_STRING_LENGTH && Text[Length] != 0) {
    Length++;
  }
  if (!LeftAlign && Width > Length) {
    PutPadding(Out, Width - Length, u' ');
  }
  for (UINTN I = 0; I < Length; I++) {
    Out.Put((CHAR16)(sizeof(C) == 1 ? (UINT8)Text[I] : Text[I]));
  }
  if (LeftAlign && Width > Length) {
    PutPadding(Out, Width - Length, u' ');
  }
}

template <typename Sink>
void PutNumber(Sink &Out, UINT64 Magnitude, bool Negative, UINTN Base, bool Upper, UINTN Width, bool ZeroPad,
               bool LeftAlign) {
  CHAR16 Digits[24];
  UINTN Count = 0;
  const char *Set = Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    Digits[Count++] = (CHAR16)Set[Magnitude % Base];
    Magnitude /= Base;
  } while (Magnitude != 0);
  UINTN Length = Count + (Negative ? 1 : 0);
  UINTN Padding = Width > Length ? Width - Length : 0;
  if (!LeftAlign && !ZeroPad) {
    PutPadding(Out, Padding, u' ');
  }
  if (Negative) {
    Out.Put(u'-');
  }
  if (!LeftAlign && ZeroPad) {
    PutPadding(Out, Padding, u'0');
  }
  while (Count > 0) {
    Out.Put(Digits[--Count]);
  }
  if (LeftAlign) {
    PutPadding(Out, Padding, u' ');
  }
}

// Marks a conversion whose argument is missing or of the wrong kind.
template <typename Sink> void PutMismatch(Sink &Out) { PutString(Out, u"(?)", 0, false); }

// The texts of the status codes an operator is likely to meet; any other
// status is shown as its number.
constexpr const CHAR8 *STATUS_TEXT[] = {
    "Success",         "Load Error",       "Invalid Parameter", "Unsupported",     "Bad Buffer Size",
    "Buffer Too Small", "Not Ready",       "Device Error",      "Write Protected", "Out of Resources",
    "Volume Corrupt",  "Volume Full",      "No Media",          "Media changed",   "Not Found",
    "Access Denied",   "No Response",      "No mapping",        "Time out",        "Not started",
    "Already started", "Aborted",          "ICMP Error",        "TFTP Error",      "Protocol Error",
    "Incompatible Version", "Security Violation", "CRC Error",     "End of Media",
};

template <typename Sink> void PutStatus(Sink &Out, UINT64 Status) {
  const UINT64 Code = Status & ~MAX_BIT;
  if ((Status == EFI_SUCCESS || (Status & MAX_BIT) != 0) && Code < sizeof(STATUS_TEXT) / sizeof(STATUS_TEXT[0])) {
    PutString(Out, STATUS_TEXT[Code], 0, false);
    return;
  }
  PutString(Out, u"0x", 0, false);
  PutNumber(Out, Status, false, 16, true, 0, false, false);
}

template <typename Sink, typename C> void Format(Sink &Out, const C *Fmt, const KIT_PRINT_ARG *Args, UINTN ArgCount) {
  UINTN Next = 0;
  for (UINTN I = 0; Fmt[I] != 0 && I < KIT_MAX_STRING_LENGTH; I++) {
    CHAR16 Char = (CHAR16)(sizeof(C) == 1 ? (UINT8)Fmt[I] : Fmt[I]);
    if (Char != u'%') {
      Out.Put(Char);
      continue;
    }
    bool LeftAlign = false;
    bool ZeroPad = false;
    UINTN Width = 0;
    I++;
    for (;; I++) {
      if (Fmt[I] == '-') {
        LeftAlign = true;
      } else if (Fmt[I] == '0') {
        ZeroPad = true;
      } else {
        break;
      }
    }
    while (Fmt[I] >= '0' && Fmt[I] <= '9') {
      if (Width < 1000) {
        Width = Width * 10 + (UINTN)(Fmt[I] - '0');
      }
      I++;
    }
    while (Fmt[I] == 'l' || Fmt[I] == 'L') {
      I++;
    }
    C Conversion = Fmt[I];
    if (Conversion == 0) {
      break;
    }
    if (Conversion == '%') {
      Out.Put(u'%');
      continue;
    }
    const KIT_PRINT_ARG *Arg = Next < ArgCount ? &Args[Next] : NULL;
    Next++;
    switch (Conversion) {
      case 's':
      case 'a':
        if (Arg == NULL || Arg->Kind != KitArgKind::Pointer) {
          PutMismatch(Out);
        } else if (Arg->Pointer == NULL) {
          PutString(Out, u"<null string>", Width, LeftAlign);
        } else if (Conversion == 's') {
          PutString(Out, (const CHAR16 *)Arg->Pointer, Width, LeftAlign);
        } else {
          PutString(Out, (const CHAR8 *)Arg->Pointer, Width, LeftAlign);
        }
        break;
      case 'c':
        if (Arg == NULL || Arg->Kind == KitArgKind::Pointer) {
          PutMismatch(Out);
        } else {
          Out.Put((CHAR16)Arg->Value);
        }
        break;
      case 'u':
      case 'd':
      case 'i':
      case 'x':
      case 'X': {
        if (Arg == NULL || Arg->Kind == KitArgKind::Pointer) {
          PutMismatch(Out);
          break;
        }
        bool Negative = Arg->Kind == KitArgKind::Signed && (INT64)Arg->Value < 0 &&
                        (Conversion == 'd' || Conversion == 'i');
        UINT64 Magnitude = Negative ? (UINT64)0 - Arg->Value : Arg->Value;
        UINTN Base = (Conversion == 'x' || Conversion == 'X') ? 16 : 10;
        PutNumber(Out, Magnitude, Negative, Base, Conversion == 'X', Width, ZeroPad, LeftAlign);
        break;
      }
      case 'r':
        if (Arg == NULL || Arg->Kind == KitArgKind::Pointer) {
          PutMismatch(Out);
        } else {
          PutStatus(Out, Arg->Value);
        }
        break;
      default:
        // Unknown conversion: shown as written, so the slip is visible.
        Out.Put(u'%');
        Out.Put((CHAR16)(UINT8)Conversion);
        break;
    }
  }
}

template <typename C>
UINTN FormatToBuffer(CHAR16 *Buffer, UINTN BufferSize, const C *Fmt, const KIT_PRINT_ARG *Args, UINTN ArgCount) {
  if (Buffer == NULL || BufferSize < sizeof(CHAR16) || Fmt == NULL) {
    return 0;
  }
  BufferSink Out(Buffer, BufferSize / sizeof(CHAR16) - 1);
  Format(Out, Fmt, Args, ArgCount);
  Buffer[Out.Count] = 0;
  return Out.Count;
}

}  // namespace

UINTN KitFormatUnicode(CHAR16 *Buffer, UINTN BufferSize, const CHAR16 *Format, const KIT_PRINT_ARG *Args,
                       UINTN ArgCount) {
  return FormatToBuffer(Buffer, BufferSize, Format, Args, ArgCount);
}

UINTN KitFormatAscii(CHAR16 *Buffer, UINTN BufferSize, const CHAR8 *Format, const KIT_PRINT_ARG *Args,
                     UINTN ArgCount) {
  return FormatToBuffer(Buffer, BufferSize, Format, Args, ArgCount);
}

UINTN KitPrint(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Console, const CHAR16 *Fmt, const KIT_PRINT_ARG *Args,
               UINTN ArgCount) {
  if (Fmt == NULL) {
    return 0;
  }
  ConsoleSink Out(Console);
  Format(Out, Fmt, Args, ArgCount);
  Out.Flush();
  return Out.Count;
}
