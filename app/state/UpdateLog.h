// Tamsork.log: a line for each launch that read the state file (and one
// more for what came back of the flash tool or the board's reset request),
// appended in the root of the application's own volume, so that a stick carries the
// record of every machine it updated. Plain ASCII, CR LF, key=value fields
// in a fixed order. The formatting is pure logic; the append is firmware
// glue that never lets a failure of the log change a step.
#pragma once

#include "app/checks/MachineIdentity.h"
#include "app/state/UpdateState.h"
#include "kit/Library.h"

constexpr const CHAR16 *LOG_FILE_NAME = u"Tamsork.log";
// The log stops growing here; the last line it takes says so.
constexpr UINT64 LOG_SIZE_LIMIT = 1024 * 1024;
// Room kept below the limit for that last line.
constexpr UINT64 LOG_FULL_LINE_ROOM = 1024;

// State.dat as a line gives it: missing, empty, or a byte.
typedef struct {
  STATE_FOUND Found;
  UINT8 Byte;
} STATE_SEEN;

// The fields of one line.
typedef struct {
  BOOLEAN TimeKnown;
  EFI_TIME Time;
  const MACHINE_FACTS *Machine;
  const CHAR16 *File;  // the image name as given
  BOOLEAN BackupMode;
  BOOLEAN SkipVersionCheck;
  BOOLEAN HasVersion;  // the image's version, where the launch read it
  UINTN Major;
  UINTN Minor;
  STATE_SEEN Before;
  STATE_SEEN After;
  const CHAR8 *Step;  // one word: begin, flash, done, refused-machine, ...
  EFI_STATUS Outcome;
  const CHAR8 *OutcomeText;  // the outcome in these words instead (Started, 0x7); NULL: none
} LOG_LINE;

// Writes Line, CR LF included, into Out when Out is not NULL and has room
// for it, and returns its length in bytes either way. Pure logic.
UINTN FormatLogLine(const LOG_LINE *Line, CHAR8 *Out, UINTN OutSize);

// Appends Line to the log, on a line of its own even after a torn one,
// flushed. A failure never stops the caller: the operator is told once
// (not on a write-protected stick, which has said so already) and the
// failure comes back for the tests to see.
// With Quiet nothing is printed: the stick's failure has been told already.
EFI_STATUS AppendLogLine(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, const LOG_LINE *Line,
                         BOOLEAN Quiet = FALSE);

// What one launch tells the operator and the log: the fields of its lines
// as the launch learns them.
typedef struct {
  EFI_HANDLE ImageHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  LOG_LINE Line;
  BOOLEAN StickFailed;  // State.dat or the log could not be written and said so: the log's failure goes untold
} LAUNCH_RECORD;

// What a step did: the launch's exit status, the "Tamsork: " line that
// says it and the log line that records it.
typedef struct {
  EFI_STATUS Status;
  const CHAR8 *Text;       // the screen line after "Tamsork: " (a format for Argument); NULL: none
  const CHAR16 *Argument;  // Text's %s, if any
  const CHAR8 *Step;       // the log line's step; NULL: no line
  STATE_SEEN After;        // State.dat as the step leaves it
  const CHAR8 *Outcome;    // the log's outcome in words; NULL: Status
} STEP_OUTCOME;

// Prints "Tamsork: " and the outcome's text, then appends its log line with
// the firmware clock's time.
VOID ReportStep(LAUNCH_RECORD *Launch, const STEP_OUTCOME *Outcome);

inline STATE_SEEN StateByte(STATE_CODE Byte) { return {STATE_FILE_BYTE, (UINT8)Byte}; }
constexpr STATE_SEEN STATE_REMOVED = {STATE_FILE_MISSING, 0};

// The most of the log's end read to find its last line: more than any line
// Tamsork writes.
constexpr UINTN LOG_TAIL_SIZE = 2048;

// The log's last whole line that is not a log-full line, without its CR LF,
// read from the log's end in one bounded read (never the whole file): into
// Tail (LOG_TAIL_SIZE bytes), *Line and *Length. EFI_NOT_FOUND when there is
// no log or no such line.
EFI_STATUS ReadLastLogLine(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, CHAR8 *Tail, const CHAR8 **Line,
                           UINTN *Length);

// The value of Key in a log line as written, quotes and escapes included:
// *Value and *ValueLength. FALSE when the line has no such field. Pure logic.
BOOLEAN LogLineField(const CHAR8 *Line, UINTN Length, const CHAR8 *Key, const CHAR8 **Value, UINTN *ValueLength);
