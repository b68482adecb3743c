#include "app/actions/ShellWord.h"

namespace {

constexpr CHAR16 SHELL_ESCAPE = u'^';
constexpr CHAR16 SHELL_QUOTE = u'"';

// The carets before C inside the quotes: none for a plain character. Read
// twice, each reading takes one caret of a pair; a '"' must come through
// both readings and the rebuilt line in between, and a '#' loses one more
// caret to the comment check of the second reading.
UINTN EscapesFor(CHAR16 C, SHELL_READINGS Readings) {
  const bool Twice = Readings == SHELL_READ_TWICE;
  switch (C) {
    case u'^':
    case u'"':
      return Twice ? 3 : 1;
    case u'%':
    case u'|':
      return Twice ? 2 : 1;
    case u'#':
      return Twice ? 4 : 1;
    default:
      return 0;
  }
}

bool HasBlank(const CHAR16 *Word) {
  for (const CHAR16 *C = Word; *C != 0; C++) {
    if (*C == u' ') {
      return true;
    }
  }
  return false;
}

// Read twice, the nested Shell rebuilds the line with quotes only around
// words that hold a blank. A word without one that starts with a
// redirection or starts or ends with a tab then needs quotes of its own
// that come through the first reading: ^" ... ^".
bool NeedsInnerQuotes(const CHAR16 *Word, SHELL_READINGS Readings) {
  if (Readings != SHELL_READ_TWICE || *Word == 0 || HasBlank(Word)) {
    return false;
  }
  UINTN Length = StrLen(Word);
  return Word[0] == u'<' || Word[0] == u'>' || Word[0] == u'\t' || Word[Length - 1] == u'\t';
}

}  // namespace

BOOLEAN ShellWordNeedsQuoting(const CHAR16 *Word) {
  // An empty word is no word at all without quotes.
  if (*Word == 0 || *Word == u'<' || *Word == u'>') {
    return TRUE;
  }
  for (const CHAR16 *C = Word; *C != 0; C++) {
    if (*C == u' ' || *C == u'\t' || EscapesFor(*C, SHELL_READ_ONCE) != 0) {
      return TRUE;
    }
  }
  return FALSE;
}

UINTN ShellWordLength(const CHAR16 *Word, SHELL_READINGS Readings) {
  UINTN Length = StrLen(Word);
  if (!ShellWordNeedsQuoting(Word)) {
    return Length;
  }
  Length += 2 + (NeedsInnerQuotes(Word, Readings) ? 4 : 0);
  for (const CHAR16 *C = Word; *C != 0; C++) {
    Length += EscapesFor(*C, Readings);
  }
  return Length;
}

VOID WriteShellWord(const CHAR16 *Word, SHELL_READINGS Readings, CHAR16 *Out) {
  if (!ShellWordNeedsQuoting(Word)) {
    while (*Word != 0) {
      *Out++ = *Word++;
    }
    *Out = 0;
    return;
  }
  const bool Inner = NeedsInnerQuotes(Word, Readings);
  *Out++ = SHELL_QUOTE;
  if (Inner) {
    *Out++ = SHELL_ESCAPE;
    *Out++ = SHELL_QUOTE;
  }
  for (const CHAR16 *C = Word; *C != 0; C++) {
    for (UINTN I = EscapesFor(*C, Readings); I > 0; I--) {
      *Out++ = SHELL_ESCAPE;
    }
    *Out++ = *C;
  }
  if (Inner) {
    *Out++ = SHELL_ESCAPE;
    *Out++ = SHELL_QUOTE;
  }
  *Out++ = SHELL_QUOTE;
  *Out = 0;
}
