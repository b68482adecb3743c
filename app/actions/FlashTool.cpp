#include "app/actions/FlashTool.h"

#include "app/Tamsork.h"
#include "app/actions/ShellWord.h"
#include "app/platform/Guids.h"
#include "app/state/UpdateState.h"
#include "kit/Scoped.h"

namespace {

CHAR16 UpperCase(CHAR16 C) { return (C >= u'a' && C <= u'z') ? (CHAR16)(C - u'a' + u'A') : C; }

// Whether the first LengthA characters at A and LengthB at B are the same
// text, in any case.
bool SameText(const CHAR16 *A, UINTN LengthA, const CHAR16 *B, UINTN LengthB) {
  if (LengthA != LengthB) {
    return false;
  }
  for (UINTN I = 0; I < LengthA; I++) {
    if (UpperCase(A[I]) != UpperCase(B[I])) {
      return false;
    }
  }
  return true;
}

// Length of a directory without the backslashes it ends with.
UINTN TrimmedLength(const CHAR16 *Path) {
  UINTN Length = StrLen(Path);
  while (Length > 0 && Path[Length - 1] == u'\\') {
    Length--;
  }
  return Length;
}

// Length of the mapping name at Name, up to the ';' that ends it, if any.
UINTN MappingLength(const CHAR16 *Name) {
  UINTN Length = 0;
  while (Name[Length] != 0 && Name[Length] != u';') {
    Length++;
  }
  return Length;
}

// The first mapping name in Mappings as a new pool string; NULL when there
// is none or the pool is exhausted.
CHAR16 *FirstMapping(const CHAR16 *Mappings) {
  const UINTN Length = MappingLength(Mappings);
  if (Length == 0) {
    return NULL;
  }
  CHAR16 *Name = (CHAR16 *)AllocatePool((Length + 1) * sizeof(CHAR16));
  if (Name != NULL) {
    CopyMem(Name, Mappings, Length * sizeof(CHAR16));
    Name[Length] = 0;
  }
  return Name;
}

}  // namespace

BOOLEAN IsRootOfMapping(const CHAR16 *CurrentDirectory, const CHAR16 *Mappings) {
  const UINTN Length = TrimmedLength(CurrentDirectory);
  if (Length == 0) {
    return FALSE;
  }
  for (const CHAR16 *Name = Mappings;; Name++) {
    const UINTN NameLength = MappingLength(Name);
    if (SameText(Name, NameLength, CurrentDirectory, Length)) {
      return TRUE;
    }
    Name += NameLength;
    if (*Name == 0) {
      return FALSE;
    }
  }
}

EFI_STATUS LocateShell(EFI_SHELL_PROTOCOL **Shell) {
  return OpenFirstProtocol(&gEfiShellProtocolGuid, (VOID **)Shell);
}

CHAR16 *FlashToolCommandLine(EFI_SHELL_PROTOCOL *Shell, const CHAR16 *FileName) {
  // With nesting off, Execute runs the line in this Shell and reads it once.
  const CHAR16 *NoNesting = Shell->GetEnv != NULL ? Shell->GetEnv(u"nonesting") : NULL;
  const SHELL_READINGS Readings =
      (NoNesting != NULL && SameText(NoNesting, StrLen(NoNesting), u"True", 4)) ? SHELL_READ_ONCE : SHELL_READ_TWICE;
  const UINTN PrefixLength = StrLen(FLASH_TOOL_NAME) + 1;
  const UINTN WordLength = ShellWordLength(FileName, Readings);
  CHAR16 *CommandLine = (CHAR16 *)AllocatePool((PrefixLength + WordLength + 1) * sizeof(CHAR16));
  if (CommandLine == NULL) {
    return NULL;
  }
  CopyMem(CommandLine, FLASH_TOOL_NAME, (PrefixLength - 1) * sizeof(CHAR16));
  CommandLine[PrefixLength - 1] = u' ';
  WriteShellWord(FileName, Readings, CommandLine + PrefixLength);
  return CommandLine;
}

