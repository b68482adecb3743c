#include "virtual-board/images/StandIn.h"

const EFI_GUID gBoardShellProtocolGuid = {0x6302D008, 0x7F9B, 0x4F30, {0x87, 0xAC, 0x60, 0xC9, 0xFE, 0xF5, 0xDA, 0x4E}};
const EFI_GUID gBoardShellParametersProtocolGuid = {
    0x752F3136, 0x4E16, 0x4FDC, {0xA2, 0x2A, 0xE5, 0xF4, 0x68, 0x12, 0xF4, 0xCA}};
const EFI_GUID gBoardLoadedImageProtocolGuid = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

VOID RecordText(UINT16 Port, const CHAR16 *Line) {
  for (UINTN I = 0; Line[I] != 0 && I < RECORD_LINE_LENGTH; I++) {
    CHAR16 Char = Line[I];
    IoWrite8(Port, (UINT8)((Char >= 0x20 && Char < 0x7F) ? Char : u'?'));
  }
  IoWrite8(Port, (UINT8)'\n');
}

CHAR16 *CopyText(const CHAR16 *Text, UINTN Count) {
  UINTN Length = 0;
  while (Length < Count && Text[Length] != 0) {
    Length++;
  }
  CHAR16 *Copy = (CHAR16 *)AllocatePool((Length + 1) * sizeof(CHAR16));
  if (Copy != NULL) {
    CopyMem(Copy, Text, Length * sizeof(CHAR16));
    Copy[Length] = 0;
  }
  return Copy;
}
