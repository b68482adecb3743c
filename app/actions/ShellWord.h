// One argument written so that a program the UEFI Shell starts receives it
// as exactly one word, unchanged. The Shell splits a command line at blanks,
// removes double quotes, takes the character after a '^' literally,
// expands %variables% (inside quotes too), ends the line at a '#' (inside
// quotes too), pipes at a '|' and redirects at a word that starts with '<'
// or '>'. Execute reads the line twice when it starts the program through a
// nested Shell, as it does unless nesting is off, and each reading takes
// its own '^'. Pure logic, apart from firmware glue.
#pragma once

#include "kit/Library.h"

// How many times the Shell reads an Execute command line before the
// program gets its words.
enum class SHELL_READINGS : UINT8 {
  SHELL_READ_ONCE = 1,   // nesting off
  SHELL_READ_TWICE = 2,  // a nested Shell runs the command: the usual case
};
using enum SHELL_READINGS;

// Whether Word needs quotes and escapes to reach the program unchanged.
BOOLEAN ShellWordNeedsQuoting(const CHAR16 *Word);

// Characters (without the NUL) of Word as written by WriteShellWord.
UINTN ShellWordLength(const CHAR16 *Word, SHELL_READINGS Readings);

// Writes Word into Out, which has room for ShellWordLength() characters and
// the NUL: unchanged when it needs no quoting, otherwise in double quotes
// with each special character escaped once for every reading.
VOID WriteShellWord(const CHAR16 *Word, SHELL_READINGS Readings, CHAR16 *Out);
