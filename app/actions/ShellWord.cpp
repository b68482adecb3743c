#include "app/actions/ShellWord.h"

namespace {

constexpr CHAR16 SHELL_ESCAPE = u'^';
constexpr CHAR16 SHELL_QUOTE = u'"';

// Characters that keep a meaning inside double quotes and take the escape.
bool TakesEscape(CHAR16 C) { return C == u'^' || C == u'%' || C == u'"' || C == u'#'; }

// Characters that make a word need quoting at all.
bool IsSpecial(CHAR16 C) { return TakesEscape(C) || C == u' ' || C == u'\t'; }

}  // namespace

BOOLEAN ShellWordNeedsQuoting(const CHAR16 *Word) {
  // An empty word is no word at all without its quotes.
  if (*Word == 0) {
    return TRUE;
  }
  for (const CHAR16 *C = Word; *C != 0; C++) {
    if (IsSpecial(*C)) {
      return TRUE;
    }
  }
  return FALSE;
}

UINTN ShellWordLength(const CHAR16 *Word) {
  UINTN Length = StrLen(Word);
  if (!ShellWordNeedsQuoting(Word)) {
    return Length;
  }
  Length += 2;
  for (const CHAR16 *C = Word; *C != 0; C++) {
    Length += TakesEscape(*C) ? 1 : 0;
  }
  return Length;
}

VOID WriteShellWord(const CHAR16 *Word, CHAR16 *Out) {
  const bool Quote = ShellWordNeedsQuoting(Word);
  if (Quote) {
    *Out++ = SHELL_QUOTE;
  }
  for (const CHAR16 *C = Word; *C != 0; C++) {
    if (Quote && TakesEscape(*C)) {
      *Out++ = SHELL_ESCAPE;
    }
    *Out++ = *C;
  }
  if (Quote) {
    *Out++ = SHELL_QUOTE;
  }
  *Out = 0;
}
