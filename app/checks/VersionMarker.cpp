#include "app/checks/VersionMarker.h"

#include "kit/Library.h"

namespace {

constexpr UINT64 kOnes = 0x0101010101010101ULL;
constexpr UINT64 kHighs = 0x8080808080808080ULL;

inline UINT64 LoadWord(const UINT8 *At) {
  UINT64 Word;
  __builtin_memcpy(&Word, At, sizeof(Word));
  return Word;
}

// Non-zero when some byte of Word equals the byte repeated in Pattern. The
// lowest flagged byte is always a true match (false flags can only appear
// above a true one), which is the one FindByte wants.
inline UINT64 MatchFlags(UINT64 Word, UINT64 Pattern) {
  UINT64 X = Word ^ Pattern;
  return (X - kOnes) & ~X & kHighs;
}

inline UINTN FirstFlaggedByte(UINT64 Flags) { return (UINTN)__builtin_ctzll(Flags) / 8; }

bool IsFieldLetter(UINT8 Byte) {
  return Byte == 'a' || Byte == 'c' || Byte == 'e' || Byte == 'g' || Byte == 'i';
}

// The kit's decimal reading of at most Count characters starting at From.
UINTN ReadDecimal(const UINT8 *From, UINTN Count) {
  CHAR8 Text[3] = {0, 0, 0};
  for (UINTN I = 0; I < Count && I < 2; I++) {
    Text[I] = (CHAR8)From[I];
  }
  UINTN Value = 0;
  AsciiStrDecimalToUintnS(Text, NULL, &Value);
  return Value;
}

}  // namespace

UINTN FindByte(const UINT8 *Data, UINTN From, UINTN Limit, UINT8 Byte) {
  const UINT64 Pattern = kOnes * Byte;
  UINTN At = From;
  // Four words per round while a whole round fits below Limit.
  while (At < Limit && Limit - At >= 32) {
    UINT64 F0 = MatchFlags(LoadWord(Data + At), Pattern);
    UINT64 F1 = MatchFlags(LoadWord(Data + At + 8), Pattern);
    UINT64 F2 = MatchFlags(LoadWord(Data + At + 16), Pattern);
    UINT64 F3 = MatchFlags(LoadWord(Data + At + 24), Pattern);
    if ((F0 | F1 | F2 | F3) != 0) {
      if (F0 != 0) {
        return At + FirstFlaggedByte(F0);
      }
      if (F1 != 0) {
        return At + 8 + FirstFlaggedByte(F1);
      }
      if (F2 != 0) {
        return At + 16 + FirstFlaggedByte(F2);
      }
      return At + 24 + FirstFlaggedByte(F3);
    }
    At += 32;
  }
  while (At < Limit && Limit - At >= 8) {
    UINT64 Flags = MatchFlags(LoadWord(Data + At), Pattern);
    if (Flags != 0) {
      return At + FirstFlaggedByte(Flags);
    }
    At += 8;
  }
  for (; At < Limit; At++) {
    if (Data[At] == Byte) {
      return At;
    }
  }
  return Limit;
}

BOOLEAN FindVersionMarker(const UINT8 *Data, UINTN Size, VERSION_MARKER *Marker) {
  if (Data == NULL || Size < VERSION_ANCHOR_SIZE + VERSION_FIELD_SIZE) {
    return FALSE;
  }

  // The anchor: the first "$BVDT" that fits. Candidates start with '$'.
  const UINTN AnchorLimit = Size - VERSION_ANCHOR_SIZE + 1;
  UINTN Anchor = FindByte(Data, 0, AnchorLimit, '$');
  while (Anchor < AnchorLimit && !(Data[Anchor + 1] == 'B' && Data[Anchor + 2] == 'V' && Data[Anchor + 3] == 'D' &&
                                   Data[Anchor + 4] == 'T')) {
    Anchor = FindByte(Data, Anchor + 1, AnchorLimit, '$');
  }
  if (Anchor >= AnchorLimit) {
    return FALSE;
  }

  // The field: the first one starting after the anchor that fits whole.
  const UINTN FieldStart = Anchor + VERSION_ANCHOR_SIZE;
  if (Size - FieldStart < VERSION_FIELD_SIZE) {
    return FALSE;
  }
  const UINTN FieldLimit = Size - VERSION_FIELD_SIZE + 1;
  UINTN Field = FindByte(Data, FieldStart, FieldLimit, '$');
  while (Field < FieldLimit &&
         !(Data[Field + 1] == '.' && IsFieldLetter(Data[Field + 2]) && Data[Field + 4] == '.')) {
    Field = FindByte(Data, Field + 1, FieldLimit, '$');
  }
  if (Field >= FieldLimit) {
    return FALSE;
  }

  Marker->AnchorOffset = Anchor;
  Marker->FieldOffset = Field;
  Marker->Major = ReadDecimal(Data + Field + 3, 1);
  Marker->Minor = ReadDecimal(Data + Field + 5, 2);
  return TRUE;
}
