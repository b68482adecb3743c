// The one wait of the application: a key press at a prompt.
#include "app/Tamsork.h"

// The most keys a drain takes: more than any keyboard buffer holds, so that
// a console that never runs dry cannot keep the prompt from its wait.
constexpr UINTN STALE_KEYS_MAX = 64;

EFI_STATUS WaitForKey(EFI_INPUT_KEY *Key) {
  // Keys typed before the prompt was shown (a boot menu key, one pressed
  // at the Shell's countdown) are not answers: only a key pressed now is.
  EFI_INPUT_KEY Stale;
  for (UINTN I = 0; I < STALE_KEYS_MAX && gST->ConIn->ReadKeyStroke(gST->ConIn, &Stale) == EFI_SUCCESS; I++) {
  }
  for (;;) {
    Key->ScanCode = 0;
    Key->UnicodeChar = 0;
    UINTN Index = 0;
    EFI_STATUS Waited = gBS->WaitForEvent(1, &gST->ConIn->WaitForKey, &Index);
    EFI_INPUT_KEY Read = {0, 0};
    EFI_STATUS Status = gST->ConIn->ReadKeyStroke(gST->ConIn, &Read);
    if (!EFI_ERROR(Status)) {
      *Key = Read;
      return EFI_SUCCESS;
    }
    // The event fired but the key is not there yet: keep waiting. Any other
    // failure, or a wait that itself failed, is a read that gave no key.
    if (Status != EFI_NOT_READY || EFI_ERROR(Waited)) {
      return EFI_ERROR(Waited) ? Waited : Status;
    }
  }
}

EFI_INPUT_KEY WaitForAnyKey() {
  EFI_INPUT_KEY Key;
  WaitForKey(&Key);
  return Key;
}
