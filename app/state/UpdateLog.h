// Tamsork.log: one line per launch that read the state file, appended in
// the root of the application's own volume, so that a stick carries the
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

// What one launch tells the operator and the log: filled in as the launch
// learns it; one screen line and one log line at most.
typedef struct {
  EFI_HANDLE ImageHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  LOG_LINE Line;
  BOOLEAN Said;
  BOOLEAN Logged;
  BOOLEAN StickFailed;  // State.dat could not be written: the log's failure goes untold
} LAUNCH_RECORD;

// Prints "Tamsork: " and Text (with Argument for its %s, if any), once per
// launch.
VOID SayStep(LAUNCH_RECORD *Launch, const CHAR16 *Text, const CHAR16 *Argument = NULL);

// Writes the launch's line once, with the firmware clock's time: the step,
// State.dat as the launch leaves it, and the outcome.
VOID LogStep(LAUNCH_RECORD *Launch, const CHAR8 *Step, STATE_SEEN After, EFI_STATUS Outcome);

// SayStep, then LogStep: a step about to be taken, State.dat holding After.
VOID AnnounceStep(LAUNCH_RECORD *Launch, const CHAR8 *Step, STATE_SEEN After, const CHAR16 *Text,
                  const CHAR16 *Argument = NULL);

inline STATE_SEEN StateByte(STATE_CODE Byte) { return {STATE_FILE_BYTE, (UINT8)Byte}; }
constexpr STATE_SEEN STATE_REMOVED = {STATE_FILE_MISSING, 0};
