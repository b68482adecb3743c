// H2OFFT-Sx64.efi: stands in for the flash tool that Tamsork starts through
// the Shell. It records how it was started (its Shell parameters, its load
// options and the Shell's current directory), opens the image it was given
// the way a Shell tool does (relative to the current directory), reads the
// version the image carries and "flashes" it: the record says which version
// went in, and the harness gives the following boots that version as the
// running BIOS version. Files in the root of the current mapping change what
// it does:
// - NoFlash.txt: it runs and flashes nothing: it reads the image, records
//   that nothing went in, and the running BIOS keeps its version;
// - ToolResets.txt: once its work is done it restarts the machine itself
//   (a cold reset) instead of returning;
// - ToolStatus.txt, holding a status in hex ("8000000000000007"): it returns
//   that status instead of EFI_SUCCESS, as a tool that ends in failure.
// Otherwise it returns EFI_SUCCESS to its caller like a tool that leaves the
// reset to someone else.
#include "virtual-board/images/StandIn.h"

namespace {

constexpr UINT64 kFileModeRead = 0x0000000000000001ULL;
// Images larger than this are not read.
constexpr UINT64 kLargestImage = 64ULL * 1024 * 1024;
// The files that change a run, from the root of the current mapping.
constexpr const CHAR16 *kNoFlashMarker = u"\\NoFlash.txt";
constexpr const CHAR16 *kResetMarker = u"\\ToolResets.txt";
constexpr const CHAR16 *kStatusMarker = u"\\ToolStatus.txt";

bool CompareBytes(const UINT8 *A, const UINT8 *B, UINTN Count) {
  for (UINTN I = 0; I < Count; I++) {
    if (A[I] != B[I]) {
      return false;
    }
  }
  return true;
}

bool IsDigit(UINT8 Byte) { return Byte >= '0' && Byte <= '9'; }

// The version in an image: after the first "$BVDT", the first field
// "$.<letter><major>.<minor minor>".
bool FindImageVersion(const UINT8 *Data, UINTN Size, UINTN *Major, UINTN *Minor) {
  static const UINT8 Anchor[] = {'$', 'B', 'V', 'D', 'T'};
  UINTN At = 0;
  for (;; At++) {
    if (At + sizeof(Anchor) > Size) {
      return false;
    }
    if (CompareBytes(Data + At, Anchor, sizeof(Anchor))) {
      break;
    }
  }
  for (At += sizeof(Anchor); At + 7 <= Size; At++) {
    const UINT8 *F = Data + At;
    if (F[0] == '$' && F[1] == '.' && F[2] >= 'a' && F[2] <= 'z' && IsDigit(F[3]) && F[4] == '.' && IsDigit(F[5]) &&
        IsDigit(F[6])) {
      *Major = F[3] - '0';
      *Minor = (F[5] - '0') * 10 + (F[6] - '0');
      return true;
    }
  }
  return false;
}

BOARD_SHELL_PROTOCOL *LocateShell() {
  UINTN Count = 0;
  EFI_HANDLE *Handles = NULL;
  if (EFI_ERROR(gBS->LocateHandleBuffer(ByProtocol, &gBoardShellProtocolGuid, NULL, &Count, &Handles)) ||
      Handles == NULL || Count == 0) {
    return NULL;
  }
  BOARD_SHELL_PROTOCOL *Shell = NULL;
  if (EFI_ERROR(gBS->HandleProtocol(Handles[0], &gBoardShellProtocolGuid, (VOID **)&Shell))) {
    Shell = NULL;
  }
  FreePool(Handles);
  return Shell;
}

VOID RecordParameters(EFI_HANDLE ImageHandle) {
  EFI_SHELL_PARAMETERS_PROTOCOL *Parameters = NULL;
  if (EFI_ERROR(gBS->HandleProtocol(ImageHandle, &gBoardShellParametersProtocolGuid, (VOID **)&Parameters)) ||
      Parameters == NULL) {
    Record(TOOL_RECORD_PORT, u"ARGC none");
    return;
  }
  Record(TOOL_RECORD_PORT, u"ARGC %u", Parameters->Argc);
  for (UINTN I = 0; I < Parameters->Argc && Parameters->Argv != NULL; I++) {
    const CHAR16 *Word = Parameters->Argv[I];
    Record(TOOL_RECORD_PORT, u"ARGV %u %s", I, Word != NULL ? Word : u"<null>");
  }
}

// Where this image's own instance sits among the Shell Parameters instances
// the firmware hands out, and whose instance comes second.
VOID RecordParameterInstances(EFI_HANDLE ImageHandle) {
  UINTN Count = 0;
  EFI_HANDLE *Handles = NULL;
  if (EFI_ERROR(gBS->LocateHandleBuffer(ByProtocol, &gBoardShellParametersProtocolGuid, NULL, &Count, &Handles)) ||
      Handles == NULL) {
    Record(TOOL_RECORD_PORT, u"INSTANCES none");
    return;
  }
  UINTN Own = Count;
  for (UINTN I = 0; I < Count; I++) {
    if (Handles[I] == ImageHandle) {
      Own = I;
    }
  }
  Record(TOOL_RECORD_PORT, u"INSTANCES count=%u own=%u", Count, Own);
  for (UINTN I = 0; I < Count; I++) {
    EFI_SHELL_PARAMETERS_PROTOCOL *Parameters = NULL;
    if (EFI_ERROR(gBS->HandleProtocol(Handles[I], &gBoardShellParametersProtocolGuid, (VOID **)&Parameters)) ||
        Parameters == NULL) {
      continue;
    }
    Record(TOOL_RECORD_PORT, u"INSTANCE %u argc=%u", I, Parameters->Argc);
    for (UINTN Word = 0; Word < Parameters->Argc && Parameters->Argv != NULL; Word++) {
      const CHAR16 *Text = Parameters->Argv[Word];
      Record(TOOL_RECORD_PORT, u"INSTANCE %u argv %u %s", I, Word, Text != NULL ? Text : u"<null>");
    }
  }
  FreePool(Handles);
}

VOID RecordLoadOptions(EFI_HANDLE ImageHandle) {
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = NULL;
  if (EFI_ERROR(gBS->HandleProtocol(ImageHandle, &gBoardLoadedImageProtocolGuid, (VOID **)&Loaded)) ||
      Loaded == NULL || Loaded->LoadOptions == NULL) {
    Record(TOOL_RECORD_PORT, u"OPTIONS none");
    return;
  }
  CHAR16 *Options = CopyText((const CHAR16 *)Loaded->LoadOptions, Loaded->LoadOptionsSize / sizeof(CHAR16));
  if (Options != NULL) {
    Record(TOOL_RECORD_PORT, u"OPTIONS %s", Options);
    FreePool(Options);
  }
}

bool Marked(BOARD_SHELL_PROTOCOL *Shell, const CHAR16 *Marker) {
  SHELL_FILE_HANDLE File = NULL;
  if (EFI_ERROR(Shell->OpenFileByName(Marker, &File, kFileModeRead)) || File == NULL) {
    return false;
  }
  Shell->CloseFile(File);
  return true;
}

// The status ToolStatus.txt asks for: the hex digits it starts with (at
// most 16). FALSE when there is no such file or it starts with none.
bool MarkedStatus(BOARD_SHELL_PROTOCOL *Shell, EFI_STATUS *Status) {
  SHELL_FILE_HANDLE File = NULL;
  if (EFI_ERROR(Shell->OpenFileByName(kStatusMarker, &File, kFileModeRead)) || File == NULL) {
    return false;
  }
  UINT8 Text[16];
  UINTN Size = sizeof(Text);
  if (EFI_ERROR(Shell->ReadFile(File, &Size, Text))) {
    Size = 0;
  }
  Shell->CloseFile(File);
  UINT64 Value = 0;
  UINTN Digits = 0;
  for (; Digits < Size; Digits++) {
    const UINT8 C = Text[Digits] | 0x20;  // hex letters in either case
    UINT64 Digit = 0;
    if (C >= '0' && C <= '9') {
      Digit = C - '0';
    } else if (C >= 'a' && C <= 'f') {
      Digit = C - 'a' + 10;
    } else {
      break;
    }
    Value = Value * 16 + Digit;
  }
  *Status = Value;
  return Digits != 0;
}

// Opens, reads and "flashes" the image Name names, relative to the Shell's
// current directory.
VOID FlashImage(BOARD_SHELL_PROTOCOL *Shell, const CHAR16 *Name) {
  SHELL_FILE_HANDLE File = NULL;
  EFI_STATUS Status = Shell->OpenFileByName(Name, &File, kFileModeRead);
  if (EFI_ERROR(Status) || File == NULL) {
    Record(TOOL_RECORD_PORT, u"IMAGE missing status=0x%x", Status);
    Print(u"H2OFFT stand-in: cannot open %s (status 0x%x), nothing flashed\r\n", Name, Status);
    return;
  }
  UINT64 Size = 0;
  UINT8 *Data = NULL;
  Status = Shell->GetFileSize(File, &Size);
  if (!EFI_ERROR(Status) && Size > 0 && Size <= kLargestImage) {
    Data = (UINT8 *)AllocatePool((UINTN)Size);
  }
  UINTN ReadSize = (UINTN)Size;
  if (Data == NULL || EFI_ERROR(Shell->ReadFile(File, &ReadSize, Data))) {
    Record(TOOL_RECORD_PORT, u"IMAGE unreadable size=%u", Size);
    Print(u"H2OFFT stand-in: cannot read %s, nothing flashed\r\n", Name);
  } else {
    UINTN Major = 0;
    UINTN Minor = 0;
    if (!FindImageVersion(Data, ReadSize, &Major, &Minor)) {
      Record(TOOL_RECORD_PORT, u"IMAGE size=%u version=none", ReadSize);
      Print(u"H2OFFT stand-in: %s carries no version, nothing flashed\r\n", Name);
    } else if (Marked(Shell, kNoFlashMarker)) {
      Record(TOOL_RECORD_PORT, u"IMAGE size=%u version=%u.%02u not-flashed", ReadSize, Major, Minor);
      Print(u"H2OFFT stand-in: read %s, BIOS version %u.%02u, flashed nothing (%s)\r\n", Name, Major, Minor,
            kNoFlashMarker);
    } else {
      Record(TOOL_RECORD_PORT, u"IMAGE size=%u version=%u.%02u", ReadSize, Major, Minor);
      Print(u"H2OFFT stand-in: flashed %s, BIOS version %u.%02u\r\n", Name, Major, Minor);
    }
  }
  if (Data != NULL) {
    FreePool(Data);
  }
  Shell->CloseFile(File);
}

}  // namespace