EFI_STATUS CheckFlashToolStart(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  // The Shell hands a program no empty word.
  if (gShellParameters->Argv[1][0] == 0) {
    Print(u"The BIOS file name is empty\n");
    return EFI_NOT_FOUND;
  }

  // The Shell's names for the root of the application's own volume. The
  // string stays the Shell's: OVMF's Shell keeps it on a list of its own
  // and frees it itself, and crashes on return from a caller that freed it
  // too (seen on the virtual board). The Shell may write to the path it is
  // given, so it gets a copy.
  const CHAR16 *Mappings = NULL;
  EFI_SHELL_PROTOCOL *Shell = NULL;
  EFI_HANDLE DeviceHandle = NULL;
  EFI_DEVICE_PATH_PROTOCOL *DevicePath = NULL;
  PoolPtr<EFI_DEVICE_PATH_PROTOCOL> Copy;
  if (!EFI_ERROR(LocateShell(&Shell)) && !EFI_ERROR(GetBootDeviceHandle(ImageHandle, SystemTable, &DeviceHandle)) &&
      !EFI_ERROR(SystemTable->BootServices->OpenProtocol(DeviceHandle, &gEfiDevicePathProtocolGuid,
                                                         (VOID **)&DevicePath, ImageHandle, NULL,
                                                         EFI_OPEN_PROTOCOL_GET_PROTOCOL)) &&
      DevicePath != NULL) {
    const UINTN Size = GetDevicePathSize(DevicePath);
    Copy.Reset(Size != 0 ? (EFI_DEVICE_PATH_PROTOCOL *)AllocatePool(Size) : NULL);
    if (Copy) {
      CopyMem(Copy.Get(), DevicePath, Size);
      EFI_DEVICE_PATH_PROTOCOL *Remaining = Copy.Get();
      Mappings = Shell->GetMapFromDevicePath(&Remaining);
    }
  }
  if (Mappings != NULL) {
    const CHAR16 *CurrentDirectory = Shell->GetCurDir(NULL);
    if (CurrentDirectory != NULL && IsRootOfMapping(CurrentDirectory, Mappings)) {
      return EFI_SUCCESS;
    }
  }

  PoolPtr<CHAR16> Root(Mappings != NULL ? FirstMapping(Mappings) : NULL);
  if (Root) {
    Print(u"Please start it from %s\\, the root of its own volume\n", Root.Get());
  } else {
    Print(u"Please start it from the root of its own volume\n");
  }
  return EFI_NOT_FOUND;
}

namespace {

// Whether the Shell opens Name as a file (not a directory), resolving it
// as it resolves a command's name.
bool ShellHasFile(EFI_SHELL_PROTOCOL *Shell, const CHAR16 *Name) {
  SHELL_FILE_HANDLE File = NULL;
  if (EFI_ERROR(Shell->OpenFileByName(Name, &File, EFI_FILE_MODE_READ))) {
    return false;
  }
  PoolPtr<EFI_FILE_INFO> Info(Shell->GetFileInfo(File));
  Shell->CloseFile(File);
  return Info && (Info->Attribute & EFI_FILE_DIRECTORY) == 0;
}

// Entry (none when EntryLength is 0), a '\' unless it ends with one, Name,
// then Suffix: a new pool string.
CHAR16 *ProgramPath(const CHAR16 *Entry, UINTN EntryLength, const CHAR16 *Name, const CHAR16 *Suffix) {
  const bool Separator = EntryLength != 0 && Entry[EntryLength - 1] != u'\\';
  const UINTN NameLength = StrLen(Name);
  const UINTN SuffixLength = StrLen(Suffix);
  const UINTN Length = EntryLength + (Separator ? 1 : 0) + NameLength;
  CHAR16 *Path = (CHAR16 *)AllocatePool((Length + SuffixLength + 1) * sizeof(CHAR16));
  if (Path != NULL) {
    CopyMem(Path, Entry, EntryLength * sizeof(CHAR16));
    if (Separator) {
      Path[EntryLength] = u'\\';
    }
    CopyMem(Path + Length - NameLength, Name, NameLength * sizeof(CHAR16));
    CopyMem(Path + Length, Suffix, (SuffixLength + 1) * sizeof(CHAR16));
  }
  return Path;
}

// Name followed by Suffix in the current directory, then under each entry
// of Path in order: EFI_SUCCESS when one is a file, EFI_NOT_FOUND when none
// is, EFI_OUT_OF_RESOURCES when a name cannot be made.
EFI_STATUS FindOnPath(EFI_SHELL_PROTOCOL *Shell, const CHAR16 *Path, const CHAR16 *Name, const CHAR16 *Suffix) {
  const CHAR16 *Entry = Path;
  UINTN Length = 0;  // of Entry; 0 for the current directory
  for (;;) {
    PoolPtr<CHAR16> Candidate(ProgramPath(Entry, Length, Name, Suffix));
    if (!Candidate) {
      return EFI_OUT_OF_RESOURCES;
    }
    if (ShellHasFile(Shell, Candidate.Get())) {
      return EFI_SUCCESS;
    }
    // The next entry; empty ones (";;") name nothing.
    do {
      if (Length != 0) {
        Entry += Length;
      }
      if (Entry == NULL || *Entry == 0) {
        return EFI_NOT_FOUND;
      }
      if (*Entry == u';') {
        Entry++;
      }
      Length = MappingLength(Entry);
    } while (Length == 0 && *Entry != 0);
    if (Length == 0) {
      return EFI_NOT_FOUND;
    }
  }
}

}  // namespace

