// One argument written so that the UEFI Shell reads it back as exactly one
// word, unchanged: the Shell splits a command line at blanks, expands
// %variables%, ends it at a '#' and gives '"' and '^' meanings of their own.
// Pure logic, apart from firmware glue.
#pragma once

#include "kit/Library.h"

// Whether the Shell would read Word as something else than one literal word.
BOOLEAN ShellWordNeedsQuoting(const CHAR16 *Word);

// Characters (without the NUL) of Word as written by WriteShellWord.
UINTN ShellWordLength(const CHAR16 *Word);

// Writes Word into Out, which has room for ShellWordLength(Word) characters
// and the NUL: unchanged when it needs no quoting, otherwise in double
// quotes with '^' before each character that keeps a meaning there.
VOID WriteShellWord(const CHAR16 *Word, CHAR16 *Out);