EFI_STATUS HelperMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  Record(TOOL_RECORD_PORT, u"START");
  RecordParameters(ImageHandle);
  RecordLoadOptions(ImageHandle);
  RecordParameterInstances(ImageHandle);

  BOARD_SHELL_PROTOCOL *Shell = LocateShell();
  EFI_STATUS Status = EFI_SUCCESS;
  if (Shell == NULL) {
    Record(TOOL_RECORD_PORT, u"SHELL none");
  } else {
    const CHAR16 *Directory = Shell->GetCurDir(NULL);
    Record(TOOL_RECORD_PORT, u"CWD %s", Directory != NULL ? Directory : u"<none>");
    EFI_SHELL_PARAMETERS_PROTOCOL *Parameters = NULL;
    if (!EFI_ERROR(gBS->HandleProtocol(ImageHandle, &gBoardShellParametersProtocolGuid, (VOID **)&Parameters)) &&
        Parameters != NULL && Parameters->Argc >= 2 && Parameters->Argv != NULL && Parameters->Argv[1] != NULL) {
      FlashImage(Shell, Parameters->Argv[1]);
    } else {
      Record(TOOL_RECORD_PORT, u"IMAGE none-given");
    }
    if (Marked(Shell, kResetMarker)) {
      Record(TOOL_RECORD_PORT, u"RESET");
      Print(u"H2OFFT stand-in: restarting the machine (%s)\r\n", kResetMarker);
      gRT->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, NULL);
    }
    if (MarkedStatus(Shell, &Status)) {
      Print(u"H2OFFT stand-in: returning status 0x%x (%s)\r\n", Status, kStatusMarker);
    }
  }
  Record(TOOL_RECORD_PORT, u"DONE status=0x%x", Status);
  return Status;
}
