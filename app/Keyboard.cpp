// The one wait of the application: a key press at a prompt.
#include "app/Tamsork.h"

EFI_INPUT_KEY WaitForAnyKey() {
  EFI_INPUT_KEY Key = {0, 0};
  UINTN Index = 0;
  gBS->WaitForEvent(1, &gST->ConIn->WaitForKey, &Index);
  if (EFI_ERROR(gST->ConIn->ReadKeyStroke(gST->ConIn, &Key))) {
    Key.ScanCode = 0;
    Key.UnicodeChar = 0;
  }
  return Key;
}