EFI_STATUS FindFlashTool(EFI_SHELL_PROTOCOL *Shell) {
  // The Shell looks for the name as given everywhere first; only then does
  // it try it with a script's and then a program's extension added, even to
  // a name that has one already.
  static const CHAR16 *const SUFFIXES[] = {u"", u".nsh", u".efi"};
  const CHAR16 *Path = Shell->GetEnv != NULL ? Shell->GetEnv(u"path") : NULL;
  for (const CHAR16 *Suffix : SUFFIXES) {
    const EFI_STATUS Status = FindOnPath(Shell, Path, FLASH_TOOL_NAME, Suffix);
    if (Status == EFI_SUCCESS) {
      return EFI_SUCCESS;
    }
    if (Status == EFI_OUT_OF_RESOURCES) {
      Print(u"The flash tool cannot be looked for: %r\n", Status);
      return Status;
    }
  }
  const CHAR16 *Directory = Shell->GetCurDir(NULL);
  if (Directory == NULL) {
    Directory = u"(no directory)";
  }
  if (Path != NULL && *Path != 0) {
    Print(u"The flash tool %s was not found in %s nor on the path %s\n", FLASH_TOOL_NAME, Directory, Path);
  } else {
    Print(u"The flash tool %s was not found in %s (no path is set)\n", FLASH_TOOL_NAME, Directory);
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS PrepareFlash(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, BOOLEAN BackupMode,
                        EFI_SHELL_PROTOCOL **Shell, PoolPtr<CHAR16> &CommandLine, BOOLEAN *ToolMissing) {
  *ToolMissing = FALSE;
  EFI_STATUS Status = LocateShell(Shell);
  if (EFI_ERROR(Status)) {
    Print(u"The flash tool cannot be started without the UEFI Shell: %r\n", Status);
    return Status;
  }
  Status = FindFlashTool(*Shell);
  if (EFI_ERROR(Status)) {
    *ToolMissing = Status == EFI_NOT_FOUND;
    return Status;
  }
  CommandLine.Reset(FlashToolCommandLine(*Shell, gShellParameters->Argv[1]));
  if (!CommandLine) {
    Print(u"The flash tool cannot be started: %r\n", EFI_OUT_OF_RESOURCES);
    return EFI_OUT_OF_RESOURCES;
  }
  return RecordUpdateState(ImageHandle, SystemTable, BackupMode ? STATE_BACKUP_FLASH_STARTED : STATE_FLASH_STARTED);
}

STEP_OUTCOME RunFlashTool(EFI_SHELL_PROTOCOL *Shell, CHAR16 *CommandLine, BOOLEAN BackupMode, STATE_SEEN After,
                          CHAR8 *Words) {
  // A Shell that does not write the status back (OVMF's, with nesting off,
  // for a program it cannot find) leaves this failure.
  EFI_STATUS ToolStatus = EFI_NOT_FOUND;
  EFI_STATUS Status = Shell->Execute(&gImageHandle, CommandLine, NULL, &ToolStatus);
  if (EFI_ERROR(Status)) {
    Print(u"The Shell could not run the flash tool: %r\n", Status);
    return {Status, NULL, NULL, "flash-ended", After, NULL};
  }
  if (ToolStatus == EFI_SUCCESS) {
    Print(BackupMode ? u"Flashing has ended: restart the machine, and the board's tools take over\n"
                     : u"Flashing has ended: restart the machine for step 3 of 4\n");
    return {EFI_SUCCESS, NULL, NULL, "flash-ended", After, NULL};
  }
  // The error of that number, and the warning of that number where there
  // is one (EFI_WARN_UNKNOWN_GLYPH 1 to EFI_WARN_RESET_REQUIRED 7).
  static const CHAR16 *const WARNINGS[] = {u"Unknown Glyph", u"Delete Failure", u"Write Failure",
                                           u"Buffer Too Small", u"Stale Data", u"File System", u"Reset Required"};
  const UINT64 Code = ToolStatus & ~MAX_BIT;
  if ((ToolStatus & MAX_BIT) == 0 && Code >= 1 && Code <= 7) {
    Print(u"The flash tool ended with status 0x%x (%r, or the warning %s)\n", ToolStatus, Code | MAX_BIT,
          WARNINGS[Code - 1]);
  } else {
    Print(u"The flash tool ended with status 0x%x (%r)\n", ToolStatus, Code | MAX_BIT);
  }
  CHAR16 Hex[FLASH_WORDS_SIZE];
  UnicodeSPrintAsciiFormat(Hex, sizeof(Hex), "0x%x", ToolStatus);
  for (UINTN I = 0; I < FLASH_WORDS_SIZE; I++) {
    Words[I] = (CHAR8)Hex[I];
  }
  return {ToolStatus, NULL, NULL, "flash-ended", After, Words};
}
