// The one wait of the application: a key press at a prompt.
#include "app/Tamsork.h"

EFI_INPUT_KEY WaitForAnyKey() {
  for (;;) {
    EFI_INPUT_KEY Key = {0, 0};
    UINTN Index = 0;
    EFI_STATUS Waited = gBS->WaitForEvent(1, &gST->ConIn->WaitForKey, &Index);
    EFI_STATUS Read = gST->ConIn->ReadKeyStroke(gST->ConIn, &Key);
    if (!EFI_ERROR(Read)) {
      return Key;
    }
    // The event fired but the key is not there yet: keep waiting. Any other
    // failure, or a wait that itself failed, counts as a read that gave no
    // key.
    if (Read != EFI_NOT_READY || EFI_ERROR(Waited)) {
      Key.ScanCode = 0;
      Key.UnicodeChar = 0;
      return Key;
    }
  }
}
