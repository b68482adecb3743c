// String functions over UCS-2 and ASCII text. Every walk is bounded by the
// kit's maximum string length, so an unterminated string cannot run the
// scan off into the rest of memory unnoticed.
#include "kit/Library.h"

namespace {

template <typename C> UINTN BoundedLength(const C *String, UINTN Limit) {
  UINTN Length = 0;
  while (Length < Limit && String[Length] != 0) {
    Length++;
  }
  return Length;
}

template <typename C> bool IsBlank(C Char) { return Char == ' ' || Char == '\t'; }

template <typename C> RETURN_STATUS DecimalToUintn(const C *String, C **EndPointer, UINTN *Data) {
  ASSERT(String != NULL && Data != NULL);
  if (String == NULL || Data == NULL) {
    return RETURN_INVALID_PARAMETER;
  }
  if (EndPointer != NULL) {
    *EndPointer = (C *)String;
  }
  if (BoundedLength(String, KIT_MAX_STRING_LENGTH + 1) > KIT_MAX_STRING_LENGTH) {
    return RETURN_INVALID_PARAMETER;
  }
  while (IsBlank(*String)) {
    String++;
  }
  while (*String == '0') {
    String++;
  }
  UINTN Value = 0;
  while (*String >= '0' && *String <= '9') {
    UINTN Digit = (UINTN)(*String - '0');
    if (Value > (MAX_UINTN - Digit) / 10) {
      *Data = MAX_UINTN;
      if (EndPointer != NULL) {
        *EndPointer = (C *)String;
      }
      return RETURN_UNSUPPORTED;
    }
    Value = Value * 10 + Digit;
    String++;
  }
  *Data = Value;
  if (EndPointer != NULL) {
    *EndPointer = (C *)String;
  }
  return RETURN_SUCCESS;
}

}  // namespace

UINTN StrLen(const CHAR16 *String) {
  ASSERT(String != NULL);
  if (String == NULL) {
    return 0;
  }
  UINTN Length = BoundedLength(String, KIT_MAX_STRING_LENGTH + 1);
  ASSERT(Length <= KIT_MAX_STRING_LENGTH);
  return Length;
}

UINTN AsciiStrLen(const CHAR8 *String) {
  ASSERT(String != NULL);
  if (String == NULL) {
    return 0;
  }
  UINTN Length = BoundedLength(String, KIT_MAX_STRING_LENGTH + 1);
  ASSERT(Length <= KIT_MAX_STRING_LENGTH);
  return Length;
}

INTN StrCmp(const CHAR16 *FirstString, const CHAR16 *SecondString) {
  ASSERT(FirstString != NULL && SecondString != NULL);
  if (FirstString == NULL || SecondString == NULL) {
    return FirstString == SecondString ? 0 : (FirstString == NULL ? -1 : 1);
  }
  UINTN Index = 0;
  while (Index < KIT_MAX_STRING_LENGTH && FirstString[Index] != 0 && FirstString[Index] == SecondString[Index]) {
    Index++;
  }
  return (INTN)FirstString[Index] - (INTN)SecondString[Index];
}

INTN StrnCmp(const CHAR16 *FirstString, const CHAR16 *SecondString, UINTN Length) {
  if (Length == 0) {
    return 0;
  }
  ASSERT(FirstString != NULL && SecondString != NULL);
  if (FirstString == NULL || SecondString == NULL) {
    return FirstString == SecondString ? 0 : (FirstString == NULL ? -1 : 1);
  }
  UINTN Index = 0;
  while (Index + 1 < Length && FirstString[Index] != 0 && FirstString[Index] == SecondString[Index]) {
    Index++;
  }
  return (INTN)FirstString[Index] - (INTN)SecondString[Index];
}

RETURN_STATUS StrDecimalToUintnS(const CHAR16 *String, CHAR16 **EndPointer, UINTN *Data) {
  return DecimalToUintn(String, EndPointer, Data);
}

RETURN_STATUS AsciiStrDecimalToUintnS(const CHAR8 *String, CHAR8 **EndPointer, UINTN *Data) {
  return DecimalToUintn(String, EndPointer, Data);
}

RETURN_STATUS AsciiStrToUnicodeStrS(const CHAR8 *Source, CHAR16 *Destination, UINTN DestMax) {
  ASSERT(Source != NULL && Destination != NULL);
  if (Source == NULL || Destination == NULL || DestMax == 0 || DestMax > KIT_MAX_STRING_LENGTH) {
    return RETURN_INVALID_PARAMETER;
  }
  UINTN Length = BoundedLength(Source, DestMax);
  if (Length >= DestMax) {
    Destination[0] = 0;
    return RETURN_BUFFER_TOO_SMALL;
  }
  for (UINTN I = 0; I < Length; I++) {
    Destination[I] = (CHAR16)(UINT8)Source[I];
  }
  Destination[Length] = 0;
  return RETURN_SUCCESS;
}
