// The command line: the BIOS file name, then optionally -b (backup and
// recovery) and -d (no version check), and the usage text.
#include "app/Tamsork.h"
#include "app/platform/Guids.h"

EFI_SHELL_PARAMETERS_PROTOCOL *gShellParameters = NULL;

VOID PrintUsage() {
  const CHAR16 *Name =
      (gShellParameters->Argv != NULL && gShellParameters->Argc > 0) ? gShellParameters->Argv[0] : NULL;
  Print(u"Kestrune Version %u.%u\n", TAMSORK_VERSION_MAJOR, TAMSORK_VERSION_MINOR);
  Print(u"Supported: xDW7150, xDW8260, ZRN6940, LQT1170\n");
  Print(u"           Ombrel, KVX9310\n");
  Print(u"Help!\n");
  Print(u"Example:\n");
  Print(u"Agument 1: BIOS filename\n");
  Print(u"Agument 2: Backup and recovery function\n");
  Print(u"%s bios.bin | Update with bios.bin file\n", Name);
  Print(u"%s bios.bin -b | Update with bios.bin file using backup and recovery function\n", Name);
}

namespace {

// Every word the decision looks at must be there; a Shell that hands out
// fewer words than it counts gets the usage text, not a crash.
bool WordsPresent(const EFI_SHELL_PARAMETERS_PROTOCOL *Parameters) {
  if (Parameters->Argv == NULL) {
    return false;
  }
  UINTN Needed = Parameters->Argc < 4 ? Parameters->Argc : 4;
  for (UINTN I = 0; I < Needed; I++) {
    if (Parameters->Argv[I] == NULL) {
      return false;
    }
  }
  return true;
}

bool IsWord(const CHAR16 *Word, const CHAR16 *Switch) { return StrCmp(Word, Switch) == 0; }

}  // namespace

EFI_STATUS ParseCommandLine(BOOLEAN *BackupMode, BOOLEAN *SkipVersionCheck, EFI_HANDLE ImageHandle) {
  // The Shell installs a program's command line on the program's own image
  // handle; other instances belong to the Shells and programs that started it.
  EFI_STATUS Status = gBS->OpenProtocol(ImageHandle, &gEfiShellParametersProtocolGuid, (VOID **)&gShellParameters,
                                        ImageHandle, NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status) || gShellParameters == NULL) {
    gShellParameters = NULL;
    return EFI_NOT_FOUND;
  }

  bool Accepted = false;
  if (WordsPresent(gShellParameters)) {
    CHAR16 **Argv = gShellParameters->Argv;
    switch (gShellParameters->Argc) {
      case 2:
        Accepted = true;
        break;
      case 3:
        if (IsWord(Argv[2], u"-b")) {
          *BackupMode = TRUE;
          Accepted = true;
        } else if (IsWord(Argv[2], u"-d")) {
          *SkipVersionCheck = TRUE;
          Accepted = true;
        }
        break;
      case 4:
        for (UINTN I = 2; I < 4; I++) {
          if (IsWord(Argv[I], u"-b")) {
            *BackupMode = TRUE;
          }
          if (IsWord(Argv[I], u"-d")) {
            *SkipVersionCheck = TRUE;
          }
        }
        Accepted = *BackupMode && *SkipVersionCheck;
        break;
      default:
        break;
    }
  }

  if (!Accepted) {
    PrintUsage();
    return EFI_NOT_FOUND;
  }
  return EFI_SUCCESS;
}
